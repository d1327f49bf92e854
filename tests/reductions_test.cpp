#include <gtest/gtest.h>

#include <memory>

#include "search.h"
#include "test_init.h"

namespace {

using SEARCH::lmrTable;

// A bare board record: only the fields the reductions read.
Board BareBoard() {
    Board b{};
    for (int& sq : b.mailbox) sq = NO_PIECE;
    return b;
}

class Reductions : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        ctx = std::make_unique<SEARCH::SearchContext>();
        board = BareBoard();
        board.mailbox[6] = KNIGHT; // g1
        board.mailbox[12] = PAWN;  // e2
        board.mailbox[52] = PAWN;  // e7
        board.mailbox[35] = ROOK;  // d5, black piece for captures
    }

    int PV(Move m, int depth, int moves, bool cut = false, bool improving = false, bool corr = false,
           bool failLow = false, int ply = 0) {
        return SEARCH::GetReductions<true>(board, m, depth, moves, ply, cut, improving, corr, true, failLow,
                                           *ctx);
    }
    int NonPV(Move m, int depth, int moves, bool ttPV, bool cut = false, bool improving = false,
              int ply = 0) {
        return SEARCH::GetReductions<false>(board, m, depth, moves, ply, cut, improving, false, ttPV, false,
                                            *ctx);
    }

    std::unique_ptr<SEARCH::SearchContext> ctx;
    Board board;
    const Move knightMove{6, 21, QUIET};           // g1f3
    const Move promotion{52, 60, QUEEN_PROMOTION}; // e7e8q
    const Move capture{12, 35, CAPTURE};           // pawn takes the rook (geometry does not matter here)
};

} // namespace

TEST(LmrTable, TellingEntries) {
    InitTablesOnce();
    const int expected[][4] = {{1, 1, 1, 0},   {5, 10, 2, 1},   {10, 20, 4, 2},
                               {20, 40, 5, 3}, {64, 100, 9, 6}, {256, 217, 14, 9}};
    for (const auto& e : expected) {
        EXPECT_EQ(lmrTable[1][e[0]][e[1]], e[2]) << "quiet " << e[0] << "," << e[1];
        EXPECT_EQ(lmrTable[0][e[0]][e[1]], e[3]) << "noisy " << e[0] << "," << e[1];
    }
    for (int q = 0; q < 2; q++) {
        for (int d = 0; d <= 256; d++) {
            EXPECT_EQ(lmrTable[q][d][0], 0);
            for (int m = 0; m < MAX_MOVES; m++) {
                const int v = lmrTable[q][d][m];
                if (d == 0) {
                    EXPECT_EQ(v, 0);
                }
                ASSERT_GE(v, 0);
                // Never fewer plies for a later move or a deeper node.
                if (m > 0) {
                    ASSERT_GE(v, lmrTable[q][d][m - 1]);
                }
                if (d > 0) {
                    ASSERT_GE(v, lmrTable[q][d - 1][m]);
                }
            }
        }
    }
}

TEST_F(Reductions, PvQuietMoveWithoutFlags) {
    // 1024 * 4 - 982 + 1131 - 936 = 3309 -> 3
    EXPECT_EQ(PV(knightMove, 10, 20), 3);
    // Improving removes the 1131: 2178 -> 2.
    EXPECT_EQ(PV(knightMove, 10, 20, false, true), 2);
    // Cut node adds 2005: 5314 -> 5; corrplexity takes 830: 2479 -> 2; fail low adds 913: 4222 -> 4.
    EXPECT_EQ(PV(knightMove, 10, 20, true), 5);
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, true), 2);
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, false, true), 4);
}

TEST_F(Reductions, NonPvNodeUsesItsTtPvFlag) {
    // 4096 + 1131 = 5227 -> 5; with ttPV 4291 -> 4.
    EXPECT_EQ(NonPV(knightMove, 10, 20, false), 5);
    EXPECT_EQ(NonPV(knightMove, 10, 20, true), 4);
}

TEST_F(Reductions, QuietHistoryInWholePlies) {
    int32_t& h = ctx->quietHistory[WHITE][6][21][0][0];
    h = -20000; // two more plies
    EXPECT_EQ(PV(knightMove, 10, 20), 5);
    h = 20000; // two fewer
    EXPECT_EQ(PV(knightMove, 10, 20), 1);
    h = 8376; // too small to count
    EXPECT_EQ(PV(knightMove, 10, 20), 3);
    h = 8377;
    EXPECT_EQ(PV(knightMove, 10, 20), 2);
    // The threat flags pick the entry.
    h = 0;
    ctx->quietHistory[WHITE][6][21][1][0] = 20000;
    board.threats[BLACK] = 1ULL << 6;
    EXPECT_EQ(PV(knightMove, 10, 20), 1);
}

TEST_F(Reductions, ContinuationTermsFollowThePly) {
    ctx->stack[0] = {0, PAWN, 52, BLACK};
    ctx->stack[1] = {0, KNIGHT, 45, WHITE};
    ctx->contHistory[BLACK][PAWN][52][WHITE][KNIGHT][21] = 10000;
    ctx->contHistory[WHITE][KNIGHT][45][WHITE][KNIGHT][21] = 10000;
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, false, false, 0), 3); // no continuation at the root
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, false, false, 1), 2); // 10000 / 8377 = 1
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, false, false, 2), 1); // 20000 / 8377 = 2
    // An entry that records no move contributes nothing (and is not read out of range).
    ctx->stack[1] = {0, -1, -1, WHITE};
    EXPECT_EQ(PV(knightMove, 10, 20, false, false, false, false, 2), 2);
}

TEST_F(Reductions, NoisyMoves) {
    // Queen promotion: noisy half (2 at [10][20]) and no history even if the quiet table has one.
    ctx->quietHistory[WHITE][52][60][0][0] = -16000;
    EXPECT_EQ(PV(promotion, 10, 20), 1); // 2048 - 982 + 1131 - 936 = 1261
    // Captures read the capture history of mover, victim and target.
    ctx->captureHistory[WHITE][PAWN][ROOK][35] = -16754;
    EXPECT_EQ(PV(capture, 10, 20), 3); // 1261 + 2048 = 3309
}

TEST_F(Reductions, Clamps) {
    ctx->quietHistory[WHITE][6][21][0][0] = 16384;
    // At depth 1 the result is 0 or -1.
    for (int moves = 0; moves < 30; moves++) {
        EXPECT_LE(PV(knightMove, 1, moves, true), 0);
        EXPECT_GE(PV(knightMove, 1, moves, false, true, true), -1);
    }
    EXPECT_EQ(PV(knightMove, 1, 1, false, true, true), -1);
    // Never below -1.
    EXPECT_EQ(PV(knightMove, 3, 1, false, true, true), -1);
    // Never the whole depth.
    ctx->quietHistory[WHITE][6][21][0][0] = -16384;
    EXPECT_EQ(PV(knightMove, 4, 200, true), 3);
    // Depths and counts beyond the table are clamped, not read out of range.
    EXPECT_GE(PV(knightMove, 400, 300), 0);
}
