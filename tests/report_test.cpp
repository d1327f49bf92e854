#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform.h"
#include "search.h"
#include "test_init.h"

namespace {

Board StartMaterial() {
    Board b{};
    b.pieces[PAWN] = 0x00FF00000000FF00ULL;
    b.pieces[KNIGHT] = 0x4200000000000042ULL;
    b.pieces[BISHOP] = 0x2400000000000024ULL;
    b.pieces[ROOK] = 0x8100000000000081ULL;
    b.pieces[QUEEN] = 0x0800000000000008ULL;
    b.pieces[KING] = 0x1000000000000010ULL;
    return b;
}

class Report : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        ctx->seldepth = 18;
        ctx->nodes = 999;
        ctx->pvLine.pvTable[0][0] = Move(12, 28, DOUBLE_PAWN_PUSH);
        ctx->pvLine.pvTable[0][1] = Move(52, 36, DOUBLE_PAWN_PUSH);
        ctx->pvLine.pvLength[0] = 2;
    }
    void TearDown() override { UCIEnabled = savedUci, UCIShowWDL = savedWdl; }
    std::string Line(int score, int elapsed = 999, int nps = 999, int hashfull = 4) {
        return SEARCH::SearchInfoLine(board, *ctx, score, 12, elapsed, nps, hashfull);
    }

    bool savedUci = UCIEnabled, savedWdl = UCIShowWDL;
    std::unique_ptr<SEARCH::SearchContext> ctx = std::make_unique<SEARCH::SearchContext>();
    Board board = StartMaterial();
};

} // namespace

TEST(WdlModel, Values) {
    EXPECT_EQ(SEARCH::ReportMaterial(StartMaterial()), 78);
    struct Case {
        int material, score, w, d, l, cp;
    };
    for (const Case& c :
         {Case{78, 0, 37, 926, 37, 0}, Case{78, 300, 471, 527, 2, 96}, Case{78, -300, 2, 527, 471, -96},
          Case{0, 0, 6, 988, 6, 0}, Case{17, 0, 6, 988, 6, 0}}) {
        const SEARCH::WDL m = SEARCH::wdlModel(c.material, c.score);
        EXPECT_EQ(m.win, c.w) << c.material << " " << c.score;
        EXPECT_EQ(m.draw, c.d) << c.material << " " << c.score;
        EXPECT_EQ(m.loss, c.l) << c.material << " " << c.score;
        EXPECT_EQ(SEARCH::NormalizedScore(c.score, m.a), c.cp);
    }
    const SEARCH::WDL start = SEARCH::wdlModel(78, 0), bare = SEARCH::wdlModel(5, 0);
    EXPECT_NEAR(start.a, 311.099, 0.0005);
    EXPECT_NEAR(start.b, 95.632, 0.0005);
    EXPECT_NEAR(bare.a, 721.280, 0.0005);
    EXPECT_NEAR(bare.b, 139.820, 0.0005);
    EXPECT_EQ(SEARCH::wdlModel(104, 150).win, SEARCH::wdlModel(78, 150).win); // material above 78 is 78
    EXPECT_EQ(SEARCH::NormalizedScore(311, start.a), 100);
    EXPECT_EQ(SEARCH::NormalizedScore(32510, start.a), 10450);
    for (int score = -40000; score <= 40000; score += 97) {
        const SEARCH::WDL w = SEARCH::wdlModel(40, score);
        ASSERT_EQ(w.win + w.draw + w.loss, 1000);
        ASSERT_TRUE(w.win >= 0 && w.draw >= 0 && w.loss >= 0);
    }
    int w, d, l;
    SEARCH::WdlPercentages({0, 0, 455, 0, 545}, w, d, l);
    EXPECT_EQ(std::to_string(w) + " " + std::to_string(d) + " " + std::to_string(l), "46 0 54");
    SEARCH::WdlPercentages({0, 0, 505, 0, 495}, w, d, l);
    EXPECT_EQ(std::to_string(w) + " " + std::to_string(d) + " " + std::to_string(l), "50 0 50");
    for (auto [score, n] :
         {std::pair{32766, 1}, {-32765, -1}, {32764, 2}, {32767, 0}, {-32767, 0}, {32511, 128}})
        EXPECT_EQ(SEARCH::MateDistance(score), n) << score;
}

TEST_F(Report, UciLine) {
    UCIEnabled = true;
    UCIShowWDL = true;
    const std::string tail = " nodes 999 nps 999 hashfull 4 pv e2e4 e7e5 ";
    EXPECT_EQ(Line(0), "info depth 12 seldepth 18 time 999 score cp 0 wdl 37 926 37" + tail);
    UCIShowWDL = false;
    EXPECT_EQ(
        Line(300, 5, 123456, 1000),
        "info depth 12 seldepth 18 time 5 score cp 96 nodes 999 nps 123456 hashfull 1000 pv e2e4 e7e5 ");
    EXPECT_EQ(Line(32510), "info depth 12 seldepth 18 time 999 score cp 10450" + tail);
    EXPECT_EQ(Line(32511), "info depth 12 seldepth 18 time 999 score mate 128" + tail);
    EXPECT_EQ(Line(-32765), "info depth 12 seldepth 18 time 999 score mate -1" + tail);
    EXPECT_EQ(Line(32767), "info depth 12 seldepth 18 time 999 score mate 0" + tail);
    ctx->pvLine.pvLength[0] = 0;
    EXPECT_EQ(Line(0), "info depth 12 seldepth 18 time 999 score cp 0 nodes 999 nps 999 hashfull 4 pv ");
}

TEST_F(Report, HumanLineColumns) {
    UCIEnabled = false;
    UCIShowWDL = false;                         // the human line always shows W/D/L
    ASSERT_FALSE(PLATFORM::StdoutIsTerminal()); // so no colour codes appear
    EXPECT_EQ(Line(0),
              "12/18      999ms    +0.00     4W 92D 4L    TT: 0%        999       999/s  e2e4 e7e5 ");
    EXPECT_EQ(Line(1).substr(16, 9), "    +0.00");
    ctx->nodes = 999'999;
    EXPECT_EQ(Line(300, 1000, 1000, 5),
              "12/18       1.0s    +0.96    47W 53D 0L    TT: 1%    1000.0k      1.0k/s  e2e4 e7e5 ");
    ctx->nodes = 1'000'000;
    EXPECT_EQ(Line(-300, 12345, 1'000'000, 995),
              "12/18      12.3s    -0.96    0W 53D 47L  TT: 100%       1.0M      1.0M/s  e2e4 e7e5 ");
    ctx->nodes = 999;
    EXPECT_EQ(Line(32766).substr(16, 23), "      +M1    100W 0D 0L");
    EXPECT_EQ(Line(-32765).substr(16, 23), "      -M1    0W 0D 100L");
    EXPECT_EQ(Line(32767).substr(16, 9), "      +M0");
    ctx->pvLine.pvLength[0] = 0;
    EXPECT_EQ(Line(0), "12/18      999ms    +0.00     4W 92D 4L    TT: 0%        999       999/s  ");
}

TEST_F(Report, PrintSearchInfoAndPv) {
    UCIEnabled = true;
    UCIShowWDL = false;
    TTable tt;
    tt.WriteEntry(3, 1, 0, BOUND_EXACT, Move(), false);
    tt.WriteEntry(7, 1, 0, BOUND_EXACT, Move(), false);
    ctx->tt = &tt;
    ctx->nodes = 5000;
    ctx->startTime = std::chrono::steady_clock::now() - std::chrono::milliseconds(100);
    SearchResults result{-300, Move()};
    testing::internal::CaptureStdout();
    SEARCH::PrintSearchInfo(board, ctx.get(), result, 7, 100);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string head = "info depth 7 seldepth 18 time 100 score cp -96 nodes 5000 nps ";
    const std::string tail = " hashfull 2 pv e2e4 e7e5 \n";
    ASSERT_GT(out.size(), head.size() + tail.size()) << out;
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    const long nps = std::stol(out.substr(head.size())); // 5000 nodes in a little over 100 ms
    EXPECT_TRUE(nps > 10000 && nps <= 50000) << out;

    testing::internal::CaptureStdout();
    ctx->pvLine.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "e2e4 e7e5 ");
}
