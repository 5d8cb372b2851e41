// The word exchange that turns what the PC reads into recorder order. Every
// byte of the disk passes through it, so it is written for speed; these
// tests hold it to the plain byte-by-byte exchange.
//
//   | buffer                                        | expected                                        |
//   | 01 02 03 04 05 06                             | 02 01 04 03 06 05                               |
//   | 5 bytes                                       | two words exchanged, the odd last byte kept     |
//   | 0 and 1 bytes                                 | unchanged                                       |
//   | one cluster-sized buffer, starting at an odd  | every pair exchanged as by the plain loop,      |
//   | address, every length from 0 to 40 at offsets | bytes outside [buf, buf + count) untouched;     |
//   | 0 to 3                                        | exchanging twice restores the buffer            |
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "disk/bytes.h"

namespace {

std::vector<uint8_t> reference_swap(std::vector<uint8_t> b, size_t from, size_t count) {
    for (size_t i = 0; i + 1 < count; i += 2) std::swap(b[from + i], b[from + i + 1]);
    return b;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> b(n);
    uint32_t x = 12345;
    for (uint8_t& v : b) {
        x = x * 1103515245u + 12345u;
        v = uint8_t(x >> 16);
    }
    return b;
}

TEST(SwapWords, ExchangesTheBytesOfEveryWord) {
    std::vector<uint8_t> b = {1, 2, 3, 4, 5, 6};
    swap16_words(b.data(), b.size());
    EXPECT_EQ(b, (std::vector<uint8_t>{2, 1, 4, 3, 6, 5}));
}

TEST(SwapWords, OddLastByteIsLeftAlone) {
    std::vector<uint8_t> b = {1, 2, 3, 4, 5};
    swap16_words(b.data(), b.size());
    EXPECT_EQ(b, (std::vector<uint8_t>{2, 1, 4, 3, 5}));
}

TEST(SwapWords, EmptyAndSingleByteBuffersStayAsTheyAre) {
    uint8_t one[1] = {0xAB};
    swap16_words(one, 0);
    swap16_words(one, 1);
    EXPECT_EQ(one[0], 0xAB);
}

TEST(SwapWords, MatchesThePlainExchangeAtAnyLengthAndAlignment) {
    const std::vector<uint8_t> original = pattern(64);
    for (size_t from = 0; from < 4; ++from) {
        for (size_t count = 0; count <= 40; ++count) {
            std::vector<uint8_t> b = original;
            swap16_words(b.data() + from, count);
            EXPECT_EQ(b, reference_swap(original, from, count)) << "offset " << from << ", " << count << " bytes";
        }
    }
}

TEST(SwapWords, WholeClusterAtAnOddAddress) {
    const size_t size = 1048576;
    const std::vector<uint8_t> original = pattern(size + 2);
    std::vector<uint8_t> b = original;
    swap16_words(b.data() + 1, size);
    EXPECT_EQ(b, reference_swap(original, 1, size));
    swap16_words(b.data() + 1, size);
    EXPECT_EQ(b, original);
}

}  // namespace
