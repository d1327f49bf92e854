#include <gtest/gtest.h>

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

class BoardTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InitTablesOnce(); }
};

Move Find(Board& b, const std::string& text) {
    MOVEGEN::GenerateMoves<All>(b);
    for (int i = 0; i < b.moveCount; i++)
        if (b.moves[i].ToString() == text) return b.moves[i];
    ADD_FAILURE() << "no move " << text << " in " << b.GetFen();
    return Move();
}

void Play(Board& b, std::initializer_list<const char*> texts) {
    for (const char* t : texts) b.MakeMove(Find(b, t));
}

std::string Capture(void (*print)(const Board&), const Board& b) {
    testing::internal::CaptureStdout();
    print(b);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST_F(BoardTest, DefaultRecord) {
    Board b;
    EXPECT_EQ(b.enPassantSquare, -1);
    EXPECT_EQ(b.fullMoveNumber, 1);
    EXPECT_EQ(b.occupied | b.colours[0] | b.colours[1] | b.checkers | b.hashKey | b.pawnKey | b.majorKey, 0u);
    for (uint64_t p : b.pieces) EXPECT_EQ(p, 0u);
    EXPECT_EQ(b.moveCount, 0);
    EXPECT_EQ(b.historyIndex, 0);
    EXPECT_EQ(b.halfMoveClock, 0);
    EXPECT_FALSE(b.accPair.whiteMirrored);
    EXPECT_EQ(alignof(Board), 32u);
}

TEST_F(BoardTest, LoadsTheStartPosition) {
    Board b;
    b.SetByFen(StartingFen);
    EXPECT_EQ(__builtin_popcountll(b.occupied), 32);
    EXPECT_EQ(b.sideToMove, WHITE);
    EXPECT_EQ(b.castlingRights, 15);
    EXPECT_EQ(b.enPassantSquare, -1);
    EXPECT_EQ(b.halfMoveClock, 0);
    EXPECT_EQ(b.fullMoveNumber, 1);
    EXPECT_EQ(b.moveCount, 20);
    EXPECT_EQ(b.mailbox[4], KING);
    EXPECT_EQ(b.mailbox[59], QUEEN);
    EXPECT_EQ(b.mailbox[30], NO_PIECE);
    EXPECT_EQ(b.GetFen(), StartingFen);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
    EXPECT_EQ(b.pawnKey | b.nonPawnKey | b.majorKey, 0u);
    for (uint64_t s : b.checkSquares) EXPECT_EQ(s, 0u);
    // Castling entry 15 is in, the side key is not.
    uint64_t pieceKeys = 0;
    for (int s = 0; s < 64; s++)
        if (b.mailbox[s] != NO_PIECE) pieceKeys ^= UTILS::zKeys[s >= 32][b.mailbox[s]][s];
    EXPECT_EQ(b.hashKey, pieceKeys ^ UTILS::zCastle[15]);
}

TEST_F(BoardTest, FenFieldsAreReadLeniently) {
    Board b;
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 w - -");
    EXPECT_EQ(b.halfMoveClock, 0);
    EXPECT_EQ(b.fullMoveNumber, 1);
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 w - - 17");
    EXPECT_EQ(b.halfMoveClock, 17);
    EXPECT_EQ(b.fullMoveNumber, 1);
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 W - - 0 1");
    EXPECT_EQ(b.sideToMove, WHITE);
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 white - - 0 1");
    EXPECT_EQ(b.sideToMove, WHITE);
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 b - - 0 1");
    EXPECT_EQ(b.sideToMove, BLACK);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);

    Board other;
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    other.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w qkQK - 0 1");
    EXPECT_EQ(b.castlingRights, 15);
    EXPECT_EQ(other.castlingRights, 15);
    EXPECT_EQ(b.hashKey, other.hashKey);
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1");
    EXPECT_EQ(b.castlingRights, 0);
}

TEST_F(BoardTest, RightsWithoutKingOrRookAtHomeAreDropped) {
    Board b;
    b.SetByFen("4k3/8/8/8/8/8/8/4K3 w KQkq - 0 1");
    EXPECT_EQ(b.castlingRights, 0);
    EXPECT_EQ(b.moveCount, 5);
    b.SetByFen("r3k3/8/8/8/8/8/8/R4K1R w KQkq - 0 1");
    EXPECT_EQ(b.castlingRights, BLACK_QUEEN_SIDE);
    b.SetByFen("rn2k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"); // knight on b8 leaves the a8 rook at home
    EXPECT_EQ(b.castlingRights, 15);
    b.SetByFen("1r2k2R/8/8/8/8/8/8/R3K3 w KQkq - 0 1"); // a White rook on h8 is not Black's
    EXPECT_EQ(b.castlingRights, WHITE_QUEEN_SIDE);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
}

TEST_F(BoardTest, GetFenRoundTripsSuitesAndPlayedPositions) {
    for (const std::string& fen : testref::AllSuiteFens()) {
        Board b;
        b.SetByFen(fen);
        EXPECT_EQ(b.GetFen(), fen);
    }
    for (const Board& p : testref::RandomGamePositions(testref::SuiteFens("cpw6.epd"), 40, 3)) {
        Board b;
        b.SetByFen(p.GetFen());
        EXPECT_EQ(b.hashKey, p.hashKey) << p.GetFen();
        EXPECT_EQ(b.GetFen(), p.GetFen());
    }
    Board b;
    b.SetByFen(StartingFen);
    Play(b, {"e2e4"});
    EXPECT_EQ(b.GetFen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
    Play(b, {"g8f6", "e4e5", "d7d5"});
    EXPECT_EQ(b.GetFen(), "rnbqkb1r/ppp1pppp/5n2/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6 0 3");
}

TEST_F(BoardTest, FirstMovesUpdateKeysAndClocks) {
    Board start;
    start.SetByFen(StartingFen);
    Board b = start;
    b.MakeMove(Find(b, "e2e4"));
    const uint64_t e2 = UTILS::zKeys[WHITE][PAWN][12], e4 = UTILS::zKeys[WHITE][PAWN][28];
    EXPECT_EQ(b.enPassantSquare, 20);
    EXPECT_EQ(b.hashKey, start.hashKey ^ e2 ^ e4 ^ UTILS::zEnPassant[4] ^ UTILS::zSide);
    EXPECT_EQ(b.pawnKey, e2 ^ e4);
    EXPECT_EQ(b.nonPawnKey, 0u);
    EXPECT_EQ(b.halfMoveClock, 0);
    EXPECT_EQ(b.fullMoveNumber, 1);
    EXPECT_EQ(b.historyIndex, 1);
    b.MakeMove(Find(b, "e7e5"));
    EXPECT_EQ(b.fullMoveNumber, 2);
    EXPECT_EQ(b.enPassantSquare, 44);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);

    b = start;
    b.MakeMove(Find(b, "g1f3"));
    EXPECT_EQ(b.nonPawnKey, UTILS::zKeys[WHITE][KNIGHT][6] ^ UTILS::zKeys[WHITE][KNIGHT][21]);
    EXPECT_EQ(b.pawnKey, 0u);
    EXPECT_EQ(b.majorKey, 0u);
    EXPECT_EQ(b.halfMoveClock, 1);
}

TEST_F(BoardTest, CastlingMovesTheRookAndClearsRights) {
    Board b;
    b.SetByFen("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1");
    Board before = b;
    b.MakeMove(Find(b, "e1g1"));
    EXPECT_EQ(b.mailbox[5], ROOK);
    EXPECT_EQ(b.mailbox[6], KING);
    EXPECT_EQ(b.mailbox[7], NO_PIECE);
    EXPECT_EQ(b.mailbox[4], NO_PIECE);
    EXPECT_EQ(b.castlingRights, BLACK_KING_SIDE | BLACK_QUEEN_SIDE);
    const uint64_t moved = UTILS::zKeys[WHITE][KING][4] ^ UTILS::zKeys[WHITE][KING][6] ^
                           UTILS::zKeys[WHITE][ROOK][7] ^ UTILS::zKeys[WHITE][ROOK][5];
    EXPECT_EQ(b.nonPawnKey, moved);
    EXPECT_EQ(b.majorKey, moved);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
    EXPECT_EQ(before.castlingRights, 15);

    b.MakeMove(Find(b, "e8c8"));
    EXPECT_EQ(b.mailbox[59], ROOK);
    EXPECT_EQ(b.mailbox[58], KING);
    EXPECT_EQ(b.mailbox[56], NO_PIECE);
    EXPECT_EQ(b.castlingRights, 0);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
}

TEST_F(BoardTest, RookCaptureAndRookMoveClearRights) {
    Board b;
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    b.MakeMove(Find(b, "h1h8"));
    EXPECT_EQ(b.castlingRights, WHITE_QUEEN_SIDE | BLACK_QUEEN_SIDE);
    EXPECT_EQ(b.halfMoveClock, 0);
    b.MakeMove(Find(b, "a8a1"));
    EXPECT_EQ(b.castlingRights, 0);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
}

TEST_F(BoardTest, EnPassantRemovesThePawnBehind) {
    Board b;
    b.SetByFen("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1");
    b.MakeMove(Find(b, "d7d5"));
    const Board beforeCapture = b;
    const Move ep = Find(b, "e5d6");
    EXPECT_EQ(ep.type(), EP_CAPTURE);
    b.MakeMove(ep);
    EXPECT_EQ(b.mailbox[35], NO_PIECE);
    EXPECT_EQ(b.mailbox[43], PAWN);
    EXPECT_EQ(b.pieces[PAWN], Bit(43));
    EXPECT_EQ(b.pawnKey ^ beforeCapture.pawnKey,
              UTILS::zKeys[WHITE][PAWN][36] ^ UTILS::zKeys[WHITE][PAWN][43] ^ UTILS::zKeys[BLACK][PAWN][35]);
    EXPECT_EQ(b.enPassantSquare, -1);
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
}

TEST_F(BoardTest, PromotionsPlaceThePromotedPiece) {
    Board b;
    b.SetByFen("3r1k2/4P3/8/8/8/8/8/4K3 w - - 3 40");
    Board capture = b;
    capture.MakeMove(Move(52, 59, KNIGHT_PROMO_CAPTURE));
    EXPECT_EQ(capture.mailbox[59], KNIGHT);
    EXPECT_EQ(capture.pieces[ROOK], 0u);
    EXPECT_EQ(capture.pieces[PAWN], 0u);
    EXPECT_EQ(capture.colours[WHITE], Bit(4) | Bit(59));
    EXPECT_EQ(capture.halfMoveClock, 0);
    EXPECT_EQ(capture.checkers, 0u); // a knight on d8 does not reach f8
    b.MakeMove(Move(52, 60, QUEEN_PROMOTION));
    EXPECT_EQ(b.mailbox[60], QUEEN);
    EXPECT_TRUE(b.checkers & Bit(60));
    EXPECT_EQ(b.hashKey, testref::ScratchKeys(b).v[0]);
}

TEST_F(BoardTest, NullMoves) {
    Board b;
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 5 9");
    const Board start = b;
    b.MakeMove(Move());
    EXPECT_EQ(b.sideToMove, BLACK);
    EXPECT_EQ(b.hashKey, start.hashKey ^ UTILS::zSide);
    EXPECT_EQ(b.halfMoveClock, 5);
    EXPECT_EQ(b.historyIndex, 0);
    b.MakeMove(Move());
    EXPECT_EQ(b.hashKey, start.hashKey);
    EXPECT_EQ(std::memcmp(&b, &start, sizeof(Board)), 0);

    b.SetByFen(StartingFen);
    Play(b, {"e2e4"});
    const Board afterPush = b;
    b.MakeMove(Move());
    b.MakeMove(Move());
    EXPECT_EQ(b.enPassantSquare, -1);
    EXPECT_EQ(b.hashKey, afterPush.hashKey ^ UTILS::zEnPassant[4]);
    EXPECT_EQ(b.checkSquares[1], afterPush.checkSquares[1]);
}

TEST_F(BoardTest, RandomPlayKeepsKeysAndRecordConsistent) {
    std::mt19937 rng(2024);
    for (const std::string& fen : testref::AllSuiteFens()) {
        Board b;
        b.SetByFen(fen);
        const testref::Keys loaded = testref::ScratchKeys(b);
        for (int ply = 0; ply < 60; ply++) {
            std::vector<Move> legal = testref::LegalMoves(b);
            if (legal.empty()) break;
            Move m = legal[rng() % legal.size()];
            if (!b.checkers && rng() % 8 == 0) m = Move();
            Board source;
            std::memcpy(static_cast<void*>(&source), &b, sizeof(Board));
            Board child = b;
            child.MakeMove(m);
            ASSERT_EQ(std::memcmp(&source, &b, sizeof(Board)), 0);
            b = child;

            const testref::Keys now = testref::ScratchKeys(b);
            ASSERT_EQ(b.hashKey, now.v[0]) << fen << " ply " << ply;
            ASSERT_EQ(b.pawnKey, now.v[1] ^ loaded.v[1]);
            ASSERT_EQ(b.nonPawnKey, now.v[2] ^ loaded.v[2]);
            ASSERT_EQ(b.majorKey, now.v[3] ^ loaded.v[3]);

            uint64_t all = 0;
            for (int t = 0; t < 6; t++) {
                ASSERT_EQ(all & b.pieces[t], 0u);
                all |= b.pieces[t];
            }
            ASSERT_EQ(all, b.occupied);
            ASSERT_EQ(b.colours[WHITE] | b.colours[BLACK], b.occupied);
            ASSERT_EQ(b.colours[WHITE] & b.colours[BLACK], 0u);
            for (int s = 0; s < 64; s++) {
                if (b.mailbox[s] == NO_PIECE)
                    ASSERT_FALSE(b.occupied & Bit(s));
                else
                    ASSERT_TRUE(b.pieces[b.mailbox[s]] & Bit(s));
            }
            if (!m.IsNull()) {
                ASSERT_EQ(b.checkers,
                          testref::Attackers(b, testref::King(b, b.sideToMove), b.sideToMove ^ 1));
            }
        }
    }
}

TEST_F(BoardTest, PinsAndCheckersMatchBruteForce) {
    for (const Board& b : testref::RandomGamePositions(testref::AllSuiteFens(), 40, 9)) {
        ASSERT_EQ(b.checkers, testref::Attackers(b, testref::King(b, b.sideToMove), b.sideToMove ^ 1));
        for (int c = WHITE; c <= BLACK; c++) {
            const int king = testref::King(b, c);
            uint64_t expected = 0;
            for (int s = 0; s < 64; s++) {
                if (b.mailbox[s] == NO_PIECE || testref::ColourOn(b, s) != (c ^ 1)) continue;
                const int t = b.mailbox[s];
                const bool diagonal = testref::Diagonals(king, 0) & Bit(s);
                const bool line = testref::Lines(king, 0) & Bit(s);
                if (!((diagonal && (t == BISHOP || t == QUEEN)) || (line && (t == ROOK || t == QUEEN))))
                    continue;
                // Pieces strictly between by walking from the king towards s.
                const int df = (s % 8 > king % 8) - (s % 8 < king % 8),
                          dr = (s / 8 > king / 8) - (s / 8 < king / 8);
                uint64_t between = 0;
                for (int q = king + df + 8 * dr; q != s; q += df + 8 * dr)
                    if (b.occupied & Bit(q)) between |= Bit(q);
                if (__builtin_popcountll(between) == 1 && (between & b.colours[c])) expected |= between;
            }
            ASSERT_EQ(b.pinned[c], expected) << b.GetFen() << " colour " << c;
            ASSERT_EQ(b.CalcPinned(c), expected);
        }
    }
}

TEST_F(BoardTest, IsLegalAgreesWithMakeAndTest) {
    std::vector<std::string> fens = testref::AllSuiteFens();
    // Pins, an en-passant capture that uncovers a rank, a king on a checking line, double check
    // and a knight check.
    for (const char* fen : {"4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1", "4r1k1/8/8/8/8/8/4R3/4K3 w - - 0 1",
                            "6k1/8/8/r1pPK3/8/8/8/8 w - c6 0 1", "8/8/8/2k5/3Pp3/8/8/7K b - d3 0 1",
                            "4r1k1/8/8/8/8/8/4K3/8 w - - 0 1", "4r1k1/8/8/8/8/5n2/8/R3K3 w - - 0 1",
                            "6k1/8/8/8/8/3n4/8/3RK2R w - - 0 1"})
        fens.push_back(fen);
    for (Board b : testref::RandomGamePositions(fens, 40, 17)) {
        MOVEGEN::GenerateMoves<All>(b);
        for (int i = 0; i < b.moveCount; i++) {
            const Move m = b.moves[i];
            Board child = b;
            child.MakeMove(m);
            const bool reference = !testref::InCheck(child, b.sideToMove);
            ASSERT_EQ(b.IsLegal(m), reference) << b.GetFen() << " " << m.ToString();
        }
    }
}

TEST_F(BoardTest, IsPseudoLegalMatchesTheGeneratedList) {
    std::vector<std::string> fens = testref::AllSuiteFens();
    fens.resize(40);
    for (Board b : testref::RandomGamePositions(fens, 12, 23)) {
        MOVEGEN::GenerateMoves<All>(b);
        std::vector<bool> inList(1 << 16, false);
        for (int i = 0; i < b.moveCount; i++) inList[b.moves[i].data] = true;
        for (uint32_t raw = 1; raw < (14u << 12); raw++) {
            const Move m(static_cast<uint16_t>(raw));
            if (b.IsPseudoLegal(m) != inList[raw]) {
                FAIL() << b.GetFen() << " " << m.ToString() << " type " << m.type() << " pseudo-legal "
                       << b.IsPseudoLegal(m);
            }
        }
        for (uint32_t raw = 14u << 12; raw < (1u << 16); raw += 97)
            EXPECT_FALSE(b.IsPseudoLegal(Move(uint16_t(raw))));
    }
    Board b;
    b.SetByFen(StartingFen);
    EXPECT_TRUE(b.IsPseudoLegal(Move()));
}

TEST_F(BoardTest, IsPseudoLegalRejectsStaleMoves) {
    Board b;
    b.SetByFen("4k3/8/8/8/8/4n3/4P3/4K2R w K - 0 1");
    EXPECT_FALSE(b.IsPseudoLegal(Move(12, 28, DOUBLE_PAWN_PUSH))); // e3 blocks the pawn
    b.SetByFen("4k3/8/8/8/8/8/8/4K2R w K - 0 1");
    const Move castle(4, 6, KING_CASTLE);
    EXPECT_TRUE(b.IsPseudoLegal(castle));
    Play(b, {"h1h2", "e8d8", "h2h1"});
    EXPECT_FALSE(b.IsPseudoLegal(castle));
    b.SetByFen("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1");
    Play(b, {"d7d5"});
    const Move ep(36, 43, EP_CAPTURE);
    EXPECT_TRUE(b.IsPseudoLegal(ep));
    Play(b, {"e1d1", "e8d8"});
    EXPECT_FALSE(b.IsPseudoLegal(ep));
}

TEST_F(BoardTest, GivesDirectCheckAgreesWithTheMovedPiece) {
    std::mt19937 rng(31);
    for (const std::string& fen : testref::AllSuiteFens()) {
        Board b;
        b.SetByFen(fen);
        MOVEGEN::GenerateMoves<All>(b);
        for (int i = 0; i < b.moveCount; i++) EXPECT_FALSE(b.GivesDirectCheck(b.moves[i])); // just loaded
        for (int ply = 0; ply < 40; ply++) {
            std::vector<Move> legal = testref::LegalMoves(b);
            if (legal.empty()) break;
            b.MakeMove(legal[rng() % legal.size()]);
            MOVEGEN::GenerateMoves<All>(b);
            const int enemyKing = testref::King(b, b.sideToMove ^ 1);
            for (int i = 0; i < b.moveCount; i++) {
                const Move m = b.moves[i];
                Board child = b;
                child.MakeMove(m);
                const int piece = child.mailbox[m.to()];
                bool reference =
                    piece != KING &&
                    (testref::PieceAttacks(b.sideToMove, piece, m.to(), child.occupied) & Bit(enemyKing));
                // A promoted slider that sees the king through its own origin square is not
                // detected by design (the check squares come from the position before the move).
                if (reference && m.IsPromotion() &&
                    (MOVEGEN::betweenSquares[m.to()][enemyKing] & Bit(m.from())))
                    reference = false;
                ASSERT_EQ(b.GivesDirectCheck(m), reference) << b.GetFen() << " " << m.ToString();
            }
        }
    }
}

TEST_F(BoardTest, InPossibleZug) {
    Board b;
    b.SetByFen("4k3/pppp4/8/8/8/8/PPPP4/4K1N1 w - - 0 1");
    EXPECT_FALSE(b.InPossibleZug());
    b.MakeMove(Move());
    EXPECT_TRUE(b.InPossibleZug());
}

TEST_F(BoardTest, MoveText) {
    EXPECT_EQ(Move(12, 28, DOUBLE_PAWN_PUSH).ToString(), "e2e4");
    EXPECT_EQ(Move(14, 7, ROOK_PROMO_CAPTURE).ToString(), "g2h1r");
    EXPECT_EQ(Move(52, 60, KNIGHT_PROMOTION).ToString(), "e7e8n");
    EXPECT_EQ(Move(52, 60, BISHOP_PROMOTION).ToString(), "e7e8b");
    EXPECT_EQ(Move(52, 61, QUEEN_PROMO_CAPTURE).ToString(), "e7f8q");
    EXPECT_EQ(Move(4, 6, KING_CASTLE).ToString(), "e1g1");
    EXPECT_EQ(Move().ToString(), "a1a1");
    testing::internal::CaptureStdout();
    Move(63, 0, QUIET).PrintMove();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "h8a1");

    EXPECT_EQ(moveTypes[0], "quiet");
    EXPECT_EQ(moveTypes[3], "QueenCastle");
    EXPECT_EQ(moveTypes[13], "queenPromoCapture");
    EXPECT_STREQ(squareCoords[0], "a1");
    EXPECT_STREQ(squareCoords[63], "h8");
    const Move m(10, 20, CAPTURE);
    EXPECT_TRUE(m.IsCapture());
    EXPECT_FALSE(Move(10, 20, DOUBLE_PAWN_PUSH).IsCapture());
    EXPECT_TRUE(Move(10, 20, EP_CAPTURE).IsCapture());
    EXPECT_EQ(Move(10, 20, ROOK_PROMOTION).PromotionPiece(), ROOK);
    EXPECT_EQ(Move(10, 20, KNIGHT_PROMO_CAPTURE).PromotionPiece(), KNIGHT);
}

TEST_F(BoardTest, ParseMoveTakesTypesFromTheList) {
    Board b;
    b.SetByFen(StartingFen);
    EXPECT_EQ(ParseMove(b, "e2e4"), Move(12, 28, DOUBLE_PAWN_PUSH));
    EXPECT_EQ(ParseMove(b, "g1f3"), Move(6, 21, QUIET));
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    EXPECT_EQ(ParseMove(b, "e1g1").type(), KING_CASTLE);
    b.SetByFen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
    EXPECT_EQ(ParseMove(b, "e8c8").type(), QUEEN_CASTLE);
    b.SetByFen("3r3k/4P3/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(ParseMove(b, "e7e8q"), Move(52, 60, QUEEN_PROMOTION));
    EXPECT_EQ(ParseMove(b, "e7d8n"), Move(52, 59, KNIGHT_PROMO_CAPTURE));
    b.SetByFen("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1");
    b.MakeMove(ParseMove(b, "d7d5"));
    MOVEGEN::GenerateMoves<All>(b);
    EXPECT_EQ(ParseMove(b, "e5d6"), Move(36, 43, EP_CAPTURE));
}

TEST_F(BoardTest, ParseMoveRefusesWhatNamesNoMove) {
    Board b;
    b.SetByFen(StartingFen);
    for (const char* token : {"", "e2", "e2e", "e2e4e4", "i2i4", "e9e4", "E2E4", "e2e5", "e3e4", "e1g1",
                              "a1a1", "e2e4q", "e2e4x", "g1f3 "}) {
        EXPECT_EQ(ParseMove(b, token), Move()) << '"' << token << '"';
    }
    b.SetByFen("3r3k/4P3/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(ParseMove(b, "e7e8k"), Move());
    EXPECT_EQ(ParseMove(b, "e7e8Q"), Move());
    EXPECT_EQ(ParseMove(b, "e7f8q"), Move()); // f8 empty: not a capture
    // A promotion names its piece; without the letter the text names no move.
    EXPECT_EQ(ParseMove(b, "e7e8"), Move());
    EXPECT_EQ(ParseMove(b, "e7d8"), Move());
    b.SetByFen("4k3/8/8/8/8/8/p7/4K3 b - - 0 1");
    EXPECT_EQ(ParseMove(b, "a2a1"), Move());
    EXPECT_EQ(ParseMove(b, "a2a1r"), Move(8, 0, ROOK_PROMOTION));
}

TEST_F(BoardTest, PrintBoardText) {
    Board b;
    b.SetByFen(StartingFen);
    const std::string border = "+---+---+---+---+---+---+---+---+\n";
    std::string expected;
    const char* rows[8] = {"| r | n | b | q | k | b | n | r |  8", "| p | p | p | p | p | p | p | p |  7",
                           "|   |   |   |   |   |   |   |   |  6", "|   |   |   |   |   |   |   |   |  5",
                           "|   |   |   |   |   |   |   |   |  4", "|   |   |   |   |   |   |   |   |  3",
                           "| P | P | P | P | P | P | P | P |  2", "| R | N | B | Q | K | B | N | R |  1"};
    for (const char* row : rows) expected += border + row + "\n";
    std::ostringstream key;
    key << std::hex << b.hashKey;
    expected += border +
                "  a   b   c   d   e   f   g   h\n\n      Side to move: White\n"
                "      En Passant square: None\n      Castling rights: KQkq\n\n      Hashkey: 0x" +
                key.str() + "\n      Fen: " + std::string(StartingFen) + "\n";
    EXPECT_EQ(Capture(PrintBoard, b), expected);

    Play(b, {"e2e4", "e7e5", "e1e2"});
    const std::string text = Capture(PrintBoard, b);
    EXPECT_NE(text.find("      Side to move: Black\n"), std::string::npos);
    EXPECT_NE(text.find("      En Passant square: None\n"), std::string::npos);
    EXPECT_NE(text.find("      Castling rights: --kq\n"), std::string::npos);
    Play(b, {"d7d5"});
    EXPECT_NE(Capture(PrintBoard, b).find("      En Passant square: d6\n"), std::string::npos);
}

TEST_F(BoardTest, ValidateFenAccepts) {
    for (const std::string& fen : testref::AllSuiteFens()) EXPECT_EQ(ValidateFen(fen), "") << fen;
    for (const char* fen :
         {"4k3/8/8/8/8/8/8/4K3 w - -", "4k3/8/8/8/8/8/8/4K3 b - - 12", "4k3/8/8/8/8/8/8/4K3 w KQkq - 0 1",
          "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
          "4k3/8/8/8/8/8/8/4K3 w - - 0 1000000000", "  4k3/8/8/8/8/8/8/4K3   w  -  -  ",
          "4k3/8/4n3/3pP3/8/8/8/4K3 w - d6 0 1", "4k3/8/8/8/8/8/8/4K2R b - - 0 1"}) {
        EXPECT_EQ(ValidateFen(fen), "") << fen;
    }
}

TEST_F(BoardTest, ValidateFenRejects) {
    const char* bad[] = {
        "",
        "4k3/8/8/8/8/8/8/4K3 w -",             // three fields
        "4k3/8/8/8/8/8/8/4K3 w - - 0 1 extra", // seven fields
        "4k3/8/8/8/8/8/4K3 w - - 0 1",         // seven ranks
        "4k3/8/8/8/8/8/8/8/4K3 w - - 0 1",     // nine ranks
        "4k3/8/8/8//8/8/8/4K3 w - - 0 1",      // empty rank
        "4k3/8/8/8/8/8/8/4K4 w - - 0 1",       // nine squares
        "4k3/8/8/8/8/8/8/4K2 w - - 0 1",       // seven squares
        "4k3/8/8/8/8/8/8/8p w - - 0 1",        // piece past the h-file
        "4k3/8/8/8/8/8/8/4K2X w - - 0 1",      // unknown letter
        "4k3/8/8/9/8/8/8/4K3 w - - 0 1",       // digit 9
        "4k3/8/8/08/8/8/8/4K3 w - - 0 1",      // digit 0
        "8/8/8/8/8/8/8/4K3 w - - 0 1",         // no Black king
        "4k3/8/8/8/8/8/8/3KK3 w - - 0 1",      // two White kings
        "4k3/8/8/8/8/8/8/3PK3 w - - 0 1",      // pawn on rank 1
        "3pk3/8/8/8/8/8/8/4K3 w - - 0 1",      // pawn on rank 8
        "4k3/8/8/8/8/8/8/4K3 W - - 0 1",       // side
        "4k3/8/8/8/8/8/8/4K3 white - - 0 1",
        "4k3/8/8/8/8/8/8/4K3 w KX - 0 1", // castling letter
        "4k3/8/8/8/8/8/8/4K3 w -K - 0 1",
        "4k3/8/8/8/8/8/8/4K3 w - e4 0 1", // en passant rank
        "4k3/8/8/8/8/8/8/4K3 w - e3 0 1", // rank 3 with White to move
        "4k3/8/8/8/8/8/8/4K3 w - i6 0 1",
        "4k3/8/8/8/8/8/8/4K3 w - e6x 0 1",
        "4k3/8/8/8/8/8/8/4K3 w - e6 0 1", // no pawn passed e6
        "4k3/8/8/8/8/8/8/4K3 w - - -1 1", // negative clock
        "4k3/8/8/8/8/8/8/4K3 w - - x 1",
        "4k3/8/8/8/8/8/8/4K3 w - - 0 1.5",
        "4k3/8/8/8/8/8/8/4K3 w - - 0 99999999999",              // too large for an int
        "4k3/8/8/8/8/8/8/4K3 b - - 2147483647 1",               // would overflow on the next move
        "4k2R/8/8/8/8/8/8/4K3 w - - 0 1",                       // Black, not to move, is in check
        "4k3/8/8/8/8/8/8/3Kk3 w - - 0 1",                       // kings side by side
        "4k3/8/8/3pP3/8/5n2/8/4K3 w - d6 0 1",                  // knight check cannot follow d7d5
        "4k3/pppppppp/p7/8/8/8/8/4K3 w - - 0 1",                // nine Black pawns
        "QQQQQQQQ/QQQQQQQQ/8/8/3k4/8/8/QQQQQQQK w - - 0 1",     // too many pieces
        "Q2Q2nk/2Q3pp/4Q3/1Q4Q1/3QQ3/Q6Q/7Q/1KQQQQ2 w - - 0 1", // 220 pseudo-legal moves
    };
    for (const char* fen : bad) EXPECT_NE(ValidateFen(fen), "") << fen;
}
