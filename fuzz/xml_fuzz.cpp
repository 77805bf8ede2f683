// The XML reader over arbitrary text, with every lookup the tree offers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "xml/xml_parser.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void Walk(const CXMLElement* element, int depth) {
    Check(depth <= CXMLParserVelmor::kMaxDepth);
    for (const auto& child : element->Children()) {
        Check(child->Parent() == element);
        // Every child is found by its own name (or by an earlier sibling of the same name).
        Check(CXMLParserVelmor::FindChild(element, child->Name().c_str()) != nullptr);
        Walk(child.get(), depth + 1);
    }
    for (const CXMLAttribute& attribute : element->Attributes()) {
        const std::string name = XmlDecodeEntities(attribute.RawName());
        for (size_t size : {1u, 7u, 256u}) {
            char buffer[256];
            const uint32_t length =
                CXMLParserVelmor::GetAttribute(element, name.c_str(), buffer, size);
            Check(length < size && std::strlen(buffer) == length);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CXMLParserVelmor parser;
    parser.Load(text.c_str());
    Check(parser.Root() != nullptr);
    Walk(parser.Root(), 1);
    return 0;
}
