// The HTTP response head parser: sans-I/O, so it is tested and fuzzed on bytes alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class nwCHttpResponseParser {
  public:
    struct Entry {
        std::string name;   // as sent, colon included ("Content-Length:"); "HTTP/1.1" for the
                            // status line
        std::string value;  // percent-decoded
    };

    // Replaces what an earlier head left. The head is cut into lines at LF, CR dropped anywhere;
    // each line at its first space into name and value; lines without a space are skipped.
    void Parse(std::string_view head);

    // The first entry whose lower-cased name begins with the lower-cased prefix, or null.
    const Entry* Find(std::string_view prefix) const;
    // Leading digits of the status line's value; 0 without a head or digits.
    int32_t StatusCode() const;
    // Leading digits of "Content-Length"; 0 when missing or not a number.
    int64_t ContentLength() const;

    const std::vector<Entry>& Entries() const { return entries_; }
    const std::string& RawHead() const { return raw_; }
    bool HasHead() const { return parsed_; }

  private:
    std::vector<Entry> entries_;
    std::string raw_;
    bool parsed_ = false;
};

// Where a head ends: the offset just past its first CR LF CR LF, or 0 while it has not ended.
size_t HttpHeadLength(std::string_view bytes);

// A head that grows past this without its CR LF CR LF is not HTTP we can use.
constexpr size_t kMaxHttpHeadSize = 64 * 1024;
