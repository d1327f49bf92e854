// The trainer against the engine: its export evaluated by the engine, its gradients against
// finite differences, its reading of game files, and a short training run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board.h"
#include "datagen.h"
#include "dataset.h"
#include "model.h"
#include "movegen.h"
#include "nnue.h"
#include "trainer.h"
#include "utils.h"

using namespace TRAINER;
namespace fs = std::filesystem;

namespace {

void InitOnce() {
    static bool done = false;
    if (done) return;
    InitAttackTables();
    InitZobristKeys();
    done = true;
}

// A model whose buckets differ from each other and whose output is far from zero, so layout
// mistakes (perspective, bucket, mirroring, half order) change the evaluation. On the grid,
// every weight is a multiple of its quantisation step, so the export rounds nothing.
Model VariedModel(uint64_t seed, bool onGrid = false) {
    Model model;
    model.Randomise(seed);
    std::mt19937_64 rng(seed + 1);
    std::uniform_real_distribution<float> bucketed(-0.08f, 0.08f), bias(-0.1f, 0.3f), out(-0.6f, 0.6f), outBias(-1.f, 1.f);
    for (float& w : model.bucketed) w = bucketed(rng);
    for (float& w : model.bias) w = bias(rng);
    for (float& w : model.outW) w = out(rng);
    for (float& w : model.outB) w = outBias(rng);
    if (onGrid) {
        auto snap = [](std::vector<float>& values, double step) {
            for (float& w : values) w = float(std::nearbyint(w / step) * step);
        };
        snap(model.bucketed, 1.0 / NNUE::QA);
        snap(model.factor, 1.0 / NNUE::QA);
        snap(model.bias, 1.0 / NNUE::QA);
        snap(model.outW, 1.0 / NNUE::QB);
        snap(model.outB, 1.0 / (NNUE::QA * NNUE::QB));
    }
    model.Merge();
    return model;
}

int PieceValue(int type) { return (int[]){100, 300, 300, 500, 900, 0}[type]; }

// Material balance from the side to move's view: a target a network can learn.
int Material(const Board& board) {
    int score = 0;
    for (int sq = 0; sq < 64; ++sq)
        if ((board.occupied >> sq) & 1) score += ((board.colours[board.sideToMove] >> sq) & 1 ? 1 : -1) * PieceValue(board.mailbox[sq]);
    return score;
}

std::vector<Move> LegalMoves(Board& board) {
    MOVEGEN::GenerateMoves<All>(board);
    std::vector<Move> legal;
    for (int i = 0; i < board.moveCount; ++i)
        if (board.IsLegal(board.moves[i])) legal.push_back(board.moves[i]);
    return legal;
}

// Random games from a start FEN, as the worker records them: every move with a score.
std::vector<DATAGEN::Game> RandomGames(const std::string& fen, int games, int maxPlies, std::mt19937_64& rng) {
    std::vector<DATAGEN::Game> out;
    for (int g = 0; g < games; ++g) {
        Board board;
        board.SetByFen(fen);
        DATAGEN::Game game;
        game.board = DATAGEN::PackBoard(board, 0);
        for (int ply = 0; ply < maxPlies; ++ply) {
            const std::vector<Move> legal = LegalMoves(board);
            if (legal.empty()) break;
            const Move m = legal[rng() % legal.size()];
            game.moves.push_back(DATAGEN::PackMoveScore(m, Material(board), board.sideToMove));
            board.MakeMove(m);
        }
        game.board.wdl = uint8_t(rng() % 3);
        out.push_back(std::move(game));
    }
    return out;
}

// Positions reached by random play from varied starts, with every output bucket, both sides
// to move and kings on both halves of the board.
std::vector<std::pair<std::string, TrainPos>> VariedPositions(int count, uint64_t seed) {
    const char* starts[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "4k3/8/8/8/8/8/8/R3K3 b - - 0 1",
        "2kr3r/ppp2ppp/2n5/8/8/5N2/PPP2PPP/2KR3R b - - 0 1",
        "3q1rk1/5ppp/8/8/8/8/5PPP/3Q1RK1 w - - 0 1",
    };
    std::mt19937_64 rng(seed);
    std::vector<std::pair<std::string, TrainPos>> out;
    while (int(out.size()) < count) {
        Board board;
        board.SetByFen(starts[rng() % std::size(starts)]);
        const int plies = int(rng() % 60);
        for (int ply = 0; ply <= plies; ++ply) {
            out.emplace_back(board.GetFen(), CapturePosition(board, 0, 1, 0));
            const std::vector<Move> legal = LegalMoves(board);
            if (legal.empty()) break;
            board.MakeMove(legal[rng() % legal.size()]);
        }
    }
    out.resize(count);
    return out;
}

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("vestrel_trainer_test_" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string ReadError(const std::string& bytes) {
    std::vector<TrainPos> train, valid;
    LoadStats stats;
    uint32_t number = 0;
    try {
        ReadGames(bytes, "fixture.binpack", number, 0.0, 1, train, valid, stats);
    } catch (const DataError& e) {
        return e.what();
    }
    return "";
}

} // namespace

class TrainerTest : public ::testing::Test {
  protected:
    void SetUp() override { InitOnce(); }
};

TEST_F(TrainerTest, ExportEvaluatesAsTheFloatModel) {
    const Model model = VariedModel(7, true);
    for (const double outputScale : {1.0, 2.0}) {
        const std::string bytes = Quantise(model, outputScale);
        ASSERT_EQ(bytes.size(), 18926656u);
        static_assert(sizeof(NNUE::Network) >= 18926608);
        std::memcpy(&NNUE::net, bytes.data(), 18926608);

        std::set<int> buckets;
        std::set<std::pair<int, int>> mirrors; // (white mirrored, black mirrored)
        int sides[2] = {0, 0};
        double worst = 0;
        for (const auto& [fen, pos] : VariedPositions(400, 11)) {
            Board board;
            board.SetByFen(fen);
            const double expected = model.Forward(pos) * 400.0 * outputScale;
            const int engine = NNUE::Network::Evaluate(board, true);
            // Only the engine's integer divisions remain: each truncates by less than one unit.
            EXPECT_NEAR(engine, expected, 1.5) << fen;
            worst = std::max(worst, std::fabs(engine - expected));
            buckets.insert((UTILS::popcount(board.occupied) - 2) / 4);
            mirrors.insert({board.KingSquare(WHITE) & 4, board.KingSquare(BLACK) & 4});
            ++sides[board.sideToMove];
        }
        EXPECT_EQ(buckets.size(), 8u);
        EXPECT_EQ(mirrors.size(), 4u);
        EXPECT_GT(sides[0], 50);
        EXPECT_GT(sides[1], 50);
        std::printf("output scale %.0f: largest difference %.2f cp\n", outputScale, worst);
    }
    NNUE::LoadNetwork();
}

TEST_F(TrainerTest, ExportRefusesValuesOutsideTheEngineRanges) {
    Model model = VariedModel(3);
    EXPECT_NO_THROW(Quantise(model));
    model.outW[5] = 2.1f; // 134 after scaling
    EXPECT_THROW(Quantise(model), std::runtime_error);
    model.outW[5] = 0;
    model.factor[17] = 1.5f;
    model.bucketed[std::size_t(3) * INPUTS * HIDDEN + 17] = 0.6f; // the sum is what is stored
    EXPECT_THROW(Quantise(model), std::runtime_error);
}

TEST_F(TrainerTest, NetworkFileReadsBackIntoTheSameModel) {
    TempDir dir;
    const Model model = VariedModel(5, true);
    const std::string bytes = Quantise(model);
    WriteBytes(dir.path / "net.nnue", bytes);
    Model back;
    ReadNetwork(back, (dir.path / "net.nnue").string());
    EXPECT_TRUE(Quantise(back) == bytes);
    for (float f : back.factor) ASSERT_EQ(f, 0.0f);
    for (const auto& [fen, pos] : VariedPositions(20, 4)) EXPECT_NEAR(back.Forward(pos), model.Forward(pos), 1e-5) << fen;

    WriteBytes(dir.path / "short.nnue", bytes.substr(0, bytes.size() - 1));
    EXPECT_THROW(ReadNetwork(back, (dir.path / "short.nnue").string()), std::runtime_error);
    EXPECT_THROW(ReadNetwork(back, (dir.path / "missing.nnue").string()), std::runtime_error);
}

TEST_F(TrainerTest, GradientsMatchFiniteDifferences) {
    Model start = VariedModel(5);
    for (float& w : start.outW) w *= 0.3f; // keep the sigmoid off its flat tails
    start.Merge();
    std::vector<TrainPos> batch;
    for (auto& [fen, pos] : VariedPositions(24, 21)) {
        pos.score = int16_t(int(pos.occupancy % 900) - 450);
        pos.result = uint8_t(pos.occupancy % 3);
        batch.push_back(pos);
    }
    TrainConfig config;
    config.threads = 2;
    Checkpoint state;
    state.model = start;
    Trainer trainer(state, config);
    trainer.AccumulateGradients(batch.data(), batch.size(), double(batch.size()));

    Model probe = start;
    auto loss = [&] {
        double sum = 0;
        for (const TrainPos& pos : batch) sum += PositionLoss(probe.Forward(pos), pos, config);
        return sum / double(batch.size());
    };
    auto difference = [&](float& weight) {
        const float saved = weight;
        const float h = 1e-3f;
        weight = saved + h;
        const double up = loss();
        weight = saved - h;
        const double down = loss();
        weight = saved;
        return (up - down) / (2.0 * h);
    };
    auto check = [](double analytic, double numeric, const char* what) {
        EXPECT_NEAR(analytic, numeric, 2e-3 * std::fabs(numeric) + 2e-7) << what;
        EXPECT_NE(numeric, 0.0) << what << ": a check of a weight that does nothing";
    };

    // Rows and units that the batch really uses: the strongest gradients of two features.
    Features f;
    ExtractFeatures(batch[0], f);
    for (int side = 0; side < 2; ++side) {
        const int row = f.rows[side][0], feature = f.factors[side][0];
        int best = 0, bestFactor = 0;
        for (int j = 0; j < HIDDEN; ++j) {
            if (std::fabs(trainer.BucketedGradient(row, j)) > std::fabs(trainer.BucketedGradient(row, best))) best = j;
            if (std::fabs(trainer.FactorGradient(feature, j)) > std::fabs(trainer.FactorGradient(feature, bestFactor)))
                bestFactor = j;
        }
        check(trainer.BucketedGradient(row, best), difference(probe.bucketed[std::size_t(row) * HIDDEN + best]), "bucketed");
        check(trainer.FactorGradient(feature, bestFactor),
              difference(probe.factor[std::size_t(feature) * HIDDEN + bestFactor]), "factor");
        check(trainer.BiasGradient(best), difference(probe.bias[best]), "bias");
        check(trainer.OutputWeightGradient(f.outputBucket, side, best),
              difference(probe.outW[(std::size_t(f.outputBucket) * 2 + side) * HIDDEN + best]), "output weight");
    }
    check(trainer.OutputBiasGradient(f.outputBucket), difference(probe.outB[f.outputBucket]), "output bias");

    // Another thread count slices the work differently but computes the same gradients.
    Checkpoint other;
    other.model = start;
    config.threads = 3;
    Trainer three(other, config);
    three.AccumulateGradients(batch.data(), batch.size(), double(batch.size()));
    for (int j = 0; j < HIDDEN; j += 97) {
        EXPECT_NEAR(three.BucketedGradient(f.rows[0][1], j), trainer.BucketedGradient(f.rows[0][1], j), 1e-7);
        EXPECT_NEAR(three.BiasGradient(j), trainer.BiasGradient(j), 1e-7);
    }
}

// Weight decay is the regulariser that keeps small data sets from being memorised: every array
// shrinks by learning rate x decay each step, the buckets' own rows at their own share.
TEST_F(TrainerTest, WeightDecayShrinksEveryArray) {
    TrainConfig config;
    config.threads = 2;
    config.weightDecay = 4.0f;
    config.bucketRate = 0.5f;
    Checkpoint state;
    state.model = VariedModel(9);
    const Model before = state.model;
    Trainer trainer(state, config);
    trainer.Step(0.01f); // no gradients accumulated: the decay alone moves the weights
    const Model& after = state.model;
    auto shrunk = [](const std::vector<float>& now, const std::vector<float>& was, double factor, const char* what) {
        for (std::size_t i = 0; i < was.size(); i += was.size() / 7 + 1)
            EXPECT_NEAR(now[i], was[i] * factor, 1e-6) << what << " " << i;
    };
    shrunk(after.factor, before.factor, 1 - 0.04, "factor");
    shrunk(after.bucketed, before.bucketed, 1 - 0.02, "bucketed");
    shrunk(after.bias, before.bias, 1 - 0.04, "bias");
    shrunk(after.outW, before.outW, 1 - 0.04, "output weights");
    shrunk(after.outB, before.outB, 1 - 0.04, "output bias");
    const std::size_t row = std::size_t(5) * INPUTS + 100;
    EXPECT_NEAR(after.merged[row * HIDDEN + 3], after.bucketed[row * HIDDEN + 3] + after.factor[100 * HIDDEN + 3], 1e-6);
}

TEST_F(TrainerTest, ScoreScaleIsFittedFromResultsAndRescaled) {
    // Results drawn with probability sigmoid(score / k) must give k back, whatever the spread.
    std::mt19937_64 rng(5);
    std::normal_distribution<double> spread(0, 500);
    std::uniform_real_distribution<double> chance(0, 1);
    for (const double k : {150.0, 280.0, 700.0}) {
        std::vector<TrainPos> positions(80000);
        for (TrainPos& pos : positions) {
            pos.score = int16_t(std::clamp(spread(rng), -4000.0, 4000.0));
            const double win = 1 / (1 + std::exp(-pos.score / k));
            const double u = chance(rng);
            const double draw = std::min(win, 1 - win); // draws around the middle, expected score still win
            pos.result = u < win - draw / 2 ? 2 : u < win + draw / 2 ? 1 : 0;
        }
        EXPECT_NEAR(FitScoreScale(positions.data(), positions.size(), 0), k, k * 0.05) << k;
    }

    std::vector<TrainPos> positions(5);
    const int16_t scores[5] = {100, -300, 20000, 2500, -2500};
    for (int i = 0; i < 5; ++i) positions[i].score = scores[i];
    EXPECT_EQ(FitScoreScale(positions.data() + 3, 2, 2500), 0) << "only mate targets: nothing to fit";
    RescaleScores(positions.data(), positions.size(), 2.5, 2500);
    EXPECT_EQ(positions[0].score, 250);
    EXPECT_EQ(positions[1].score, -750);
    EXPECT_EQ(positions[2].score, MAX_PLAIN_SCORE) << "saturates instead of wrapping";
    EXPECT_EQ(positions[3].score, 2500) << "mate targets keep their value";
    EXPECT_EQ(positions[4].score, -2500);
}

TEST_F(TrainerTest, GameFilesReplayThroughTheEngineBoard) {
    std::mt19937_64 rng(3);
    std::vector<DATAGEN::Game> games = RandomGames(std::string(StartingFen), 6, 80, rng);
    // A game with a capture, a check and a mate score to skip.
    Board board;
    board.SetByFen("4k3/8/8/3p4/4P3/8/8/R3K2R w KQ - 0 1");
    DATAGEN::Game special;
    special.board = DATAGEN::PackBoard(board, 0);
    special.board.wdl = 2;
    for (const auto& [text, score] : std::vector<std::pair<const char*, int>>{
             {"e4d5", 50}, {"e8d7", 60}, {"h1h7", 32700}, {"d7d6", 40}, {"e1c1", 45}}) {
        MOVEGEN::GenerateMoves<All>(board);
        const Move m = ParseMove(board, text);
        ASSERT_FALSE(m.IsNull()) << text;
        special.moves.push_back(DATAGEN::PackMoveScore(m, score, board.sideToMove));
        board.MakeMove(m);
    }
    games.push_back(special);
    const std::string bytes = DATAGEN::SerializeGames(games);

    std::vector<TrainPos> train, valid;
    LoadStats stats;
    uint32_t number = 0;
    ReadGames(bytes, "fixture", number, 0.0, 1, train, valid, stats);
    EXPECT_EQ(stats.games, games.size());
    std::size_t moves = 0;
    for (const auto& g : games) moves += g.moves.size();
    EXPECT_EQ(stats.moves, moves);
    EXPECT_EQ(stats.kept + stats.inCheck + stats.noisy + stats.mateScore, stats.moves);
    EXPECT_EQ(train.size(), stats.kept);

    // The special game: e4d5 is a capture, h1h7 carries a mate score, d7d6 is played in check;
    // e8d7 and the castling move e1c1 are kept.
    const TrainPos& castle = train.back();
    const TrainPos& kingMove = train[train.size() - 2];
    EXPECT_EQ(kingMove.stm, BLACK);
    EXPECT_EQ(kingMove.score, 60); // back to the side to move's view
    EXPECT_EQ(kingMove.result, 0);  // White won
    EXPECT_EQ(castle.stm, WHITE);
    EXPECT_EQ(castle.score, 45);
    EXPECT_EQ(castle.result, 2);
    EXPECT_EQ(PositionFen(castle), "8/7R/3k4/3P4/8/8/8/R3K3 w - - 0 1");
    EXPECT_EQ(train[0].game, 0u);

    // With a mate target the mate-scored position is kept at that score, from its side's view.
    std::vector<TrainPos> withMates, none;
    LoadStats mateStats;
    number = 0;
    ReadGames(bytes, "fixture", number, 0.0, 1, withMates, none, mateStats, {.mateTarget = 2000});
    EXPECT_EQ(mateStats.kept, stats.kept + stats.mateScore);
    ASSERT_EQ(withMates.size(), train.size() + 1);
    EXPECT_EQ(withMates[withMates.size() - 2].score, 2000);
    EXPECT_EQ(withMates[withMates.size() - 2].stm, WHITE);
    // The mated position holds five pieces: a limit of four skips it, five keeps it.
    for (const int pieces : {4, 5}) {
        std::vector<TrainPos> limited;
        LoadStats limitedStats;
        number = 0;
        ReadGames(bytes, "fixture", number, 0.0, 1, limited, none, limitedStats, {.mateTarget = 2000, .matePieces = pieces});
        EXPECT_EQ(limitedStats.mateScore, mateStats.mateScore);
        EXPECT_EQ(limited.size(), pieces == 4 ? train.size() : withMates.size()) << pieces;
    }

    // Unscaled, a plain score is divided by the material scale of its position (two rooks:
    // 2048 + 2 * 180 = 2408 of 4096); the mate target stays as it is.
    std::vector<TrainPos> unscaled;
    LoadStats unscaledStats;
    number = 0;
    ReadGames(bytes, "fixture", number, 0.0, 1, unscaled, none, unscaledStats,
              {.mateTarget = 2000, .unscaleMaterial = true});
    ASSERT_EQ(unscaled.size(), withMates.size());
    EXPECT_EQ(unscaled[unscaled.size() - 3].score, 102); // 60 * 4096 / 2408
    EXPECT_EQ(unscaled[unscaled.size() - 2].score, 2000);
    EXPECT_EQ(unscaled.back().score, 77); // 45 * 4096 / 2408
    // In the random games pieces come off, and each position is divided by its own material.
    std::set<int> scales;
    for (std::size_t i = 0; i + 3 < unscaled.size(); ++i) {
        Board position;
        position.SetByFen(PositionFen(train[i]));
        scales.insert(NNUE::MaterialScale(position));
        EXPECT_NEAR(unscaled[i].score, train[i].score * 4096.0 / NNUE::MaterialScale(position), 0.5) << PositionFen(train[i]);
    }
    EXPECT_GT(scales.size(), 3u);

    // Every game is whole on one side of the split, and the share is about what was asked.
    std::vector<TrainPos> t2, v2;
    LoadStats s2;
    number = 0;
    std::string many;
    for (int i = 0; i < 40; ++i) many += bytes;
    ReadGames(many, "fixture", number, 0.25, 9, t2, v2, s2);
    std::set<uint32_t> trainGames, validGames;
    for (const auto& p : t2) trainGames.insert(p.game);
    for (const auto& p : v2) validGames.insert(p.game);
    for (uint32_t g : validGames) EXPECT_FALSE(trainGames.count(g));
    EXPECT_GT(validGames.size(), 30u);
    EXPECT_LT(validGames.size(), 110u);
}

TEST_F(TrainerTest, DamagedGameFilesAreRefusedWithTheirReason) {
    std::mt19937_64 rng(4);
    const std::string bytes = DATAGEN::SerializeGames(RandomGames(std::string(StartingFen), 2, 30, rng));
    EXPECT_EQ(ReadError(bytes), "");
    EXPECT_NE(ReadError(bytes.substr(0, bytes.size() - 2)).find("fixture.binpack: truncated"), std::string::npos);
    EXPECT_NE(ReadError(bytes.substr(0, 20)).find("truncated"), std::string::npos);
    EXPECT_NE(ReadError(bytes.substr(0, bytes.size() - 4)).find("no terminator"), std::string::npos);

    std::string badPiece = bytes;
    badPiece[8] = char(0x77); // piece code 7
    EXPECT_NE(ReadError(badPiece).find("corrupt head"), std::string::npos);

    std::string badMove = bytes;
    badMove[32] = char(0x3F); // first move from h8: not a move of White's
    badMove[33] = char(0x00);
    EXPECT_NE(ReadError(badMove).find("move 1 is not legal"), std::string::npos);

    std::string badResult = bytes;
    badResult[30] = 3;
    EXPECT_NE(ReadError(badResult).find("result 3"), std::string::npos);

    // The program names the file and exits with status 1, also for a file that is missing.
    TempDir dir;
    WriteBytes(dir.path / "cut.binpack", bytes.substr(0, bytes.size() - 3));
    const std::string log = (dir.path / "log").string();
    auto run = [&](const std::string& file) {
        const std::string command = std::string(VESTREL_TRAINER_PATH) + " --out " + (dir.path / "n.nnue").string() +
                                    " --checkpoint " + (dir.path / "c.ckpt").string() + " '" + file + "' 2>" + log;
        const int status = std::system(command.c_str());
        return std::make_pair(WEXITSTATUS(status), ReadBytes(log));
    };
    const auto [cutStatus, cutText] = run((dir.path / "cut.binpack").string());
    EXPECT_EQ(cutStatus, 1);
    EXPECT_NE(cutText.find("cut.binpack: truncated"), std::string::npos) << cutText;
    const auto [missingStatus, missingText] = run((dir.path / "none.binpack").string());
    EXPECT_EQ(missingStatus, 1);
    EXPECT_NE(missingText.find("none.binpack: cannot be opened"), std::string::npos) << missingText;
    EXPECT_FALSE(fs::exists(dir.path / "n.nnue"));
}

TEST_F(TrainerTest, ShortRunLearnsMaterialAndResumes) {
    std::mt19937_64 rng(8);
    std::vector<DATAGEN::Game> games = RandomGames(std::string(StartingFen), 60, 120, rng);
    TempDir dir;
    WriteBytes(dir.path / "games.binpack", DATAGEN::SerializeGames(games));
    std::vector<TrainPos> train, valid;
    LoadStats stats;
    uint32_t number = 0;
    LoadFile((dir.path / "games.binpack").string(), number, 0.1, 1, train, valid, stats);
    ASSERT_GT(train.size(), 2000u);
    ASSERT_GT(valid.size(), 100u);

    TrainConfig config;
    config.threads = 4;
    config.wdl = 0.0f; // the results of random games are noise
    Checkpoint state;
    state.model.Randomise(2);
    Trainer trainer(state, config);
    std::shuffle(train.begin(), train.end(), rng);
    const double before = trainer.MeanLoss(train.data(), train.size());
    for (int step = 0; step < 120; ++step) {
        const std::size_t first = (step * 512) % (train.size() - 512);
        trainer.AccumulateGradients(&train[first], 512, 512.0);
        trainer.Step(0.001f);
    }
    const double after = trainer.MeanLoss(train.data(), train.size());
    EXPECT_LT(after, 0.5 * before) << before << " -> " << after;

    // The checkpoint brings back the same model and optimiser state.
    const std::string path = (dir.path / "state.ckpt").string();
    state.epoch = 3;
    SaveCheckpoint(state, path);
    Checkpoint back;
    LoadCheckpoint(back, path);
    EXPECT_EQ(back.epoch, 3);
    EXPECT_EQ(back.step, 120u);
    EXPECT_EQ(back.model.outW, state.model.outW);
    EXPECT_EQ(back.model.merged, state.model.merged);
    EXPECT_EQ(back.v, state.v);
    // A cut-off checkpoint is refused, not half loaded.
    fs::resize_file(path, fs::file_size(path) - 10);
    Checkpoint broken;
    EXPECT_THROW(LoadCheckpoint(broken, path), std::runtime_error);
}

TEST_F(TrainerTest, InterruptedRunKeepsItsLastCheckpointAndResumes) {
    std::mt19937_64 rng(12);
    TempDir dir;
    const std::string games = (dir.path / "games.binpack").string();
    WriteBytes(games, DATAGEN::SerializeGames(RandomGames(std::string(StartingFen), 20, 60, rng)));
    const std::string ckpt = (dir.path / "state.ckpt").string(), net = (dir.path / "net.nnue").string();
    const std::string out = (dir.path / "out.txt").string();
    std::vector<std::string> args = {VESTREL_TRAINER_PATH, "--epochs", "100000", "--batch", "256", "--threads", "2",
                                     "--checkpoint", ckpt, "--out", net, games};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Wait until a few passes have been saved, then interrupt as Ctrl-C would.
    for (int i = 0; i < 600 && !(fs::exists(ckpt) && fs::exists(net)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string text = ReadBytes(out);
    EXPECT_NE(text.find("interrupted during pass"), std::string::npos) << text;

    Checkpoint kept;
    ASSERT_NO_THROW(LoadCheckpoint(kept, ckpt));
    ASSERT_GE(kept.epoch, 1);
    EXPECT_FALSE(fs::exists(ckpt + ".tmp"));
    EXPECT_EQ(fs::file_size(net), 18926656u);

    // A later run goes on from the kept pass.
    const std::string resume = std::string(VESTREL_TRAINER_PATH) + " --batch 256 --threads 2 --epochs " +
                               std::to_string(kept.epoch + 1) + " --resume " + ckpt + " --checkpoint " + ckpt +
                               " --out " + net + " " + games + " > " + out;
    ASSERT_EQ(std::system(resume.c_str()), 0);
    const std::string resumed = ReadBytes(out);
    EXPECT_NE(resumed.find("after pass " + std::to_string(kept.epoch)), std::string::npos) << resumed;
    EXPECT_NE(resumed.find("pass " + std::to_string(kept.epoch + 1) + "/"), std::string::npos) << resumed;
    Checkpoint after;
    LoadCheckpoint(after, ckpt);
    EXPECT_EQ(after.epoch, kept.epoch + 1);
    EXPECT_GT(after.step, kept.step);

    // The finished checkpoint is only exported again, here with the output layer doubled.
    const std::string wider = (dir.path / "wider.nnue").string();
    const std::string reexport = std::string(VESTREL_TRAINER_PATH) + " --epochs " + std::to_string(after.epoch) +
                                 " --output-scale 2 --resume " + ckpt + " --checkpoint " + ckpt + " --out " + wider +
                                 " " + games + " > " + out;
    const auto stamp = fs::last_write_time(ckpt);
    ASSERT_EQ(std::system(reexport.c_str()), 0);
    EXPECT_EQ(fs::last_write_time(ckpt), stamp) << "no training pass ran";
    EXPECT_TRUE(Quantise(after.model, 2.0) == ReadBytes(wider)) << "the doubled export of the checkpoint";
}

TEST_F(TrainerTest, RunStartsFromANetworkFile) {
    std::mt19937_64 rng(21);
    TempDir dir;
    const std::string games = (dir.path / "games.binpack").string();
    WriteBytes(games, DATAGEN::SerializeGames(RandomGames(std::string(StartingFen), 40, 60, rng)));
    const std::string start = (dir.path / "start.nnue").string(), out = (dir.path / "out.txt").string();
    WriteBytes(start, Quantise(VariedModel(9, true)));
    const std::string common = std::string(VESTREL_TRAINER_PATH) + " --batch 256 --threads 2 --epochs 1 --valid 0.25 --init " + start +
                               " --checkpoint " + (dir.path / "s.ckpt").string() + " --out " +
                               (dir.path / "n.nnue").string() + " " + games;
    ASSERT_EQ(std::system((common + " > " + out).c_str()), 0);
    const std::string text = ReadBytes(out);
    EXPECT_NE(text.find("pass 1/1"), std::string::npos) << text;

    // The loss it starts from is the file's own on the same held-out games.
    std::vector<TrainPos> train, valid;
    LoadStats stats;
    uint32_t number = 0;
    LoadFile(games, number, 0.25, 1, train, valid, stats);
    ASSERT_FALSE(valid.empty());
    Checkpoint state;
    ReadNetwork(state.model, start);
    Trainer trainer(state, TrainConfig{});
    char expected[80];
    std::snprintf(expected, sizeof expected, "validation loss of the starting network %.6f",
                  trainer.MeanLoss(valid.data(), valid.size()));
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    // A network and a checkpoint to start from are one too many.
    const int both = std::system((common + " --resume " + (dir.path / "s.ckpt").string() + " > " + out + " 2>&1").c_str());
    EXPECT_EQ(WEXITSTATUS(both), 2);
    EXPECT_NE(ReadBytes(out).find("usage:"), std::string::npos);
}
