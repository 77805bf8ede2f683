// How the head of an answer to a ranged request is judged: a pure function from what was asked
// and what came back to a verdict, which the transfer then applies. libcurl sends the Range header
// but never checks the answer against it; this does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/control_file.h"

namespace tev::localengine {

struct RangeAsk {
    uint64_t begin = 0;
    uint64_t end = 0;          // exclusive; the request asked bytes begin..end-1
    bool sentIfRange = false;  // the request carried If-Range with the stored validator
};

struct AnswerHead {
    long status = 0;
    std::optional<std::string> contentRange;
    std::optional<uint64_t> contentLength;
    Validator validator;  // ETag when the server sent a strong one, else Last-Modified, else none
};

struct Verdict {
    enum Kind {
        Range,         // 206 for exactly the bytes asked (the end clipped to the size)
        WholeBody,     // 200: the whole file follows from byte 0 (ranges ignored, or changed)
        Changed,       // the file on the server is not the one whose bytes are on disk
        SizeMismatch,  // the server's size differs from the size the job was given
        BadRange,      // 206 whose Content-Range does not match the request
        BeyondEnd,     // 416 naming the size: nothing is left from the asked offset on
        HttpError,     // any other status
    };
    Kind kind = HttpError;
    std::optional<uint64_t> size;  // the file's size as the answer states it, when it does
};

// Reads one header line into head; true at the blank line that ends a final answer's head
// (not a 1xx, not a redirect that libcurl follows).
bool ReadHeadLine(std::string_view line, AnswerHead& head);

// Gathers the Link header fields of the final answer into links, joined by commas (a status
// line starts them afresh; at most 8 KiB are kept).
void ReadLinkLine(std::string_view line, std::string& links);

// knownSize: the size given with the job or learnt earlier (nullopt when not yet known);
// stored: the validator the bytes on disk were fetched under (kind None when there is none).
Verdict JudgeAnswer(const RangeAsk& ask, const AnswerHead& head, std::optional<uint64_t> knownSize,
                    bool sizeFromJob, const Validator& stored);

// "bytes 0-99/1000" → {0, 100, 1000}; nullopt for anything else ("*" sizes included).
struct ContentRange {
    uint64_t begin = 0;
    uint64_t end = 0;  // exclusive
    uint64_t size = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

}  // namespace tev::localengine
