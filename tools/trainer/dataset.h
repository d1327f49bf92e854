#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct Board;

namespace TRAINER {

// One training position, compact: the placement as in the game-file head (occupancy and one
// nibble per occupied square, colour << 3 | piece type), the search score and the result.
struct TrainPos {
    uint64_t occupancy;
    uint8_t pieces[16];
    int16_t score;  // centipawns, side to move's view
    uint8_t stm;    // 0 White, 1 Black
    uint8_t result; // 0 loss, 1 draw, 2 win for the side to move
    uint32_t game;  // running game number over all files read
};
static_assert(sizeof(TrainPos) == 32);

// A game file that cannot be read: what() names the file and the reason.
struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LoadStats {
    std::size_t games = 0;
    std::size_t moves = 0;      // recorded positions
    std::size_t kept = 0;       // positions kept for training or validation
    std::size_t inCheck = 0;    // skipped: side to move in check
    std::size_t noisy = 0;      // skipped: the move played was a capture or promotion
    std::size_t mateScore = 0;  // the score was a mate score: skipped, or kept at the mate target
};

// Scores beyond this are mate scores (the static evaluation never exceeds it).
constexpr int MAX_PLAIN_SCORE = 32510;

// What ReadGames keeps and how it scores it.
struct ReadOptions {
    // Positions with a mate score are skipped, or kept with the score +-mateTarget when that
    // is above 0 and they hold at most matePieces pieces.
    int mateTarget = 0;
    int matePieces = 32;
    // Divide each plain score by the engine's material scale of its position, so the target is
    // what the raw output must be for the scaled evaluation to give the recorded score.
    bool unscaleMaterial = false;
};

// Replays every game of a .binpack buffer with the engine's board and appends the kept
// positions; whole games go to valid when their number falls in the validation share.
// Throws DataError (prefixed with name) for a truncated or corrupt buffer.
void ReadGames(const std::string& bytes, const std::string& name, uint32_t& gameNumber,
               double validShare, uint64_t seed, std::vector<TrainPos>& train,
               std::vector<TrainPos>& valid, LoadStats& stats, const ReadOptions& options = {});

// Reads one file with ReadGames; a missing or unreadable file is a DataError too.
void LoadFile(const std::string& path, uint32_t& gameNumber, double validShare, uint64_t seed,
              std::vector<TrainPos>& train, std::vector<TrainPos>& valid, LoadStats& stats,
              const ReadOptions& options = {});

// The K at which sigmoid(score / K) best predicts the results of these positions (least
// squares, K from 50 to 4000). Positions scored at +-mateTarget are left out; 0 if none is left.
// Files written by different networks score on different scales; this measures each one.
double FitScoreScale(const TrainPos* positions, std::size_t count, int mateTarget);

// Multiplies the scores by factor, saturating at +-MAX_PLAIN_SCORE; scores of +-mateTarget stay.
void RescaleScores(TrainPos* positions, std::size_t count, double factor, int mateTarget);

// Whether a game of this number is held out for validation.
bool IsValidationGame(uint32_t gameNumber, double validShare, uint64_t seed);

// The position of a board with a search score (side to move's view) and the game result
// from White's view (0 Black won, 1 draw, 2 White won).
TrainPos CapturePosition(const Board& board, int score, int whiteResult, uint32_t game);

// Writes a FEN of the position (no castling rights or en passant; clocks 0 1).
std::string PositionFen(const TrainPos& pos);

// Input rows of a position for both perspectives: rows[0] the side to move's, rows[1] the
// other side's, each an index bucket * 768 + feature; returns the output bucket.
struct Features {
    uint16_t rows[2][32];
    uint16_t factors[2][32]; // the same features without the bucket (0..767)
    int count;               // pieces on the board; both perspectives see all of them
    int outputBucket;
};
void ExtractFeatures(const TrainPos& pos, Features& out);

} // namespace TRAINER
