#include <gtest/gtest.h>

#include <velmora/RefBase.h>
#include <velmora/String16.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>
#include <velmora/Vector.h>

using namespace velmora;

namespace {

std::u16string units(const String16& s) { return std::u16string(s.view()); }

TEST(String16Test, DecodesUtf8OfEveryLength) {
    EXPECT_EQ(units(String16("abc")), u"abc");
    EXPECT_EQ(units(String16("\xc3\xa9")), u"\u00e9");      // 2 bytes
    EXPECT_EQ(units(String16("\xe2\x9c\x93")), u"\u2713");  // 3 bytes
    const String16 emoji("\xf0\x9f\x98\x80");               // 4 bytes, outside the BMP
    EXPECT_EQ(emoji.size(), 2u);
    EXPECT_EQ(units(emoji), u"\xD83D\xDE00");
    EXPECT_EQ(String16("\xf4\x8f\xbf\xbf").size(), 2u);  // U+10FFFF
    EXPECT_EQ(String16("").size(), 0u);
    EXPECT_EQ(String16(static_cast<const char*>(nullptr)).size(), 0u);
    EXPECT_EQ(emoji.c_str()[2], u'\0');
}

TEST(String16Test, EachInvalidByteBecomesOneReplacementCharacter) {
    struct Case {
        const char* utf8;
        std::u16string expected;
    } cases[] = {
        {"a\xff"
         "b",
         u"a\uFFFDb"},        // never valid
        {"\x80", u"\uFFFD"},  // lone continuation
        {"\xc3", u"\uFFFD"},  // truncated at the end
        {"\xe2\x82"
         "A",
         u"\uFFFD\uFFFDA"},                                 // truncated in the middle
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // overlong '/'
        {"\xe0\x80\xaf", u"\uFFFD\uFFFD\uFFFD"},            // overlong, 3 bytes
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xf5\x80", u"\uFFFD\uFFFD"},
        {"\xc3\xa9\xc3", u"\u00e9\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(units(String16(c.utf8)), c.expected) << c.utf8;
    // An explicit length keeps embedded 0 bytes as code units.
    EXPECT_EQ(String16("a\0b", 3).size(), 3u);
}

TEST(String16Test, ComparesByCodeUnits) {
    EXPECT_EQ(String16("x"), String16(u"x", 1));
    EXPECT_NE(String16("x"), String16("X"));
    EXPECT_NE(String16(""), String16("\0", 1));
    String16 s("ab");
    s.append(String16("c"));
    EXPECT_EQ(s, String16("abc"));
}

TEST(String8Test, EncodesUtf16AndReplacesUnpairedSurrogates) {
    const char* text = "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80";
    EXPECT_STREQ(String8(String16(text)).c_str(), text);
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_STREQ(String8(String16(lone, 4)).c_str(),
                 "a\xef\xbf\xbd"
                 "b\xef\xbf\xbd");
    String8 built;
    built.append("ab").append(static_cast<const char*>(nullptr)).append("c");
    EXPECT_STREQ(built.c_str(), "abc");
    EXPECT_EQ(built.size(), 3u);
}

class Counted : public RefBase {
public:
    explicit Counted(int* alive) : alive_(alive) { ++*alive_; }
    ~Counted() override { --*alive_; }

private:
    int* alive_;
};

class Derived : public Counted {
    using Counted::Counted;
};

TEST(RefBaseTest, LastStrongPointerDeletesTheObject) {
    int alive = 0;
    {
        sp<Counted> a(new Counted(&alive));
        EXPECT_EQ(a->getStrongCount(), 1);
        {
            sp<Counted> b = a;
            EXPECT_EQ(a->getStrongCount(), 2);
            sp<Counted> c = std::move(b);
            EXPECT_FALSE(b);
            EXPECT_EQ(a->getStrongCount(), 2);
        }
        EXPECT_EQ(a->getStrongCount(), 1);
        EXPECT_EQ(alive, 1);
        sp<Counted>& same = a;  // through a reference, as self-assignment happens in real code
        a = same;
        EXPECT_EQ(alive, 1);
        a.clear();
        EXPECT_EQ(alive, 0);
        EXPECT_TRUE(a == nullptr);
    }
    {
        sp<Derived> d = sp<Derived>::make(&alive);
        sp<Counted> base = d;
        EXPECT_TRUE(base == d);
        d = nullptr;
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);
}

TEST(TextOutputTest, WritesTextNumbersAndLineEnds) {
    StringTextOutput out;
    out << "Found " << 3u << " services:" << endl;
    out << -7 << ' ' << 4294967295u << ' ' << static_cast<const char*>(nullptr) << String8("x") << String16("\xc3\xa9")
        << endl;
    EXPECT_EQ(out.str(), "Found 3 services:\n-7 4294967295 x\xc3\xa9\n");
}

TEST(TextOutputTest, StandardStreamsWriteToTheirDescriptors) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    aout << "to out" << endl;
    aerr << "to err" << endl;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to out\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to err\n");
}

TEST(VectorTest, KeepsInsertionOrder) {
    Vector<String16> names;
    EXPECT_TRUE(names.isEmpty());
    names.add(String16("b"));
    names.push_back(String16("a"));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], String16("b"));
    EXPECT_EQ(names.itemAt(1), String16("a"));
}

}  // namespace
