// Helpers several rooms share: UTF-8 text and levels sent as JSON numbers.
#include "answer/LevelNumber.h"
#include "base/Text.h"

#include <gtest/gtest.h>

#include <limits>

namespace ulvo {
namespace {

using nlohmann::json;

TEST(Text, TrimsUnicodeWhiteSpaceOnlyAndKeepsInvalidBytes) {
    EXPECT_EQ(trimmedWhitespaceAndNewlines(" \t\n\u00a0\u3000word two\u2028\r\n "), "word two");
    EXPECT_EQ(trimmedWhitespaceAndNewlines(" \xff "), "\xff");
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\u200bzero width\u200b"), "\u200bzero width\u200b");
    EXPECT_TRUE(isBlank(" \u00a0\u3000\r\n"));
    EXPECT_FALSE(isBlank(" \xff "));
}

TEST(Text, IllFormedUtf8IsFoundAndRepairedOneReplacementPerMaximalSubpart) {
    const std::string fffd = "\xef\xbf\xbd";
    struct Case {
        std::string bytes;
        std::string repaired;
    };
    const std::vector<Case> cases = {
        {"Gr\u00fc\u00dfe \U0001F600", "Gr\u00fc\u00dfe \U0001F600"},
        {"ok \xff end", "ok " + fffd + " end"},
        {"cut \xe2\x80", "cut " + fffd},                 // a truncated sequence is one subpart
        {"\xe0\x80\xaf", fffd + fffd + fffd},            // overlong three-byte form
        {"\xed\xa0\x80", fffd + fffd + fffd},            // a surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd}, // past U+10FFFF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(json(c.repaired).dump());
        EXPECT_EQ(repairedUtf8(c.bytes), c.repaired);
        EXPECT_EQ(isValidUtf8(c.bytes), c.bytes == c.repaired);
    }
}

TEST(LevelNumber, NumbersSaturateAndTruncateAndAnythingElseIsAbsent) {
    constexpr Level most = std::numeric_limits<Level>::max();
    constexpr Level least = std::numeric_limits<Level>::min();
    const std::vector<std::pair<json, std::optional<Level>>> cases = {
        {json(80), 80},
        {json(80.9), 80},
        {json(9223372036854775808.0), most}, // 2^63, one past the top
        {json(-9223372036854775808.0), least},
        {json(std::numeric_limits<std::uint64_t>::max()), most},
        {json(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
        {json("80"), std::nullopt},
    };
    for (const auto& [value, level] : cases) {
        SCOPED_TRACE(value.dump());
        EXPECT_EQ(levelFromNumber(value), level);
    }
}

} // namespace
} // namespace ulvo
