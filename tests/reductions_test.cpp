#include <gtest/gtest.h>

#include <memory>

#include "search.h"
#include "test_init.h"

using SEARCH::lmrTable;

TEST(LmrTable, Entries) {
    InitTablesOnce();
    const int expected[][4] = {{1, 1, 1, 0},   {5, 10, 2, 1},   {10, 20, 4, 2},
                               {20, 40, 5, 3}, {64, 100, 9, 6}, {256, 217, 14, 9}};
    for (const auto& e : expected) {
        EXPECT_EQ(lmrTable[1][e[0]][e[1]], e[2]) << "quiet " << e[0] << "," << e[1];
        EXPECT_EQ(lmrTable[0][e[0]][e[1]], e[3]) << "noisy " << e[0] << "," << e[1];
    }
    for (int q = 0; q < 2; q++)
        for (int i = 0; i < 257; i++) {
            EXPECT_EQ(lmrTable[q][i][0], 0);
            if (i < MAX_MOVES) {
                EXPECT_EQ(lmrTable[q][0][i], 0);
            }
        }
}

TEST(Reductions, FormulaAndClamps) {
    InitTablesOnce();
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    Board b{};
    for (int& sq : b.mailbox) sq = NO_PIECE;
    b.mailbox[6] = KNIGHT, b.mailbox[12] = PAWN, b.mailbox[52] = PAWN, b.mailbox[35] = ROOK;
    const Move quiet(6, 21, QUIET), promo(52, 60, QUEEN_PROMOTION), capture(12, 35, CAPTURE);
    auto pv = [&](Move m, int depth, int moves, bool cut, bool improving, bool corr, bool failLow,
                  int ply = 0) {
        return SEARCH::GetReductions<true>(b, m, depth, moves, ply, cut, improving, corr, true, failLow,
                                           *ctx);
    };
    auto nonPv = [&](Move m, int depth, int moves, bool ttPV) {
        return SEARCH::GetReductions<false>(b, m, depth, moves, 0, false, false, false, ttPV, false, *ctx);
    };
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false), 3); // 4096 - 982 + 1131 - 936 = 3309
    EXPECT_EQ(pv(quiet, 10, 20, true, false, false, false), 5);  // + 2005
    EXPECT_EQ(pv(quiet, 10, 20, false, true, false, false), 2);  // no + 1131
    EXPECT_EQ(pv(quiet, 10, 20, false, false, true, false), 2);  // - 830
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, true), 4);  // + 913
    EXPECT_EQ(nonPv(quiet, 10, 20, false), 5);                   // 4096 + 1131
    EXPECT_EQ(nonPv(quiet, 10, 20, true), 4);                    // - 936

    // History in whole plies of 8377, truncated; the threat flags pick the entry.
    int32_t& h = ctx->quietHistory[WHITE][6][21][0][0];
    for (auto [history, r] : {std::pair{-20000, 5}, {20000, 1}, {8376, 3}, {8377, 2}}) {
        h = history;
        EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false), r) << history;
    }
    h = 0;
    ctx->quietHistory[WHITE][6][21][1][0] = 20000;
    b.threats[BLACK] = 1ULL << 6;
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false), 1);
    b.threats[BLACK] = 0;

    // Continuation terms from the plies before; a ply without a move adds nothing.
    ctx->stack[0] = {0, PAWN, 52, BLACK};
    ctx->stack[1] = {0, KNIGHT, 45, WHITE};
    ctx->contHistory[BLACK][PAWN][52][WHITE][KNIGHT][21] = 10000;
    ctx->contHistory[WHITE][KNIGHT][45][WHITE][KNIGHT][21] = 10000;
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false, 1), 2);
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false, 2), 1);
    ctx->stack[1] = {0, -1, -1, WHITE};
    EXPECT_EQ(pv(quiet, 10, 20, false, false, false, false, 2), 2);

    // Noisy moves: the noisy half; promotions carry no history, captures their capture history.
    ctx->quietHistory[WHITE][52][60][0][0] = -16000;
    EXPECT_EQ(pv(promo, 10, 20, false, false, false, false), 1); // 2048 - 982 + 1131 - 936
    ctx->captureHistory[WHITE][PAWN][ROOK][35] = -16754;
    EXPECT_EQ(pv(capture, 10, 20, false, false, false, false), 3);

    // Clamps: -1 at least, depth - 1 at most; depths and counts beyond the table are clamped.
    h = 16384;
    EXPECT_EQ(pv(quiet, 1, 1, false, true, true, false), -1);
    EXPECT_EQ(pv(quiet, 1, 30, true, false, false, false), 0);
    h = -16384;
    EXPECT_EQ(pv(quiet, 4, 200, true, false, false, false), 3);
    EXPECT_GE(pv(quiet, 400, 300, false, false, false, false), 0);
}
