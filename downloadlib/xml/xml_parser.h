// The read-only XML reader of the updater descriptor: a forgiving, byte-oriented reader that
// builds a small tree and answers lookups by name. It never fails: bad input yields a partial or
// default tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CXMLElement;

// A text, comment, processing-instruction or CDATA node. Position: the number of child elements
// the parent had when the node was met (top-level comments: 0 before the root, 1 after it).
struct CXMLNode {
    std::string text;
    uint32_t position = 0;
};

class CXMLAttribute {
  public:
    CXMLAttribute(std::string name, std::string value, CXMLElement* owner)
        : name_(std::move(name)), value_(std::move(value)), owner_(owner) {}

    // Byte for byte as written; entities are resolved only by CXMLParserVelmor::GetAttribute.
    const std::string& RawName() const { return name_; }
    const std::string& RawValue() const { return value_; }
    CXMLElement* Owner() const { return owner_; }

  private:
    std::string name_;
    std::string value_;
    CXMLElement* owner_;
};

class CXMLElement {
  public:
    CXMLElement(const std::string& name, CXMLElement* parent);

    // The name as written in the document, with its character references resolved.
    std::string Name() const;
    CXMLElement* Parent() const { return parent_; }
    const std::vector<std::unique_ptr<CXMLElement>>& Children() const { return children_; }
    const std::vector<CXMLAttribute>& Attributes() const { return attributes_; }
    const std::vector<CXMLNode>& Texts() const { return texts_; }
    const std::vector<CXMLNode>& Comments() const { return comments_; }
    const std::vector<CXMLNode>& CDataSections() const { return cdata_; }

  private:
    friend class CXMLContentParser;
    friend class CXMLParserVelmor;

    std::string encodedName_;  // stored entity-encoded, decoded whenever read
    CXMLElement* parent_;
    std::vector<std::unique_ptr<CXMLElement>> children_;
    std::vector<CXMLAttribute> attributes_;
    std::vector<CXMLNode> texts_;
    std::vector<CXMLNode> comments_;
    std::vector<CXMLNode> cdata_;
};

class CXMLDocument {
  public:
    const std::string& Declaration() const { return declaration_; }
    // Top-level comments and processing instructions.
    const std::vector<CXMLNode>& PrologNodes() const { return prologNodes_; }
    CXMLElement* Root() const { return root_.get(); }

  private:
    friend class CXMLParserVelmor;
    friend class CXMLContentParser;

    std::string declaration_;
    std::vector<CXMLNode> prologNodes_;
    std::unique_ptr<CXMLElement> root_;
};

class CXMLParserVelmor {
  public:
    // Element names are significant up to this many bytes, attribute names up to the next.
    static constexpr size_t kElementNameLimit = 127;
    static constexpr size_t kAttributeNameLimit = 255;
    // Elements nested deeper than this are dropped with their content.
    static constexpr int kMaxDepth = 256;

    CXMLParserVelmor();
    virtual ~CXMLParserVelmor();
    CXMLParserVelmor(const CXMLParserVelmor&) = delete;
    CXMLParserVelmor& operator=(const CXMLParserVelmor&) = delete;

    // Replaces any earlier document by one read from text (NUL-terminated, left unchanged).
    CXMLDocument* Load(const char* text);
    // The root element, or null before the first Load.
    CXMLElement* Root() const;

    // The first child whose name equals name, ignoring ASCII letter case; null when either
    // argument is missing or nothing matches.
    static CXMLElement* FindChild(const CXMLElement* element, const char* name);
    static uint32_t ChildCount(const CXMLElement* element);
    // Writes the decoded value of the attribute called exactly name into buffer, cut to
    // bufferSize - 1 bytes and NUL-terminated, and returns the bytes written. 0 with the buffer
    // untouched when the element, the name, the buffer or the attribute is missing.
    static uint32_t GetAttribute(const CXMLElement* element, const char* name, char* buffer,
                                 size_t bufferSize);

  private:
    std::unique_ptr<CXMLDocument> document_;
};

// Entity handling of the reader, exposed for its tests. Decoding resolves the five named
// entities and numeric references (written as UTF-8); it writes at most outSize - 1 bytes plus
// a NUL, never splits a character it produced, and returns the bytes written.
size_t XmlDecodeEntities(const char* text, size_t length, char* out, size_t outSize);
std::string XmlDecodeEntities(const std::string& text);
std::string XmlEncodeEntities(const std::string& text);
