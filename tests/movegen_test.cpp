#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "board.h"
#include "board_helpers.h"
#include "movegen.h"
#include "test_init.h"

using testref::Bit;

namespace {

class MovegenTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InitTablesOnce(); }
};

std::vector<std::string> MoveTexts(const Board& b) {
    std::vector<std::string> texts;
    for (int i = 0; i < b.moveCount; i++) texts.push_back(b.moves[i].ToString());
    return texts;
}

uint64_t SquareSet(std::initializer_list<int> squares) {
    uint64_t set = 0;
    for (int s : squares) set |= Bit(s);
    return set;
}

} // namespace

TEST_F(MovegenTest, LeaperTablesMatchReference) {
    for (int sq = 0; sq < 64; sq++) {
        EXPECT_EQ(MOVEGEN::knightAttacks[sq], testref::PieceAttacks(WHITE, KNIGHT, sq, 0)) << sq;
        EXPECT_EQ(MOVEGEN::kingAttacks[sq], testref::PieceAttacks(WHITE, KING, sq, 0)) << sq;
        EXPECT_EQ(MOVEGEN::pawnAttacks[WHITE][sq], testref::PieceAttacks(WHITE, PAWN, sq, 0)) << sq;
        EXPECT_EQ(MOVEGEN::pawnAttacks[BLACK][sq], testref::PieceAttacks(BLACK, PAWN, sq, 0)) << sq;
    }
    EXPECT_EQ(MOVEGEN::pawnAttacks[WHITE][8], Bit(17));  // a2 -> b3
    EXPECT_EQ(MOVEGEN::pawnAttacks[BLACK][55], Bit(46)); // h7 -> g6
    EXPECT_EQ(MOVEGEN::pawnAttacks[WHITE][60], 0u);      // rank 8 attacks nothing
    EXPECT_EQ(MOVEGEN::pawnAttacks[BLACK][3], 0u);
}

TEST_F(MovegenTest, MagicLookupsMatchRayWalkForRandomOccupancies) {
    std::mt19937_64 rng(7);
    for (int sq = 0; sq < 64; sq++) {
        EXPECT_EQ(MOVEGEN::bishopRelevantBits[sq], __builtin_popcountll(MOVEGEN::bishopMasks[sq])) << sq;
        EXPECT_EQ(MOVEGEN::rookRelevantBits[sq], __builtin_popcountll(MOVEGEN::rookMasks[sq])) << sq;
        for (int i = 0; i < 300; i++) {
            const uint64_t occ = rng() & rng() & ~Bit(sq);
            ASSERT_EQ(MOVEGEN::BishopAttacks(sq, occ), testref::Diagonals(sq, occ)) << sq;
            ASSERT_EQ(MOVEGEN::RookAttacks(sq, occ), testref::Lines(sq, occ)) << sq;
            ASSERT_EQ(MOVEGEN::QueenAttacks(sq, occ), testref::Diagonals(sq, occ) | testref::Lines(sq, occ));
        }
    }
    EXPECT_EQ(__builtin_popcountll(MOVEGEN::RookAttacks(0, 0)), 14);
    EXPECT_EQ(MOVEGEN::RookAttacks(0, Bit(24) | Bit(3)), SquareSet({8, 16, 24, 1, 2, 3}));
    EXPECT_EQ(__builtin_popcountll(MOVEGEN::BishopAttacks(27, 0)), 13);
    EXPECT_EQ(__builtin_popcountll(MOVEGEN::bishopMasks[27]), 9);
}

TEST_F(MovegenTest, LineTables) {
    // a1-h8 diagonal, e1-e8 file, and unaligned squares.
    EXPECT_EQ(MOVEGEN::betweenSquares[0][63], SquareSet({9, 18, 27, 36, 45, 54}));
    EXPECT_EQ(MOVEGEN::betweenSquares[4][60], SquareSet({12, 20, 28, 36, 44, 52}));
    EXPECT_EQ(MOVEGEN::betweenSquares[4][5], 0u);
    EXPECT_EQ(MOVEGEN::betweenSquares[0][17], 0u);
    EXPECT_EQ(MOVEGEN::lineSquares[0][17], 0u);
    EXPECT_EQ(MOVEGEN::lineSquares[9][18], 0x8040201008040201ULL);
    EXPECT_EQ(MOVEGEN::lineSquares[12][28], 0x1010101010101010ULL);
}

TEST_F(MovegenTest, StartPositionOrder) {
    Board b;
    b.SetByFen(StartingFen);
    const std::vector<std::string> expected = {"a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3",
                                               "d2d4", "e2e3", "e2e4", "f2f3", "f2f4", "g2g3", "g2g4",
                                               "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3"};
    EXPECT_EQ(MoveTexts(b), expected);
    EXPECT_EQ(b.moves[0].type(), QUIET);
    EXPECT_EQ(b.moves[1].type(), DOUBLE_PAWN_PUSH);

    MOVEGEN::GenerateMoves<Noisy>(b);
    EXPECT_EQ(b.moveCount, 0);
}

TEST_F(MovegenTest, BlackPawnListsDoublePushFirstAndPiecesCapturesFirst) {
    Board b;
    b.SetByFen("4k3/3p4/8/8/8/2p5/8/R3K3 b - - 0 1");
    // d7 pawn: double push (d5, lower square) before single push; c3 pawn single push.
    const std::vector<std::string> texts = MoveTexts(b);
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[0], "c3c2");
    EXPECT_EQ(texts[1], "d7d5");
    EXPECT_EQ(b.moves[1].type(), DOUBLE_PAWN_PUSH);
    EXPECT_EQ(texts[2], "d7d6");

    b.SetByFen("4k3/8/8/8/8/p7/8/R3K3 w - - 0 1");
    // Rook a1: capture a3 first, then quiet moves ascending; the king's moves come before it.
    std::vector<std::string> rook;
    for (int i = 0; i < b.moveCount; i++)
        if (b.moves[i].from() == 0) rook.push_back(b.moves[i].ToString());
    EXPECT_EQ(rook, (std::vector<std::string>{"a1a3", "a1b1", "a1c1", "a1d1", "a1a2"}));
    EXPECT_EQ(b.moves[0].from(), 4); // king before rook
}

TEST_F(MovegenTest, PromotionOrder) {
    Board b;
    b.SetByFen("3r1n2/4P3/8/8/8/8/8/k6K w - - 0 1");
    std::vector<Move> pawn;
    for (int i = 0; i < b.moveCount; i++)
        if (b.moves[i].from() == 52) pawn.push_back(b.moves[i]);
    ASSERT_EQ(pawn.size(), 12u);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(pawn[i], Move(52, 59, KNIGHT_PROMO_CAPTURE + i));
        EXPECT_EQ(pawn[4 + i], Move(52, 61, KNIGHT_PROMO_CAPTURE + i));
        EXPECT_EQ(pawn[8 + i], Move(52, 60, KNIGHT_PROMOTION + i));
    }
    MOVEGEN::GenerateMoves<Noisy>(b);
    EXPECT_EQ(b.moveCount, 12); // the king has no captures
}

TEST_F(MovegenTest, CastlingConditions) {
    Board b;
    const auto has = [&](const char* text) {
        for (int i = 0; i < b.moveCount; i++)
            if (b.moves[i].ToString() == text) return true;
        return false;
    };
    b.SetByFen("4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1");
    EXPECT_TRUE(has("e1g1"));
    EXPECT_TRUE(has("e1c1"));
    // Queen side before king side, both last in the king's moves.
    int q = -1, k = -1;
    for (int i = 0; i < b.moveCount; i++) {
        if (b.moves[i].type() == QUEEN_CASTLE) q = i;
        if (b.moves[i].type() == KING_CASTLE) k = i;
    }
    EXPECT_EQ(k, q + 1);

    b.SetByFen("1r2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1"); // b1 attacked: queen side still allowed
    EXPECT_TRUE(has("e1c1"));
    b.SetByFen("3rk3/8/8/8/8/8/8/R3K2R w KQ - 0 1"); // d1 attacked
    EXPECT_FALSE(has("e1c1"));
    EXPECT_TRUE(has("e1g1"));
    b.SetByFen("4k3/8/8/8/8/8/8/R3K1nR w KQ - 0 1"); // g1 occupied
    EXPECT_FALSE(has("e1g1"));
    b.SetByFen("4kr2/8/8/8/8/8/8/R3K2R w KQ - 0 1"); // f1 attacked
    EXPECT_FALSE(has("e1g1"));
    b.SetByFen("4k3/8/8/8/8/8/8/R3K2R w - - 0 1"); // no rights
    EXPECT_FALSE(has("e1g1"));
    EXPECT_FALSE(has("e1c1"));
    b.SetByFen("r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1");
    EXPECT_TRUE(has("e8g8"));
    EXPECT_TRUE(has("e8c8"));
}

TEST_F(MovegenTest, EnPassantOnlyWhenAPawnAttacksTheSquare) {
    Board b;
    b.SetByFen(StartingFen);
    b.MakeMove(Move(12, 28, DOUBLE_PAWN_PUSH));
    MOVEGEN::GenerateMoves<All>(b);
    EXPECT_EQ(b.enPassantSquare, 20);
    for (int i = 0; i < b.moveCount; i++) EXPECT_NE(b.moves[i].type(), EP_CAPTURE);

    b.SetByFen("4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1");
    MOVEGEN::GenerateMoves<Noisy>(b);
    ASSERT_EQ(b.moveCount, 1);
    EXPECT_EQ(b.moves[0], Move(35, 44, EP_CAPTURE));
}

TEST_F(MovegenTest, ThreatMapsSeeThroughTheOtherKing) {
    Board b;
    b.SetByFen("4r3/8/8/8/4K3/8/8/k7 w - - 0 1");
    EXPECT_TRUE(b.threats[BLACK] & Bit(20)); // e3, behind the king on the rook's file
    EXPECT_TRUE(b.threats[BLACK] & Bit(4));
    EXPECT_FALSE(b.threats[BLACK] & Bit(21));
}

TEST_F(MovegenTest, NoisyIsTheNoisySubsequenceOfAll) {
    const std::vector<Board> positions = testref::RandomGamePositions(testref::AllSuiteFens(), 30, 11);
    for (Board b : positions) {
        MOVEGEN::GenerateMoves<All>(b);
        std::vector<Move> expected;
        for (int i = 0; i < b.moveCount; i++) {
            const Move m = b.moves[i];
            if (m.IsCapture() || m.IsPromotion()) expected.push_back(m);
        }
        MOVEGEN::GenerateMoves<Noisy>(b);
        std::vector<Move> noisy(b.moves, b.moves + b.moveCount);
        ASSERT_EQ(noisy, expected) << b.GetFen();
    }
}

TEST_F(MovegenTest, ListIsCompleteAndDuplicateFree) {
    // Every pseudo-legal move found by an independent brute force is in the list, once.
    const std::vector<Board> positions = testref::RandomGamePositions(testref::AllSuiteFens(), 20, 5);
    for (Board b : positions) {
        MOVEGEN::GenerateMoves<All>(b);
        std::vector<uint16_t> list;
        for (int i = 0; i < b.moveCount; i++) list.push_back(b.moves[i].data);
        std::sort(list.begin(), list.end());
        ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end()) << b.GetFen();
        ASSERT_EQ(MOVEGEN::CountMoves(b), b.moveCount) << b.GetFen();
        // Every legal move by a make-and-test of all target squares of each piece.
        const int us = b.sideToMove;
        for (int from = 0; from < 64; from++) {
            if (b.mailbox[from] == NO_PIECE || testref::ColourOn(b, from) != us) continue;
            const int type = b.mailbox[from];
            uint64_t targets = testref::PieceAttacks(us, type, from, b.occupied) & ~b.colours[us];
            if (type == PAWN) targets &= b.colours[us ^ 1];
            for (int to = 0; to < 64; to++) {
                if (!(targets & Bit(to))) continue;
                bool found = false;
                for (int i = 0; i < b.moveCount; i++)
                    found |= b.moves[i].from() == from && b.moves[i].to() == to;
                ASSERT_TRUE(found) << b.GetFen() << " " << squareCoords[from] << squareCoords[to];
            }
        }
    }
}

TEST_F(MovegenTest, FullListStopsAtCapacity) {
    // 220 pseudo-legal moves: the list fills up and nothing after it is touched.
    const char* fen = "Q2Q2nk/2Q3pp/4Q3/1Q4Q1/3QQ3/Q6Q/7Q/1KQQQQ2 w - - 0 1";
    Board b;
    b.SetByFen(fen);
    EXPECT_EQ(b.moveCount, MAX_MOVES);
    EXPECT_EQ(MOVEGEN::CountMoves(b), 220);
    EXPECT_EQ(b.sideToMove, WHITE);
    EXPECT_EQ(b.enPassantSquare, -1);
    EXPECT_EQ(b.fullMoveNumber, 1);

    // The well-known position with 218 legal moves fits exactly.
    b.SetByFen("R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1");
    EXPECT_EQ(b.moveCount, 218);
    EXPECT_EQ(testref::LegalMoves(b).size(), 218u);
}
