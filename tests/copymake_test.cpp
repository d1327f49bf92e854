#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "board.h"
#include "board_helpers.h"
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

} // namespace
