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

Board BareKings() {
    Board b{};
    b.pieces[KING] = 0x1000000000000010ULL;
    return b;
}

// Restores the command loop's flags after each test.
class Report : public ::testing::Test {
  protected:
    void SetUp() override {
        InitTablesOnce();
        savedUci = UCIEnabled;
        savedWdl = UCIShowWDL;
        ctx = std::make_unique<SEARCH::SearchContext>();
        ctx->seldepth = 18;
        ctx->nodes = 999;
        SetPV({Move(12, 28, DOUBLE_PAWN_PUSH), Move(52, 36, DOUBLE_PAWN_PUSH)});
    }
    void TearDown() override {
        UCIEnabled = savedUci;
        UCIShowWDL = savedWdl;
    }
    void SetPV(std::initializer_list<Move> moves) {
        int i = 0;
        for (Move m : moves) ctx->pvLine.pvTable[0][i++] = m;
        ctx->pvLine.pvLength[0] = i;
    }
    std::string Line(int score, int elapsed = 999, int nps = 999, int hashfull = 4) {
        return SEARCH::SearchInfoLine(board, *ctx, score, 12, elapsed, nps, hashfull);
    }

    bool savedUci = false, savedWdl = false;
    std::unique_ptr<SEARCH::SearchContext> ctx;
    Board board = StartMaterial();
};

} // namespace

TEST(WdlModel, StartPositionMaterial) {
    EXPECT_EQ(SEARCH::ReportMaterial(StartMaterial()), 78);
    SEARCH::WDL w = SEARCH::wdlModel(78, 0);
    EXPECT_NEAR(w.a, 311.099, 0.0005);
    EXPECT_NEAR(w.b, 95.632, 0.0005);
    EXPECT_EQ(w.win, 37);
    EXPECT_EQ(w.draw, 926);
    EXPECT_EQ(w.loss, 37);
    EXPECT_EQ(SEARCH::NormalizedScore(0, w.a), 0);

    w = SEARCH::wdlModel(78, 300);
    EXPECT_EQ(w.win, 471);
    EXPECT_EQ(w.draw, 527);
    EXPECT_EQ(w.loss, 2);
    EXPECT_EQ(SEARCH::NormalizedScore(300, w.a), 96);
    w = SEARCH::wdlModel(78, -300);
    EXPECT_EQ(w.win, 2);
    EXPECT_EQ(w.draw, 527);
    EXPECT_EQ(w.loss, 471);
    EXPECT_EQ(SEARCH::NormalizedScore(-300, w.a), -96);
    // A score equal to a is one hundred reported centipawns.
    EXPECT_EQ(SEARCH::NormalizedScore(311, w.a), 100);
    EXPECT_EQ(SEARCH::NormalizedScore(32510, w.a), 10450);
}

TEST(WdlModel, MaterialIsClamped) {
    EXPECT_EQ(SEARCH::ReportMaterial(BareKings()), 0);
    for (int material : {0, 17}) {
        const SEARCH::WDL w = SEARCH::wdlModel(material, 0);
        EXPECT_NEAR(w.a, 721.280, 0.0005);
        EXPECT_NEAR(w.b, 139.820, 0.0005);
        EXPECT_EQ(w.win, 6);
        EXPECT_EQ(w.draw, 988);
        EXPECT_EQ(w.loss, 6);
    }
    const SEARCH::WDL high = SEARCH::wdlModel(104, 150), top = SEARCH::wdlModel(78, 150);
    EXPECT_EQ(high.a, top.a);
    EXPECT_EQ(high.win, top.win);
    // Always a sum of 1000, each within range, for any score.
    for (int score = -40000; score <= 40000; score += 97) {
        const SEARCH::WDL w = SEARCH::wdlModel(40, score);
        EXPECT_EQ(w.win + w.draw + w.loss, 1000);
        EXPECT_GE(w.win, 0);
        EXPECT_GE(w.draw, 0);
        EXPECT_GE(w.loss, 0);
    }
}

TEST(WdlModel, PercentagesSumToHundred) {
    int w, d, l;
    SEARCH::WdlPercentages({0, 0, 455, 0, 545}, w, d, l);
    EXPECT_EQ(w, 46);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(l, 54);
    SEARCH::WdlPercentages({0, 0, 505, 0, 495}, w, d, l);
    EXPECT_EQ(w, 50);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(l, 50);
    SEARCH::WdlPercentages({0, 0, 37, 926, 37}, w, d, l);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(d, 92);
    EXPECT_EQ(l, 4);
}

TEST(WdlModel, MateDistance) {
    EXPECT_EQ(SEARCH::MateDistance(32766), 1);
    EXPECT_EQ(SEARCH::MateDistance(-32765), -1);
    EXPECT_EQ(SEARCH::MateDistance(32764), 2);
    EXPECT_EQ(SEARCH::MateDistance(32767), 0);
    EXPECT_EQ(SEARCH::MateDistance(-32767), 0);
    EXPECT_EQ(SEARCH::MateDistance(32511), 128);
}

TEST_F(Report, UciLine) {
    UCIEnabled = true;
    UCIShowWDL = true;
    EXPECT_EQ(Line(0),
              "info depth 12 seldepth 18 time 999 score cp 0 wdl 37 926 37 nodes 999 nps 999 hashfull 4 pv "
              "e2e4 e7e5 ");
    UCIShowWDL = false;
    EXPECT_EQ(
        Line(300, 5, 123456, 1000),
        "info depth 12 seldepth 18 time 5 score cp 96 nodes 999 nps 123456 hashfull 1000 pv e2e4 e7e5 ");
    EXPECT_EQ(Line(32510),
              "info depth 12 seldepth 18 time 999 score cp 10450 nodes 999 nps 999 hashfull 4 pv e2e4 "
              "e7e5 ");
    EXPECT_EQ(Line(32511),
              "info depth 12 seldepth 18 time 999 score mate 128 nodes 999 nps 999 hashfull 4 pv e2e4 "
              "e7e5 ");
    EXPECT_EQ(Line(-32765),
              "info depth 12 seldepth 18 time 999 score mate -1 nodes 999 nps 999 hashfull 4 pv "
              "e2e4 e7e5 ");
    EXPECT_EQ(Line(32767),
              "info depth 12 seldepth 18 time 999 score mate 0 nodes 999 nps 999 hashfull 4 pv e2e4 "
              "e7e5 ");
    SetPV({});
    EXPECT_EQ(Line(0), "info depth 12 seldepth 18 time 999 score cp 0 nodes 999 nps 999 hashfull 4 pv ");
}

TEST_F(Report, HumanLineColumns) {
    UCIEnabled = false;
    UCIShowWDL = false; // the human line always shows W/D/L
    // Standard output is not a terminal under the test runner, so no colour codes appear.
    ASSERT_FALSE(PLATFORM::StdoutIsTerminal());
    EXPECT_EQ(Line(0),
              "12/18      999ms    +0.00     4W 92D 4L    TT: 0%        999       999/s  e2e4 e7e5 ");
    ctx->nodes = 999'999;
    EXPECT_EQ(Line(300, 1000, 1000, 5),
              "12/18       1.0s    +0.96    47W 53D 0L    TT: 1%    1000.0k      1.0k/s  e2e4 e7e5 ");
    ctx->nodes = 1'000'000;
    EXPECT_EQ(Line(-300, 12345, 1'000'000, 995),
              "12/18      12.3s    -0.96    0W 53D 47L  TT: 100%       1.0M      1.0M/s  e2e4 e7e5 ");
    ctx->nodes = 999;
    EXPECT_EQ(Line(32766),
              "12/18      999ms      +M1    100W 0D 0L    TT: 0%        999       999/s  e2e4 e7e5 ");
    EXPECT_EQ(Line(-32765),
              "12/18      999ms      -M1    0W 0D 100L    TT: 0%        999       999/s  e2e4 e7e5 ");
    EXPECT_EQ(Line(32767),
              "12/18      999ms      +M0    100W 0D 0L    TT: 0%        999       999/s  e2e4 e7e5 ");
    // A small positive score that rounds to nothing still reads +0.00.
    EXPECT_EQ(Line(1).substr(16, 9), "    +0.00");
    SetPV({});
    EXPECT_EQ(Line(0), "12/18      999ms    +0.00     4W 92D 4L    TT: 0%        999       999/s  ");
}

TEST_F(Report, PrintSearchInfoWritesOneLine) {
    UCIEnabled = true;
    UCIShowWDL = false;
    TTable tt;
    tt.WriteEntry(3, 1, 0, BOUND_EXACT, Move(), false);
    tt.WriteEntry(7, 1, 0, BOUND_EXACT, Move(), false);
    ctx->tt = &tt;
    ctx->nodes = 5000;
    ctx->startTime = std::chrono::steady_clock::now() - std::chrono::milliseconds(100);
    SearchResults result{-300, Move(12, 28, DOUBLE_PAWN_PUSH)};
    testing::internal::CaptureStdout();
    SEARCH::PrintSearchInfo(board, ctx.get(), result, 7, 100);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string head = "info depth 7 seldepth 18 time 100 score cp -96 nodes 5000 nps ";
    const std::string tail = " hashfull 2 pv e2e4 e7e5 \n";
    ASSERT_GT(out.size(), head.size() + tail.size()) << out;
    EXPECT_EQ(out.substr(0, head.size()), head) << out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    const std::string speed = out.substr(head.size(), out.size() - head.size() - tail.size());
    ASSERT_FALSE(speed.empty());
    ASSERT_EQ(speed.find_first_not_of("0123456789"), std::string::npos) << speed;
    // 5000 nodes in a little over 100 ms.
    const long nps = std::stol(speed);
    EXPECT_GT(nps, 10000);
    EXPECT_LE(nps, 50000);
}

TEST_F(Report, PvPrint) {
    UCIEnabled = true;
    testing::internal::CaptureStdout();
    ctx->pvLine.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "e2e4 e7e5 ");
    SetPV({});
    testing::internal::CaptureStdout();
    ctx->pvLine.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
