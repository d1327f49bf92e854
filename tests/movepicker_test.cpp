#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "search.h"
#include "test_init.h"

namespace {

constexpr int Sq(const char* s) {
    return (s[0] - 'a') + 8 * (s[1] - '1');
}
using SEARCH::MovePicker;

class Picker : public ::testing::Test {
  protected:
    void SetUp() override { InitTablesOnce(); }
    void Load(const std::string& fen) { board.SetByFen(fen); }

    template <MovegenMode mode> std::vector<Move> Drain(Move ttMove, int ply = 0) {
        MovePicker<mode> picker(&board, ctx.get(), ttMove, ply);
        std::vector<Move> out;
        for (Move m = picker.Next(); !m.IsNull(); m = picker.Next()) out.push_back(m);
        EXPECT_TRUE(picker.Next().IsNull()); // stays exhausted
        return out;
    }
    // The score given to m (the list and the scores are kept in step).
    template <MovegenMode mode> int ScoreOf(Move m, int ply = 0) {
        MovePicker<mode> picker(&board, ctx.get(), Move(), ply);
        picker.Next();
        for (int i = 0; i < board.moveCount; i++)
            if (board.moves[i] == m) return picker.scores[i];
        ADD_FAILURE() << "not generated: " << m.ToString();
        return 0;
    }

    std::unique_ptr<SEARCH::SearchContext> ctx = std::make_unique<SEARCH::SearchContext>();
    Board board;
};

} // namespace

TEST_F(Picker, TtMoveFirstAndOnce) {
    Load(std::string(StartingFen));
    const Move e2e4(Sq("e2"), Sq("e4"), DOUBLE_PAWN_PUSH), bogus(Sq("e2"), Sq("e5"), QUIET);
    std::vector<Move> moves = Drain<All>(e2e4);
    ASSERT_EQ(moves.size(), 20u);
    EXPECT_EQ(moves[0], e2e4);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), e2e4), 1);
    moves = Drain<All>(bogus); // not pseudo-legal: never handed out
    EXPECT_EQ(moves.size(), 20u);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), bogus), 0);
    // The noisy picker with nothing noisy: only a pseudo-legal TT move, even a quiet one.
    EXPECT_TRUE(Drain<Noisy>(Move()).empty());
    EXPECT_EQ(Drain<Noisy>(Move(Sq("g1"), Sq("f3"), QUIET)),
              std::vector<Move>{Move(Sq("g1"), Sq("f3"), QUIET)});
}

TEST_F(Picker, TiesKeepListOrderAfterSwaps) {
    Load(std::string(StartingFen));
    MovePicker<All> picker(&board, ctx.get(), Move(), 0);
    picker.stage = MovePicker<All>::STAGE_MAIN;
    picker.generated = true;
    const Move a(1, 18, QUIET), b(6, 21, QUIET), c(12, 28, DOUBLE_PAWN_PUSH);
    board.moves[0] = a, board.moves[1] = b, board.moves[2] = c;
    board.moveCount = 3;
    picker.scores[0] = 5, picker.scores[1] = 5, picker.scores[2] = 9;
    EXPECT_EQ(picker.Next(), c); // swapped with a, so b now stands first
    EXPECT_EQ(picker.Next(), b);
    EXPECT_EQ(picker.Next(), a);
    EXPECT_TRUE(picker.Next().IsNull());
}

TEST_F(Picker, Scores) {
    // Rook takes a queen guarded by a rook: the exchange passes.
    Load("3rk3/8/8/3q4/8/8/8/3RK3 w - - 0 1");
    ctx->captureHistory[WHITE][ROOK][QUEEN][Sq("d5")] = 777;
    EXPECT_EQ(ScoreOf<All>(Move(Sq("d1"), Sq("d5"), CAPTURE)), 777 + 400 - 3 + 105 + 50000);
    EXPECT_EQ(ScoreOf<Noisy>(Move(Sq("d1"), Sq("d5"), CAPTURE)), 777 + 400 - 3 + 105 + 50000);
    Load("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"); // en passant: pawn takes pawn
    EXPECT_EQ(ScoreOf<All>(Move(Sq("e5"), Sq("d6"), EP_CAPTURE)), 105 + 50000);
    Load("4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1"); // a losing capture gets no bonus
    EXPECT_EQ(ScoreOf<All>(Move(Sq("d1"), Sq("d5"), CAPTURE)), -4 + 105);

    // Quiet moves: history plus the continuation terms the ply allows; the killer is 41000.
    Load(std::string(StartingFen));
    const Move g1f3(Sq("g1"), Sq("f3"), QUIET);
    ctx->quietHistory[WHITE][Sq("g1")][Sq("f3")][0][0] = 300;
    ctx->stack[0] = {0, PAWN, Sq("e5"), BLACK};
    ctx->stack[1] = {0, KNIGHT, Sq("c3"), WHITE};
    ctx->contHistory[BLACK][PAWN][Sq("e5")][WHITE][KNIGHT][Sq("f3")] = 40;
    ctx->contHistory[WHITE][KNIGHT][Sq("c3")][WHITE][KNIGHT][Sq("f3")] = 5;
    EXPECT_EQ(ScoreOf<All>(g1f3, 0), 20300);
    EXPECT_EQ(ScoreOf<All>(g1f3, 1), 20340);
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 20345);
    ctx->stack[1] = {0, -1, -1, 1}; // a ply that recorded no move adds nothing
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 20340);
    ctx->killers[2] = g1f3;
    EXPECT_EQ(ScoreOf<All>(g1f3, 2), 41000);

    // A push promotion is scored as a quiet move.
    Load("8/4P3/8/8/8/k7/8/K7 w - - 0 1");
    ctx->quietHistory[WHITE][Sq("e7")][Sq("e8")][0][0] = -50;
    EXPECT_EQ(ScoreOf<Noisy>(Move(Sq("e7"), Sq("e8"), QUEEN_PROMOTION)), 19950);
}

TEST_F(Picker, OrderOfBands) {
    // Winning capture, then the killer, then quiets, then the losing capture.
    Load("4k3/8/2p5/3r4/8/4N3/8/3QK3 w - - 0 1");
    const Move killer(Sq("e1"), Sq("f2"), QUIET);
    ctx->killers[0] = killer;
    ctx->quietHistory[WHITE][Sq("e1")][Sq("f2")][0][0] = 16000;
    const std::vector<Move> moves = Drain<All>(Move());
    ASSERT_GE(moves.size(), 3u);
    EXPECT_EQ(moves[0], Move(Sq("e3"), Sq("d5"), CAPTURE));
    EXPECT_EQ(moves[1], killer);
    EXPECT_EQ(moves.back(), Move(Sq("d1"), Sq("d5"), CAPTURE));
}
