#include "xml/xml_parser.h"

#include <cstring>
#include <string_view>

namespace {

constexpr const char kDefaultDeclaration[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
constexpr const char kDefaultRootName[] = "root";
constexpr const char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

const char* FindByte(const char* from, const char* end, char c) {
    if (from >= end) {
        return nullptr;
    }
    return static_cast<const char*>(std::memchr(from, c, static_cast<size_t>(end - from)));
}

const char* FindText(const char* from, const char* end, std::string_view what) {
    if (from >= end) {
        return nullptr;
    }
    const std::string_view haystack(from, static_cast<size_t>(end - from));
    const size_t at = haystack.find(what);
    return at == std::string_view::npos ? nullptr : from + at;
}

bool StartsWith(const char* at, const char* end, std::string_view prefix) {
    return static_cast<size_t>(end - at) >= prefix.size() &&
           std::memcmp(at, prefix.data(), prefix.size()) == 0;
}

// "<!--" or "<?": both are kept as comment nodes.
bool IsCommentOrInstruction(const char* lt, const char* end) {
    return StartsWith(lt, end, "<!--") || StartsWith(lt, end, "<?");
}

bool IsCData(const char* lt, const char* end) {
    return StartsWith(lt, end, "<![CDATA[");
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Appends bytes up to a fixed capacity and writes nothing after the first piece that does not
// fit, so a cut text is a prefix of the full one. Values never end in part of a character;
// names are cut at the byte, so that equal names cut equally.
class BoundedSink {
  public:
    BoundedSink(char* out, size_t capacity, bool splitPieces)
        : out_(out), capacity_(capacity), splitPieces_(splitPieces) {}
    void Put(const char* bytes, size_t n) {
        if (full_) {
            return;
        }
        if (n > capacity_ - length_) {
            full_ = true;
            if (!splitPieces_) {
                return;
            }
            n = capacity_ - length_;
        }
        std::memcpy(out_ + length_, bytes, n);
        length_ += n;
    }
    size_t Length() const { return length_; }

  private:
    char* out_;
    size_t capacity_;
    bool splitPieces_;
    size_t length_ = 0;
    bool full_ = false;
};

class StringSink {
  public:
    void Put(const char* bytes, size_t n) { text_.append(bytes, n); }
    std::string Take() { return std::move(text_); }

  private:
    std::string text_;
};

size_t EncodeUtf8(uint32_t value, char out[4]) {
    // NUL, surrogates and values beyond Unicode cannot be written as themselves.
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
        value = 0xFFFD;
    }
    if (value < 0x80) {
        out[0] = static_cast<char>(value);
        return 1;
    }
    if (value < 0x800) {
        out[0] = static_cast<char>(0xC0 | (value >> 6));
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        return 2;
    }
    if (value < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (value >> 12));
        out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (value & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (value >> 18));
    out[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (value & 0x3F));
    return 4;
}

int DigitValue(char c, bool hex) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (hex && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (hex && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Length of a numeric reference at text[i] ("&#65;", "&#x41;"; the ';' is optional) and its
// value in *value; 0 when text[i] starts none.
size_t NumericReference(std::string_view text, size_t i, uint32_t* value) {
    size_t p = i + 2;
    if (p > text.size() || text.compare(i, 2, "&#") != 0) {
        return 0;
    }
    const bool hex = p < text.size() && (text[p] == 'x' || text[p] == 'X');
    if (hex) {
        ++p;
    }
    const size_t digitsStart = p;
    uint32_t v = 0;
    for (int d; p < text.size() && (d = DigitValue(text[p], hex)) >= 0; ++p) {
        v = v * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        if (v > 0x10FFFF) {
            v = 0x110000;  // saturate: stays out of range however many digits follow
        }
    }
    if (p == digitsStart) {
        return 0;
    }
    if (p < text.size() && text[p] == ';') {
        ++p;
    }
    *value = v;
    return p - i;
}

template <class Sink>
void Decode(std::string_view text, Sink& sink) {
    struct Named {
        std::string_view entity;
        char replacement;
    };
    static constexpr Named kNamed[] = {
        {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'},
    };
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '&') {
            sink.Put(&c, 1);
            ++i;
            continue;
        }
        size_t consumed = 0;
        for (const Named& named : kNamed) {
            if (text.compare(i, named.entity.size(), named.entity) == 0) {
                sink.Put(&named.replacement, 1);
                consumed = named.entity.size();
                break;
            }
        }
        uint32_t value = 0;
        if (consumed == 0 && (consumed = NumericReference(text, i, &value)) != 0) {
            char utf8[4];
            sink.Put(utf8, EncodeUtf8(value, utf8));
        }
        if (consumed == 0) {
            sink.Put("&", 1);  // not a reference: the '&' stands for itself
            consumed = 1;
        }
        i += consumed;
    }
}

size_t DecodeInto(std::string_view text, char* out, size_t outSize, bool splitPieces) {
    BoundedSink sink(out, outSize - 1, splitPieces);
    Decode(text, sink);
    out[sink.Length()] = '\0';
    return sink.Length();
}

// Decodes stored into buffer (cut to limit bytes) and compares with the wanted name cut to the
// same limit: names are significant up to the limit.
bool NameEquals(const std::string& stored, const char* wanted, size_t limit, bool ignoreCase) {
    char decoded[CXMLParserVelmor::kAttributeNameLimit + 1];
    const size_t length = DecodeInto(stored, decoded, limit + 1, true);
    const size_t wantedLength = strnlen(wanted, limit);
    if (length != wantedLength) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const char a = ignoreCase ? LowerAscii(decoded[i]) : decoded[i];
        const char b = ignoreCase ? LowerAscii(wanted[i]) : wanted[i];
        if (a != b) {
            return false;
        }
    }
    return true;
}

}  // namespace

size_t XmlDecodeEntities(const char* text, size_t length, char* out, size_t outSize) {
    if (out == nullptr || outSize == 0) {
        return 0;
    }
    return DecodeInto(text != nullptr ? std::string_view(text, length) : std::string_view(), out,
                      outSize, false);
}

std::string XmlDecodeEntities(const std::string& text) {
    StringSink sink;
    Decode(text, sink);
    return sink.Take();
}

std::string XmlEncodeEntities(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case '&':
                // A numeric reference stays as it is, so that it is resolved when read.
                out += i + 1 < text.size() && text[i + 1] == '#' ? "&" : "&amp;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += text[i];
        }
    }
    return out;
}

CXMLElement::CXMLElement(const std::string& name, CXMLElement* parent)
    : encodedName_(XmlEncodeEntities(name)), parent_(parent) {}

std::string CXMLElement::Name() const {
    return XmlDecodeEntities(encodedName_);
}

// Builds the tree over [begin, end) of the work copy. Every search is bounded by the range of
// the element being read, in place of the terminating NULs a C reader would plant.
class CXMLContentParser {
  public:
    explicit CXMLContentParser(CXMLDocument* document) : document_(document) {}

    // Reads content with parent (null at the top level) at the given depth. Returns the element
    // the read treats as its result while no parent has taken it: at the top level, the root.
    std::unique_ptr<CXMLElement> Content(const char* pos, const char* end, CXMLElement* parent,
                                         int depth);

  private:
    void AddText(CXMLElement* parent, const char* from, const char* to);
    void AddComment(CXMLElement* parent, const char* lt, const char* gt);
    std::unique_ptr<CXMLElement> MakeElement(const char* tag, const char* tagEnd,
                                             CXMLElement* parent);
    static const char* FindElementEnd(const char* start, const char* end);

    CXMLDocument* document_;
    bool metStartTag_ = false;  // at the top level: whether the root has begun
};

std::unique_ptr<CXMLElement> CXMLContentParser::Content(const char* pos, const char* end,
                                                        CXMLElement* parent, int depth) {
    CXMLElement* result = nullptr;
    std::unique_ptr<CXMLElement> pending;  // holds result until a parent takes it
    const bool childrenAllowed = depth < CXMLParserVelmor::kMaxDepth;
    while (pos < end) {
        const char* lt = FindByte(pos, end, '<');
        if (lt == nullptr) {
            AddText(parent, pos, end);
            break;
        }
        AddText(parent, pos, lt);

        const char* gt = nullptr;
        if (StartsWith(lt, end, "<![CDATA")) {
            const char* close = FindText(lt + 8, end, "]]>");
            gt = close != nullptr ? close + 2 : nullptr;
        } else {
            gt = FindByte(lt + 1, end, '>');
        }
        if (gt == nullptr) {
            break;
        }

        if (IsCommentOrInstruction(lt, end)) {
            AddComment(parent, lt, gt);
            pos = gt + 1;
            continue;
        }
        if (IsCData(lt, end)) {
            if (parent != nullptr) {
                // Between "<![CDATA[" and "]]>"; gt is at least 11 bytes past lt.
                parent->cdata_.push_back(
                    {std::string(lt + 9, gt - 2), static_cast<uint32_t>(parent->children_.size())});
            }
            pos = gt + 1;
            continue;
        }
        if (lt[1] == '/') {
            if (parent != nullptr && pending != nullptr) {
                parent->children_.push_back(std::move(pending));
            }
            pos = gt + 1;
            continue;
        }

        const char* elementEnd = nullptr;
        const char* endTag = nullptr;
        if (gt[-1] != '/') {
            elementEnd = FindElementEnd(lt, end);
            if (elementEnd == nullptr) {
                break;  // unclosed: what was built so far stays
            }
            endTag = lt;
            for (const char* p = elementEnd - 1; p > lt; --p) {
                if (*p == '<') {
                    endTag = p;
                    break;
                }
            }
        }
        if (parent == nullptr) {
            metStartTag_ = true;
        }

        if (endTag == nullptr || endTag <= gt) {
            // Empty element ("<a/>"), or a tag whose own markup already closes it ("<a x=1/2>").
            if (childrenAllowed) {
                auto element = MakeElement(lt, gt + 1, parent);
                if (parent != nullptr) {
                    if (result == nullptr) {
                        result = element.get();
                    }
                    parent->children_.push_back(std::move(element));
                } else if (result == nullptr) {
                    result = element.get();
                    pending = std::move(element);
                }
            }
            pos = gt + 1;
            continue;
        }

        if (childrenAllowed) {
            auto element = MakeElement(lt, gt + 1, parent);
            Content(gt + 1, endTag, element.get(), depth + 1);
            result = element.get();
            pending = std::move(element);  // an earlier result no parent took is dropped
        }
        pos = endTag;  // the end tag hands the element to the parent
    }
    return pending;
}

void CXMLContentParser::AddText(CXMLElement* parent, const char* from, const char* to) {
    while (from < to && IsBlank(*from)) {
        ++from;
    }
    while (to > from && IsBlank(to[-1])) {
        --to;
    }
    if (from == to || parent == nullptr) {
        return;
    }
    parent->texts_.push_back({std::string(from, static_cast<size_t>(to - from)),
                              static_cast<uint32_t>(parent->children_.size())});
}

void CXMLContentParser::AddComment(CXMLElement* parent, const char* lt, const char* gt) {
    // The content runs from after "<!--" (or "<?" and the next two bytes) to two bytes before
    // the '>'.
    CXMLNode node;
    if (gt - lt > 6) {
        node.text.assign(lt + 4, gt - 2);
    }
    if (parent != nullptr) {
        node.position = static_cast<uint32_t>(parent->children_.size());
        parent->comments_.push_back(std::move(node));
    } else {
        node.position = metStartTag_ ? 1 : 0;
        document_->prologNodes_.push_back(std::move(node));
    }
}

std::unique_ptr<CXMLElement> CXMLContentParser::MakeElement(const char* tag, const char* tagEnd,
                                                            CXMLElement* parent) {
    std::string name;
    const char* p = tag;
    for (; p < tagEnd; ++p) {
        const char c = *p;
        if (c == ' ' || c == '/' || c == '\t' || c == '>' || c == '"') {
            break;
        }
        if (c != '<') {
            name += c;
        }
    }
    auto element = std::make_unique<CXMLElement>(name, parent);

    // Attributes: name="value" pairs; only double-quoted values read as intended.
    while (p < tagEnd) {
        while (p < tagEnd && (*p == ' ' || *p == '\t')) {
            ++p;
        }
        if (p >= tagEnd || *p == '>' || *p == '/') {
            break;
        }
        const char* equals = FindByte(p, tagEnd, '=');
        if (equals == nullptr) {
            break;
        }
        const char* value = equals + 1;
        if (value < tagEnd && *value == '"') {
            ++value;
        }
        const char* quote = FindByte(value, tagEnd, '"');
        if (quote == nullptr) {
            break;
        }
        element->attributes_.emplace_back(std::string(p, equals), std::string(value, quote),
                                          element.get());
        p = quote + 1;
    }
    return element;
}

// Where the element whose start tag begins at start ends (just after the '>' of its end tag),
// found by counting nesting depth; null when it never ends.
const char* CXMLContentParser::FindElementEnd(const char* start, const char* end) {
    int depth = 0;
    const char* pos = start;
    while (true) {
        const char* lt = FindByte(pos, end, '<');
        if (lt == nullptr) {
            return nullptr;
        }
        if (lt + 1 < end && lt[1] == '/') {
            const char* gt = FindByte(lt, end, '>');
            if (gt == nullptr) {
                return nullptr;
            }
            if (--depth <= 0) {
                return gt + 1;
            }
            pos = gt + 1;
            continue;
        }
        const bool comment = IsCommentOrInstruction(lt, end);
        const bool cdata = IsCData(lt, end);
        const char* stop = nullptr;
        if (cdata) {
            const char* close = FindText(lt + 9, end, "]]>");
            stop = close != nullptr ? close + 2 : nullptr;
        } else {
            bool quoted = false;
            for (const char* p = lt + 1; p < end; ++p) {
                if (*p == '>' || (*p == '/' && !quoted && !comment)) {
                    stop = p;
                    break;
                }
                if (*p == '"') {
                    quoted = !quoted;
                }
            }
        }
        if (stop == nullptr) {
            return nullptr;
        }
        ++depth;
        if (*stop == '/' || comment || cdata) {
            if (--depth == 0) {
                return stop + 1;
            }
        }
        pos = stop + 1;
    }
}

CXMLParserVelmor::CXMLParserVelmor() = default;

CXMLParserVelmor::~CXMLParserVelmor() = default;

CXMLDocument* CXMLParserVelmor::Load(const char* text) {
    document_ = std::make_unique<CXMLDocument>();
    CXMLDocument& document = *document_;
    if (text == nullptr || text[0] == '\0') {
        document.declaration_ = kDefaultDeclaration;
        document.root_ = std::make_unique<CXMLElement>(kDefaultRootName, nullptr);
        return &document;
    }

    const std::string work(text);
    const char* begin = work.data();
    const char* end = begin + work.size();
    const char* start = begin;
    if (const char* close = FindText(begin, end, "?>")) {
        document.declaration_.assign(begin, close + 2);
        start = close + 2;
    } else {
        document.declaration_ = std::string(kUtf8ByteOrderMark) + kDefaultDeclaration;
    }

    if (const char* lt = FindByte(start, end, '<')) {
        CXMLContentParser parser(&document);
        document.root_ = parser.Content(lt, end, nullptr, 0);
    }
    if (document.root_ == nullptr) {
        document.root_ = std::make_unique<CXMLElement>(kDefaultRootName, nullptr);
    }
    return &document;
}

CXMLElement* CXMLParserVelmor::Root() const {
    return document_ != nullptr ? document_->Root() : nullptr;
}

CXMLElement* CXMLParserVelmor::FindChild(const CXMLElement* element, const char* name) {
    if (element == nullptr || name == nullptr) {
        return nullptr;
    }
    for (const auto& child : element->Children()) {
        if (NameEquals(child->encodedName_, name, kElementNameLimit, true)) {
            return child.get();
        }
    }
    return nullptr;
}

uint32_t CXMLParserVelmor::ChildCount(const CXMLElement* element) {
    return element != nullptr ? static_cast<uint32_t>(element->Children().size()) : 0;
}

uint32_t CXMLParserVelmor::GetAttribute(const CXMLElement* element, const char* name, char* buffer,
                                        size_t bufferSize) {
    if (element == nullptr || name == nullptr || buffer == nullptr || bufferSize == 0) {
        return 0;
    }
    for (const CXMLAttribute& attribute : element->Attributes()) {
        if (NameEquals(attribute.RawName(), name, kAttributeNameLimit, false)) {
            return static_cast<uint32_t>(XmlDecodeEntities(
                attribute.RawValue().data(), attribute.RawValue().size(), buffer, bufferSize));
        }
    }
    return 0;
}
