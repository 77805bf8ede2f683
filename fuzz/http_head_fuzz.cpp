// The response head parser takes whatever a server sends, and so do the rules that judge the
// ranges it names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "direct/answer_rules.h"
#include "http/response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    nwCHttpResponseParser parser;
    parser.Parse(bytes.substr(0, HttpHeadLength(bytes) == 0 ? size : HttpHeadLength(bytes)));
    parser.StatusCode();
    const int64_t length = parser.ContentLength();
    parser.Find("Location:");
    parser.Defect();
    if (const nwCHttpResponseParser::Entry* range = parser.Find("Content-Range:")) {
        // Every accepted range must leave its arithmetic in range (UBSan checks the rest).
        CContentRange parsed;
        if (ParseContentRange(range->value, &parsed) && parsed.first >= 0) {
            [[maybe_unused]] const int64_t count = parsed.last - parsed.first + 1;
        }
        int64_t fileSize = 0;
        JudgePartialAnswer(range->value, parsed.first, length, &fileSize);
        RangeNotSatisfiableMeansDone(range->value, length, length);
    }
    return 0;
}
