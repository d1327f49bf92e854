#include "dataset.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "board.h"
#include "datagen.h"
#include "movegen.h"
#include "nnue.h"

namespace TRAINER {

namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int Nibble(const uint8_t* packed, int k) { return (packed[k / 2] >> (4 * (k & 1))) & 15; }

[[noreturn]] void Fail(const std::string& name, std::size_t offset, const std::string& reason) {
    throw DataError(name + ": " + reason + " (record at byte " + std::to_string(offset) + ")");
}

// The head's position as a FEN, or "" with reason set when the head is malformed.
std::string HeadFen(const DATAGEN::PackedBoard& head, std::string& reason) {
    char squares[64];
    std::memset(squares, 0, sizeof squares);
    const int count = std::popcount(head.occupancy);
    if (count > 32) {
        reason = "more than 32 pieces";
        return "";
    }
    std::string castling;
    uint64_t occ = head.occupancy;
    for (int k = 0; occ; ++k) {
        const int sq = std::countr_zero(occ);
        occ &= occ - 1;
        const int code = Nibble(head.packedPieces, k);
        const int colour = code >> 3, kind = code & 7;
        if (kind == 7) {
            reason = "piece code " + std::to_string(code);
            return "";
        }
        if (kind == DATAGEN::UNMOVED_ROOK) {
            const char* right = sq == 7 ? "K" : sq == 0 ? "Q" : sq == 63 ? "k" : sq == 56 ? "q" : nullptr;
            if (!right || (sq < 8) != (colour == 0)) {
                reason = "unmoved rook off its corner";
                return "";
            }
            castling += right;
        }
        squares[sq] = PIECE_LETTERS[2 * (kind == DATAGEN::UNMOVED_ROOK ? ROOK : kind) + colour];
    }
    for (int k = count; k < 32; ++k)
        if (Nibble(head.packedPieces, k)) {
            reason = "piece codes beyond the last piece";
            return "";
        }
    // KQkq order for the FEN.
    std::string rights;
    for (const char c : {'K', 'Q', 'k', 'q'})
        if (castling.find(c) != std::string::npos) rights += c;

    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const char c = squares[rank * 8 + file];
            if (!c) {
                ++empty;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    const int ep = head.stmEp & 127;
    if (ep > 64) {
        reason = "en-passant square " + std::to_string(ep);
        return "";
    }
    fen += (head.stmEp >> 7) ? " b " : " w ";
    fen += rights.empty() ? "-" : rights;
    fen += ' ';
    fen += ep == 64 ? "-" : squareCoords[ep];
    fen += ' ' + std::to_string(head.halfmoveClock) + ' ' + std::to_string(std::max<int>(1, head.fullmoveNumber));
    return fen;
}

} // namespace

TrainPos CapturePosition(const Board& board, int score, int whiteResult, uint32_t game) {
    TrainPos pos{};
    pos.occupancy = board.occupied;
    uint64_t occ = board.occupied;
    for (int k = 0; occ; ++k) {
        const int sq = std::countr_zero(occ);
        occ &= occ - 1;
        const int colour = (board.colours[BLACK] >> sq) & 1;
        pos.pieces[k / 2] |= uint8_t((colour << 3 | board.mailbox[sq]) << (4 * (k & 1)));
    }
    pos.stm = board.sideToMove;
    pos.score = int16_t(score);
    pos.result = uint8_t(board.sideToMove == BLACK ? 2 - whiteResult : whiteResult);
    pos.game = game;
    return pos;
}

namespace {

bool AtMateTarget(const TrainPos& pos, int mateTarget) {
    return mateTarget > 0 && (pos.score == mateTarget || pos.score == -mateTarget);
}

} // namespace

double FitScoreScale(const TrainPos* positions, std::size_t count, int mateTarget) {
    // Every fourth position is plenty for one number and keeps the scan quick on big files.
    std::vector<std::pair<float, float>> sample; // score, result as 0, 0.5, 1
    for (std::size_t i = 0; i < count; i += 4)
        if (!AtMateTarget(positions[i], mateTarget))
            sample.emplace_back(float(positions[i].score), positions[i].result * 0.5f);
    if (sample.empty()) return 0;
    auto loss = [&](double k) {
        double sum = 0;
        for (const auto& [score, result] : sample) {
            const double d = 1.0 / (1.0 + std::exp(-score / k)) - result;
            sum += d * d;
        }
        return sum;
    };
    // A coarse geometric scan, then a golden-section search around the best step.
    const double ratio = 1.1;
    double best = 50, bestLoss = loss(best);
    for (double k = 50 * ratio; k <= 4000; k *= ratio)
        if (const double l = loss(k); l < bestLoss) best = k, bestLoss = l;
    double lo = best / ratio, hi = best * ratio;
    const double g = (std::sqrt(5.0) - 1) / 2;
    // Each step keeps one interior point and its loss, so it costs one evaluation.
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo), lossA = loss(a), lossB = loss(b);
    for (int i = 0; i < 30; ++i) {
        if (lossA < lossB) {
            hi = b, b = a, lossB = lossA;
            a = hi - g * (hi - lo), lossA = loss(a);
        } else {
            lo = a, a = b, lossA = lossB;
            b = lo + g * (hi - lo), lossB = loss(b);
        }
    }
    return (lo + hi) / 2;
}

void RescaleScores(TrainPos* positions, std::size_t count, double factor, int mateTarget) {
    for (std::size_t i = 0; i < count; ++i) {
        TrainPos& pos = positions[i];
        if (AtMateTarget(pos, mateTarget)) continue;
        const double scaled = std::clamp(std::round(pos.score * factor), double(-MAX_PLAIN_SCORE), double(MAX_PLAIN_SCORE));
        pos.score = int16_t(scaled);
    }
}

bool IsValidationGame(uint32_t gameNumber, double validShare, uint64_t seed) {
    return double(Mix(gameNumber ^ Mix(seed)) >> 11) * 0x1.0p-53 < validShare;
}

void ReadGames(const std::string& bytes, const std::string& name, uint32_t& gameNumber, double validShare,
               uint64_t seed, std::vector<TrainPos>& train, std::vector<TrainPos>& valid, LoadStats& stats,
               const ReadOptions& options) {
    const std::size_t size = bytes.size();
    std::size_t at = 0;
    Board board;
    while (at < size) {
        const std::size_t start = at;
        if (size - at < 36) Fail(name, start, "truncated: " + std::to_string(size - at) + " bytes left, a record needs 36");
        DATAGEN::PackedBoard head;
        std::memcpy(&head, bytes.data() + at, sizeof head);
        at += sizeof head;
        std::string reason;
        const std::string fen = HeadFen(head, reason);
        if (fen.empty()) Fail(name, start, "corrupt head: " + reason);
        if (const std::string bad = ValidateFen(fen); !bad.empty()) Fail(name, start, "corrupt head: " + bad);
        if (head.wdl > 2) Fail(name, start, "corrupt head: result " + std::to_string(head.wdl));
        board.SetByFen(fen);

        const uint32_t game = gameNumber++;
        const bool toValid = IsValidationGame(game, validShare, seed);
        ++stats.games;
        for (int ply = 0;; ++ply) {
            if (size - at < 4) Fail(name, start, "truncated: the game has no terminator");
            uint32_t entry;
            std::memcpy(&entry, bytes.data() + at, 4);
            at += 4;
            if (entry == 0) break;
            const uint16_t packed = uint16_t(entry & 0xFFFF);
            const int whiteScore = int16_t(entry >> 16);

            MOVEGEN::GeneratePieceMoves<All>(board);
            Move move;
            for (int i = 0; i < board.moveCount; ++i)
                if (DATAGEN::PackMove(board.moves[i]) == packed && board.IsLegal(board.moves[i])) {
                    move = board.moves[i];
                    break;
                }
            if (move.IsNull()) Fail(name, start, "move " + std::to_string(ply + 1) + " is not legal in its position");

            ++stats.moves;
            if (board.checkers)
                ++stats.inCheck;
            else if (!move.IsQuiet())
                ++stats.noisy;
            else {
                int score = whiteScore;
                const bool mate = score > MAX_PLAIN_SCORE || score < -MAX_PLAIN_SCORE;
                if (mate) {
                    ++stats.mateScore;
                    score = score > 0 ? options.mateTarget : -options.mateTarget;
                } else if (options.unscaleMaterial) {
                    const long raw = std::lround(double(score) * 4096 / NNUE::MaterialScale(board));
                    score = int(std::clamp<long>(raw, -MAX_PLAIN_SCORE, MAX_PLAIN_SCORE));
                }
                if (!mate || (options.mateTarget > 0 && std::popcount(board.occupied) <= options.matePieces)) {
                    ++stats.kept;
                    (toValid ? valid : train).push_back(
                        CapturePosition(board, board.sideToMove == BLACK ? -score : score, head.wdl, game));
                }
            }
            board.MakeMove(move);
        }
    }
}

void LoadFile(const std::string& path, uint32_t& gameNumber, double validShare, uint64_t seed,
              std::vector<TrainPos>& train, std::vector<TrainPos>& valid, LoadStats& stats,
              const ReadOptions& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DataError(path + ": cannot be opened");
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) throw DataError(path + ": read error");
    const std::string bytes = std::move(buffer).str();
    if (bytes.empty()) throw DataError(path + ": empty file");
    ReadGames(bytes, path, gameNumber, validShare, seed, train, valid, stats, options);
}

std::string PositionFen(const TrainPos& pos) {
    DATAGEN::PackedBoard head{};
    head.occupancy = pos.occupancy;
    std::memcpy(head.packedPieces, pos.pieces, 16);
    head.stmEp = uint8_t(pos.stm << 7 | 64);
    head.fullmoveNumber = 1;
    std::string reason;
    return HeadFen(head, reason);
}

void ExtractFeatures(const TrainPos& pos, Features& out) {
    int colours[32], types[32], squares[32];
    int kings[2] = {0, 0};
    uint64_t occ = pos.occupancy;
    int n = 0;
    for (; occ; ++n) {
        const int sq = std::countr_zero(occ);
        occ &= occ - 1;
        const int code = Nibble(pos.pieces, n);
        colours[n] = code >> 3;
        types[n] = code & 7;
        squares[n] = sq;
        if (types[n] == KING) kings[colours[n]] = sq;
    }
    out.count = n;
    int bucketCount = (n - 2) / 4;
    out.outputBucket = bucketCount < 0 ? 0 : bucketCount > 7 ? 7 : bucketCount;
    for (int side = 0; side < 2; ++side) {
        const int perspective = side == 0 ? pos.stm : pos.stm ^ 1;
        const int king = kings[perspective];
        const int bucket = NNUE::kingBuckets[perspective][king];
        const bool mirrored = king & 4;
        for (int i = 0; i < n; ++i) {
            const int feature = NNUE::featureIndex(perspective, mirrored, colours[i], types[i], squares[i]);
            out.factors[side][i] = uint16_t(feature);
            out.rows[side][i] = uint16_t(bucket * NNUE::INPUT_SIZE + feature);
        }
    }
}

} // namespace TRAINER
