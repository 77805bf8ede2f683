// The HTTP response head parser: sans-I/O, so it is tested and fuzzed on bytes alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class nwCHttpResponseParser {
  public:
    struct Entry {
        // The header's name as sent, without its colon; for the status line the protocol
        // ("HTTP/1.1").
        std::string name;
        // As sent, blanks around it trimmed; never percent-decoded (no header we read defines
        // such a coding, and a decoded "%35" must not become a length).
        std::string value;
    };

    // Replaces what an earlier head left. The head is cut into lines at LF, CR dropped anywhere.
    // The first line is the status line, cut at its first space; every other line is a header,
    // cut at its first colon. Lines whose name is not a token (empty, holding blanks: also a
    // folded continuation line) are skipped.
    void Parse(std::string_view head);

    // The first header whose name is name, ASCII case ignored; a colon ending name is not part
    // of it ("Location:" finds Location). Whole names only: "Content-Length" never finds
    // "Content-Length-Hint". Null when there is none.
    const Entry* Find(std::string_view name) const;
    // Leading digits of the status line's value; 0 without a head or digits.
    int32_t StatusCode() const;

    enum class eLength {
        kNone,     // no "Content-Length"
        kValid,    // plain decimal digits that fit, every copy the same
        kInvalid,  // anything else: not digits, too large, or copies that differ
    };
    eLength LengthState() const { return lengthState_; }
    // The valid "Content-Length"; 0 when there is none or it is invalid.
    int64_t ContentLength() const { return lengthState_ == eLength::kValid ? length_ : 0; }
    // Why the head cannot be trusted to frame its body, or "": an invalid "Content-Length", or
    // one beside a "Transfer-Encoding" (which would override it; a way to smuggle a length).
    std::string Defect() const;

    const std::vector<Entry>& Entries() const { return entries_; }
    const std::string& RawHead() const { return raw_; }
    bool HasHead() const { return parsed_; }

  private:
    void ReadContentLength();

    std::vector<Entry> entries_;
    std::string raw_;
    bool parsed_ = false;
    eLength lengthState_ = eLength::kNone;
    int64_t length_ = 0;
};

// Where a head ends: the offset just past its first CR LF CR LF, or 0 while it has not ended.
size_t HttpHeadLength(std::string_view bytes);

// A head that grows past this without its CR LF CR LF is not HTTP we can use.
constexpr size_t kMaxHttpHeadSize = 64 * 1024;
