// The updater descriptor over arbitrary text: what is read from it and the downloads formed from
// it for update lists of every size, which must always be fetchable and checkable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/descriptor.h"
#include "xml/xml_parser.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    const CXMLElement* root = parser.Root();
    Check(ReadEngineVersion(root, "TEVDownloadV32").size() < kDescriptorVersionBufferSize);
    const uint32_t children = CountFiles(root);
    const std::vector<std::vector<std::string>> lists = {
        {}, {"/e/TEVDownloadV32"}, {"/e/TEVDownloadV32", ""}, {"/e/a", "/e/b", "/e/c"}};
    for (const auto& list : lists) {
        std::vector<CUpdateDownload> downloads;
        const bool formed = FormDownloads(root, list, "/e/TEVDownloadV32", &downloads);
        Check(downloads.size() <= list.size());
        Check(!list.empty() || (formed && downloads.empty()));
        if (formed && list.size() == children && !list.empty()) {
            Check(downloads.size() == 1);
        }
        for (const CUpdateDownload& d : downloads) {
            Check(!d.url.empty() && d.url.size() < kDescriptorUrlBufferSize);
            Check(d.hashUrl.size() < kDescriptorUrlBufferSize);
            Check(!d.hashUrl.empty() || IsSecureUrl(d.url));
            Check(d.folder == "/e/");
        }
    }
    return 0;
}
