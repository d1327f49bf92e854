#include <gtest/gtest.h>

#include "board.h"
#include "search.h"
#include "test_init.h"

namespace {

constexpr int Sq(const char* s) {
    return (s[0] - 'a') + 8 * (s[1] - '1');
}

struct SeeCase {
    const char* fen;
    const char* from;
    const char* to;
    int type;
    int threshold;
    bool expected;
    const char* why;
};

const SeeCase cases[] = {
    {"4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1", "e4", "d5", CAPTURE, 301, true, "free knight, full value"},
    {"4k3/8/8/3n4/4P3/8/8/4K3 w - - 0 1", "e4", "d5", CAPTURE, 302, false, "no more than it is worth"},
    {"4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "d1", "d5", CAPTURE, 0, false, "queen for a guarded pawn"},
    {"4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1", "d1", "d5", CAPTURE, -826, true, "queen for a guarded pawn"},
    {"3rk3/8/8/3r4/8/8/8/3RK3 w - - 0 1", "d1", "d5", CAPTURE, 0, true, "rook for rook"},
    {"3rk3/8/8/3r4/8/8/8/3RK3 w - - 0 1", "d1", "d5", CAPTURE, 1, false, "rook for rook"},
    {"4k3/8/8/4p3/3N4/2P5/8/4K3 b - - 0 1", "e5", "d4", CAPTURE, 203, true, "black: pawn for knight"},
    {"4k3/8/8/4p3/3N4/2P5/8/4K3 b - - 0 1", "e5", "d4", CAPTURE, 204, false, "black: pawn for knight"},
    {"4k3/8/3p4/8/8/5N2/8/4K3 w - - 0 1", "f3", "e5", QUIET, 0, false, "knight onto a pawn-guarded square"},
    {"4k3/8/3p4/8/8/5N2/8/4K3 w - - 0 1", "f3", "e5", QUIET, -301, true, "knight onto a pawn-guarded square"},
    {"4k3/8/3p4/8/8/5N2/8/4K3 w - - 0 1", "f3", "d4", QUIET, 0, true, "safe square"},
    {"4k3/8/3p4/8/8/5N2/8/4K3 w - - 0 1", "e1", "d2", QUIET, 1, false, "king moves gain nothing"},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1", "g1", KING_CASTLE, 0, true, "castling"},
    {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1", "g1", KING_CASTLE, 1, false, "castling"},
    {"4r1k1/4p3/8/8/8/8/4R3/6K1 w - - 0 1", "e2", "e7", CAPTURE, 0, false, "rook for a rook-guarded pawn"},
    {"4r1k1/4p3/8/8/8/8/4R3/4Q1K1 w - - 0 1", "e2", "e7", CAPTURE, 0, true, "queen x-rays through e2"},
    {"6k1/8/4p3/3p4/2P5/8/8/6K1 w - - 0 1", "c4", "d5", CAPTURE, 1, false, "pawn trade"},
    {"6k1/8/4p3/3p4/2P5/1B6/8/6K1 w - - 0 1", "c4", "d5", CAPTURE, 1, true, "bishop behind the pawn"},
    {"6k1/8/2b5/3p4/5N2/8/8/3R2K1 w - - 0 1", "f4", "d5", CAPTURE, 0, true, "Nxd5 Bxd5 Rxd5"},
    {"6k1/1q6/2b5/3p4/5N2/8/8/3R2K1 w - - 0 1", "f4", "d5", CAPTURE, 0, false, "queen uncovered by Bxd5"},
    {"8/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "e8", QUEEN_PROMOTION, 826, true, "free promotion"},
    {"8/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "e8", QUEEN_PROMOTION, 827, false, "free promotion"},
    {"r7/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "e8", QUEEN_PROMOTION, 0, false, "rook takes the new queen"},
    {"r7/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "e8", QUEEN_PROMOTION, -98, true, "only the pawn is lost"},
    {"r7/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "e8", KNIGHT_PROMOTION, 0, false, "rook takes the knight"},
    {"3r4/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "d8", QUEEN_PROMO_CAPTURE, 1333, true, "rook plus promotion"},
    {"3r4/4P3/8/8/8/k7/8/K7 w - - 0 1", "e7", "d8", QUEEN_PROMO_CAPTURE, 1334, false, "rook plus promotion"},
    {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5", "d6", EP_CAPTURE, 98, true, "en passant wins a pawn"},
    {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5", "d6", EP_CAPTURE, 99, false, "en passant wins a pawn"},
    // The pawn taken en passant leaves d5, so the d1 rook backs up d6: exd6 Rxd6 Rxd6.
    {"3rk3/8/8/3pP3/8/8/8/3RK3 w - d6 0 1", "e5", "d6", EP_CAPTURE, 1, true, "file opened by en passant"},
    {"3rk3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5", "d6", EP_CAPTURE, 1, false, "no rook behind"},
    {"4k3/3p4/8/8/8/8/3R4/3RK3 w - - 0 1", "d2", "d7", CAPTURE, 0, true, "king may not retake into attack"},
    {"4k3/3p4/8/8/8/8/3R4/4K3 w - - 0 1", "d2", "d7", CAPTURE, 0, false, "king retakes"},
};

} // namespace

TEST(SEE, ExchangePositions) {
    InitTablesOnce();
    for (const SeeCase& c : cases) {
        Board board;
        board.SetByFen(c.fen);
        EXPECT_EQ(SEARCH::SEE(board, Move(Sq(c.from), Sq(c.to), c.type), c.threshold), c.expected)
            << c.why << ": " << c.fen << " " << c.from << c.to << " at " << c.threshold;
    }
    const int values[6] = {98, 301, 346, 507, 924, 0};
    for (int p = 0; p < 6; p++) EXPECT_EQ(SEARCH::SEEPieceValues[p], values[p]);
}
