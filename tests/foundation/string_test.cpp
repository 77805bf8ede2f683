#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/list.h"
#include "foundation/string.h"
#include "foundation/tokenizer.h"

TEST(vmCString, AssignEmptiesOnNullOrEmptyAndFreesTheBlock) {
    vmCString s("abcdef");
    ASSERT_TRUE(s.HasHeapBlock());
    s.Assign(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_FALSE(s.HasHeapBlock());
    s = "abcdef";
    s.Assign("");
    EXPECT_STREQ(s.GetBuffer(), "");
    EXPECT_FALSE(s.HasHeapBlock());
}

TEST(vmCString, ShortTextsStayInlineAndLongerBlocksAreReused) {
    vmCString s("abc");
    EXPECT_FALSE(s.HasHeapBlock());
    s = "0123456789";
    const char* block = s.GetBuffer();
    s = "wxyz";  // fits the 10-character block: kept
    EXPECT_EQ(s.GetBuffer(), block);
    EXPECT_EQ(s.GetLength(), 4u);
    EXPECT_STREQ(s.GetBuffer(), "wxyz");
}

TEST(vmCString, AppendGrowsFromInlineToAnExactBlock) {
    vmCString s("abc");
    s.Append("c");
    EXPECT_TRUE(s.HasHeapBlock());
    EXPECT_STREQ(s.GetBuffer(), "abcc");
    EXPECT_EQ(s.GetLength(), 4u);
    s.Append(s);  // appending to itself reads the old text
    EXPECT_STREQ(s.GetBuffer(), "abccabcc");
    vmCString t;
    t.AppendBytes("xy", 2);
    t.Append(vmCString('z'));
    EXPECT_STREQ(t.GetBuffer(), "xyz");
    EXPECT_TRUE(vmCString(char{0}).IsEmpty());
}

TEST(vmCString, SelfSubstringAssignment) {
    vmCString s("hello world, long enough");
    s.AssignBytes(s.GetBuffer() + 6, 5);
    EXPECT_STREQ(s.GetBuffer(), "world");
}

struct MidCase {
    const char* text;
    uint32_t start;
    uint32_t count;
    const char* expected;
};

class MidTest : public ::testing::TestWithParam<MidCase> {};

TEST_P(MidTest, ClipsToTheString) {
    const MidCase& c = GetParam();
    EXPECT_STREQ(vmCString(c.text).Mid(c.start, c.count).GetBuffer(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, MidTest,
                         ::testing::Values(MidCase{"abcdef", 2, 100, "cdef"},
                                           MidCase{"abcdef", 7, 1, ""}, MidCase{"abcdef", 6, 1, ""},
                                           MidCase{"abcdef", 0, 0x100001, ""},
                                           MidCase{"abcdef", 1, 2, "bc"}));

TEST(vmCString, FindCompareAndLower) {
    const vmCString s("abab");
    EXPECT_EQ(s.Find("b", 0), 1);
    EXPECT_EQ(s.Find("b", 2), 3);
    EXPECT_EQ(s.Find("b", 5), -1);
    EXPECT_EQ(s.Find("zz", 0), -1);
    vmCString mixed("AbC\xC4Z");
    mixed.MakeLower();
    EXPECT_STREQ(mixed.GetBuffer(), "abc\xC4z");  // bytes of 128 and above stay
    EXPECT_LT(vmCString("a").Compare("b"), 0);
    EXPECT_TRUE(vmCString("same") == "same");
}

TEST(vmCStringTokenizer, SplitSkipsEmptyTokens) {
    const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
        {"/a//b/", {"a", "b"}},
        {"", {}},
        {"///", {}},
        {"one", {"one"}},
        {"http://a|http://b", {"http://a", "http://b"}},
    };
    for (const auto& [text, expected] : cases) {
        vmCStringTokenizer tokenizer;
        tokenizer.Split(text, text[0] == 'h' ? '|' : '/');
        std::vector<std::string> got;
        while (tokenizer.HasMore()) {
            got.emplace_back(tokenizer.Next());
        }
        EXPECT_EQ(got, expected) << text;
        EXPECT_EQ(tokenizer.Next(), nullptr);
    }
}

TEST(vmCList, OwnsNodesNotElements) {
    int a = 1, b = 2, c = 3;
    vmCList list;
    list.Append(&a);
    list.Append(&b);
    list.Append(&c);
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetAt(1), &b);
    EXPECT_EQ(list.GetAt(3), nullptr);
    EXPECT_EQ(list.GetAt(-1), nullptr);
    EXPECT_EQ(list.Remove(&b), &b);
    EXPECT_EQ(list.Remove(&b), nullptr);
    EXPECT_EQ(list.RemoveAt(1), &c);
    EXPECT_EQ(list.GetHead(), &a);
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHead(), nullptr);
}
