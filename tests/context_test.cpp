#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "board.h"
#include "movegen.h"
#include "search.h"
#include "test_init.h"

namespace {

Board FromFen(const std::string& fen) {
    InitTablesOnce();
    Board b;
    b.SetByFen(fen);
    return b;
}

bool Drawn(const std::string& fen) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    return SEARCH::IsDraw(FromFen(fen), *ctx);
}

} // namespace

TEST(SearchContext, FreshContextAndNewGame) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    EXPECT_EQ(ctx->hashHistory, std::vector<uint64_t>(1000, 0));
    EXPECT_EQ(ctx->tt, &SharedTT);
    EXPECT_EQ(ctx->stack[200].staticEval, -255000);
    EXPECT_EQ(ctx->stack[200].movedPiece, -1);
    EXPECT_EQ(ctx->stack[200].sideToMove, 1);

    ctx->killers[3] = Move(1, 18, QUIET);
    ctx->quietHistory[0][1][18][0][1] = 99;
    ctx->contHistory[1][2][3][0][4][5] = 7;
    ctx->corrHist.majorCorrection[1][77] = 55;
    ctx->captureHistory[0][1][2][3] = 123;
    ctx->stack[9] = {5, 2, 3, 0};
    Board board = FromFen(std::string(StartingFen));
    board.historyIndex = 1200;
    ctx->ResetForNewGame(board);
    EXPECT_TRUE(ctx->killers[3].IsNull());
    EXPECT_EQ(ctx->quietHistory[0][1][18][0][1] + ctx->contHistory[1][2][3][0][4][5] +
                  ctx->corrHist.majorCorrection[1][77],
              0);
    EXPECT_EQ(ctx->captureHistory[0][1][2][3], 123); // kept
    EXPECT_EQ(ctx->stack[9].staticEval, SEARCH::NO_EVAL);
    EXPECT_EQ(ctx->hashHistory.size(), 1300u);
    EXPECT_EQ(ctx->hashHistory[1200], board.hashKey);
}

TEST(CorrHist, UpdateAndCorrectedEval) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    SEARCH::CorrHist& ch = ctx->corrHist;
    Board board{};
    board.sideToMove = BLACK;
    board.pawnKey = 0x10000 + 5; // only the low 14 bits index
    board.nonPawnKey = 6;
    board.majorKey = 7;
    ch.UpdateAll(board, 1, 100); // w = 3: 100 * 256 * 4 / 256
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], 400);
    EXPECT_EQ(ch.majorCorrection[BLACK][7], 400);
    EXPECT_EQ(ch.pawnCorrection[WHITE][5], 0);
    ch.UpdateAll(board, 10, -50); // w = 120: (400 * 135 - 50 * 256 * 121) / 256 truncates
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], -5839);
    ch.pawnCorrection[BLACK][5] = 16384; // w = 127 from depth 11; clamped to the limit
    ch.UpdateAll(board, 11, 1024);
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], 16384);
    for (int i = 0; i < 20; i++) ch.UpdateAll(board, 300, -1024);
    EXPECT_EQ(ch.nonPawnCorrection[BLACK][6], -16384);

    // Three entries of -16384: -49152 / 256 = -192, then the clamp at the limit.
    EXPECT_EQ(SEARCH::CorrectedEval(board, 123, *ctx), 123 - 192);
    EXPECT_EQ(SEARCH::CorrectedEval(board, -32400, *ctx), -32510);
    board.sideToMove = WHITE; // the other side's entries are not read
    EXPECT_EQ(SEARCH::CorrectedEval(board, 123, *ctx), 123);
    ctx->corrHist.pawnCorrection[WHITE][5] = 256 * 600;
    EXPECT_EQ(SEARCH::CorrectedEval(board, 32000, *ctx), 32510);
    ctx->corrHist.pawnCorrection[WHITE][5] = -255;
    EXPECT_EQ(SEARCH::CorrectedEval(board, 10, *ctx), 10);
}

TEST(IsDraw, RulesAndMaterial) {
    EXPECT_TRUE(Drawn("6k1/5ppp/8/8/8/8/8/R5K1 b - - 100 80"));
    EXPECT_FALSE(Drawn("6k1/5ppp/8/8/8/8/8/R5K1 b - - 99 80"));
    EXPECT_TRUE(Drawn("8/8/4k3/8/8/3K4/8/8 w - - 0 1"));
    EXPECT_TRUE(Drawn("8/8/4k3/8/8/3KN3/8/8 w - - 0 1"));
    EXPECT_TRUE(Drawn("8/8/4k3/8/8/3K4/8/6b1 b - - 0 1"));
    for (const char* fen : {"8/8/4k3/8/8/3KNN2/8/8 w - - 0 1", "8/8/4k3/8/8/3K1R2/8/8 w - - 0 1",
                            "8/8/4k3/8/8/3KP3/8/8 w - - 0 1", "8/8/4k3/4n3/8/3KB3/8/8 w - - 0 1"})
        EXPECT_FALSE(Drawn(fen)) << fen;
}

TEST(IsDraw, MateOnTheHundredthHalfMoveIsNoDraw) {
    EXPECT_FALSE(Drawn("R5k1/5ppp/8/8/8/8/8/6K1 b - - 100 80"));
    EXPECT_FALSE(Drawn("R5k1/5ppp/8/8/8/8/8/6K1 b - - 150 80"));
    // In check with an answer (Kg7), or not in check: the clock still draws.
    EXPECT_TRUE(Drawn("R5k1/5p1p/8/8/8/8/8/6K1 b - - 100 80"));
    EXPECT_TRUE(Drawn("6k1/5ppp/8/8/8/8/8/R5K1 b - - 100 80"));
    // Stalemate is no mate.
    EXPECT_TRUE(Drawn("7k/5Q2/6K1/8/8/8/8/8 b - - 100 80"));
}

TEST(IsDraw, SingleRepetition) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    Board board = FromFen(std::string(StartingFen));
    ctx->hashHistory[0] = board.hashKey;
    bool drawn[4];
    int i = 0;
    for (const char* text : {"g1f3", "g8f6", "f3g1", "f6g8"}) {
        MOVEGEN::GenerateMoves<All>(board);
        board.MakeMove(ParseMove(board, text));
        ctx->hashHistory[board.historyIndex] = board.hashKey;
        drawn[i++] = SEARCH::IsDraw(board, *ctx);
    }
    EXPECT_FALSE(drawn[0] || drawn[1] || drawn[2]); // f3g1 repeats the placement, not the side to move
    EXPECT_TRUE(drawn[3]);                          // back at the start once: a draw
    // Only entries below the board's index count, and only as far as the history goes.
    Board fresh = FromFen(std::string(StartingFen));
    fresh.historyIndex = 5;
    auto other = std::make_unique<SEARCH::SearchContext>();
    other->hashHistory[5] = fresh.hashKey;
    EXPECT_FALSE(SEARCH::IsDraw(fresh, *other));
    other->hashHistory[4] = fresh.hashKey;
    EXPECT_TRUE(SEARCH::IsDraw(fresh, *other));
    other->hashHistory.resize(3);
    EXPECT_FALSE(SEARCH::IsDraw(fresh, *other));
}
