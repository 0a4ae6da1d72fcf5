// The status pass's kept texts: made again when any part of the key
// changed, never when none did, and a format that fails keeps the old text.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tmschannel/common/CachedText.h"

namespace {

TEST(CachedTextTest, TheTextIsMadeAgainExactlyWhenAPartOfTheKeyChanged) {
    CCachedText<3> text;
    int made = 0;
    auto format = [&](std::int64_t a, std::int64_t b, std::int64_t c) -> const std::string& {
        return text.Text({a, b, c}, [&] {
            ++made;
            return std::to_string(a) + "/" + std::to_string(b) + "/" + std::to_string(c);
        });
    };
    EXPECT_EQ(format(0, 0, 0), "0/0/0") << "the first key is made though it equals the default";
    EXPECT_EQ(made, 1);
    EXPECT_EQ(format(0, 0, 0), "0/0/0");
    EXPECT_EQ(made, 1);
    const std::int64_t changes[][3] = {{1, 0, 0}, {1, 2, 0}, {1, 2, 3}, {-1, 2, 3}};
    for (const auto& key : changes) {
        SCOPED_TRACE(std::to_string(key[0]) + "," + std::to_string(key[1]) + "," +
                     std::to_string(key[2]));
        const int before = made;
        format(key[0], key[1], key[2]);
        EXPECT_EQ(made, before + 1);
        format(key[0], key[1], key[2]);
        EXPECT_EQ(made, before + 1);
    }
}

TEST(CachedTextTest, AFormatThatThrowsKeepsTheTextAndKeyItHad) {
    CCachedText<1> text;
    EXPECT_EQ(text.Text({5}, [] { return std::string("five"); }), "five");
    EXPECT_THROW(text.Text({6}, []() -> std::string { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(text.Text({5}, [] { return std::string("not made"); }), "five");
    EXPECT_EQ(text.Text({6}, [] { return std::string("six"); }), "six");
}

}  // namespace
