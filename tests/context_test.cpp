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

// Plays long-algebraic moves, recording each position's key as the game history does.
void Play(Board& board, SEARCH::SearchContext& ctx, std::initializer_list<const char*> moves) {
    for (const char* text : moves) {
        MOVEGEN::GenerateMoves<All>(board);
        const Move m = ParseMove(board, text);
        ASSERT_FALSE(m.IsNull()) << text;
        board.MakeMove(m);
        if (std::size_t(board.historyIndex) >= ctx.hashHistory.size())
            ctx.hashHistory.resize(board.historyIndex + 100);
        ctx.hashHistory[board.historyIndex] = board.hashKey;
    }
}

} // namespace

TEST(SearchContext, FreshContext) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    EXPECT_EQ(ctx->hashHistory.size(), 1000u);
    EXPECT_TRUE(
        std::all_of(ctx->hashHistory.begin(), ctx->hashHistory.end(), [](uint64_t k) { return k == 0; }));
    EXPECT_EQ(ctx->tt, &SharedTT);
    for (const SEARCH::SearchStackEntry& e : ctx->stack) {
        EXPECT_EQ(e.staticEval, -255000);
        EXPECT_EQ(e.movedPiece, -1);
        EXPECT_EQ(e.toSquare, -1);
        EXPECT_EQ(e.sideToMove, 1);
    }
    EXPECT_FALSE(ctx->isMain);
    EXPECT_EQ(ctx->nodes, 0u);
    EXPECT_EQ(ctx->datagenStop, nullptr);
}

TEST(SearchContext, NewGameResetKeepsCaptureHistory) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
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
    EXPECT_EQ(ctx->quietHistory[0][1][18][0][1], 0);
    EXPECT_EQ(ctx->contHistory[1][2][3][0][4][5], 0);
    EXPECT_EQ(ctx->corrHist.majorCorrection[1][77], 0);
    EXPECT_EQ(ctx->captureHistory[0][1][2][3], 123);
    EXPECT_EQ(ctx->stack[9].staticEval, SEARCH::NO_EVAL);
    EXPECT_EQ(ctx->stack[9].movedPiece, -1);
    EXPECT_EQ(ctx->hashHistory.size(), 1300u);
    EXPECT_EQ(ctx->hashHistory[1200], board.hashKey);
    EXPECT_EQ(ctx->hashHistory[1199], 0u);
    board.historyIndex = 0;
    ctx->ResetForNewGame(board);
    EXPECT_EQ(ctx->hashHistory.size(), 1000u);
    EXPECT_EQ(ctx->hashHistory[0], board.hashKey);
}

TEST(CorrHist, UpdateWeights) {
    SEARCH::CorrHist ch{};
    Board board{};
    board.sideToMove = BLACK;
    board.pawnKey = 0x10000 + 5; // only the low 14 bits index
    board.nonPawnKey = 6;
    board.majorKey = 7;
    // Depth 1: w = 3. From 0 with diff 100: 100 * 256 * 4 / 256 = 400.
    ch.UpdateAll(board, 1, 100);
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], 400);
    EXPECT_EQ(ch.nonPawnCorrection[BLACK][6], 400);
    EXPECT_EQ(ch.majorCorrection[BLACK][7], 400);
    EXPECT_EQ(ch.pawnCorrection[WHITE][5], 0);
    // Depth 10: w = 120: (400 * 135 - 50 * 256 * 121) / 256 = -5839.06 -> -5839.
    ch.UpdateAll(board, 10, -50);
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], -5839);
    // From depth 11 on w = 127; entries stay within +-16384.
    ch.pawnCorrection[BLACK][5] = 16384;
    ch.UpdateAll(board, 11, 1024);
    EXPECT_EQ(ch.pawnCorrection[BLACK][5], 16384);
    ch.UpdateAll(board, 200, -1024);
    EXPECT_GE(ch.pawnCorrection[BLACK][5], -16384);
    for (int i = 0; i < 20; i++) ch.UpdateAll(board, 30, -1024);
    EXPECT_EQ(ch.nonPawnCorrection[BLACK][6], -16384);
}

TEST(CorrHist, CorrectedEval) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    Board board{};
    board.sideToMove = WHITE;
    board.pawnKey = 1;
    board.nonPawnKey = 2;
    board.majorKey = 3;
    EXPECT_EQ(SEARCH::CorrectedEval(board, 123, *ctx), 123);
    ctx->corrHist.pawnCorrection[WHITE][1] = 256 * 200;
    ctx->corrHist.nonPawnCorrection[WHITE][2] = 256 * 200;
    ctx->corrHist.majorCorrection[WHITE][3] = 256 * 200;
    EXPECT_EQ(SEARCH::CorrectedEval(board, 32000, *ctx), 32510);
    EXPECT_EQ(SEARCH::CorrectedEval(board, -100, *ctx), 500);
    // Sum -255 truncates toward zero; the other side's entries are not read.
    ctx->corrHist.pawnCorrection[WHITE][1] = -255;
    ctx->corrHist.nonPawnCorrection[WHITE][2] = 0;
    ctx->corrHist.majorCorrection[WHITE][3] = 0;
    ctx->corrHist.pawnCorrection[BLACK][1] = -100000;
    EXPECT_EQ(SEARCH::CorrectedEval(board, 10, *ctx), 10);
    ctx->corrHist.pawnCorrection[WHITE][1] = -16384 * 3;
    EXPECT_EQ(SEARCH::CorrectedEval(board, -32500, *ctx), -32510);
}

TEST(IsDraw, FiftyMoveRule) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    // Even a checkmated side is drawn once the clock reaches 100.
    Board mated = FromFen("R5k1/5ppp/8/8/8/8/8/6K1 b - - 100 80");
    EXPECT_TRUE(SEARCH::IsDraw(mated, *ctx));
    mated = FromFen("R5k1/5ppp/8/8/8/8/8/6K1 b - - 99 80");
    EXPECT_FALSE(SEARCH::IsDraw(mated, *ctx));
}

TEST(IsDraw, InsufficientMaterial) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    EXPECT_TRUE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3K4/8/8 w - - 0 1"), *ctx));
    EXPECT_TRUE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3KN3/8/8 w - - 0 1"), *ctx));
    EXPECT_TRUE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3K4/8/6b1 b - - 0 1"), *ctx));
    EXPECT_FALSE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3KNN2/8/8 w - - 0 1"), *ctx));
    EXPECT_FALSE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3KR3/8/8 w - - 0 1"), *ctx));
    EXPECT_FALSE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3KQ3/8/8 w - - 0 1"), *ctx));
    EXPECT_FALSE(SEARCH::IsDraw(FromFen("8/8/4k3/8/8/3KP3/8/8 w - - 0 1"), *ctx));
    EXPECT_FALSE(SEARCH::IsDraw(FromFen("8/8/4k3/4n3/8/3KB3/8/8 w - - 0 1"), *ctx));
}

TEST(IsDraw, SingleRepetition) {
    auto ctx = std::make_unique<SEARCH::SearchContext>();
    Board board = FromFen(std::string(StartingFen));
    ctx->hashHistory[board.historyIndex] = board.hashKey;
    const uint64_t startKey = board.hashKey;
    Play(board, *ctx, {"g1f3", "g8f6"});
    EXPECT_FALSE(SEARCH::IsDraw(board, *ctx));
    Play(board, *ctx, {"f3g1"});
    EXPECT_FALSE(SEARCH::IsDraw(board, *ctx));
    Play(board, *ctx, {"f6g8"});
    // Back at the start position once: a draw for the search.
    EXPECT_EQ(board.hashKey, startKey);
    EXPECT_TRUE(SEARCH::IsDraw(board, *ctx));
    // Only entries below the board's index count: the board's own entry does not.
    Board fresh = FromFen(std::string(StartingFen));
    auto other = std::make_unique<SEARCH::SearchContext>();
    other->hashHistory[fresh.historyIndex] = fresh.hashKey;
    EXPECT_FALSE(SEARCH::IsDraw(fresh, *other));
    // The same placement with the other side to move is no repetition.
    Board flipped = FromFen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    flipped.historyIndex = 5;
    other->hashHistory[2] = fresh.hashKey;
    EXPECT_FALSE(SEARCH::IsDraw(flipped, *other));
    other->hashHistory[4] = flipped.hashKey;
    EXPECT_TRUE(SEARCH::IsDraw(flipped, *other));
    // A history shorter than the index is read only as far as it goes.
    other->hashHistory.resize(3);
    EXPECT_FALSE(SEARCH::IsDraw(flipped, *other));
}
