#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "board.h"
#include "movegen.h"
#include "platform.h"
#include "search.h"
#include "test_init.h"
#include "uci.h"
#include "utils.h"

namespace {

constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();

TEST(ReadParam, TakesTheNumberAfterOneSeparator) {
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime 12.75"), 12.75);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime 1.5e3"), 1.5);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime +300"), 300);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime -300 btime 5"), -300);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime 1.2.3"), 1.2);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime .5"), 0.5);
    EXPECT_DOUBLE_EQ(ReadParam("wtime", "go wtime=42"), 42); // any one character separates
    EXPECT_DOUBLE_EQ(ReadParam("btime", "go wtime 1 btime 2"), 2);
    // The first occurrence counts, even inside another word.
    EXPECT_DOUBLE_EQ(ReadParam("time", "go wtime 5 time 7"), 5);
}

TEST(ReadParam, MissingOrUnreadableNumbersAreZero) {
    EXPECT_EQ(ReadParam("wtime", "go wtime -"), 0);
    EXPECT_EQ(ReadParam("wtime", "go wtime +"), 0);
    EXPECT_EQ(ReadParam("wtime", "go wtime ."), 0);
    EXPECT_EQ(ReadParam("wtime", "go wtime -."), 0);
    EXPECT_EQ(ReadParam("wtime", "go wtime  5000"), 0); // two spaces
    EXPECT_EQ(ReadParam("wtime", "go wtime abc"), 0);
    EXPECT_EQ(ReadParam("wtime", "go wtime"), 0);  // ends at the name
    EXPECT_EQ(ReadParam("wtime", "go wtime "), 0); // ends at the separator
    EXPECT_EQ(ReadParam("wtime", "go btime 5000"), 0);
    EXPECT_EQ(ReadParam("wtime", ""), 0);
    EXPECT_EQ(ReadParam("movestogo", "go mtg"), 0); // shorter than the name
}

TEST(ReadParam, HugeAndTinyMagnitudes) {
    const std::string huge = "1" + std::string(400, '0');
    EXPECT_EQ(ReadParam("value", "setoption name Hash value " + huge), 1e308);
    EXPECT_EQ(ReadParam("value", "setoption name Hash value -" + huge), -1e308);
    const double tiny = ReadParam("value", "value 0." + std::string(400, '0') + "1");
    EXPECT_GE(tiny, 0);
    EXPECT_LT(tiny, 1e-300);
}

TEST(ToInt32, TruncatesAndSaturates) {
    EXPECT_EQ(ToInt32(4.9), 4);
    EXPECT_EQ(ToInt32(-4.9), -4);
    EXPECT_EQ(ToInt32(0.0), 0);
    EXPECT_EQ(ToInt32(1e308), I32_MAX);
    EXPECT_EQ(ToInt32(-1e308), I32_MIN);
    EXPECT_EQ(ToInt32(2147483647.5), I32_MAX);
    EXPECT_EQ(ToInt32(-2147483648.0), I32_MIN);
    EXPECT_EQ(ToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
}

void ExpectParams(const SearchParams& p, std::vector<int32_t> expected) {
    EXPECT_EQ((std::vector<int32_t>{p.wtime, p.btime, p.winc, p.binc, p.movestogo, p.nodes, p.reserved,
                                    p.movetime, p.depth}),
              expected);
}

TEST(GoParams, ClocksIncrementsAndNodes) {
    ExpectParams(ParseGoParams("go wtime 1000 btime 2000 winc 10 binc 20 movestogo 5"),
                 {1000, 2000, 10, 20, 5, 0, 1, 0, 0});
    ExpectParams(ParseGoParams("go wtime 1000 btime 2000 nodes 5000"), {1000, 2000, 0, 0, 0, 5000, 1, 0, 0});
    ExpectParams(ParseGoParams("go"), {0, 0, 0, 0, 0, 0, 1, 0, 0});
    ExpectParams(ParseGoParams("go wtime 99999999999 btime -99999999999"),
                 {I32_MAX, I32_MIN, 0, 0, 0, 0, 1, 0, 0});
}

TEST(GoParams, MovetimeInfiniteAndDepth) {
    ExpectParams(ParseGoParams("go movetime 1000"), {1000, 1000, 0, 0, 0, 0, 1, 1000, 0});
    // movetime is tested before infinite.
    ExpectParams(ParseGoParams("go infinite movetime 500"), {500, 500, 0, 0, 0, 0, 1, 500, 0});
    ExpectParams(ParseGoParams("go infinite"), {99999999, 99999999, 0, 0, 0, 0, 1, 0, 0});
    ExpectParams(ParseGoParams("go depth 5"), {0, 0, 0, 0, 0, 0, 1, 0, 5});
    ExpectParams(ParseGoParams("go wtime 300 btime 400 depth 7"), {300, 400, 0, 0, 0, 0, 1, 0, 7});
}

TEST(CommandLineNumbers, SignedThirtyTwoBitPrefixes) {
    EXPECT_EQ(ParseCommandLineInt("12abc"), 12);
    EXPECT_EQ(ParseCommandLineInt("+12"), 12);
    EXPECT_EQ(ParseCommandLineInt("-3"), -3);
    EXPECT_EQ(ParseCommandLineInt(" \t 7"), 7);
    EXPECT_EQ(ParseCommandLineInt("2147483647"), I32_MAX);
    EXPECT_EQ(ParseCommandLineInt("-2147483648"), I32_MIN);
    EXPECT_EQ(ParseCommandLineInt("007"), 7);
    for (const char* bad :
         {"", " ", "abc", "+", "-", "+-1", " - 1", "2147483648", "-2147483649", "99999999999999999999"})
        EXPECT_FALSE(ParseCommandLineInt(bad).has_value()) << bad;
}

std::optional<DatagenArgs> Datagen(std::vector<const char*> rest) {
    std::vector<const char*> argv = {"vestrel", "datagen"};
    argv.insert(argv.end(), rest.begin(), rest.end());
    return ParseDatagenArgs(int(argv.size()), argv.data());
}

TEST(CommandLineNumbers, DatagenArguments) {
    auto a = Datagen({});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, 1);
    EXPECT_EQ(a->threads, 1);
    EXPECT_EQ(a->user, "");
    a = Datagen({"5"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, 5000);
    EXPECT_EQ(a->threads, 1);
    a = Datagen({"5", "8", "alice", "ignored"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, 5000);
    EXPECT_EQ(a->threads, 8);
    EXPECT_EQ(a->user, "alice");
    a = Datagen({"12abc", "0", ""});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, 12000);
    EXPECT_EQ(a->threads, 0); // passed on unchecked
    EXPECT_EQ(a->user, "");
    a = Datagen({"-3", "-2"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, -3000);
    EXPECT_EQ(a->threads, -2);
    a = Datagen({"2147483"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, 2147483000);
    a = Datagen({"-2147483"});
    ASSERT_TRUE(a);
    EXPECT_EQ(a->target, -2147483000);

    EXPECT_FALSE(Datagen({"2147484"}));
    EXPECT_FALSE(Datagen({"-2147484"}));
    EXPECT_FALSE(Datagen({"x"}));
    EXPECT_FALSE(Datagen({"5", "eight"}));
    EXPECT_FALSE(Datagen({"5", "4294967296"}));
}

class PositionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        board.SetByFen(StartingFen);
        ctx = std::make_unique<SEARCH::SearchContext>();
    }

    // The keys of the game from fen through moves, replayed on a board of our own.
    static std::vector<uint64_t> Replay(std::string_view fen, const std::vector<std::string>& moves) {
        Board b;
        b.SetByFen(fen);
        std::vector<uint64_t> keys = {b.hashKey};
        for (const std::string& token : moves) {
            MOVEGEN::GenerateMoves<All>(b);
            const Move m = ParseMove(b, token);
            EXPECT_FALSE(m.IsNull()) << token;
            b.MakeMove(m);
            keys.push_back(b.hashKey);
        }
        return keys;
    }

    void ExpectHistory(const std::vector<uint64_t>& keys) {
        ASSERT_EQ(board.historyIndex, int(keys.size()) - 1);
        ASSERT_GT(ctx->hashHistory.size(), keys.size());
        for (size_t i = 0; i < keys.size(); i++) EXPECT_EQ(ctx->hashHistory[i], keys[i]) << i;
        EXPECT_EQ(board.hashKey, keys.back());
    }

    // The loop's invariant: the move list holds the moves generated for the position.
    void ExpectFreshMoveList() {
        Board fresh = board;
        MOVEGEN::GenerateMoves<All>(fresh);
        ASSERT_EQ(board.moveCount, fresh.moveCount);
        for (int i = 0; i < board.moveCount; i++) EXPECT_EQ(board.moves[i], fresh.moves[i]);
    }

    Board board;
    std::unique_ptr<SEARCH::SearchContext> ctx;
};

TEST_F(PositionTest, StartposMovesKeepsTheGameHistory) {
    HandlePosition(board, *ctx, "position startpos moves e2e4 e7e5");
    ExpectHistory(Replay(StartingFen, {"e2e4", "e7e5"}));
    EXPECT_EQ(ctx->hashHistory.size(), 1000u);
    ExpectFreshMoveList();

    // Moves alone continue the current game.
    HandlePosition(board, *ctx, "position moves g1f3 b8c6");
    ExpectHistory(Replay(StartingFen, {"e2e4", "e7e5", "g1f3", "b8c6"}));
    ExpectFreshMoveList();
}

TEST_F(PositionTest, FenTextEndsBeforeMoves) {
    const std::string fen = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 3 20";
    HandlePosition(board, *ctx, "position fen " + fen + " moves e1g1 e8c8");
    ExpectHistory(Replay(fen, {"e1g1", "e8c8"}));
    EXPECT_EQ(board.GetFen(), "2kr3r/8/8/8/8/8/8/R4RK1 w - - 5 21");

    // With startpos as well, the FEN wins.
    HandlePosition(board, *ctx, "position startpos fen " + fen);
    EXPECT_EQ(board.GetFen(), fen);
    ExpectHistory(Replay(fen, {}));
}

TEST_F(PositionTest, MalformedFenLeavesPositionAndHistory) {
    HandlePosition(board, *ctx, "position startpos moves d2d4 d7d5");
    const std::string fen = board.GetFen();
    const std::vector<uint64_t> history = ctx->hashHistory;
    testing::internal::CaptureStdout();
    HandlePosition(board, *ctx, "position fen xyz moves e2e4");
    HandlePosition(board, *ctx, "position fen");
    HandlePosition(board, *ctx, "position fen ");
    HandlePosition(board, *ctx, "position fen 8/8/8/8/8/8/8/8 w - - 0 1");
    HandlePosition(board, *ctx, "position fen moves e2e4");
    HandlePosition(board, *ctx, "position startpos fen xyz"); // not even the start position
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(UTILS::split(out, '\n').size(), 6u) << out;
    for (const std::string& line : UTILS::split(out, '\n'))
        EXPECT_EQ(line.rfind("info string ", 0), 0u) << line;
    EXPECT_EQ(board.GetFen(), fen);
    EXPECT_EQ(ctx->hashHistory, history);
    ExpectFreshMoveList();
}

TEST_F(PositionTest, MovesStopAtTheFirstBadToken) {
    for (const char* bad : {"e1e3", "xx", "e2", "e9e4", "e2e4", "a1a1", "h7h8q", "e1g1"}) {
        testing::internal::CaptureStdout();
        HandlePosition(board, *ctx, std::string("position startpos moves e2e4 e7e5 ") + bad + " g1f3");
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, std::string("info string illegal move: ") + bad + "\n");
        ExpectHistory(Replay(StartingFen, {"e2e4", "e7e5"}));
        ExpectFreshMoveList();
    }
}

TEST_F(PositionTest, PinnedPieceMayNotMove) {
    testing::internal::CaptureStdout();
    HandlePosition(board, *ctx, "position fen 4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1 moves e2c3");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "info string illegal move: e2c3\n");
    EXPECT_EQ(board.GetFen(), "4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1");
    EXPECT_EQ(board.historyIndex, 0);
}

TEST_F(PositionTest, LinesEndingAtMoves) {
    HandlePosition(board, *ctx, "position startpos moves e2e4");
    HandlePosition(board, *ctx, "position startpos moves");
    EXPECT_EQ(board.GetFen(), StartingFen);
    HandlePosition(board, *ctx, "position startpos moves e2e4");
    HandlePosition(board, *ctx, "position startpos moves ");
    EXPECT_EQ(board.GetFen(), StartingFen);
    ExpectHistory(Replay(StartingFen, {}));
}

TEST_F(PositionTest, HistoryGrowsPastItsFirstLength) {
    std::string line = "position startpos moves";
    std::vector<std::string> moves;
    for (int i = 0; i < 260; i++)
        for (const char* m : {"g1f3", "g8f6", "f3g1", "f6g8"}) {
            line += std::string(" ") + m;
            moves.push_back(m);
        }
    HandlePosition(board, *ctx, line);
    ExpectHistory(Replay(StartingFen, moves));
    EXPECT_GE(ctx->hashHistory.size(), 1040u + 1);
}

TEST_F(PositionTest, OverlongGameIsCutBeforeTheIndexOverflows) {
    std::string line = "position startpos moves";
    for (int i = 0; i < 8100; i++) line += " g1f3 g8f6 f3g1 f6g8";
    testing::internal::CaptureStdout();
    HandlePosition(board, *ctx, line);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("info string ", 0), 0u);
    EXPECT_EQ(board.historyIndex, 32000);
    EXPECT_EQ(ctx->hashHistory[board.historyIndex], board.hashKey);
    // The search path still fits behind the game.
    EXPECT_LT(board.historyIndex + 256, std::numeric_limits<int16_t>::max());
}

class BestMoveTest : public PositionTest {};

TEST_F(BestMoveTest, PrefersKeptResultThenRootLineThenFirstLegal) {
    const Move e2e4 = ParseMove(board, "e2e4");
    const Move d2d4 = ParseMove(board, "d2d4");
    ASSERT_FALSE(e2e4.IsNull());
    EXPECT_EQ(ChooseBestMove(board, {10, e2e4}, *ctx), e2e4);

    ctx->pvLine.pvLength[0] = 1;
    ctx->pvLine.pvTable[0][0] = d2d4;
    EXPECT_EQ(ChooseBestMove(board, {0, Move()}, *ctx), d2d4);

    // A move of another position is never reported.
    const Move bogus(Move(12, 36, QUIET)); // e2e5-like quiet move that is not generated
    ctx->pvLine.pvTable[0][0] = Move(4, 36, QUIET);
    Board fresh = board;
    MOVEGEN::GenerateMoves<All>(fresh);
    Move firstLegal;
    for (int i = 0; i < fresh.moveCount && firstLegal.IsNull(); i++)
        if (fresh.IsLegal(fresh.moves[i])) firstLegal = fresh.moves[i];
    EXPECT_EQ(ChooseBestMove(board, {0, bogus}, *ctx), firstLegal);
    ctx->pvLine.pvLength[0] = 0;
    ctx->pvLine.pvTable[0][0] = d2d4;
    EXPECT_EQ(ChooseBestMove(board, {0, Move()}, *ctx), firstLegal);
    EXPECT_TRUE(IsLegalMove(board, firstLegal));
    EXPECT_FALSE(IsLegalMove(board, bogus));
    EXPECT_FALSE(IsLegalMove(board, Move()));
}

TEST_F(BestMoveTest, InCheckOnlyEvasionsAndNoneWhenMated) {
    HandlePosition(board, *ctx, "position startpos moves e2e4 f7f5 d1h5");
    const Move g7g6 = ParseMove(board, "g7g6");
    EXPECT_EQ(ChooseBestMove(board, {0, Move()}, *ctx), g7g6);
    EXPECT_EQ(ChooseBestMove(board, {0, ParseMove(board, "e8f7")}, *ctx), g7g6);

    HandlePosition(board, *ctx, "position startpos moves f2f3 e7e5 g2g4 d8h4");
    EXPECT_TRUE(ChooseBestMove(board, {0, Move()}, *ctx).IsNull());
    HandlePosition(board, *ctx, "position fen 7k/5Q2/6K1/8/8/8/8/8 b - - 0 1");
    EXPECT_TRUE(ChooseBestMove(board, {0, Move()}, *ctx).IsNull());
}

// Runs one search thread body and returns what it printed.
template <SEARCH::searchMode mode>
std::string RunThread(const Board& board, SearchParams params, SEARCH::SearchContext* ctx) {
    testing::internal::CaptureStdout();
    ThreadFunc<mode>(board, params, ctx);
    return testing::internal::GetCapturedStdout();
}

TEST_F(BestMoveTest, OnlyTheReportingThreadPrintsOneLegalBestMove) {
    SearchParams params;
    params.depth = 2;
    auto* helper = new SEARCH::SearchContext(*ctx);
    searchStopped.store(false);
    EXPECT_EQ(RunThread<SEARCH::Timed>(board, params, helper), "");
    EXPECT_FALSE(searchStopped.load());

    auto* main = new SEARCH::SearchContext(*ctx);
    main->isMain = true;
    const std::vector<std::string> lines = UTILS::split(RunThread<SEARCH::Timed>(board, params, main), '\n');
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i + 1 < lines.size(); i++) EXPECT_NE(lines[i].rfind("bestmove", 0), 0u) << lines[i];
    ASSERT_EQ(lines.back().rfind("bestmove ", 0), 0u);
    const std::vector<std::string> words = UTILS::split(lines.back(), ' ');
    ASSERT_EQ(words.size(), 2u);
    MOVEGEN::GenerateMoves<All>(board);
    EXPECT_TRUE(IsLegalMove(board, ParseMove(board, words[1]))) << words[1];
    // The reporting thread's end stops the helpers, which would otherwise search on.
    EXPECT_TRUE(searchStopped.load());
}

TEST(SearchThreads, GetTheRequestedStack) {
    ASSERT_TRUE(PLATFORM::SetDefaultThreadStackSize(8u << 20));
    std::size_t stackSize = 0;
    std::thread([&] {
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &stackSize);
        pthread_attr_destroy(&attr);
    }).join();
    EXPECT_GE(stackSize, std::size_t(8u << 20));
}

TEST(Benchmark, PositionsAreValidAndInGameOrder) {
    InitTablesOnce();
    int fullMove = 8;
    for (const std::string_view fen : fenPositions) {
        EXPECT_EQ(ValidateFen(fen), "") << fen;
        const std::vector<std::string> fields = UTILS::split(fen, ' ');
        ASSERT_EQ(fields.size(), 6u) << fen;
        EXPECT_EQ(fields[1], "b") << fen;
        EXPECT_EQ(fields[5], std::to_string(fullMove++)) << fen;
        Board b;
        b.SetByFen(fen);
        EXPECT_EQ(b.GetFen(), fen);
    }
}

} // namespace
