#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "search.h"
#include "test_init.h"

namespace {

constexpr int Sq(const char* s) {
    return (s[0] - 'a') + 8 * (s[1] - '1');
}

using SEARCH::MovePicker;

class Picker : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        ctx = std::make_unique<SEARCH::SearchContext>();
    }
    void Load(const std::string& fen) { board.SetByFen(fen); }

    template <MovegenMode mode> std::vector<Move> Drain(Move ttMove, int ply = 0) {
        MovePicker<mode> picker(&board, ctx.get(), ttMove, ply);
        std::vector<Move> out;
        for (Move m = picker.Next(); !m.IsNull(); m = picker.Next()) out.push_back(m);
        EXPECT_TRUE(picker.Next().IsNull());
        EXPECT_TRUE(picker.Next().IsNull());
        return out;
    }

    // Score the picker gave to m (the list and the scores are kept in step).
    template <MovegenMode mode> int ScoreOf(Move m, int ply = 0) {
        MovePicker<mode> picker(&board, ctx.get(), Move(), ply);
        picker.Next();
        for (int i = 0; i < board.moveCount; i++)
            if (board.moves[i] == m) return picker.scores[i];
        ADD_FAILURE() << "move not generated: " << m.ToString();
        return 0;
    }

    std::unique_ptr<SEARCH::SearchContext> ctx;
    Board board;
};

} // namespace

TEST_F(Picker, TtMoveFirstAndOnce) {
    Load(std::string(StartingFen));
    const Move e2e4(Sq("e2"), Sq("e4"), DOUBLE_PAWN_PUSH);
    std::vector<Move> moves = Drain<All>(e2e4);
    ASSERT_EQ(moves.size(), 20u);
    EXPECT_EQ(moves[0], e2e4);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), e2e4), 1);
    // A move that is not pseudo-legal is never handed out.
    const Move bogus(Sq("e2"), Sq("e5"), QUIET);
    moves = Drain<All>(bogus);
    EXPECT_EQ(moves.size(), 20u);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), bogus), 0);
    // Without a TT move: every move exactly once.
    moves = Drain<All>(Move());
    std::vector<Move> sorted = moves;
    std::sort(sorted.begin(), sorted.end(), [](Move a, Move b) { return a.data < b.data; });
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(moves.size(), 20u);
}

TEST_F(Picker, NoisyPickerWithoutNoisyMoves) {
    Load(std::string(StartingFen));
    EXPECT_TRUE(Drain<Noisy>(Move()).empty());
    // A pseudo-legal TT move comes out even when it is quiet, and nothing follows.
    const Move g1f3(Sq("g1"), Sq("f3"), QUIET);
    const std::vector<Move> moves = Drain<Noisy>(g1f3);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0], g1f3);
}

TEST_F(Picker, TiesKeepListOrderAfterSwaps) {
    Load(std::string(StartingFen));
    MovePicker<All> picker(&board, ctx.get(), Move(), 0);
    picker.stage = MovePicker<All>::STAGE_MAIN;
    picker.generated = true;
    const Move a(1, 18, QUIET), b(6, 21, QUIET), c(12, 28, DOUBLE_PAWN_PUSH);
    board.moves[0] = a;
    board.moves[1] = b;
    board.moves[2] = c;
    board.moveCount = 3;
    picker.scores[0] = 5;
    picker.scores[1] = 5;
    picker.scores[2] = 9;
    // c is swapped with a, so b now stands before a.
    EXPECT_EQ(picker.Next(), c);
    EXPECT_EQ(picker.Next(), b);
    EXPECT_EQ(picker.Next(), a);
    EXPECT_TRUE(picker.Next().IsNull());
}

TEST_F(Picker, CaptureScores) {
    // White rook d1 takes a queen on d5 that only a rook on d8 guards: the exchange passes.
    Load("3rk3/8/8/3q4/8/8/8/3RK3 w - - 0 1");
    const Move rxq(Sq("d1"), Sq("d5"), CAPTURE);
    ctx->captureHistory[WHITE][ROOK][QUEEN][Sq("d5")] = 777;
    EXPECT_EQ(ScoreOf<All>(rxq), 777 + 400 - 3 + 105 + 50000);
    EXPECT_EQ(ScoreOf<Noisy>(rxq), 777 + 400 - 3 + 105 + 50000);

    // En passant is a pawn taking a pawn.
    Load("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
    EXPECT_EQ(ScoreOf<All>(Move(Sq("e5"), Sq("d6"), EP_CAPTURE)), 105 + 50000);

    // A queen taking a guarded pawn fails the exchange test and gets no bonus.
    Load("4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1");
    EXPECT_EQ(ScoreOf<All>(Move(Sq("d1"), Sq("d5"), CAPTURE)), 0 - 4 + 105);
}

TEST_F(Picker, QuietScores) {
    Load(std::string(StartingFen));
    const Move g1f3(Sq("g1"), Sq("f3"), QUIET);
    ctx->quietHistory[WHITE][Sq("g1")][Sq("f3")][0][0] = 300;
    ctx->stack[0] = {0, PAWN, Sq("e5"), BLACK};
    ctx->stack[1] = {0, KNIGHT, Sq("c3"), WHITE};
    ctx->contHistory[BLACK][PAWN][Sq("e5")][WHITE][KNIGHT][Sq("f3")] = 40;
    ctx->contHistory[WHITE][KNIGHT][Sq("c3")][WHITE][KNIGHT][Sq("f3")] = 5;
    EXPECT_EQ(ScoreOf<All>(g1f3, 0), 20300); // no continuation at the root
    EXPECT_EQ(ScoreOf<All>(g1f3, 1), 20340); // continuation 1 only
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 20000 + 300 + 5 + 40);
    // A ply whose entry records no move adds nothing for it.
    ctx->stack[1] = {0, -1, -1, 1};
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 20340);
    // The killer of the ply scores 41000 whatever its histories.
    ctx->killers[2] = g1f3;
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 41000);
    EXPECT_EQ(ScoreOf<All>(g1f3, 1), 20340);
}

TEST_F(Picker, PushPromotionIsScoredAsQuiet) {
    Load("8/4P3/8/8/8/k7/8/K7 w - - 0 1");
    const Move e8q(Sq("e7"), Sq("e8"), QUEEN_PROMOTION);
    ctx->quietHistory[WHITE][Sq("e7")][Sq("e8")][0][0] = -50;
    EXPECT_EQ(ScoreOf<Noisy>(e8q), 19950);
    EXPECT_EQ(ScoreOf<All>(e8q), 19950);
    ctx->killers[0] = e8q;
    EXPECT_EQ(ScoreOf<Noisy>(e8q), 41000);
}

TEST_F(Picker, OrderOfBands) {
    // Good capture (Nxd5 wins a rook), then the killer, then quiets, then the losing capture.
    Load("4k3/8/2p5/3r4/8/4N3/8/3QK3 w - - 0 1");
    const Move nxr(Sq("e3"), Sq("d5"), CAPTURE);
    const Move killer(Sq("e1"), Sq("f2"), QUIET);
    ctx->killers[0] = killer;
    ctx->quietHistory[WHITE][Sq("e1")][Sq("f2")][0][0] = 16000; // the killer ignores this
    const std::vector<Move> moves = Drain<All>(Move());
    ASSERT_GE(moves.size(), 3u);
    EXPECT_EQ(moves[0], nxr);
    EXPECT_EQ(moves[1], killer);
    // Qxd5 loses the queen for a rook: it comes after every quiet move.
    const Move qxr(Sq("d1"), Sq("d5"), CAPTURE);
    EXPECT_EQ(moves.back(), qxr);
}
