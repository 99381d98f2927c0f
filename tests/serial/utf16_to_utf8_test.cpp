#include "serial/utf16_to_utf8.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <ryx.h>

#include "serial/last_error.h"

namespace ryx {
namespace {

TEST(Utf16ToUtf8, EncodesEachLengthClass) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"/dev/ttyS0", "/dev/ttyS0"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u0416\u07FF", "\xD0\x96\xDF\xBF"},
        {u"\u0800\uFFFD\uE000", "\xE0\xA0\x80\xEF\xBF\xBD\xEE\x80\x80"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},  // a surrogate pair becomes one 4-byte sequence
        {u"a\U0010FFFFb",
         "a\xF4\x8F\xBF\xBF"
         "b"},
    };
    for (const auto& c : cases) {
        char out[64];
        ASSERT_EQ(Utf16ToUtf8(c.in.c_str(), out, sizeof out), RYX_SUCCESS);
        EXPECT_EQ(std::string(out), c.out);
    }
}

TEST(Utf16ToUtf8, RefusesUnpairedSurrogates) {
    const char16_t* cases[] = {
        u"\xD800",  // high surrogate at the end
        u"a\xD83D"
        u"b",                   // high surrogate followed by no low one
        u"\xDC00",              // low surrogate alone
        u"\xD83D\xD83D\xDE00",  // two highs, the first unpaired
    };
    for (const char16_t* in : cases) {
        char out[64];
        EXPECT_EQ(Utf16ToUtf8(in, out, sizeof out), RYX_ERROR_INVALID_NAME);
    }
}

TEST(Utf16ToUtf8, NeedsRoomForTheTerminator) {
    char out[4];
    ASSERT_EQ(Utf16ToUtf8(u"abc", out, sizeof out), RYX_SUCCESS);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(Utf16ToUtf8(u"abcd", out, sizeof out), ErrnoToStatus(ENAMETOOLONG));
    EXPECT_EQ(Utf16ToUtf8(u"ab\u00E9", out, sizeof out), ErrnoToStatus(ENAMETOOLONG));  // 4 bytes + NUL
    EXPECT_EQ(Utf16ToUtf8(u"", out, 0), ErrnoToStatus(ENAMETOOLONG));
}

}  // namespace
}  // namespace ryx
