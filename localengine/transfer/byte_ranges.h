// ByteRanges: a set of byte ranges [begin, end), kept sorted and merged. It records which bytes of
// a file are on disk, which are still to fetch, and what the control file may claim as done.
#pragma once

#include <cstdint>
#include <vector>

namespace tev::localengine {

struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = 0;  // exclusive
    uint64_t Length() const { return end - begin; }
    bool operator==(const ByteRange&) const = default;
};

class ByteRanges {
  public:
    void Add(uint64_t begin, uint64_t end);
    void Clear() { ranges_.clear(); }
    bool Empty() const { return ranges_.empty(); }
    uint64_t Total() const;
    bool Covers(uint64_t begin, uint64_t end) const;
    // Length of the run that starts at byte 0 (0 when byte 0 is missing).
    uint64_t ContiguousPrefix() const;
    // The ranges of [0, size) that are not in the set, in order.
    std::vector<ByteRange> Missing(uint64_t size) const;
    const std::vector<ByteRange>& Ranges() const { return ranges_; }
    bool operator==(const ByteRanges&) const = default;

  private:
    std::vector<ByteRange> ranges_;
};

}  // namespace tev::localengine
