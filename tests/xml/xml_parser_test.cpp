#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "xml/xml_parser.h"

namespace {

// Walks names from the root with FindChild, then reads attribute into a buffer of bufferSize
// bytes; nullopt when an element or the attribute is missing.
std::optional<std::string> Lookup(const std::string& xml, const std::vector<std::string>& path,
                                  const std::string& attribute, size_t bufferSize = 256) {
    CXMLParserVelmor parser;
    parser.Load(xml.c_str());
    const CXMLElement* element = parser.Root();
    for (const std::string& name : path) {
        element = CXMLParserVelmor::FindChild(element, name.c_str());
    }
    if (element == nullptr) {
        return std::nullopt;
    }
    std::vector<char> buffer(bufferSize, '\x7f');
    const uint32_t length =
        CXMLParserVelmor::GetAttribute(element, attribute.c_str(), buffer.data(), buffer.size());
    if (length == 0 && buffer[0] == '\x7f') {
        return std::nullopt;
    }
    EXPECT_EQ(std::strlen(buffer.data()), length);
    return std::string(buffer.data(), length);
}

struct LookupCase {
    const char* label;
    std::string xml;
    std::vector<std::string> path;
    std::string attribute;
    std::optional<std::string> expected;
    size_t bufferSize = 256;
};

class XmlLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(XmlLookup, FindsWhatTheReaderPromises) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(Lookup(c.xml, c.path, c.attribute, c.bufferSize), c.expected);
}

const std::string kLongElement(200, 'e');
const std::string kLongElementXml = "<r><" + kLongElement + " v=\"long\"/></r>";
const std::string kLongAttribute(300, 'a');
const std::string kLongAttributeXml = "<r><x " + kLongAttribute + "=\"long\"/></r>";

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlLookup,
    ::testing::Values(
        LookupCase{"ElementNamesIgnoreCase", "<r><File a=\"1\"/></r>", {"file"}, "a", "1"},
        LookupCase{"AttributeNamesAreExact", "<r><x URL=\"u\"/></r>", {"x"}, "url", {}},
        LookupCase{"NamedEntities",
                   "<r><x v=\"a &amp; b &lt;&gt;&quot;&apos;\"/></r>",
                   {"x"},
                   "v",
                   "a & b <>\"'"},
        LookupCase{"NumericReferencesAreUtf8",
                   "<r><x v=\"&#65;&#x42;&#233;&#X20ac;&#x1F600;\"/></r>",
                   {"x"},
                   "v",
                   "AB\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        LookupCase{"ReferencesOutsideUnicodeBecomeTheReplacementCharacter",
                   "<r><x v=\"&#0;&#xD800;&#99999999999999;\"/></r>",
                   {"x"},
                   "v",
                   "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        LookupCase{"UnknownReferencesStayAsWritten",
                   "<r><x v=\"&#; &#x; &nbsp; &\"/></r>",
                   {"x"},
                   "v",
                   "&#; &#x; &nbsp; &"},
        LookupCase{"ReferenceWithoutSemicolonEndsAtItsDigits",
                   "<r><x v=\"&#65B\"/></r>",
                   {"x"},
                   "v",
                   "AB"},
        LookupCase{"AttributeAfterALineBreakKeepsTheBreakInItsName",
                   "<r><x a=\"1\"\nb=\"2\"/></r>",
                   {"x"},
                   "b",
                   {}},
        LookupCase{"EmptyValueIsWritten", "<r><x v=\"\"/></r>", {"x"}, "v", ""},
        LookupCase{"MissingAttribute", "<r><x v=\"1\"/></r>", {"x"}, "w", {}},
        LookupCase{"MissingElement", "<r><x v=\"1\"/></r>", {"y"}, "v", {}},
        LookupCase{
            "ValueIsCutToTheBuffer", "<r><x v=\"0123456789\"/></r>", {"x"}, "v", "0123456", 8},
        LookupCase{"CutNeverSplitsAReferencedCharacter",
                   "<r><x v=\"abcdef&#x20AC;\"/></r>",
                   {"x"},
                   "v",
                   "abcdef",
                   8},
        LookupCase{"LongElementNameFoundByItself", kLongElementXml, {kLongElement}, "v", "long"},
        LookupCase{"ElementNamesAreSignificantTo127Bytes",
                   kLongElementXml,
                   {std::string(127, 'e') + "zz"},
                   "v",
                   "long"},
        LookupCase{"ShorterPrefixIsAnotherName", kLongElementXml, {std::string(126, 'e')}, "v", {}},
        LookupCase{
            "LongAttributeNameFoundByItself", kLongAttributeXml, {"x"}, kLongAttribute, "long"},
        LookupCase{
            "UnclosedElementKeepsWhatWasCompleted", "<a><b v=\"1\"/></a><c><d/>", {"b"}, "v", "1"},
        LookupCase{"LaterNonEmptyTopLevelElementIsTheRoot",
                   "<first><x v=\"1\"/></first><second><x v=\"2\"/></second>",
                   {"x"},
                   "v",
                   "2"},
        LookupCase{"EmptyTopLevelElementIsRootOnlyWithoutANonEmptyOne",
                   "<e v=\"empty\"/><full v=\"full\"><x/></full><e2 v=\"2\"/>",
                   {},
                   "v",
                   "full"},
        LookupCase{"CommentsCDataAndInstructionsAreNotElements",
                   "<?xml?><r><!-- x v=\"c\" --><?pi x v=\"p\" ?><![CDATA[<x v=\"d\"/>]]>"
                   "<x v=\"real\"/></r>",
                   {"x"},
                   "v",
                   "real"},
        LookupCase{"SlashInsideQuotedValue",
                   "<r><x url=\"http://h/a/b\"><y/></x></r>",
                   {"x"},
                   "url",
                   "http://h/a/b"}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.label; });

// The updater descriptor as the updater reads it: "all"/"all" for the package, "file"/<name>
// for single files.
constexpr const char kDescriptor[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<update>\r\n"
    "  <All>\r\n"
    "    <all url=\"http://h/engine.7z\" hash=\"http://h/engine.7z.hash\"/>\r\n"
    "  </All>\r\n"
    "  <FILE>\r\n"
    "    <TEVDownloadV32.exe URL=\"http://wrong/\" ver=\"3.5.0.2\" "
    "url=\"http://h/TEVDownloadV32.exe\" hash=\"http://h/TEVDownloadV32.exe.hash\"/>\r\n"
    "    <config.dat url=\"http://h/config.dat\" "
    "hash=\"http://h/config.dat.hash\"></config.dat>\r\n"
    "  </FILE>\r\n"
    "</update>\r\n";

struct DescriptorCase {
    std::vector<std::string> path;
    const char* attribute;
    size_t bufferSize;
    std::optional<std::string> expected;
};

class UpdaterDescriptor : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(UpdaterDescriptor, ReadsEveryShape) {
    const DescriptorCase& c = GetParam();
    EXPECT_EQ(Lookup(kDescriptor, c.path, c.attribute, c.bufferSize), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, UpdaterDescriptor,
    ::testing::Values(
        DescriptorCase{{"all", "all"}, "url", 256, "http://h/engine.7z"},
        DescriptorCase{{"all", "all"}, "hash", 256, "http://h/engine.7z.hash"},
        DescriptorCase{{"file", "TEVDownloadV32.exe"}, "ver", 128, "3.5.0.2"},
        DescriptorCase{{"file", "tevdownloadv32.EXE"}, "url", 256, "http://h/TEVDownloadV32.exe"},
        DescriptorCase{
            {"file", "TEVDownloadV32.exe"}, "hash", 256, "http://h/TEVDownloadV32.exe.hash"},
        DescriptorCase{{"file", "config.dat"}, "url", 256, "http://h/config.dat"},
        DescriptorCase{{"file", "config.dat"}, "ver", 128, {}},
        DescriptorCase{{"file", "missing.exe"}, "url", 256, {}},
        DescriptorCase{{"file", "TEVDownloadV32.exe"}, "URL", 256, "http://wrong/"}));

TEST(UpdaterDescriptor, CountsTheFilesAndKeepsTheDeclaration) {
    CXMLParserVelmor parser;
    const CXMLDocument* document = parser.Load(kDescriptor);
    EXPECT_EQ(document->Declaration(), "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_EQ(document->Root()->Name(), "update");
    EXPECT_EQ(CXMLParserVelmor::ChildCount(parser.Root()), 2u);
    EXPECT_EQ(CXMLParserVelmor::ChildCount(CXMLParserVelmor::FindChild(parser.Root(), "file")), 2u);
    EXPECT_EQ(CXMLParserVelmor::ChildCount(CXMLParserVelmor::FindChild(parser.Root(), "none")), 0u);
}

TEST(CXMLParserVelmor, EmptyOrMissingTextGivesTheDefaultDocument) {
    CXMLParserVelmor parser;
    EXPECT_EQ(parser.Root(), nullptr);
    for (const char* text : {static_cast<const char*>(nullptr), "", "no markup at all"}) {
        const CXMLDocument* document = parser.Load(text);
        ASSERT_NE(parser.Root(), nullptr);
        EXPECT_EQ(parser.Root()->Name(), "root");
        EXPECT_EQ(CXMLParserVelmor::ChildCount(parser.Root()), 0u);
        EXPECT_EQ(CXMLParserVelmor::FindChild(parser.Root(), "root"), nullptr);
        EXPECT_NE(document->Declaration().find(
                      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>"),
                  std::string::npos);
    }
}

TEST(CXMLParserVelmor, WithoutDeclarationTheDefaultOneWithAByteOrderMarkIsUsed) {
    CXMLParserVelmor parser;
    const CXMLDocument* document = parser.Load("<r><a/><b/></r>");
    EXPECT_EQ(document->Declaration(),
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>");
    EXPECT_EQ(CXMLParserVelmor::ChildCount(parser.Root()), 2u);
}

TEST(CXMLParserVelmor, LoadReplacesTheEarlierDocument) {
    CXMLParserVelmor parser;
    parser.Load("<one><a/></one>");
    parser.Load("<two/>");
    EXPECT_EQ(parser.Root()->Name(), "two");
    EXPECT_EQ(CXMLParserVelmor::FindChild(parser.Root(), "a"), nullptr);
}

TEST(CXMLParserVelmor, MissingArgumentsLeaveTheBufferUntouched) {
    CXMLParserVelmor parser;
    parser.Load("<r v=\"1\"/>");
    char buffer[4] = "xyz";
    EXPECT_EQ(CXMLParserVelmor::GetAttribute(nullptr, "v", buffer, sizeof buffer), 0u);
    EXPECT_EQ(CXMLParserVelmor::GetAttribute(parser.Root(), nullptr, buffer, sizeof buffer), 0u);
    EXPECT_EQ(CXMLParserVelmor::GetAttribute(parser.Root(), "v", buffer, 0), 0u);
    EXPECT_STREQ(buffer, "xyz");
    EXPECT_EQ(CXMLParserVelmor::FindChild(parser.Root(), nullptr), nullptr);
    EXPECT_EQ(CXMLParserVelmor::FindChild(nullptr, "r"), nullptr);
    EXPECT_EQ(CXMLParserVelmor::ChildCount(nullptr), 0u);
}

TEST(CXMLParserVelmor, ElementNamesReadBackAsWritten) {
    CXMLParserVelmor parser;
    parser.Load("<r><a&amp;b/><c'd/></r>");
    const CXMLElement* first = CXMLParserVelmor::FindChild(parser.Root(), "a&amp;b");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Name(), "a&amp;b");
    EXPECT_NE(CXMLParserVelmor::FindChild(parser.Root(), "c'd"), nullptr);
}

TEST(CXMLParserVelmor, KeepsTextCommentsAndCDataWithTheirPositions) {
    CXMLParserVelmor parser;
    const CXMLDocument* document = parser.Load(
        "<?xml version=\"1.0\"?><!--before--><r> \t lead\r\n<a/><!--mid--><![CDATA[x<y]]>"
        "<b></b>tail</r><!--after-->");
    const CXMLElement* root = parser.Root();
    ASSERT_EQ(root->Texts().size(), 2u);
    EXPECT_EQ(root->Texts()[0].text, "lead");
    EXPECT_EQ(root->Texts()[0].position, 0u);
    EXPECT_EQ(root->Texts()[1].text, "tail");
    EXPECT_EQ(root->Texts()[1].position, 2u);
    ASSERT_EQ(root->Comments().size(), 1u);
    EXPECT_EQ(root->Comments()[0].text, "mid");
    EXPECT_EQ(root->Comments()[0].position, 1u);
    ASSERT_EQ(root->CDataSections().size(), 1u);
    EXPECT_EQ(root->CDataSections()[0].text, "x<y");
    EXPECT_EQ(root->CDataSections()[0].position, 1u);
    ASSERT_EQ(document->PrologNodes().size(), 2u);
    EXPECT_EQ(document->PrologNodes()[0].text, "before");
    EXPECT_EQ(document->PrologNodes()[0].position, 0u);
    EXPECT_EQ(document->PrologNodes()[1].text, "after");
    EXPECT_EQ(document->PrologNodes()[1].position, 1u);
    EXPECT_EQ(root->Children()[0]->Parent(), root);
}

TEST(CXMLParserVelmor, DeepNestingIsCutAtTheDepthLimit) {
    constexpr int kLevels = 5000;
    std::string xml;
    for (int i = 0; i < kLevels; ++i) {
        xml += "<e>";
    }
    for (int i = 0; i < kLevels; ++i) {
        xml += "</e>";
    }
    CXMLParserVelmor parser;
    parser.Load(xml.c_str());
    int depth = 0;
    for (const CXMLElement* e = parser.Root(); e != nullptr;
         e = CXMLParserVelmor::FindChild(e, "e")) {
        ++depth;
    }
    EXPECT_EQ(depth, CXMLParserVelmor::kMaxDepth);
}

TEST(CXMLParserVelmor, MalformedMarkupNeverHangsOrCrashes) {
    const char* inputs[] = {
        "<",
        "<a",
        "<a>",
        "</a>",
        "<a/b>text</a>",
        "<a x=1/2></a>",
        "<![CDATA[",
        "<!--",
        "<a></a<b>></a>",
        "<?x?><?",
        "<a \"/>\"></a>",
        "<a b=\"c></a>",
        "<<<>>>",
        "<a><b></a>",
        "]]><![CDATA]]>",
        "<a=\"\">",
        "<a b=c d=\"e\">",
    };
    for (const char* input : inputs) {
        CXMLParserVelmor parser;
        parser.Load(input);
        ASSERT_NE(parser.Root(), nullptr) << input;
    }
}

}  // namespace
