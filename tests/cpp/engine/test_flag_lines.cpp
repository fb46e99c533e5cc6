#include "engine/flag_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "named_case.h"

namespace kestrova::engine {
namespace {

// The ids as the binding hands them over: bytes end to end and 32-bit offsets.
struct Column {
    std::string bytes;
    std::vector<uint32_t> offsets{0};
    explicit Column(const std::vector<std::string>& ids) {
        for (const auto& id : ids) {
            bytes += id;
            offsets.push_back(uint32_t(bytes.size()));
        }
    }
    KeyColumn view() const {
        return KeyColumn({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                         {reinterpret_cast<const uint8_t*>(offsets.data()), offsets.size() * 4}, 4, "ids");
    }
};

struct Case : test::NamedCase {
    std::vector<std::string> ids;
    std::vector<uint8_t> flags;
    std::string lines;
};

class Lines : public ::testing::TestWithParam<Case> {};

TEST_P(Lines, AsACsvReaderReadsThemBack) {
    const auto& c = GetParam();
    const Column ids(c.ids);
    std::string out = "header\n";  // appended to, not replaced
    flag_lines(ids.view(), c.flags, out);
    EXPECT_EQ(out, "header\n" + c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    FlagLines, Lines,
    ::testing::Values(Case{{"none"}, {}, {}, ""},
                      Case{{"plain"}, {"a", "tx-2", ""}, {1, 0, 7}, "a,true\ntx-2,false\n,true\n"},
                      Case{{"quoted"}, {"a\"b", "c,d", "e\rf", "g\nh", "\""}, {0, 1, 0, 1, 0},
                           "\"a\"\"b\",false\n\"c,d\",true\n\"e\rf\",false\n\"g\nh\",true\n\"\"\"\",false\n"},
                      Case{{"utf8"}, {"Zoë", "東京"}, {1, 1}, "Zoë,true\n東京,true\n"}),
    test::case_name);

TEST(FlagLines, RefusesFlagsOfAnotherLength) {
    const Column ids({"a", "b"});
    std::string out;
    const std::vector<uint8_t> one{1};
    EXPECT_THROW(flag_lines(ids.view(), one, out), BadInput);
}

TEST(FlagBitmap, EachFlagItsBitLeastSignificantFirst) {
    for (size_t n : {0, 1, 7, 8, 9, 17, 64}) {
        std::vector<uint8_t> flags(n);
        for (size_t i = 0; i < n; ++i) flags[i] = uint8_t((i * 37) % 5 % 3 * 0x81);  // 0, 0x81 and 0x02
        std::vector<uint8_t> bitmap((n + 7) / 8, 0xEE);
        flag_bitmap(flags, bitmap);
        for (size_t i = 0; i < bitmap.size() * 8; ++i)
            EXPECT_EQ((bitmap[i / 8] >> (i % 8)) & 1, i < n && flags[i] != 0) << "n " << n << ", bit " << i;
    }
    std::vector<uint8_t> flags(9), small(1);
    EXPECT_THROW(flag_bitmap(flags, small), BadInput);
}

}  // namespace
}  // namespace kestrova::engine
