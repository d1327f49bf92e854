#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "board.h"
#include "datagen.h"
#include "platform.h"
#include "test_init.h"

namespace fs = std::filesystem;
using namespace DATAGEN;

namespace {

Board PlacedBoard(const std::string& fen) {
    InitTablesOnce();
    Board b;
    b.SetByFen(fen);
    return b;
}

std::vector<uint8_t> Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    return {p, p + size};
}

// Walks a game file by the terminator rule alone. False when a record is cut off.
bool ReadRecords(const std::string& bytes, std::vector<Game>& games) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 36) return false;
        Game game;
        std::memcpy(&game.board, bytes.data() + pos, 32);
        pos += 32;
        for (;;) {
            if (bytes.size() - pos < 4) return false;
            MoveScore entry;
            std::memcpy(&entry, bytes.data() + pos, 4);
            pos += 4;
            if (entry == 0) break;
            game.moves.push_back(entry);
        }
        games.push_back(std::move(game));
    }
    return true;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// A game whose entries encode the tag, so that merged files can be matched to their sources.
Game TaggedGame(int tag, int moves) {
    Game game{};
    game.board = PackBoard(PlacedBoard(std::string(StartingFen)), tag);
    game.board.wdl = uint8_t(tag % 3);
    for (int i = 0; i < moves; ++i)
        game.moves.push_back(PackMoveScore(Move(12, 28, DOUBLE_PAWN_PUSH), tag + i, WHITE));
    return game;
}

class DatagenFiles : public ::testing::Test {
  protected:
    fs::path dir;
    void SetUp() override {
        char pattern[] = "/tmp/vestrel_datagen_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
};

} // namespace

// ---- Packing --------------------------------------------------------------------------------

TEST(DatagenPacking, StartPositionBytes) {
    const PackedBoard packed = PackBoard(PlacedBoard(std::string(StartingFen)), 0);
    const std::vector<uint8_t> expected = {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, // occupancy
                                           0x16, 0x42, 0x25, 0x61, 0x00, 0x00, 0x00, 0x00,
                                           0x88, 0x88, 0x88, 0x88, 0x9E, 0xCA, 0xAD, 0xE9, // pieces
                                           0x40, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(&packed, sizeof(packed)), expected);
}

TEST(DatagenPacking, UnmovedRooksFollowCastlingRights) {
    // White lost only its king-side right: h1 is a plain rook, a1 still unmoved.
    PackedBoard packed = PackBoard(PlacedBoard("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w Qkq - 0 1"), 0);
    EXPECT_EQ(packed.packedPieces[0] & 0x0F, 6);
    EXPECT_EQ(packed.packedPieces[3] >> 4, 3);
    EXPECT_EQ(packed.packedPieces[12] & 0x0F, 14); // a8 with right 8
    EXPECT_EQ(packed.packedPieces[15] >> 4, 14);

    // Rooks off their corners, or on corners without rights, never pack as unmoved.
    packed = PackBoard(PlacedBoard("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1"), 0);
    EXPECT_EQ(packed.occupancy, 0x9100000000000091ULL);
    const uint8_t expectedNoRights[3] = {0x53, 0xB3, 0xBD};
    EXPECT_EQ(Bytes(packed.packedPieces, 3), Bytes(expectedNoRights, 3));
    packed = PackBoard(PlacedBoard("4k3/8/8/8/8/8/R7/4K3 w Q - 0 1"), 0); // rook on a2, right Q held
    EXPECT_EQ(packed.packedPieces[0], 0x35);

    // Black's a8 and h8 rooks with only the king-side right.
    packed = PackBoard(PlacedBoard("r3k2r/8/8/8/8/8/8/4K3 b k - 0 1"), 0);
    EXPECT_EQ(packed.packedPieces[0], 0xB5);
    EXPECT_EQ(packed.packedPieces[1], 0xED);
}

TEST(DatagenPacking, SideEnPassantClocksAndEval) {
    PackedBoard packed =
        PackBoard(PlacedBoard("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1"), -1234);
    EXPECT_EQ(packed.stmEp, 0x94);
    EXPECT_EQ(packed.eval, -1234);
    EXPECT_EQ(Bytes(&packed.eval, 2), (std::vector<uint8_t>{0x2E, 0xFB}));
    EXPECT_EQ(packed.wdl, 0);
    EXPECT_EQ(packed.extra, 0);

    packed = PackBoard(PlacedBoard("4k3/8/8/8/8/8/8/4K3 w - - 300 70000"), 32511);
    EXPECT_EQ(packed.stmEp, 64);
    EXPECT_EQ(packed.halfmoveClock, 300 & 0xFF);
    EXPECT_EQ(packed.fullmoveNumber, 70000 & 0xFFFF);
    EXPECT_EQ(packed.eval, 32511);
    // Two pieces, nibbles beyond the last piece stay 0.
    EXPECT_EQ(packed.packedPieces[0], 0xD5);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(packed.packedPieces[i], 0) << i;
}

TEST(DatagenPacking, MovesByType) {
    EXPECT_EQ(PackMove(Move(12, 28, DOUBLE_PAWN_PUSH)), 0x070C);
    EXPECT_EQ(PackMove(Move(6, 21, QUIET)), 6 | 21 << 6);
    EXPECT_EQ(PackMove(Move(28, 35, CAPTURE)), 28 | 35 << 6);
    EXPECT_EQ(PackMove(Move(4, 6, KING_CASTLE)), 0x81C4);
    EXPECT_EQ(PackMove(Move(4, 2, QUEEN_CASTLE)), 0x8004);
    EXPECT_EQ(PackMove(Move(60, 62, KING_CASTLE)), 0x8FFC);
    EXPECT_EQ(PackMove(Move(60, 58, QUEEN_CASTLE)), 0x8E3C);
    EXPECT_EQ(PackMove(Move(36, 43, EP_CAPTURE)), 0x4AE4);
    EXPECT_EQ(PackMove(Move(52, 60, QUEEN_PROMOTION)), 0xFF34);
    EXPECT_EQ(PackMove(Move(52, 60, KNIGHT_PROMOTION)), 0xCF34);
    EXPECT_EQ(PackMove(Move(52, 60, BISHOP_PROMOTION)), 0xDF34);
    EXPECT_EQ(PackMove(Move(52, 60, ROOK_PROMOTION)), 0xEF34);
    // Capture promotions carry the same piece bits as plain ones; captures are not marked.
    EXPECT_EQ(PackMove(Move(52, 61, KNIGHT_PROMO_CAPTURE)), 0xC000 | 52 | 61 << 6);
    EXPECT_EQ(PackMove(Move(52, 61, BISHOP_PROMO_CAPTURE)), 0xD000 | 52 | 61 << 6);
    EXPECT_EQ(PackMove(Move(52, 61, ROOK_PROMO_CAPTURE)), 0xE000 | 52 | 61 << 6);
    EXPECT_EQ(PackMove(Move(52, 61, QUEEN_PROMO_CAPTURE)), 0xF000 | 52 | 61 << 6);
    EXPECT_EQ(PackMove(Move(11, 3, QUEEN_PROMO_CAPTURE)), 0xF000 | 11 | 3 << 6); // Black promotes on rank 1
}

TEST(DatagenPacking, ScoresFromWhitesView) {
    const MoveScore black = PackMoveScore(Move(52, 36, DOUBLE_PAWN_PUSH), 35, BLACK);
    EXPECT_EQ(Bytes(&black, 4), (std::vector<uint8_t>{0x34, 0x09, 0xDD, 0xFF}));
    const MoveScore white = PackMoveScore(Move(12, 28, DOUBLE_PAWN_PUSH), 35, WHITE);
    EXPECT_EQ(white, 0x070Cu | 35u << 16);
    // Only the low 16 bits of the score are kept.
    EXPECT_EQ(PackMoveScore(Move(12, 28, DOUBLE_PAWN_PUSH), 70000, WHITE) >> 16, 70000u & 0xFFFF);
    EXPECT_EQ(PackMoveScore(Move(12, 28, DOUBLE_PAWN_PUSH), -32000, BLACK) >> 16, 32000u);
}

TEST(DatagenPacking, RecordsRoundTripByTerminator) {
    std::vector<Game> games = {TaggedGame(7, 3), TaggedGame(8, 0), TaggedGame(9, 120)};
    const std::string bytes = SerializeGames(games);
    ASSERT_EQ(bytes.size(), (36 + 12) + 36 + (36 + 480));
    EXPECT_EQ(bytes.substr(48 + 32, 4), std::string(4, '\0')); // the move-less game's terminator
    std::vector<Game> back;
    ASSERT_TRUE(ReadRecords(bytes, back));
    ASSERT_EQ(back.size(), games.size());
    for (std::size_t i = 0; i < games.size(); ++i) {
        EXPECT_EQ(Bytes(&back[i].board, 32), Bytes(&games[i].board, 32));
        EXPECT_EQ(back[i].moves, games[i].moves);
    }
    EXPECT_FALSE(ReadRecords(bytes.substr(0, bytes.size() - 2), back));

    std::vector<Game> big(500, TaggedGame(1, 80));
    EXPECT_EQ(SerializeGames(big).size(), 178000u);
}

// ---- Writer ---------------------------------------------------------------------------------

TEST_F(DatagenFiles, WriterRenamesCompleteBatchesAndAdvancesIndex) {
    const std::string prefix = (dir / "thread0_").string();
    std::vector<Game> batch;
    int index = 0;
    EXPECT_TRUE(WriteToFile(batch, prefix, index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(fs::is_empty(dir));

    batch = {TaggedGame(1, 5), TaggedGame(2, 0)};
    EXPECT_TRUE(WriteToFile(batch, prefix, index));
    EXPECT_EQ(index, 1);
    EXPECT_EQ(batch.size(), 2u); // left to the caller to empty
    EXPECT_EQ(ReadFile(dir / "thread0_0.binpack"), SerializeGames(batch));
    EXPECT_FALSE(fs::exists(dir / "thread0_0.tmp"));

    WriteToFile(batch, prefix, index);
    EXPECT_EQ(index, 2);
    EXPECT_TRUE(fs::exists(dir / "thread0_1.binpack"));
}

TEST_F(DatagenFiles, WriterNeverReplacesAnUnmergedBatch) {
    const std::string prefix = (dir / "thread3_").string();
    WriteFile(dir / "thread3_0.binpack", "earlier run");
    WriteFile(dir / "thread3_1.binpack", "earlier run too");
    std::vector<Game> batch = {TaggedGame(4, 2)};
    int index = 0;
    WriteToFile(batch, prefix, index);
    EXPECT_EQ(ReadFile(dir / "thread3_0.binpack"), "earlier run");
    EXPECT_EQ(ReadFile(dir / "thread3_1.binpack"), "earlier run too");
    EXPECT_EQ(ReadFile(dir / "thread3_2.binpack"), SerializeGames(batch));
    EXPECT_EQ(index, 3);
}

TEST_F(DatagenFiles, WriterFailuresKeepIndexAndLeaveNoFile) {
    std::vector<Game> batch = {TaggedGame(4, 2)};
    int index = 5;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(WriteToFile(batch, (dir / "missing" / "thread0_").string(), index));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(index, 5);
    EXPECT_EQ(err, "Failed to create temporary file: " + (dir / "missing" / "thread0_5.tmp").string() + "\n");

    // A write that fails (here: a full device) must not be renamed into a short batch file.
    fs::create_symlink("/dev/full", dir / "thread1_5.tmp");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(WriteToFile(batch, (dir / "thread1_").string(), index));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(index, 5);
    EXPECT_NE(err.find("thread1_5.tmp"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "thread1_5.binpack"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "thread1_5.tmp")));
}

// ---- Merge ----------------------------------------------------------------------------------

TEST(DatagenMerge, NamesAndPatterns) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 8;
    t.tm_min = 5;
    EXPECT_EQ(MergedFileName(t), "data/datagen_2026-12-08_08-05.binpack");
    EXPECT_TRUE(IsWorkerBatchName("thread2_7.binpack"));
    EXPECT_TRUE(IsWorkerBatchName("thread0_0.binpack"));
    EXPECT_TRUE(IsWorkerBatchName("thread21_130.binpack"));
    EXPECT_FALSE(IsWorkerBatchName("mythread0_1.binpack"));
    EXPECT_FALSE(IsWorkerBatchName("datagen_2026-12-08_08-05.binpack"));
    EXPECT_FALSE(IsWorkerBatchName("thread2_7.tmp"));
    EXPECT_TRUE(IsWorkerTempName("thread2_7.tmp"));
    EXPECT_FALSE(IsWorkerTempName("xthread2_7.tmp"));
    // Only the names the workers write: anything else that merely looks alike is someone else's.
    for (const char* name : {"thread.binpack.old", "thread-notes.binpack.txt", "thread2_7.binpack.bak",
                             "thread_7.binpack", "thread2_.binpack", "thread2.binpack", "thread02_7.binpack",
                             "thread2_07.binpack", "thread-1_0.binpack", "threadL_0.binpack",
                             "thread2_7_1.binpack", "thread.binpack", "thread2_7.tmp"})
        EXPECT_FALSE(IsWorkerBatchName(name)) << name;
    for (const char* name : {"thread_scratch.tmp.keep", "thread2_7.tmp.keep", "thread_7.tmp", "thread2_x.tmp",
                             "thread.tmp", "thread2_7.binpack"})
        EXPECT_FALSE(IsWorkerTempName(name)) << name;
}

TEST_F(DatagenFiles, MergeTakesWorkerFilesOnly) {
    const std::string a = SerializeGames({TaggedGame(10, 4), TaggedGame(11, 1)});
    const std::string b = SerializeGames({TaggedGame(20, 0)});
    const std::string c = SerializeGames({TaggedGame(30, 9)});
    WriteFile(dir / "thread2_7.binpack", a);
    WriteFile(dir / "thread0_1.binpack", b);
    WriteFile(dir / "thread5_0.binpack", ""); // contributes nothing, blocks nothing
    WriteFile(dir / "thread2_8.tmp", "partial");
    WriteFile(dir / "mythread0_1.binpack", "other");
    WriteFile(dir / "datagen_2026-12-08_08-05.binpack", "earlier merge");
    fs::create_directory(dir / "thread9.binpack");
    WriteFile(dir / "thread-notes.binpack.txt", "notes");
    WriteFile(dir / "thread_scratch.tmp.keep", "scratch");
    WriteFile(dir / "target.bin", c);
    fs::create_symlink(dir / "target.bin", dir / "thread6_0.binpack");

    const std::string merged = (dir / "datagen_now.binpack").string();
    testing::internal::CaptureStdout();
    MergeReport report;
    EXPECT_EQ(MergeThreadFilesInto(dir, merged, &report), merged);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Merged all thread files into: " + merged + "\n");
    EXPECT_EQ(report.path, merged);
    EXPECT_EQ(report.games, 4);
    EXPECT_EQ(report.positions, 4 + 1 + 0 + 9);
    EXPECT_TRUE(report.kept.empty());
    EXPECT_FALSE(report.failed);

    const std::string content = ReadFile(merged);
    EXPECT_EQ(content.size(), a.size() + b.size() + c.size());
    for (const std::string* part : {&a, &b, &c}) EXPECT_NE(content.find(*part), std::string::npos);
    std::vector<Game> games;
    EXPECT_TRUE(ReadRecords(content, games));
    EXPECT_EQ(games.size(), 4u);

    for (const char* gone : {"thread2_7.binpack", "thread0_1.binpack", "thread5_0.binpack", "thread2_8.tmp",
                             "thread6_0.binpack"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / gone))) << gone;
    EXPECT_EQ(ReadFile(dir / "mythread0_1.binpack"), "other");
    EXPECT_EQ(ReadFile(dir / "thread-notes.binpack.txt"), "notes");
    EXPECT_EQ(ReadFile(dir / "thread_scratch.tmp.keep"), "scratch");
    EXPECT_EQ(ReadFile(dir / "datagen_2026-12-08_08-05.binpack"), "earlier merge");
    EXPECT_TRUE(fs::is_directory(dir / "thread9.binpack"));
    EXPECT_EQ(ReadFile(dir / "target.bin"), c);
}

TEST_F(DatagenFiles, MergeKeepsFilesWhoseAppendFails) {
    WriteFile(dir / "thread0_0.binpack", SerializeGames({TaggedGame(1, 3)}));
    WriteFile(dir / "thread1_0.binpack", SerializeGames({TaggedGame(2, 3)}));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MergeReport report;
    const std::string merged = MergeThreadFilesInto(dir, "/dev/full", &report);
    const std::string err = testing::internal::GetCapturedStderr();
    // A merged file that took nothing in is not announced, and not handed on as a result.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(merged, "");
    EXPECT_TRUE(report.failed);
    EXPECT_EQ(report.positions, 0);
    std::vector<std::string> kept = report.kept;
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"thread0_0.binpack", "thread1_0.binpack"}));
    EXPECT_TRUE(fs::exists("/dev/full"));
    EXPECT_TRUE(fs::exists(dir / "thread0_0.binpack"));
    EXPECT_TRUE(fs::exists(dir / "thread1_0.binpack")); // the second file was still tried
    EXPECT_NE(err.find("thread0_0.binpack"), std::string::npos) << err;
    EXPECT_NE(err.find("thread1_0.binpack"), std::string::npos) << err;
}

TEST_F(DatagenFiles, MergeReportsUncreatableFile) {
    WriteFile(dir / "thread0_0.binpack", "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(MergeThreadFilesInto(dir, (dir / "no" / "merged.binpack").string()), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to create final merged file: " + (dir / "no" / "merged.binpack").string() + "\n");
    EXPECT_TRUE(fs::exists(dir / "thread0_0.binpack"));
}

TEST_F(DatagenFiles, MergesInOneMinuteNeverOverwrite) {
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    fs::create_directory("data");
    WriteFile("data/thread0_0.binpack", SerializeGames({TaggedGame(1, 2)}));
    testing::internal::CaptureStdout();
    const std::string first = MergeThreadFiles();
    WriteFile("data/thread0_0.binpack", SerializeGames({TaggedGame(2, 2)}));
    const std::string second = MergeThreadFiles();
    const std::string third = MergeThreadFiles(); // nothing left: no merged file
    testing::internal::GetCapturedStdout();
    fs::current_path(old);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first.starts_with("data/datagen_"));
    EXPECT_NE(first, second);
    EXPECT_EQ(third, "");
    EXPECT_EQ(ReadFile(dir / first), SerializeGames({TaggedGame(1, 2)}));
    EXPECT_EQ(ReadFile(dir / second), SerializeGames({TaggedGame(2, 2)}));
    int merged = 0;
    for (const auto& entry : fs::directory_iterator(dir / "data"))
        merged += entry.path().filename().string().starts_with("datagen_");
    EXPECT_EQ(merged, 2);
}

// ---- Progress screen ------------------------------------------------------------------------

namespace {
std::vector<std::string> Lines(const std::string& screen) {
    std::vector<std::string> lines;
    std::string line;
    for (const char c : screen) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    EXPECT_TRUE(line.empty());
    return lines;
}
std::string Centred(const char* colour, const std::string& text) {
    return colour + std::string((60 - text.size()) / 2, ' ') + text + "\033[0m";
}
} // namespace

TEST(DatagenProgress, FirstRedrawLayout) {
    Stopwatch sw;
    const std::string screen = RenderProgress(0, 1000000, 0.3, sw, 22);
    ASSERT_TRUE(screen.starts_with("\033[H"));
    const std::vector<std::string> lines = Lines(screen.substr(3));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "\033[1;36m" + std::string(21, ' ') + "Vestrel - Datagen\033[0m");
    EXPECT_EQ(lines[1], std::string(60, '='));
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], Centred("\033[1;33m", "Positions processed: 0.00K | Target: 1000.00K"));
    EXPECT_EQ(lines[5], Centred("\033[1;33m", "Elapsed Time: 0 sec"));
    EXPECT_EQ(lines[6], Centred("\033[1;32m", "Positions/sec: 0"));
    EXPECT_EQ(lines[8], Centred("\033[1;33m", "Threads: 22"));
    EXPECT_EQ(lines[10], Centred("\033[1;33m", "Estimated Time Left: 00h 00m 00s"));
    EXPECT_EQ(lines[12], Centred("\033[1;34m", "[>" + std::string(49, ' ') + "] 0 %"));
    for (int i : {2, 4, 7, 9, 11, 13}) EXPECT_EQ(lines[i], "") << i;
}

TEST(DatagenProgress, CountsRateEstimateAndBar) {
    Stopwatch sw;
    std::vector<std::string> lines = Lines(RenderProgress(1234, 1000000, 1.5, sw, 4).substr(3));
    EXPECT_NE(lines[3].find("Positions processed: 1.23K | Target: 1000.00K"), std::string::npos);
    EXPECT_NE(lines[5].find("Elapsed Time: 2 sec"), std::string::npos);    // 1.5 rounds away from zero
    EXPECT_NE(lines[6].find("Positions/sec: 823\033"), std::string::npos); // 1234 / 1.5
    // (1000000 - 1234) / (1234 / 1.5) = 1214.06 s
    EXPECT_NE(lines[10].find("00h 20m 14s"), std::string::npos) << lines[10];

    // Less than a second after the last update the rate shows 0 and the memory stays.
    lines = Lines(RenderProgress(2000, 1000000, 2.2, sw, 4).substr(3));
    EXPECT_NE(lines[6].find("Positions/sec: 0\033"), std::string::npos);
    lines = Lines(RenderProgress(4234, 1000000, 3.5, sw, 4).substr(3));
    EXPECT_NE(lines[6].find("Positions/sec: 1500\033"), std::string::npos);
    // A stop drops the positions of unfinished games: the count falls, the speed shows 0.
    lines = Lines(RenderProgress(4000, 1000000, 5.0, sw, 4).substr(3));
    EXPECT_NE(lines[6].find("Positions/sec: 0\033"), std::string::npos) << lines[6];

    // Halfway, with hours above two digits.
    Stopwatch slow;
    lines = Lines(RenderProgress(500, 1000, 360000, slow, 2).substr(3));
    EXPECT_EQ(lines[12],
              Centred("\033[1;34m", "[" + std::string(25, '=') + ">" + std::string(24, ' ') + "] 50 %"));
    EXPECT_NE(lines[10].find("100h 00m 00s"), std::string::npos) << lines[10];
}

TEST(DatagenProgress, TargetReachedAndPassed) {
    Stopwatch sw;
    std::vector<std::string> lines = Lines(RenderProgress(1000, 1000, 10, sw, 2).substr(3));
    EXPECT_EQ(lines[12], Centred("\033[1;34m", "[" + std::string(50, '=') + "] 100 %"));
    lines = Lines(RenderProgress(1500, 1000, 12, sw, 2).substr(3));
    EXPECT_EQ(lines[12], Centred("\033[1;34m", "[" + std::string(50, '=') + "] 150 %"));
    EXPECT_NE(lines[10].find("00h 00m 00s"), std::string::npos);
    // No positive target: shown as done, no division by zero.
    lines = Lines(RenderProgress(0, 0, 1, sw, 2).substr(3));
    EXPECT_EQ(lines[12], Centred("\033[1;34m", "[" + std::string(50, '=') + "] 100 %"));
    // An early, huge estimate does not overflow.
    Stopwatch early;
    lines = Lines(RenderProgress(1, 2147483000, 100000, early, 2).substr(3));
    EXPECT_NE(lines[10].find("596523h 14m 07s"), std::string::npos) << lines[10];
}

TEST(DatagenSignals, OnlyInterruptAndTerminationRequestShutdown) {
    g_shutdownRequested = false;
    SignalHandler(SIGUSR1);
    EXPECT_FALSE(g_shutdownRequested.load());
    testing::internal::CaptureStdout();
    SignalHandler(SIGINT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\nShutdown signal received. Saving data safely...\n");
    EXPECT_TRUE(g_shutdownRequested.load());
    g_shutdownRequested = false;
    testing::internal::CaptureStdout();
    SignalHandler(SIGTERM);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(g_shutdownRequested.load());
    g_shutdownRequested = false;
}

// ---- Collection-server client -----------------------------------------------------------------

TEST(DatagenOnline, ExtractSessionId) {
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\"abc\",\"x\":1}"), "abc");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\": 42}"), "42");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\t\n \"a b\"}"), "a b");
    EXPECT_EQ(ExtractJsonValue("[{\"session_id\":7]"), "7");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":12 ,"), "12 "); // trailing blanks stay
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":abc"), "abc");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\"abc"), "");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\"\"}"), "");
    EXPECT_EQ(ExtractJsonValue("{\"session\":\"abc\"}"), "");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":"), "");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":   "), "");
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\r\"x\"}"), "\r\"x\""); // carriage return not skipped
    EXPECT_EQ(ExtractJsonValue("{\"session_id\":\"one\",\"session_id\":\"two\"}"), "one");
}

TEST(DatagenOnline, JsonBodies) {
    EXPECT_EQ(BuildHeartbeatJSON("alice", 8), "{\"user\":\"alice\",\"threads\":8}");
    EXPECT_EQ(BuildSessionStartJSON("alice", 5000), "{\"user\":\"alice\",\"target\":5000}");
    EXPECT_EQ(BuildHeartbeatJSON("a\"b\\c", -1), "{\"user\":\"a\\\"b\\\\c\",\"threads\":-1}");
    EXPECT_EQ(JsonEscape(std::string("x\n\t\x01\x1f\x7f\xc3\xa9", 8)), "x\\n\\t\\u0001\\u001f\x7f\xc3\xa9");
}

TEST(DatagenOnline, ShellQuoteSurvivesTheShell) {
    const std::string marker = "/tmp/vestrel_quote_marker_" + std::to_string(getpid());
    const std::vector<std::string> hostile = {"plain",
                                              "",
                                              "a b  c",
                                              "it's",
                                              "'",
                                              "''",
                                              "\"q\"",
                                              "$(touch " + marker + ")",
                                              "`touch " + marker + "`",
                                              "back\\slash\\",
                                              "$HOME ${PATH} $$",
                                              "semi;colon && echo x | cat > " + marker,
                                              "*?[a]~",
                                              "new\nline",
                                              "!bang #hash"};
    for (const std::string& text : hostile) {
        const std::string command = "printf '%s' " + ShellQuote(text);
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[256];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, got);
        EXPECT_EQ(pclose(pipe), 0);
        EXPECT_EQ(out, text);
    }
    EXPECT_FALSE(fs::exists(marker));
}

TEST(DatagenOnline, UploadCommandQuotesEveryField) {
    EXPECT_EQ(UrlEncode("abc-1.2_~Z"), "abc-1.2_~Z");
    EXPECT_EQ(UrlEncode("a/b c?#[]{}%"), "a%2Fb%20c%3F%23%5B%5D%7B%7D%25");
    EXPECT_EQ(CurlFormValue("a\"b\\c;type=x"), "\"a\\\"b\\\\c;type=x\"");
    EXPECT_EQ(BuildUploadCommand("http://127.0.0.1:8765", "s1", "data/datagen_x.binpack", "bob", 5123),
              "curl -s -f -X POST 'http://127.0.0.1:8765/api/upload/s1' -F 'file=@data/datagen_x.binpack' "
              "-F 'user=\"bob\"' -F 'positions=5123' 2>/dev/null");
}

TEST_F(DatagenFiles, TempPathsAndFailedPost) {
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", dir.c_str(), 1);
    const fs::path a = MakeTempPath("datagen_request_", ".json");
    const fs::path b = MakeTempPath("datagen_request_", ".json");
    EXPECT_EQ(a.parent_path(), dir);
    const std::string name = a.filename().string();
    ASSERT_TRUE(name.starts_with("datagen_request_") && name.ends_with(".json"));
    const std::string number = name.substr(16, name.size() - 21);
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_TRUE(number == "0" || number[0] != '0');
    EXPECT_NE(a, b);

    // Nothing listens on port 9 of the loopback: curl fails, nothing is left behind.
    std::string reply = "stale";
    EXPECT_FALSE(PostJSON("http://127.0.0.1:9/api/session/heartbeat", "{}", reply));
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(fs::is_empty(dir));
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

// ---- Workers and driver -----------------------------------------------------------------------

namespace {
// Runs body with the current directory set to dir.
template <typename F> void InDirectory(const fs::path& dir, F body) {
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    body();
    fs::current_path(old);
}
} // namespace

TEST_F(DatagenFiles, WorkerWithStopSetPlaysNoGame) {
    InitTablesOnce();
    InDirectory(dir, [] {
        std::atomic<int> counter{0}, live{1};
        std::atomic<bool> stop{true};
        EXPECT_EQ(WinThreadEntry(new WorkerArgs{4, &counter, &stop, &live, nullptr}), 0u);
        EXPECT_EQ(counter.load(), 0);
        EXPECT_EQ(live.load(), 0);
        EXPECT_TRUE(fs::is_directory("data"));
        EXPECT_TRUE(fs::is_empty("data"));
    });
}

TEST_F(DatagenFiles, WorkerWithoutDataDirectoryReportsOnce) {
    InitTablesOnce();
    InDirectory(dir, [] {
        WriteFile("data", "a file in the way");
        std::atomic<int> counter{0}, live{1};
        std::atomic<bool> stop{false};
        testing::internal::CaptureStderr();
        EXPECT_EQ(WinThreadEntry(new WorkerArgs{2, &counter, &stop, &live, nullptr}), 0u);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(err.starts_with("Worker 2: failed to create directory data: ")) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
        EXPECT_EQ(live.load(), 0);
        EXPECT_EQ(ReadFile("data"), "a file in the way");
    });
}

namespace {
std::atomic<int> sentinelCalls{0};
void SentinelHandler(int) {
    sentinelCalls.fetch_add(1);
}
} // namespace

TEST_F(DatagenFiles, EachRunStartsAfreshAndRestoresTheSignals) {
    InitTablesOnce();
    InDirectory(dir, [] {
        fs::create_directory("data");
        const std::string leftover = SerializeGames({TaggedGame(3, 4)});
        WriteFile("data/thread4_0.binpack", leftover);
        // What Ctrl-C did before the run (at the console: end the program).
        struct sigaction sentinel = {}, savedInterrupt = {}, savedTermination = {}, now = {};
        sentinel.sa_handler = SentinelHandler;
        sigemptyset(&sentinel.sa_mask);
        sigaction(SIGINT, &sentinel, &savedInterrupt);
        sigaction(SIGTERM, nullptr, &savedTermination);
        // An earlier run ended by Ctrl-C left the flag set: this run must still play until its own.
        g_shutdownRequested = true;
        std::thread interrupter([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            kill(getpid(), SIGINT);
        });
        testing::internal::CaptureStdout();
        DATAGEN::Run(100000, 2);
        const std::string out = testing::internal::GetCapturedStdout();
        interrupter.join();

        std::size_t pos = 0;
        for (const char* part :
             {"\033[2J\033[H", "\033[?25l", "Vestrel - Datagen", "Threads: 2",
              "\n\nShutdown signal received. Saving data safely...\n",
              "\n\nWaiting for threads to finish writing...\n", "All threads completed. Merging files...\n",
              "Merged all thread files into: data/", "\033[?25h",
              "\nShutdown complete. All data saved safely.\n"}) {
            pos = out.find(part, pos);
            ASSERT_NE(pos, std::string::npos) << part;
        }
        EXPECT_EQ(sentinelCalls.load(), 0);
        sigaction(SIGINT, nullptr, &now);
        EXPECT_EQ(now.sa_handler, &SentinelHandler);
        sigaction(SIGTERM, nullptr, &now);
        EXPECT_EQ(now.sa_handler, savedTermination.sa_handler);
        sigaction(SIGINT, &savedInterrupt, nullptr);
        g_shutdownRequested = false;

        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator("data"))
            if (entry.path().filename() != DataFolderLock::LOCK_FILE_NAME) files.push_back(entry.path());
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(files[0].filename().string().starts_with("datagen_"));
        EXPECT_NE(ReadFile(files[0]).find(leftover), std::string::npos);
    });
}

TEST_F(DatagenFiles, CreatedWorkersAreCountedAndJoined) {
    InitTablesOnce();
    InDirectory(dir, [] {
        std::atomic<int> counter{0}, live{0};
        std::atomic<bool> stop{true};
        std::vector<void*> handles;
        for (int id = 0; id < 3; ++id) CreateWorkerThread(id, counter, stop, handles, &live);
        EXPECT_EQ(handles.size(), 3u);
        for (void* handle : handles) PLATFORM::WaitThread(handle);
        EXPECT_EQ(live.load(), 0);
        EXPECT_EQ(counter.load(), 0);
    });
}
