#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "board.h"
#include "board_helpers.h"
#include "movegen.h"
#include "test_init.h"

namespace {

// The one-pass copy-make of the search must leave exactly the record that a byte copy followed
// by MakeMove leaves, for every kind of move (king moves that rebuild a perspective included).
TEST(CopyMake, MakeMoveFromEqualsCopyThenMakeMove) {
    InitTablesOnce();
    const std::vector<Board> positions = testref::RandomGamePositions(testref::AllSuiteFens(), 24, 7);
    alignas(32) static unsigned char want[sizeof(Board)], got[sizeof(Board)];
    int compared = 0;
    for (const Board& start : positions) {
        Board parent = start;
        std::vector<Move> moves = testref::LegalMoves(parent);
        if (!parent.checkers) moves.push_back(Move()); // the null move
        for (const Move m : moves) {
            Board* expected = new (want) Board;
            std::memcpy(want, &parent, sizeof(Board));
            expected->MakeMove(m);
            Board* actual = new (got) Board;
            std::memset(got, 0xA5, sizeof(Board));
            actual->MakeMoveFrom(parent, m);
            ASSERT_EQ(std::memcmp(want, got, sizeof(Board)), 0) << parent.GetFen() << " " << m.ToString();
            compared++;
        }
    }
    EXPECT_GT(compared, 40000);
}

// The move pickers skip the threat-map pass of a generation: a made move (or a null move, which
// keeps the placement) must leave threats exactly as a full generation computes them.
TEST(CopyMake, ThreatsAreCurrentForTheMovePickersGeneration) {
    InitTablesOnce();
    for (Board b : testref::RandomGamePositions(testref::AllSuiteFens(), 16, 11)) {
        for (int nullMove = 0; nullMove < 2; nullMove++) {
            if (nullMove) {
                if (b.checkers) break;
                b.MakeMove(Move());
            }
            Board full = b, pieces = b;
            MOVEGEN::GenerateMoves<All>(full);
            MOVEGEN::GeneratePieceMoves<All>(pieces);
            ASSERT_EQ(pieces.threats[WHITE], full.threats[WHITE]) << b.GetFen();
            ASSERT_EQ(pieces.threats[BLACK], full.threats[BLACK]) << b.GetFen();
            ASSERT_EQ(pieces.moveCount, full.moveCount) << b.GetFen();
            ASSERT_EQ(std::memcmp(pieces.moves, full.moves, sizeof(Move) * full.moveCount), 0) << b.GetFen();
            Board noisy = b;
            MOVEGEN::GeneratePieceMoves<Noisy>(noisy);
            MOVEGEN::GenerateMoves<Noisy>(b);
            ASSERT_EQ(noisy.moveCount, b.moveCount) << b.GetFen();
        }
    }
}

} // namespace
