#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "nnue_reference.h"
#include "test_init.h"
#include "utils.h"

namespace {

std::vector<Move> LegalMoves(Board& b) {
    MOVEGEN::GenerateMoves<All>(b);
    std::vector<Move> legal;
    for (int i = 0; i < b.moveCount; ++i)
        if (b.IsLegal(b.moves[i])) legal.push_back(b.moves[i]);
    return legal;
}

Board FromFen(std::string_view fen) {
    Board b;
    b.SetByFen(fen);
    return b;
}

bool SamePair(const ACC::AccumulatorPair& a, const ACC::AccumulatorPair& b) {
    return std::memcmp(a.white, b.white, sizeof(a.white)) == 0 &&
           std::memcmp(a.black, b.black, sizeof(a.black)) == 0 && a.whiteMirrored == b.whiteMirrored &&
           a.blackMirrored == b.blackMirrored;
}

// The same position with colours exchanged and the board turned upside down.
std::string FlipFen(const std::string& fen) {
    const std::vector<std::string> f = UTILS::split(fen, ' ');
    const std::vector<std::string> ranks = UTILS::split(f[0], '/');
    std::string out;
    for (int r = 7; r >= 0; --r) {
        for (char c : ranks[r])
            out += std::isalpha(c) ? char(std::isupper(c) ? std::tolower(c) : std::toupper(c)) : c;
        if (r) out += '/';
    }
    out += f[1] == "w" ? " b " : " w ";
    std::string castling;
    for (char c : std::string("KQkq"))
        if (f[2].find(char(std::isupper(c) ? std::tolower(c) : std::toupper(c))) != std::string::npos)
            castling += c;
    out += castling.empty() ? "-" : castling;
    out += ' ';
    out += f[3] == "-" ? "-" : std::string{f[3][0], char('1' + '8' - f[3][1])};
    for (size_t i = 4; i < f.size(); ++i) out += ' ' + f[i];
    return out;
}

// Files a..h exchanged; only meaningful without castling rights.
std::string MirrorFen(const std::string& fen) {
    const std::vector<std::string> f = UTILS::split(fen, ' ');
    const std::vector<std::string> ranks = UTILS::split(f[0], '/');
    std::string out;
    for (size_t r = 0; r < ranks.size(); ++r) {
        std::string expanded;
        for (char c : ranks[r]) expanded += std::isdigit(c) ? std::string(c - '0', '1') : std::string(1, c);
        std::string rev(expanded.rbegin(), expanded.rend()), packed;
        int run = 0;
        for (char c : rev) {
            if (c == '1') {
                ++run;
                continue;
            }
            if (run) packed += char('0' + run), run = 0;
            packed += c;
        }
        if (run) packed += char('0' + run);
        out += packed + (r + 1 < ranks.size() ? "/" : "");
    }
    out += ' ' + f[1] + ' ' + f[2] + ' ';
    out += f[3] == "-" ? "-" : std::string{char('h' - (f[3][0] - 'a')), f[3][1]};
    for (size_t i = 4; i < f.size(); ++i) out += ' ' + f[i];
    return out;
}

const char* const PLAYOUT_FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "8/4k3/8/3pP3/8/8/3K4/8 w - d6 0 1",
};

struct Coverage {
    int castleShort[2] = {}, castleLong[2] = {}, enPassant = 0, promotion = 0, promoCapture = 0;
    int kingRefresh = 0, kingMirrorFlip = 0, kingIncremental = 0, captures = 0;
};

// Special moves are chosen more often than a uniform pick would, so every kind occurs.
Move PickMove(std::mt19937_64& rng, const std::vector<Move>& legal) {
    std::vector<Move> special;
    for (Move m : legal)
        if (m.type() == KING_CASTLE || m.type() == QUEEN_CASTLE || m.type() == EP_CAPTURE || m.IsPromotion())
            special.push_back(m);
    if (!special.empty() && rng() % 2 == 0) return special[rng() % special.size()];
    return legal[rng() % legal.size()];
}

void Record(Coverage& cov, const Board& before, Move m) {
    const int side = before.sideToMove;
    if (m.type() == KING_CASTLE) ++cov.castleShort[side];
    if (m.type() == QUEEN_CASTLE) ++cov.castleLong[side];
    if (m.type() == EP_CAPTURE) ++cov.enPassant;
    if (m.IsPromotion()) ++(m.IsCapture() ? cov.promoCapture : cov.promotion);
    if (m.IsCapture()) ++cov.captures;
    if (before.mailbox[m.from()] == KING) {
        const bool flip = ((m.to() >> 2) & 1) != ((m.from() >> 2) & 1);
        const bool bucket = NNUE::kingBuckets[side][m.from()] != NNUE::kingBuckets[side][m.to()];
        if (flip) ++cov.kingMirrorFlip;
        if (bucket || flip)
            ++cov.kingRefresh;
        else
            ++cov.kingIncremental;
    }
}

TEST(AccumulatorWiring, IncrementalUpdatesMatchRebuildAfterRandomGames) {
    InitTablesOnce();
    std::mt19937_64 rng(7);
    Coverage cov;
    for (const char* fen : PLAYOUT_FENS) {
        for (int game = 0; game < 12; ++game) {
            Board b = FromFen(fen);
            for (int ply = 0; ply < 80; ++ply) {
                const std::vector<Move> legal = LegalMoves(b);
                if (legal.empty()) break;
                const Move m = PickMove(rng, legal);
                Record(cov, b, m);
                b.MakeMove(m);
                Board rebuilt = b;
                rebuilt.accPair.whiteMirrored = (b.KingSquare(WHITE) >> 2) & 1;
                rebuilt.accPair.blackMirrored = (b.KingSquare(BLACK) >> 2) & 1;
                rebuilt.ResetAccPair();
                ASSERT_TRUE(SamePair(b.accPair, rebuilt.accPair))
                    << fen << " after " << m.ToString() << " reaching " << b.GetFen();
                // A fresh load of the reached position builds the same pair.
                const Board loaded = FromFen(b.GetFen());
                ASSERT_TRUE(SamePair(b.accPair, loaded.accPair)) << b.GetFen();
            }
        }
    }
    // Every kind of accumulator step was exercised.
    for (int side = 0; side < 2; ++side) {
        EXPECT_GT(cov.castleShort[side], 0) << side;
        EXPECT_GT(cov.castleLong[side], 0) << side;
    }
    EXPECT_GT(cov.enPassant, 0);
    EXPECT_GT(cov.promotion, 0);
    EXPECT_GT(cov.promoCapture, 0);
    EXPECT_GT(cov.captures, 0);
    EXPECT_GT(cov.kingMirrorFlip, 0);
    EXPECT_GT(cov.kingRefresh, cov.kingMirrorFlip);
    EXPECT_GT(cov.kingIncremental, 0);
}

// Plays the move named by text (it must be legal) and checks the pair against a rebuild.
void PlayAndCheck(Board& b, const std::string& text) {
    const std::vector<Move> legal = LegalMoves(b);
    Move found;
    for (Move m : legal)
        if (m.ToString() == text) found = m;
    ASSERT_FALSE(found.IsNull()) << text << " in " << b.GetFen();
    b.MakeMove(found);
    Board rebuilt = b;
    rebuilt.ResetAccPair();
    ASSERT_TRUE(SamePair(b.accPair, rebuilt.accPair)) << text;
}

TEST(AccumulatorWiring, KingMovesSetMirrorFlags) {
    InitTablesOnce();
    Board b = FromFen("4k3/8/8/8/8/8/8/3K4 w - - 0 1");
    EXPECT_FALSE(b.accPair.whiteMirrored);
    EXPECT_TRUE(b.accPair.blackMirrored);
    PlayAndCheck(b, "d1e1"); // d -> e: mirror side changes
    EXPECT_TRUE(b.accPair.whiteMirrored);
    PlayAndCheck(b, "e8d8");
    EXPECT_FALSE(b.accPair.blackMirrored);

    b = FromFen("4k3/8/8/8/8/K7/8/8 w - - 0 1");
    PlayAndCheck(b, "a3b3"); // same bucket, same half
    EXPECT_FALSE(b.accPair.whiteMirrored);

    b = FromFen("4k3/8/8/8/4K3/8/8/8 w - - 0 1");
    PlayAndCheck(b, "e4f5");
    EXPECT_TRUE(b.accPair.whiteMirrored);
    b = FromFen("4k3/8/8/8/3K4/8/8/8 w - - 0 1");
    PlayAndCheck(b, "d4e4");
    EXPECT_TRUE(b.accPair.whiteMirrored);
}

TEST(AccumulatorWiring, SpecialMovesUpdateTheRightFeatures) {
    InitTablesOnce();
    // En passant by White on e6 removes the black pawn on e5.
    Board b = FromFen("4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1");
    PlayAndCheck(b, "d5e6");
    // En passant by Black on d3 removes the white pawn on d4.
    b = FromFen("4k3/8/8/8/2pP4/8/8/4K3 b - d3 0 1");
    PlayAndCheck(b, "c4d3");
    // Promotion with capture, and push promotions to every piece.
    for (const char* promo : {"b7a8q", "b7a8n", "b7b8r", "b7b8b"}) {
        b = FromFen("r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1");
        PlayAndCheck(b, promo);
    }
    // Castling both ways for both colours.
    for (const char* castle : {"e1g1", "e1c1"}) {
        b = FromFen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
        PlayAndCheck(b, castle);
    }
    for (const char* castle : {"e8g8", "e8c8"}) {
        b = FromFen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
        PlayAndCheck(b, castle);
    }
}

TEST(AccumulatorWiring, NullMoveLeavesThePairAlone) {
    InitTablesOnce();
    Board b = FromFen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    const Board before = b;
    b.MakeMove(Move());
    EXPECT_TRUE(SamePair(b.accPair, before.accPair));
}

// The bootstrap network written by the test build, whatever network the program embeds.
using BootstrapNetwork = REF::BootstrapNetworkTest;

TEST_F(BootstrapNetwork, StartPositionIsLevelForBothSides) {
    Board w = FromFen(StartingFen);
    Board b = FromFen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    // The start position is symmetric and the bootstrap network has no output bias.
    EXPECT_EQ(NNUE::Network::Evaluate(w, false), 0);
    EXPECT_EQ(NNUE::Network::Evaluate(w, true), 0);
    EXPECT_EQ(NNUE::Network::Evaluate(b, false), 0);
    PlayAndCheck(w, "e2e4");
    // A central pawn step is worth a little to White, so Black to move sees a small deficit.
    const int afterE4 = NNUE::Network::Evaluate(w, false);
    EXPECT_LT(afterE4, 0);
    EXPECT_GT(afterE4, -60);
}

TEST_F(BootstrapNetwork, QueenUpScoresSeveralHundredCentipawns) {
    const Board w = FromFen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    const Board b = FromFen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_GT(NNUE::Network::Evaluate(w, false), 700);
    EXPECT_LT(NNUE::Network::Evaluate(b, false), -700);
    EXPECT_GT(NNUE::Network::Evaluate(w, true), NNUE::Network::Evaluate(w, false)); // fewer pieces scale down
}

TEST_F(BootstrapNetwork, MaterialIsOrdered) {
    // White is a pawn, knight, bishop, rook or queen up in an otherwise level middlegame.
    const char* fens[] = {
        "r1bqkbnr/pppppppp/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1", // level
        "r1bqkbnr/ppppppp1/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1", // pawn
        "r1bqkbnr/pppppppp/8/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1",   // knight
        "r1bqk1nr/pppppppp/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1", // bishop
        "r1bqkbn1/pppppppp/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1", // rook
        "r1b1kbnr/pppppppp/2n5/8/8/2N5/PPPPPPPP/R1BQKBNR w KQkq - 0 1", // queen
    };
    int previous = -1000;
    for (const char* fen : fens) {
        const int score = NNUE::Network::Evaluate(FromFen(fen), true);
        EXPECT_GT(score, previous) << fen;
        previous = score;
    }
    // A pawn is worth roughly a pawn, a rook roughly five.
    const int pawn = NNUE::Network::Evaluate(FromFen(fens[1]), true);
    EXPECT_GT(pawn, 60);
    EXPECT_LT(pawn, 140);
}

TEST_F(BootstrapNetwork, TaperKeepsTheKingHomeEarlyAndCentralLate) {
    // The same king step e1 -> e4 in a full position (output bucket 7, opening values) and with
    // one pawn left (bucket 0, endgame values): a reversed taper would swap the signs.
    const struct {
        const char* home;
        const char* central;
        bool centralBetter;
    } cases[] = {
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w kq - 0 1",
         "rnbqkbnr/pppppppp/8/8/4K3/8/PPPPPPPP/RNBQ1BNR w kq - 0 1", false},
        {"k7/8/8/8/8/8/7P/4K3 w - - 0 1", "k7/8/8/8/4K3/8/7P/8 w - - 0 1", true},
    };
    for (const auto& c : cases) {
        const int gain = NNUE::Network::Evaluate(FromFen(c.central), true) -
                         NNUE::Network::Evaluate(FromFen(c.home), true);
        if (c.centralBetter)
            EXPECT_GT(gain, 15) << c.central;
        else
            EXPECT_LT(gain, -15) << c.central;
    }
}

TEST_F(BootstrapNetwork, ColourFlippedAndMirroredPositionsScoreAlike) {
    std::mt19937_64 rng(11);
    int checked = 0;
    for (const char* fen : PLAYOUT_FENS) {
        Board b = FromFen(fen);
        for (int ply = 0; ply < 40; ++ply) {
            const std::string text = b.GetFen();
            const Board flipped = FromFen(FlipFen(text));
            for (bool raw : {false, true}) {
                ASSERT_EQ(NNUE::Network::Evaluate(b, raw), NNUE::Network::Evaluate(flipped, raw))
                    << text << " vs " << FlipFen(text);
                if (b.castlingRights == 0) {
                    const Board mirrored = FromFen(MirrorFen(text));
                    ASSERT_EQ(NNUE::Network::Evaluate(b, raw), NNUE::Network::Evaluate(mirrored, raw))
                        << text << " vs " << MirrorFen(text);
                }
            }
            ++checked;
            const std::vector<Move> legal = LegalMoves(b);
            if (legal.empty()) break;
            b.MakeMove(legal[rng() % legal.size()]);
        }
    }
    EXPECT_GT(checked, 100);
}

using RealPositionEvaluateTest = REF::RandomNetworkTest;

TEST_F(RealPositionEvaluateTest, MatchesScalarReferenceOnGamePositions) {
    InitTablesOnce();
    REF::RandomiseNetwork(rng); // InitTablesOnce may have loaded the embedded network over it
    std::mt19937_64 moves(3);
    for (const char* fen : PLAYOUT_FENS) {
        Board b = FromFen(fen);
        for (int ply = 0; ply < 30; ++ply) {
            ACC::AccumulatorPair want;
            want.whiteMirrored = b.accPair.whiteMirrored;
            want.blackMirrored = b.accPair.blackMirrored;
            REF::Accumulate(b, want.white, want.black);
            ASSERT_TRUE(SamePair(b.accPair, want)) << b.GetFen();
            for (bool raw : {false, true})
                ASSERT_EQ(NNUE::Network::Evaluate(b, raw), REF::Evaluate(b, raw)) << b.GetFen();
            const std::vector<Move> legal = LegalMoves(b);
            if (legal.empty()) break;
            b.MakeMove(legal[moves() % legal.size()]);
        }
    }
}

} // namespace
