#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "board.h"
#include "perft.h"
#include "test_init.h"

namespace {

class PerftTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InitTablesOnce(); }
};

std::string RunPerft(Board& b, int depth) {
    testing::internal::CaptureStdout();
    Perft(b, depth);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST_F(PerftTest, CountsOfShallowTrees) {
    Board b;
    b.SetByFen(StartingFen);
    EXPECT_EQ(PerftCount(b, 0), 1u);
    EXPECT_EQ(PerftCount(b, 1), 20u);
    EXPECT_EQ(PerftCount(b, 2), 400u);
    EXPECT_EQ(PerftCount(b, 3), 8902u);
    b.SetByFen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    EXPECT_EQ(PerftCount(b, 2), 2039u);
    b.SetByFen("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1");
    EXPECT_EQ(PerftCount(b, 4), 43238u);
}

TEST_F(PerftTest, DivisionAndReportText) {
    Board b;
    b.SetByFen(StartingFen);
    const std::string out = RunPerft(b, 2);
    const std::string division =
        "a2a3: 20\na2a4: 20\nb2b3: 20\nb2b4: 20\nc2c3: 20\nc2c4: 20\nd2d3: 20\nd2d4: 20\n"
        "e2e3: 20\ne2e4: 20\nf2f3: 20\nf2f4: 20\ng2g3: 20\ng2g4: 20\nh2h3: 20\nh2h4: 20\n"
        "b1a3: 20\nb1c3: 20\ng1f3: 20\ng1h3: 20\n\nDepth: 2\nTotal nodes: 400\n";
    ASSERT_EQ(out.substr(0, division.size()), division);
    const std::string timeLine = out.substr(division.size());
    // "Time took: <seconds>s (<speed> nodes/sec)"
    double seconds = -1;
    long long speed = -1;
    char tail[32] = {};
    ASSERT_EQ(
        std::sscanf(timeLine.c_str(), "Time took: %lfs (%lld nodes/sec%31[^\n]", &seconds, &speed, tail), 3)
        << timeLine;
    EXPECT_STREQ(tail, ")");
    EXPECT_EQ(timeLine.back(), '\n');
    EXPECT_GE(seconds, 0.0);
    EXPECT_GE(speed, 0);
}

TEST_F(PerftTest, PositionIsUnchanged) {
    Board b;
    b.SetByFen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    Board before;
    std::memcpy(static_cast<void*>(&before), &b, sizeof(Board));
    RunPerft(b, 2);
    EXPECT_EQ(std::memcmp(&before, &b, sizeof(Board)), 0);
}

TEST_F(PerftTest, MateAndStalemateCountZero) {
    Board b;
    b.SetByFen("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"); // fool's mate
    for (int depth = 1; depth <= 3; depth++) {
        const std::string out = RunPerft(b, depth);
        EXPECT_EQ(out.rfind("\nDepth: " + std::to_string(depth) + "\nTotal nodes: 0\nTime took: ", 0), 0u)
            << out;
    }
    b.SetByFen("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"); // stalemate
    EXPECT_EQ(PerftCount(b, 3), 0u);
}

TEST_F(PerftTest, DepthBelowOneIsRefused) {
    Board b;
    b.SetByFen(StartingFen);
    EXPECT_EQ(RunPerft(b, 0), "Perft depth must be at least 1\n");
    EXPECT_EQ(RunPerft(b, -3), "Perft depth must be at least 1\n");
    EXPECT_EQ(PerftCount(b, -1), 0u);
}

TEST_F(PerftTest, DepthBeyondThePlyLimitIsRefused) {
    Board b;
    b.SetByFen(StartingFen);
    for (int depth : {3000, INT32_MAX, 256})
        EXPECT_EQ(RunPerft(b, depth), "Perft depth must be at most 255\n") << depth;
    EXPECT_EQ(b.GetFen(), std::string(StartingFen));
}
