#include "transfer/byte_ranges.h"

#include <algorithm>

namespace tev::localengine {

void ByteRanges::Add(uint64_t begin, uint64_t end) {
    if (begin >= end) {
        return;
    }
    // First range that ends at or after begin: it and the following overlapping or touching ones
    // merge with the new range.
    auto first = std::lower_bound(ranges_.begin(), ranges_.end(), begin,
                                  [](const ByteRange& r, uint64_t value) { return r.end < value; });
    auto last = first;
    while (last != ranges_.end() && last->begin <= end) {
        begin = std::min(begin, last->begin);
        end = std::max(end, last->end);
        ++last;
    }
    first = ranges_.erase(first, last);
    ranges_.insert(first, ByteRange{begin, end});
}

uint64_t ByteRanges::Total() const {
    uint64_t total = 0;
    for (const ByteRange& r : ranges_) {
        total += r.Length();
    }
    return total;
}

bool ByteRanges::Covers(uint64_t begin, uint64_t end) const {
    if (begin >= end) {
        return true;
    }
    for (const ByteRange& r : ranges_) {
        if (r.begin <= begin && end <= r.end) {
            return true;
        }
    }
    return false;
}

uint64_t ByteRanges::ContiguousPrefix() const {
    return !ranges_.empty() && ranges_.front().begin == 0 ? ranges_.front().end : 0;
}

std::vector<ByteRange> ByteRanges::Missing(uint64_t size) const {
    std::vector<ByteRange> missing;
    uint64_t at = 0;
    for (const ByteRange& r : ranges_) {
        if (r.begin >= size) {
            break;
        }
        if (r.begin > at) {
            missing.push_back({at, r.begin});
        }
        at = std::max(at, r.end);
    }
    if (at < size) {
        missing.push_back({at, size});
    }
    return missing;
}

}  // namespace tev::localengine
