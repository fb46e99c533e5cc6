#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "named_case.h"

namespace kestrova::engine {
namespace {

std::string hex(const std::array<uint8_t, 32>& d) {
    std::string out;
    char b[3];
    for (uint8_t x : d) {
        std::snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

struct Case : test::NamedCase {
    std::string message;
    std::string digest;
};

class KnownAnswers : public ::testing::TestWithParam<Case> {};

// Fed whole and in uneven pieces, so the buffering across block edges and the
// block function see every split.
TEST_P(KnownAnswers, AnyWayTheBytesArrive) {
    const auto& c = GetParam();
    const auto* data = reinterpret_cast<const uint8_t*>(c.message.data());
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(63), std::size_t(64), std::size_t(65),
                              std::size_t(1000), c.message.size() + 1}) {
        Sha256 h;
        for (std::size_t at = 0; at < c.message.size(); at += piece)
            h.update(data + at, std::min(piece, c.message.size() - at));
        EXPECT_EQ(hex(h.finish()), c.digest) << "pieces of " << piece;
    }
}

// FIPS 180-2 examples and lengths around the padding boundary (55, 56, 64).
INSTANTIATE_TEST_SUITE_P(
    Messages, KnownAnswers,
    ::testing::Values(
        Case{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Case{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Case{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
             "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Case{"a_55", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        Case{"a_56", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        Case{"a_64", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        Case{"a_million", std::string(1000000, 'a'),
             "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    test::case_name);

}  // namespace
}  // namespace kestrova::engine
