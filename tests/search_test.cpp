#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "nnue_reference.h"
#include "search.h"
#include "test_init.h"

namespace {

using SEARCH::SearchContext;

std::vector<Move> LegalMoves(const Board& position) {
    Board b = position;
    MOVEGEN::GenerateMoves<All>(b);
    std::vector<Move> out;
    for (int i = 0; i < b.moveCount; i++)
        if (b.IsLegal(b.moves[i])) out.push_back(b.moves[i]);
    return out;
}

bool IsLegalMove(const Board& b, Move m) {
    const std::vector<Move> legal = LegalMoves(b);
    return std::find(legal.begin(), legal.end(), m) != legal.end();
}

Board After(const Board& b, Move m) {
    Board c = b;
    c.MakeMove(m);
    return c;
}

bool Mated(const Board& b) {
    return b.checkers != 0 && LegalMoves(b).empty();
}
bool Stalemated(const Board& b) {
    return b.checkers == 0 && LegalMoves(b).empty();
}

// Whether the side to move, having played first, mates within n moves whatever the replies.
bool ForcesMate(const Board& afterFirst, int n) {
    if (Mated(afterFirst)) return true;
    if (n <= 1) return false;
    const std::vector<Move> replies = LegalMoves(afterFirst);
    if (replies.empty()) return false;
    for (Move r : replies) {
        const Board c = After(afterFirst, r);
        bool found = false;
        for (Move m : LegalMoves(c))
            if (ForcesMate(After(c, m), n - 1)) {
                found = true;
                break;
            }
        if (!found) return false;
    }
    return true;
}

// A search as the UCI threads run it, with a private table so tests stay independent.
struct Searcher {
    Board board;
    std::unique_ptr<SearchContext> ctx = std::make_unique<SearchContext>();
    std::unique_ptr<TTable> tt = std::make_unique<TTable>();

    explicit Searcher(const std::string& fen) {
        InitTablesOnce();
        // A search of an impossible position (say, the side not to move in check) proves nothing.
        EXPECT_EQ(ValidateFen(fen), "") << fen;
        board.SetByFen(fen);
        ctx->tt = tt.get();
        ctx->hashHistory[board.historyIndex] = board.hashKey;
        searchStopped = false;
    }

    template <SEARCH::searchMode mode> SearchResults Run(SearchParams params) {
        if constexpr (mode == SEARCH::Timed || mode == SEARCH::NodeLimited) searchStopped = false;
        return SEARCH::SearchPosition<mode>(board, params, *ctx);
    }
    SearchResults ToDepth(int depth) {
        SearchParams p;
        p.depth = depth;
        return Run<SEARCH::Timed>(p);
    }
};

struct MateCase {
    const char* fen;
    int moves;
};

} // namespace

TEST(Search, ReturnsLegalMoves) {
    for (const char* fen : {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
                            "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
                            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "4k3/8/8/8/8/8/8/4K2R b K - 0 1"}) {
        Searcher s(fen);
        const SearchResults r = s.ToDepth(6);
        EXPECT_TRUE(IsLegalMove(s.board, r.move)) << fen << " " << r.move.ToString();
        EXPECT_LT(std::abs(r.score), SEARCH::SCORE_INFINITE);
        EXPECT_EQ(s.ctx->rootDepth, 6);
        EXPECT_FALSE(searchStopped.load());
        // The root line starts with the move returned.
        ASSERT_GT(s.ctx->pvLine.pvLength[0], 0);
        EXPECT_EQ(s.ctx->pvLine.pvTable[0][0], r.move);
    }
}

// Checks extend without limit, so how long a depth-14 search of a lone king takes depends on how
// the network's values steer the pruning: these searches run on the fixed bootstrap network.
using SearchOnBootstrap = REF::BootstrapNetworkTest;

TEST_F(SearchOnBootstrap, FindsForcedMates) {
    const MateCase cases[] = {
        {"6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1", 1}, {"r5k1/8/8/8/8/8/5PPP/6K1 b - - 0 1", 1},
        {"k7/8/1K6/8/8/8/8/6R1 w - - 0 1", 1},    {"7k/8/8/8/8/8/R7/1R4K1 w - - 0 1", 2},
        {"k7/8/2K5/8/8/8/8/6Q1 w - - 0 1", 2},    {"2k5/8/8/8/8/8/8/1R4RK w - - 0 1", 2},
        {"8/7k/8/8/8/8/8/RR4K1 w - - 0 1", 3},    {"8/6k1/8/8/8/8/8/RR4K1 w - - 0 1", 3},
        {"k7/8/8/3K4/8/8/8/7Q w - - 0 1", 3},     {"k7/2Q5/8/1K6/8/8/8/8 w - - 0 1", 3},
        {"k7/8/1K6/8/8/8/8/6R1 b - - 0 1", -1}, // Black's only move Kb8 allows Rg8 mate
        {"6k1/5ppp/8/8/8/8/5PPP/R5K1 w - - 99 80", 1}, // the mate lands on the hundredth half-move
    };
    for (const MateCase& c : cases) {
        Searcher s(c.fen);
        const SearchResults r = s.ToDepth(14);
        EXPECT_EQ(r.score, c.moves > 0 ? SEARCH::MATE - (2 * c.moves - 1) : -(SEARCH::MATE + 2 * c.moves))
            << c.fen;
        EXPECT_EQ(SEARCH::MateDistance(r.score), c.moves) << c.fen;
        ASSERT_TRUE(IsLegalMove(s.board, r.move)) << c.fen;
        // Check the move really forces the mate, independently of the search.
        if (c.moves > 0 && c.moves <= 2) {
            EXPECT_TRUE(ForcesMate(After(s.board, r.move), c.moves)) << c.fen << " " << r.move.ToString();
        }
    }
}

TEST(Search, CutoffUpdatesHistoriesAndKiller) {
    // At ply 2, depth 1, with the window (30000, 30001): the TT move Rb1 and the capture Rxc1 fail
    // low, then the killer Ra8 mates (found through the check extension) and cuts off. Every child
    // but the mating one is a quiescence search, so no other node touches the histories.
    Searcher s("6k1/5ppp/8/8/8/8/8/R1n3K1 w - - 0 1");
    SearchContext& ctx = *s.ctx;
    const Move rb1(0, 1, QUIET), rxc1(0, 2, CAPTURE), ra8(0, 56, QUIET);
    const int c3 = 18, c6 = 42;
    ctx.stack[0] = {SEARCH::NO_EVAL, KNIGHT, c3, WHITE};
    ctx.stack[1] = {SEARCH::NO_EVAL, KNIGHT, c6, BLACK};
    ctx.killers[2] = ra8;
    s.tt->WriteEntry(s.board.hashKey, 1, 0, BOUND_UPPER, rb1, false);

    const SearchResults r = SEARCH::PVS<true, SEARCH::Bench>(s.board, 1, 30000, 30001, 2, &ctx, false);
    EXPECT_EQ(r.score, SEARCH::MATE - 3);
    EXPECT_TRUE(r.move.IsNull()); // a cut-off carries no move
    EXPECT_EQ(ctx.killers[2], ra8);
    EXPECT_EQ(ctx.pvLine.pvTable[2][2], ra8);

    // Not in check and the static evaluation below the score: history depth 2.
    EXPECT_EQ(ctx.quietHistory[WHITE][0][56][0][0], 306 * 2 - 252);
    EXPECT_EQ(ctx.quietHistory[WHITE][0][1][0][0], 250 - 301 * 2);
    for (const auto& [side, square] : {std::pair{WHITE, c3}, {BLACK, c6}}) {
        EXPECT_EQ(ctx.contHistory[side][KNIGHT][square][WHITE][ROOK][56], 300 * 2 - 252);
        EXPECT_EQ(ctx.contHistory[side][KNIGHT][square][WHITE][ROOK][1], 249 - 300 * 2);
    }
    EXPECT_EQ(ctx.captureHistory[WHITE][ROOK][KNIGHT][rxc1.to()], 249 - 300 * 2);

    TTEntry e;
    ASSERT_TRUE(s.tt->Probe(s.board.hashKey, e));
    EXPECT_EQ(e.move, ra8);
    EXPECT_EQ(e.bound, BOUND_LOWER);
    EXPECT_EQ(e.depth, 1);
    EXPECT_EQ(e.score, SEARCH::MATE - 3);
    EXPECT_TRUE(e.ttPV);

    // Gravity: e + b - e * |b| / 16384, so entries approach the limit without passing it.
    for (const auto& [before, after] : {std::pair{8192, 8192 + 360 - 180}, {16384, 16384}}) {
        ctx.quietHistory[WHITE][0][56][0][0] = before;
        s.tt->Clear();
        SEARCH::PVS<true, SEARCH::Bench>(s.board, 1, 30000, 30001, 2, &ctx, false);
        EXPECT_EQ(ctx.quietHistory[WHITE][0][56][0][0], after);
    }
}

TEST(Search, ProbCutInsideASingularSearch) {
    // A node of a singular-extension search (excludedMove set) skips the table but still stores a
    // ProbCut success, and leaves its ply's stack entry, the caller's TT move, as it found it.
    Searcher s("4k3/8/8/3q4/4P3/8/8/R3K3 w - - 0 1");
    SearchContext& ctx = *s.ctx;
    const Move exd5(28, 35, CAPTURE), ra2(0, 8, QUIET);
    s.tt->WriteEntry(s.board.hashKey, 20, -30000, BOUND_EXACT, ra2, false); // would cut if probed
    s.tt->IncrementGeneration();                                            // and gives way to a store
    ctx.excludedMove = ra2;
    ctx.stack[2] = {SEARCH::NO_EVAL, ROOK, 8, WHITE};
    const SearchResults r = SEARCH::PVS<false, SEARCH::Bench>(s.board, 7, -20001, -20000, 2, &ctx, false);
    ctx.excludedMove = Move();
    EXPECT_GE(r.score, -20000 + 190);
    EXPECT_TRUE(r.move.IsNull());
    TTEntry e;
    ASSERT_TRUE(s.tt->Probe(s.board.hashKey, e));
    EXPECT_EQ(e.move, exd5);
    EXPECT_EQ(e.depth, 7 - 3);
    EXPECT_EQ(e.bound, BOUND_LOWER);
    EXPECT_EQ(e.score, r.score);
    EXPECT_EQ(ctx.stack[2].movedPiece, ROOK);
    EXPECT_EQ(ctx.stack[2].toSquare, 8);
    EXPECT_EQ(ctx.stack[2].sideToMove, WHITE);
}

TEST(Search, QuiescenceAndDepthZeroEntries) {
    // Black is mated, but quiescence knows no mate: it stands pat, adjusted by the table's bounds.
    Searcher s("R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1");
    SearchContext* ctx = s.ctx.get();
    const uint64_t key = s.board.hashKey;
    const int sp = NNUE::Network::Evaluate(s.board, false);
    const int alpha = sp - 100, beta = sp + 100;
    const Move stored(62, 61, QUIET);
    const struct {
        int bound; // -1: no entry
        int score;
        int expected;
    } cases[] = {
        {-1, 0, sp},
        {BOUND_LOWER, sp + 40, sp + 40},
        {BOUND_LOWER, sp - 40, sp},
        {BOUND_LOWER, beta, beta},
        {BOUND_LOWER, alpha - 30, sp},
        {BOUND_UPPER, sp - 40, sp - 40},
        {BOUND_UPPER, sp + 40, sp},
        {BOUND_UPPER, alpha, alpha},
        {BOUND_UPPER, beta + 30, sp},
        {BOUND_EXACT, sp + 7, sp + 7},
    };
    for (const auto& c : cases) {
        s.tt->Clear();
        if (c.bound >= 0) s.tt->WriteEntry(key, 0, c.score, c.bound, stored, false);
        const SearchResults r = SEARCH::Quiescence<false, SEARCH::Bench>(s.board, alpha, beta, 3, ctx);
        EXPECT_EQ(r.score, c.expected) << c.bound << " " << c.score - sp;
        EXPECT_TRUE(r.move.IsNull());
    }

    // Far below alpha, a capture that loses material is not searched; it lifts the score to the
    // futility base, stand pat + 100.
    Searcher q("4k3/8/2p5/3p4/8/8/8/3QK3 w - - 0 1");
    const int qsp = NNUE::Network::Evaluate(q.board, false);
    const SearchResults dropped =
        SEARCH::Quiescence<false, SEARCH::Bench>(q.board, qsp + 200, qsp + 300, 3, q.ctx.get());
    EXPECT_EQ(dropped.score, qsp + 100);

    // A usable entry cuts a non-PV node before it descends into quiescence, and hands back its
    // move; a PV node at depth 0 goes into quiescence, which returns no move.
    s.tt->Clear();
    s.tt->WriteEntry(key, 0, sp + 7, BOUND_EXACT, stored, false);
    SearchResults r = SEARCH::PVS<false, SEARCH::Bench>(s.board, 0, alpha, alpha + 1, 3, ctx, false);
    EXPECT_EQ(r.score, sp + 7);
    EXPECT_EQ(r.move, stored);
    r = SEARCH::PVS<true, SEARCH::Bench>(s.board, 0, alpha, beta, 3, ctx, false);
    EXPECT_EQ(r.score, sp + 7);
    EXPECT_TRUE(r.move.IsNull());

    // At the ply limit both return the uncorrected evaluation without the table or the context.
    ctx->corrHist.pawnCorrection[BLACK][s.board.pawnKey & 0x3fff] = 256 * 50;
    ctx->seldepth = 7;
    ctx->pvLine.pvLength[255] = 0;
    for (const SearchResults& limit :
         {SEARCH::Quiescence<true, SEARCH::Bench>(s.board, alpha, beta, 255, ctx),
          SEARCH::PVS<false, SEARCH::Bench>(s.board, 4, alpha, alpha + 1, 255, ctx, false)}) {
        EXPECT_EQ(limit.score, sp);
        EXPECT_TRUE(limit.move.IsNull());
    }
    EXPECT_EQ(ctx->seldepth, 7);
    EXPECT_EQ(ctx->pvLine.pvLength[255], 0);
}

TEST(Search, AvoidsStalemateWhenWinning) {
    // Nine of the 31 moves stalemate; mate takes three moves.
    for (const char* fen : {"k7/2Q5/8/1K6/8/8/8/8 w - - 0 1", "7k/5Q2/8/6K1/8/8/8/8 w - - 0 1",
                            "k7/8/1K6/8/8/8/8/2Q5 w - - 0 1"}) {
        Searcher s(fen);
        const SearchResults r = s.ToDepth(14);
        ASSERT_TRUE(IsLegalMove(s.board, r.move)) << fen;
        EXPECT_FALSE(Stalemated(After(s.board, r.move))) << fen << " " << r.move.ToString();
        EXPECT_GE(r.score, SEARCH::MATE_BOUND) << fen;
    }
}

TEST_F(SearchOnBootstrap, AvoidsRepetitionWhenWinning) {
    const char* fen = "8/6k1/8/8/8/8/8/RR4K1 w - - 0 1";
    Searcher first(fen);
    const SearchResults preferred = first.ToDepth(14);
    ASSERT_TRUE(IsLegalMove(first.board, preferred.move));

    // Make the position after the preferred move one that occurred earlier in the game.
    Searcher s(fen);
    const Board repeated = After(s.board, preferred.move);
    s.board.historyIndex = 10;
    s.ctx->hashHistory[4] = repeated.hashKey;
    s.ctx->hashHistory[10] = s.board.hashKey;
    const SearchResults r = s.ToDepth(14);
    ASSERT_TRUE(IsLegalMove(s.board, r.move));
    EXPECT_NE(r.move, preferred.move);
    EXPECT_GE(r.score, SEARCH::MATE_BOUND);

    // The root itself is never scored as a draw, even when it repeats an earlier position.
    Searcher again(fen);
    again.board.historyIndex = 10;
    again.ctx->hashHistory[6] = again.board.hashKey;
    again.ctx->hashHistory[10] = again.board.hashKey;
    EXPECT_GE(again.ToDepth(14).score, SEARCH::MATE_BOUND);
}

// The scores below are the bootstrap network's material values.

TEST_F(SearchOnBootstrap, WinsHangingMaterial) {
    // The pawn takes the queen.
    Searcher s("4k3/8/8/3q4/4P3/8/8/R3K3 w - - 0 1");
    SearchResults r = s.ToDepth(1);
    EXPECT_EQ(r.move, Move(28, 35, CAPTURE));
    EXPECT_GT(r.score, 200); // a rook and a pawn up
    // With Black to move the queen steps away (or takes the pawn) instead of staying en prise.
    Searcher t("4k3/8/8/3q4/4P3/8/8/R3K3 b - - 0 1");
    r = t.ToDepth(4);
    ASSERT_TRUE(IsLegalMove(t.board, r.move));
    EXPECT_EQ(r.move.from(), 35);
    EXPECT_GT(r.score, 0); // a queen against rook and pawn
}

TEST(Search, RootWithoutLegalMovesReportsOnce) {
    const bool savedUci = UCIEnabled;
    UCIEnabled = true;
    const struct {
        const char* fen;
        int score;
        const char* shown;
    } cases[] = {{"R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", -SEARCH::MATE, " score mate 0 "},
                 {"k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", 0, " score cp 0 "}};
    for (const auto& c : cases) {
        Searcher s(c.fen);
        s.ctx->isMain = true;
        testing::internal::CaptureStdout();
        const SearchResults r = s.ToDepth(20);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.score, c.score) << c.fen;
        EXPECT_TRUE(r.move.IsNull()) << c.fen;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(out.find(std::string("info depth 1 ")), std::string::npos) << out;
        EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    }
    UCIEnabled = savedUci;
}

TEST(Search, BenchIsDeterministic) {
    auto run = [] {
        InitTablesOnce();
        Board board;
        TTable tt;
        auto ctx = std::make_unique<SearchContext>();
        ctx->tt = &tt;
        for (const char* fen :
             {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "8/8/8/4k3/8/8/3PK3/8 w - - 0 1"}) {
            board.SetByFen(fen);
            searchStopped = false;
            tt.IncrementGeneration();
            const uint64_t before = ctx->nodes;
            SEARCH::SearchPosition<SEARCH::Bench>(board, SearchParams{}, *ctx);
            EXPECT_GT(ctx->nodes, before); // the count adds up over positions
            EXPECT_EQ(ctx->rootDepth, 11);
            EXPECT_FALSE(searchStopped.load());
        }
        return ctx->nodes;
    };
    const uint64_t a = run();
    EXPECT_EQ(a, run());
}

TEST(Search, NodeLimitIsKept) {
    for (int limit : {1, 500, 3000}) {
        Searcher s{std::string(StartingFen)};
        SearchParams p;
        p.nodes = limit;
        const SearchResults r = s.Run<SEARCH::NodeLimited>(p);
        // The move that passes the limit is counted; the node it leads to aborts at once.
        EXPECT_LE(s.ctx->nodes, uint64_t(limit) + 1) << limit;
        EXPECT_GT(s.ctx->nodes, uint64_t(limit)) << limit;
        EXPECT_TRUE(searchStopped.load());
        if (limit > 1) {
            EXPECT_TRUE(IsLegalMove(s.board, r.move)) << limit;
        }
        // After a stop the partial iteration's root line still starts with a legal move.
        if (s.ctx->pvLine.pvLength[0] > 0) {
            EXPECT_TRUE(IsLegalMove(s.board, s.ctx->pvLine.pvTable[0][0]));
        }
    }
    // With a depth as well, the node-limited search ends after that iteration.
    Searcher s{std::string(StartingFen)};
    SearchParams p;
    p.nodes = 10'000'000;
    p.depth = 4;
    const SearchResults r = s.Run<SEARCH::NodeLimited>(p);
    EXPECT_EQ(s.ctx->rootDepth, 4);
    EXPECT_TRUE(IsLegalMove(s.board, r.move));
}

TEST(Search, NodeLimitWithAClockStopsAtTheFirstLimit) {
    struct Case {
        int wtime, btime, movetime, limit;
    };
    // A node limit no search reaches in the time given: the clock must end it.
    constexpr int NODES = 3'000'000;
    for (const Case c : {Case{0, 0, 60, 54}, Case{1000, 1000, 0, 50}}) {
        Searcher s{std::string(StartingFen)};
        SearchParams p;
        p.nodes = NODES;
        p.wtime = c.wtime, p.btime = c.btime, p.movetime = c.movetime;
        if (c.movetime) p.wtime = p.btime = c.movetime; // as "go" passes a move time
        const auto start = std::chrono::steady_clock::now();
        const SearchResults r = s.Run<SEARCH::NodeLimited>(p);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_TRUE(IsLegalMove(s.board, r.move)) << c.limit;
        EXPECT_EQ(s.ctx->timeLimit, c.limit);
        EXPECT_LT(s.ctx->nodes, uint64_t(NODES)) << c.limit;
        EXPECT_LT(ms.count(), c.limit + 250) << c.limit; // the clock is read every 1024 nodes
        EXPECT_TRUE(searchStopped.load());
    }
}

TEST(Search, DatagenUsesItsOwnStopSignal) {
    Searcher s("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    std::atomic<bool> own{true};
    s.ctx->datagenStop = &own;
    searchStopped = true; // a stopped UCI search elsewhere must not touch this one
    const uint8_t generation = s.tt->generation;
    const SearchResults r = SEARCH::SearchPosition<SEARCH::Datagen>(s.board, SearchParams{}, *s.ctx);
    EXPECT_TRUE(IsLegalMove(s.board, r.move));
    EXPECT_GE(s.ctx->nodes, 5000u);
    EXPECT_LE(s.ctx->nodes, 100001u);
    EXPECT_TRUE(own.load());           // raised by the soft node stop
    EXPECT_TRUE(searchStopped.load()); // untouched
    EXPECT_EQ(s.tt->generation, uint8_t(generation + 1));
    EXPECT_EQ(s.ctx->datagenStop, &own);

    // Without a flag of its own the search still runs, and leaves no dangling pointer.
    searchStopped = false;
    s.ctx->datagenStop = nullptr;
    const SearchResults again = SEARCH::SearchPosition<SEARCH::Datagen>(s.board, SearchParams{}, *s.ctx);
    EXPECT_TRUE(IsLegalMove(s.board, again.move));
    EXPECT_EQ(s.ctx->datagenStop, nullptr);
    EXPECT_FALSE(searchStopped.load());
}

TEST(TimeBudget, Rules) {
    struct Case {
        int side, wtime, btime, winc, binc, movestogo, movetime, depth, hard;
        bool soft;
        const char* why;
    };
    const Case cases[] = {
        {WHITE, 60000, 60000, 0, 0, 0, 0, 0, 3000, true, "time / 20"},
        {BLACK, 60000, 20000, 0, 400, 0, 0, 0, 1200, true, "Black's own clock and half its increment"},
        {WHITE, 0, 0, 0, 0, 0, 0, 0, 4, true, "bare go: 4 ms"},
        {WHITE, 80, 0, 0, 0, 0, 0, 0, 4, true, "limit 4"},
        {WHITE, 100, 0, 0, 0, 0, 0, 0, 5, true, "limit 5"},
        {WHITE, 10000, 0, 0, 0, 5, 0, 0, 2000, true, "movestogo"},
        {WHITE, 10000, 0, 0, 0, 1, 0, 0, 9970, true, "movestogo 1: the clock less the margin"},
        {WHITE, 100, 0, 1000, 0, 0, 0, 0, 90, true, "never more than the clock holds"},
        {WHITE, 3, 0, 0, 0, 0, 0, 0, 2, true, "the 4 ms floor gives way to the clock"},
        {WHITE, -50, 0, 0, 0, 0, 0, 0, 1, true, "an overdrawn clock"},
        {WHITE, 99'999'999, 99'999'999, 0, 0, 0, 0, 0, 4'999'999, true, "infinite"},
        {WHITE, 1000, 1000, 0, 0, 0, 1000, 0, 970, false, "movetime: the whole time less the margin"},
        {BLACK, 0, 0, 0, 0, 0, 50, 0, 45, false, "movetime 50"},
        {WHITE, 0, 0, 0, 0, 0, 1, 0, 1, false, "movetime 1"},
        {WHITE, 0, 0, 0, 0, 0, 0, 9, INT32_MAX, false, "depth without a clock: no time limit"},
        {WHITE, 60000, 0, 0, 0, 0, 0, 9, 3000, true, "depth with a clock"},
    };
    for (const Case& c : cases) {
        SearchParams p;
        p.wtime = c.wtime, p.btime = c.btime, p.winc = c.winc, p.binc = c.binc;
        p.movestogo = c.movestogo, p.movetime = c.movetime, p.depth = c.depth;
        const SEARCH::TimeBudget b = SEARCH::ComputeTimeBudget(c.side, p);
        EXPECT_EQ(b.hardLimit, c.hard) << c.why;
        EXPECT_EQ(b.softStop, c.soft) << c.why;
        if (c.soft) {
            EXPECT_DOUBLE_EQ(b.softLimit, 0.65 * c.hard) << c.why;
        }
    }
}

TEST(TimeBudget, TimedSearchesStopInTime) {
    for (auto [movetime, limit] : {std::pair{60, 54}, {0, 4}}) {
        Searcher s{std::string(StartingFen)};
        SearchParams p;
        p.movetime = movetime;
        const auto start = std::chrono::steady_clock::now();
        const SearchResults r = s.Run<SEARCH::Timed>(p);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_TRUE(IsLegalMove(s.board, r.move));
        EXPECT_EQ(s.ctx->timeLimit, limit);
        EXPECT_LT(ms.count(), limit + 150); // the clock is read every 1024 nodes (slow under sanitizers)
        EXPECT_TRUE(searchStopped.load());
    }
}

TEST(Search, ReportsEachIterationOnTheMainThread) {
    const bool savedUci = UCIEnabled;
    UCIEnabled = true;
    Searcher s("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1");
    s.ctx->isMain = true;
    testing::internal::CaptureStdout();
    s.ToDepth(3);
    const std::string out = testing::internal::GetCapturedStdout();
    UCIEnabled = savedUci;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
    EXPECT_NE(out.find("info depth 1 "), std::string::npos) << out;
    EXPECT_NE(out.find("info depth 3 seldepth "), std::string::npos) << out;
    EXPECT_NE(out.find(" score mate 1 "), std::string::npos) << out;
    EXPECT_NE(out.find(" pv a1a8 \n"), std::string::npos) << out;
}

TEST(Search, ThreadsShareTheTable) {
    InitTablesOnce();
    Board board;
    board.SetByFen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    SearchContext model;
    model.hashHistory[board.historyIndex] = board.hashKey;
    SharedTT.Clear();
    SharedTT.IncrementGeneration();
    searchStopped = false;
    std::vector<SearchResults> results(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&, i] {
            auto ctx = std::make_unique<SearchContext>(model);
            SearchParams p;
            p.depth = 7;
            Board own = board; // the picker writes the board's move list
            results[i] = SEARCH::SearchPosition<SEARCH::Timed>(own, p, *ctx);
        });
    }
    for (auto& t : threads) t.join();
    for (const SearchResults& r : results) EXPECT_TRUE(IsLegalMove(board, r.move));
    EXPECT_GT(SharedTT.Hashfull(), 0);
    SharedTT.Clear();
}
