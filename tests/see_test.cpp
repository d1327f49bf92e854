#include <gtest/gtest.h>

#include <string>

#include "board.h"
#include "search.h"
#include "test_init.h"

namespace {

Board FromFen(const std::string& fen) {
    InitTablesOnce();
    Board b;
    b.SetByFen(fen);
    return b;
}

bool See(const std::string& fen, Move m, int threshold) {
    return SEARCH::SEE(FromFen(fen), m, threshold);
}

// Squares by name, a1 = 0.
constexpr int Sq(const char* s) {
    return (s[0] - 'a') + 8 * (s[1] - '1');
}

} // namespace

TEST(SEE, PieceValues) {
    const int expected[6] = {98, 301, 346, 507, 924, 0};
    for (int p = 0; p < 6; p++) EXPECT_EQ(SEARCH::SEEPieceValues[p], expected[p]);
}

TEST(SEE, SimpleCaptures) {
    // Pawn takes an undefended knight: good up to the knight's full value.
    const std::string pxn = "4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1";
    const Move exd5(Sq("e4"), Sq("d5"), CAPTURE);
    EXPECT_TRUE(See(pxn, exd5, 0));
    EXPECT_TRUE(See(pxn, exd5, 301));
    EXPECT_FALSE(See(pxn, exd5, 302));

    // Queen takes a pawn defended by a pawn.
    const std::string qxp = "4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1";
    EXPECT_FALSE(See(qxp, Move(Sq("d1"), Sq("d5"), CAPTURE), 0));
    EXPECT_TRUE(See(qxp, Move(Sq("d1"), Sq("d5"), CAPTURE), -826));
    EXPECT_FALSE(See(qxp, Move(Sq("d1"), Sq("d5"), CAPTURE), -825));

    // Rook takes a rook defended once: even.
    const std::string rxr = "3rk3/8/8/3r4/8/8/8/3RK3 w - - 0 1";
    EXPECT_TRUE(See(rxr, Move(Sq("d1"), Sq("d5"), CAPTURE), 0));
    EXPECT_FALSE(See(rxr, Move(Sq("d1"), Sq("d5"), CAPTURE), 1));

    // Black to move: pawn takes a knight defended by a pawn.
    const std::string black = "4k3/8/8/4p3/3N4/2P5/8/4K3 b - - 0 1";
    EXPECT_TRUE(See(black, Move(Sq("e5"), Sq("d4"), CAPTURE), 203));
    EXPECT_FALSE(See(black, Move(Sq("e5"), Sq("d4"), CAPTURE), 204));
}

TEST(SEE, QuietMovesAndKings) {
    // A knight stepping onto a square a pawn guards loses it.
    const std::string fen = "4k3/8/3p4/8/8/5N2/8/4K3 w - - 0 1";
    EXPECT_FALSE(See(fen, Move(Sq("f3"), Sq("e5"), QUIET), 0));
    EXPECT_TRUE(See(fen, Move(Sq("f3"), Sq("d4"), QUIET), 0));
    EXPECT_TRUE(See(fen, Move(Sq("f3"), Sq("e5"), QUIET), -301));
    EXPECT_FALSE(See(fen, Move(Sq("f3"), Sq("e5"), QUIET), -300));
    // King moves are worth nothing, whatever attacks the square.
    EXPECT_TRUE(See(fen, Move(Sq("e1"), Sq("d2"), QUIET), 0));
    EXPECT_FALSE(See(fen, Move(Sq("e1"), Sq("d2"), QUIET), 1));
    // Castling passes exactly at thresholds up to 0.
    const std::string castle = "4k3/8/8/8/8/8/8/4K2R w K - 0 1";
    EXPECT_TRUE(See(castle, Move(Sq("e1"), Sq("g1"), KING_CASTLE), 0));
    EXPECT_TRUE(See(castle, Move(Sq("e1"), Sq("g1"), KING_CASTLE), -50));
    EXPECT_FALSE(See(castle, Move(Sq("e1"), Sq("g1"), KING_CASTLE), 1));
}

TEST(SEE, XRays) {
    // Rook takes a pawn defended by a rook: lost.
    EXPECT_FALSE(See("4r1k1/4p3/8/8/8/8/4R3/6K1 w - - 0 1", Move(Sq("e2"), Sq("e7"), CAPTURE), 0));
    // A queen behind the rook recaptures through the vacated square.
    EXPECT_TRUE(See("4r1k1/4p3/8/8/8/8/4R3/4Q1K1 w - - 0 1", Move(Sq("e2"), Sq("e7"), CAPTURE), 0));
    // A bishop behind the capturing pawn backs it up.
    EXPECT_FALSE(See("6k1/8/4p3/3p4/2P5/8/8/6K1 w - - 0 1", Move(Sq("c4"), Sq("d5"), CAPTURE), 1));
    EXPECT_TRUE(See("6k1/8/4p3/3p4/2P5/1B6/8/6K1 w - - 0 1", Move(Sq("c4"), Sq("d5"), CAPTURE), 1));
    // Nxd5 Bxd5 Rxd5 wins, unless the queen behind the bishop appears once it has taken.
    EXPECT_TRUE(See("6k1/8/2b5/3p4/5N2/8/8/3R2K1 w - - 0 1", Move(Sq("f4"), Sq("d5"), CAPTURE), 0));
    EXPECT_FALSE(See("6k1/1q6/2b5/3p4/5N2/8/8/3R2K1 w - - 0 1", Move(Sq("f4"), Sq("d5"), CAPTURE), 0));
}

TEST(SEE, Promotions) {
    // Promotion onto an unguarded square gains queen minus pawn.
    const std::string free = "8/4P3/8/8/8/k7/8/K7 w - - 0 1";
    EXPECT_TRUE(See(free, Move(Sq("e7"), Sq("e8"), QUEEN_PROMOTION), 826));
    EXPECT_FALSE(See(free, Move(Sq("e7"), Sq("e8"), QUEEN_PROMOTION), 827));
    // A rook guarding the square takes the new queen.
    const std::string guarded = "r7/4P3/8/8/8/k7/8/K7 w - - 0 1";
    EXPECT_FALSE(See(guarded, Move(Sq("e7"), Sq("e8"), QUEEN_PROMOTION), 0));
    EXPECT_TRUE(See(guarded, Move(Sq("e7"), Sq("e8"), QUEEN_PROMOTION), -98));
    EXPECT_FALSE(See(guarded, Move(Sq("e7"), Sq("e8"), KNIGHT_PROMOTION), 0));
    // Capturing the rook while promoting wins it (queen lost to nothing: no recapture).
    const std::string promoCapture = "3r4/4P3/8/8/8/k7/8/K7 w - - 0 1";
    EXPECT_TRUE(See(promoCapture, Move(Sq("e7"), Sq("d8"), QUEEN_PROMO_CAPTURE), 507 + 826));
    EXPECT_FALSE(See(promoCapture, Move(Sq("e7"), Sq("d8"), QUEEN_PROMO_CAPTURE), 507 + 827));
}

TEST(SEE, EnPassant) {
    const Move exd6(Sq("e5"), Sq("d6"), EP_CAPTURE);
    EXPECT_TRUE(See("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", exd6, 0));
    EXPECT_TRUE(See("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", exd6, 98));
    EXPECT_FALSE(See("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", exd6, 99));
    // The captured pawn leaves d5, so the white rook on d1 backs up the pawn: after
    // exd6 Rxd6 Rxd6 White is a rook up.
    EXPECT_TRUE(See("3rk3/8/8/3pP3/8/8/8/3RK3 w - d6 0 1", exd6, 1));
    EXPECT_FALSE(See("3rk3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", exd6, 1));
}

TEST(SEE, KingMayNotRecaptureIntoAttack) {
    // Rd2xd7: the black king cannot take back while the second rook x-rays d7.
    EXPECT_TRUE(See("4k3/3p4/8/8/8/8/3R4/3RK3 w - - 0 1", Move(Sq("d2"), Sq("d7"), CAPTURE), 0));
    EXPECT_FALSE(See("4k3/3p4/8/8/8/8/3R4/4K3 w - - 0 1", Move(Sq("d2"), Sq("d7"), CAPTURE), 0));
}
