#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_init.h"
#include "utils.h"

using Pieces = std::vector<std::string>;

TEST(Split, DropsEmptyPiecesAndKeepsOrder) {
    EXPECT_EQ(UTILS::split("a  b ", ' '), (Pieces{"a", "b"}));
    EXPECT_EQ(UTILS::split("  leading and trailing  ", ' '), (Pieces{"leading", "and", "trailing"}));
    EXPECT_EQ(UTILS::split("8/8/4k3", '/'), (Pieces{"8", "8", "4k3"}));
    EXPECT_EQ(UTILS::split("last", ' '), (Pieces{"last"}));
    EXPECT_TRUE(UTILS::split("", ' ').empty());
    EXPECT_TRUE(UTILS::split("////", '/').empty());
    EXPECT_EQ(UTILS::split("x,,y", ','), (Pieces{"x", "y"}));
}

TEST(Zobrist, DrawnInOrderFromTheFixedSeed) {
    InitTablesOnce();
    uint64_t x = 0x60919c48e57863b9ULL;
    const auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    EXPECT_EQ(UTILS::zKeys[0][0][0], next());
    EXPECT_EQ(UTILS::zKeys[0][0][1], next());
    for (int i = 2; i < 64 * 6; i++) next();
    EXPECT_EQ(UTILS::zKeys[1][0][0], next()); // Black pawn a1 follows White king h8
    for (int i = 1; i < 64 * 6; i++) next();
    for (int i = 0; i < 8; i++) EXPECT_EQ(UTILS::zEnPassant[i], next());
    for (int i = 0; i < 16; i++) EXPECT_EQ(UTILS::zCastle[i], next());
    EXPECT_EQ(UTILS::zSide, next());
    EXPECT_EQ(UTILS::initialSeed, UTILS::zSide);
}

TEST(BitHelpers, WalkLowestFirst) {
    uint64_t b = (1ULL << 63) | (1ULL << 5) | 1ULL;
    EXPECT_EQ(UTILS::popcount(b), 3);
    EXPECT_EQ(UTILS::lsb(b), 0);
    EXPECT_EQ(UTILS::poplsb(b), 0);
    EXPECT_EQ(UTILS::poplsb(b), 5);
    EXPECT_EQ(UTILS::poplsb(b), 63);
    EXPECT_EQ(b, 0u);
}
