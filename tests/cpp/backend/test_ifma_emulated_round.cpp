// One round of the protocol through the operations, on the IFMA kernels this
// binary links (the emulated ones): every multiplication, table and
// decompression of the round runs in their lanes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "operations/operations.h"

namespace kestrova::operations {
namespace {

TEST(EmulatedRound, FlagsTheMatchingTransactions) {
    setenv("KESTROVA_BACKEND", "avx512ifma", 1);
    ASSERT_EQ(std::string(backend::chosen().name()), "avx512ifma");
    ASSERT_EQ(&backend::chosen(), backend::ifma());
    // 11 rows: a full block of eight lanes and a short one.
    constexpr size_t n = 11;
    StringRows bank_a, bank_b, senders, receivers;
    for (size_t i = 0; i < n; ++i) {
        bank_a.push_back({"NL" + std::to_string(i), "Zoë Nowak " + std::to_string(i), "ALPHNL2A"});
        bank_b.push_back({"FR" + std::to_string(i), "Søren Øst " + std::to_string(i), "BRAVFRPP"});
    }
    for (size_t i = 0; i < n; ++i) {
        senders.push_back(bank_a[(7 * i) % n]);
        receivers.push_back(i % 2 == 0 ? bank_b[(5 * i) % n] : Row{"XX" + std::to_string(i), "?", "?"});
    }
    const auto [pk_a, sk_a] = key_gen();
    const auto [pk_b, sk_b] = key_gen();
    const auto [pk_c, sk_c] = key_gen();
    Bytes okvs_a = build_okvs(pk_a, bank_a);
    Bytes okvs_b = build_okvs(pk_b, bank_b);
    const Bytes queries = initiate_queries(senders, receivers, std::move(okvs_a), std::move(okvs_b), pk_c);
    const auto [s, r, g, d] = combine(randomize(queries), randomize(queries));
    const std::vector<bool> flags = finish(decrypt(s, sk_a), decrypt(r, sk_b), g, d, sk_c);
    ASSERT_EQ(flags.size(), n);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(flags[i], i % 2 == 0) << i;
}

}  // namespace
}  // namespace kestrova::operations
