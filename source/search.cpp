#include "search.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "movegen.h"
#include "nnue.h"
#include "utils.h"

std::atomic<bool> searchStopped{false};
std::atomic<bool> UCIEnabled{false};
std::atomic<bool> UCIShowWDL{false};

namespace SEARCH {

const int SEEPieceValues[6] = {seePawnValue, seeKnightValue, seeBishopValue, seeRookValue, seeQueenValue, 0};
int lmrTable[2][257][218];

namespace {

constexpr int CORRPLEXITY_MARGIN = 70;
constexpr int RFP_MAX_DEPTH = 6;
constexpr int RFP_SCORE_LIMIT = 30000;
constexpr int RAZOR_MAX_DEPTH = 3;
constexpr int NMP_VERIFY_DEPTH = 15;
constexpr int PROBCUT_MIN_DEPTH = 7;
constexpr int LMP_BASE = 7;
constexpr int FUTILITY_MAX_LMR_DEPTH = 7;
constexpr int SEE_PRUNE_MAX_DEPTH = 10;
constexpr int SINGULAR_MIN_DEPTH = 8;
constexpr int HISTORY_LIMIT = 16384;
constexpr int CORR_DIFF_LIMIT = 1024;
constexpr int QS_NO_FILTER_SCORE = -30001;
constexpr uint64_t TIME_CHECK_INTERVAL = 1024;
constexpr uint64_t DATAGEN_HARD_NODES = 100000;
constexpr uint64_t DATAGEN_SOFT_NODES = 5000;
constexpr int LAST_DEPTH = 256;
constexpr int BENCH_LAST_DEPTH = 11;
constexpr int MIN_TIME_LIMIT = 4;
constexpr int HISTORY_GROWTH = 100;
// Time kept back from the clock for output and process latency: a tenth of the clock,
// between 1 and 30 ms.
constexpr int TIME_SAFETY_MAX = 30;

inline int Clamp(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

inline bool InCheck(const Board& board) {
    const int us = board.sideToMove;
    return (board.pieces[KING] & board.colours[us] & board.threats[us ^ 1]) != 0;
}

inline int CapturedPiece(const Board& board, Move m) {
    return m.type() == EP_CAPTURE ? int(PAWN) : board.mailbox[m.to()];
}

// Continuation entry of the move (side, piece, to) after the move recorded k plies back.
// Entries that record no move (a null move, a ProbCut move, a fresh stack) give nothing.
inline int16_t* ContEntry(SearchContext& ctx, int ply, int k, int side, int piece, int to) {
    const SearchStackEntry& prev = ctx.stack[ply - k];
    if (prev.movedPiece < 0) return nullptr;
    return &ctx.contHistory[prev.sideToMove][prev.movedPiece][prev.toSquare][side][piece][to];
}

inline int ContTerms(const SearchContext& ctx, int ply, int side, int piece, int to) {
    SearchContext& c = const_cast<SearchContext&>(ctx);
    int sum = 0;
    if (ply >= 1)
        if (const int16_t* e = ContEntry(c, ply, 1, side, piece, to)) sum += *e;
    if (ply >= 2)
        if (const int16_t* e = ContEntry(c, ply, 2, side, piece, to)) sum += *e;
    return sum;
}

inline int QuietHistoryOf(const SearchContext& ctx, const Board& board, Move m) {
    const int side = board.sideToMove;
    const uint64_t theirs = board.threats[side ^ 1];
    return ctx.quietHistory[side][m.from()][m.to()][(theirs >> m.from()) & 1][(theirs >> m.to()) & 1];
}

// Quiet history plus both continuation terms.
inline int QuietScore(const SearchContext& ctx, const Board& board, Move m, int ply) {
    return QuietHistoryOf(ctx, board, m) +
           ContTerms(ctx, ply, board.sideToMove, board.mailbox[m.from()], m.to());
}

inline void Gravity(int32_t& e, int bonus) {
    e = e + bonus - (e * std::abs(bonus)) / HISTORY_LIMIT;
}
inline void Gravity(int16_t& e, int bonus) {
    const int v = e;
    e = int16_t(v + bonus - (v * std::abs(bonus)) / HISTORY_LIMIT);
}

inline void MarkNoMove(SearchStackEntry& entry) {
    entry.movedPiece = -1;
    entry.toSquare = -1;
}

inline void PushKey(SearchContext* ctx, const Board& child) {
    const std::size_t index = std::size_t(child.historyIndex);
    if (index >= ctx->hashHistory.size()) ctx->hashHistory.resize(index + HISTORY_GROWTH);
    ctx->hashHistory[index] = child.hashKey;
}

// Room for a child position without the default initialisation a Board declaration costs at
// every node: MakeMoveFrom, or a plain copy, writes every byte before anything reads it.
struct ChildStorage {
    alignas(Board) unsigned char bytes[sizeof(Board)];
    Board& board() { return *std::launder(reinterpret_cast<Board*>(bytes)); }
};

// The child's key for plain moves and captures (castling rights, en-passant and promotion
// details aside), so that its table bucket is fetched while the move is being made.
inline uint64_t ChildKeyGuess(const Board& board, Move m) {
    const int us = board.sideToMove;
    const int piece = board.mailbox[m.from()];
    const int captured = board.mailbox[m.to()];
    uint64_t key =
        board.hashKey ^ UTILS::zSide ^ UTILS::zKeys[us][piece][m.from()] ^ UTILS::zKeys[us][piece][m.to()];
    if (captured != NO_PIECE) key ^= UTILS::zKeys[us ^ 1][captured][m.to()];
    if (board.enPassantSquare != -1) key ^= UTILS::zEnPassant[board.enPassantSquare % 8];
    return key;
}

// Copy-make with the child's bucket requested before the copy; a wrong guess costs one more
// prefetch once the real key is known.
inline void MakeChild(const SearchContext* ctx, const Board& board, Board& child, Move m) {
    const uint64_t guess = ChildKeyGuess(board, m);
    ctx->tt->Prefetch(guess);
    child.MakeMoveFrom(board, m);
    if (child.hashKey != guess) ctx->tt->Prefetch(child.hashKey);
}

inline int LmrEntry(bool quiet, int depth, int movesSearched) {
    return lmrTable[quiet][Clamp(depth, 0, 256)][Clamp(movesSearched, 0, MAX_MOVES - 1)];
}

int ElapsedMs(const SearchContext& ctx) {
    return int(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - ctx.startTime)
            .count() /
        1'000'000);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Search modes: the abort test, the evaluation and the stop signal of each mode.

template <searchMode mode> inline bool ShouldAbort(const SearchContext* ctx) {
    if constexpr (mode == Timed)
        return (ctx->nodes & (TIME_CHECK_INTERVAL - 1)) == 0 && ElapsedMs(*ctx) >= ctx->timeLimit;
    else if constexpr (mode == Bench)
        return false;
    else if constexpr (mode == Datagen)
        return ctx->nodes > DATAGEN_HARD_NODES;
    else
        return ctx->nodes > ctx->nodeLimit ||
               ((ctx->nodes & (TIME_CHECK_INTERVAL - 1)) == 0 && ElapsedMs(*ctx) >= ctx->timeLimit);
}

template <searchMode mode> inline int ModeEvaluate(const Board& board) {
    return NNUE::Network::Evaluate(board, mode == Datagen);
}

// Data-generation searches run in several workers at once, each with a flag of its own.
template <searchMode mode> inline std::atomic<bool>& StopFlag(const SearchContext* ctx) {
    if constexpr (mode == Datagen)
        return *ctx->datagenStop;
    else
        return searchStopped;
}

template <searchMode mode> inline bool Stopped(const SearchContext* ctx) {
    return StopFlag<mode>(ctx).load(std::memory_order_relaxed);
}

template <searchMode mode> inline void RaiseStop(const SearchContext* ctx) {
    StopFlag<mode>(ctx).store(true, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Context, correction history, draws.

SearchContext::SearchContext()
    : hashHistory(1000, 0), tt(&SharedTT), startTime(std::chrono::steady_clock::now()) {}

void SearchContext::ResetForNewGame(const Board& board) {
    std::fill(std::begin(killers), std::end(killers), Move());
    std::memset(quietHistory, 0, sizeof(quietHistory));
    std::memset(contHistory, 0, sizeof(contHistory));
    corrHist = CorrHist{};
    const std::size_t index = std::size_t(std::max<int>(0, board.historyIndex));
    hashHistory.assign(std::max<std::size_t>(1000, index + HISTORY_GROWTH), 0);
    hashHistory[index] = board.hashKey;
    for (SearchStackEntry& entry : stack) entry = SearchStackEntry{};
}

void CorrHist::UpdateAll(const Board& board, int depth, int diff) {
    const int w = std::min(depth * (depth + 2), 127);
    const int side = board.sideToMove;
    int32_t* entries[3] = {&pawnCorrection[side][board.pawnKey & 0x3fff],
                           &nonPawnCorrection[side][board.nonPawnKey & 0x3fff],
                           &majorCorrection[side][board.majorKey & 0x3fff]};
    for (int32_t* e : entries) {
        const int v = *e * (255 - w) + diff * 256 * (w + 1);
        *e = Clamp(v / 256, -CORRHIST_MAX, CORRHIST_MAX);
    }
}

int CorrectedEval(const Board& board, int raw, const SearchContext& ctx) {
    const int side = board.sideToMove;
    const int sum = ctx.corrHist.pawnCorrection[side][board.pawnKey & 0x3fff] +
                    ctx.corrHist.nonPawnCorrection[side][board.nonPawnKey & 0x3fff] +
                    ctx.corrHist.majorCorrection[side][board.majorKey & 0x3fff];
    return Clamp(raw + sum / 256, -EVAL_LIMIT, EVAL_LIMIT);
}

bool IsDraw(const Board& board, const SearchContext& ctx) {
    // A mate ends the game before the fifty-move rule can; only a checked side may be mated.
    if (board.halfMoveClock > 99 && (board.checkers == 0 || !FirstLegalMove(board).IsNull())) return true;
    if (UTILS::popcount(board.occupied) <= 3 &&
        (board.pieces[PAWN] | board.pieces[ROOK] | board.pieces[QUEEN]) == 0)
        return true;
    const std::size_t end =
        std::min<std::size_t>(std::size_t(std::max<int>(0, board.historyIndex)), ctx.hashHistory.size());
    const uint64_t* keys = ctx.hashHistory.data();
    for (std::size_t i = 0; i < end; i++)
        if (keys[i] == board.hashKey) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Late-move reductions.

void InitLMRTable() {
    for (int isQuiet = 0; isQuiet < 2; isQuiet++) {
        const double base = isQuiet ? lmrBaseQuiet : lmrBaseNoisy;
        const double divisor = isQuiet ? lmrDivisorQuiet : lmrDivisorNoisy;
        for (int depth = 0; depth <= 256; depth++)
            for (int moves = 0; moves < MAX_MOVES; moves++)
                lmrTable[isQuiet][depth][moves] =
                    depth == 0 || moves == 0
                        ? 0
                        : int(std::floor(base + std::log(double(depth)) * std::log(double(moves)) / divisor));
    }
}

template <bool isPV>
int GetReductions(const Board& board, Move move, int depth, int movesSearched, int ply, bool cutNode,
                  bool improving, bool corrplexity, bool ttPV, bool ttFailLow, const SearchContext& ctx) {
    const bool quiet = move.IsQuiet();
    const int base = LmrEntry(quiet, depth, movesSearched);

    int history = 0;
    if (quiet)
        history = QuietScore(ctx, board, move, ply);
    else if (move.IsCapture())
        history = ctx.captureHistory[board.sideToMove][board.mailbox[move.from()]][CapturedPiece(board, move)]
                                    [move.to()];

    int r = 1024 * base;
    if (cutNode) r += lmrCutnode;
    if (isPV) r -= lmrIsPV;
    if (!improving) r += lmrImproving;
    if (corrplexity) r -= lmrCorrplexity;
    if (isPV || ttPV) r -= lmrTTPV;
    if (ttFailLow) r += lmrTTPVFailLow;
    r -= 1024 * (history / lmrHistoryDivisor);

    int R = r / 1024;
    if (R < -1) R = -1;
    if (R >= depth) R = depth - 1;
    return R;
}

template int GetReductions<true>(const Board&, Move, int, int, int, bool, bool, bool, bool, bool,
                                 const SearchContext&);
template int GetReductions<false>(const Board&, Move, int, int, int, bool, bool, bool, bool, bool,
                                  const SearchContext&);

// ---------------------------------------------------------------------------------------------
// Static exchange evaluation.

bool SEE(const Board& board, Move move, int threshold) {
    const int from = move.from();
    const int to = move.to();
    const int type = move.type();
    const int side = board.sideToMove;
    auto value = [](int piece) { return SEEPieceValues[piece]; };
    auto victim = [&](int sq) { return board.mailbox[sq] == NO_PIECE ? 0 : value(board.mailbox[sq]); };

    int next = move.IsPromotion() ? move.PromotionPiece() : board.mailbox[from];
    int gain;
    if (move.IsPromotion())
        gain = victim(to) + value(next) - value(PAWN);
    else if (type == KING_CASTLE || type == QUEEN_CASTLE)
        gain = 0;
    else if (type == EP_CAPTURE)
        gain = value(PAWN);
    else
        gain = victim(to);

    int balance = gain - threshold;
    if (balance < 0) return false;
    balance -= value(next);
    if (balance >= 0) return true;

    uint64_t occupancy = (board.occupied ^ (1ULL << from)) | (1ULL << to);
    // The pawn taken en passant is gone too, which may open its file behind the target.
    if (type == EP_CAPTURE) occupancy &= ~(1ULL << (side == WHITE ? to - 8 : to + 8));

    const uint64_t bishops = board.pieces[BISHOP] | board.pieces[QUEEN];
    const uint64_t rooks = board.pieces[ROOK] | board.pieces[QUEEN];
    uint64_t attackers = (MOVEGEN::pawnAttacks[side ^ 1][to] & board.pieces[PAWN] & board.colours[side]) |
                         (MOVEGEN::pawnAttacks[side][to] & board.pieces[PAWN] & board.colours[side ^ 1]) |
                         (MOVEGEN::knightAttacks[to] & board.pieces[KNIGHT]) |
                         (MOVEGEN::kingAttacks[to] & board.pieces[KING]) |
                         (MOVEGEN::BishopAttacks(to, occupancy) & bishops) |
                         (MOVEGEN::RookAttacks(to, occupancy) & rooks);
    attackers &= occupancy;

    int colour = side ^ 1;
    while (true) {
        const uint64_t mine = attackers & board.colours[colour];
        if (!mine) break;
        for (next = PAWN; next < KING; next++)
            if (mine & board.pieces[next]) break;
        occupancy ^= 1ULL << UTILS::lsb(mine & board.pieces[next]);
        if (next == PAWN || next == BISHOP || next == QUEEN)
            attackers |= MOVEGEN::BishopAttacks(to, occupancy) & bishops;
        if (next == ROOK || next == QUEEN) attackers |= MOVEGEN::RookAttacks(to, occupancy) & rooks;
        attackers &= occupancy;
        colour ^= 1;
        balance = -balance - 1 - value(next);
        if (balance >= 0) {
            // A king may not take into an attacked square: that capture loses for its side.
            if (next == KING && (attackers & board.colours[colour])) colour ^= 1;
            break;
        }
    }
    return side != colour;
}

// ---------------------------------------------------------------------------------------------
// Move picker.

template <MovegenMode mode> Move MovePicker<mode>::Next() {
    if (stage == STAGE_TT_MOVE) {
        stage = STAGE_MAIN;
        if (!ttMove.IsNull() && board->IsPseudoLegal(ttMove)) return ttMove;
    }
    if (stage != STAGE_MAIN) return Move();

    if (!generated) {
        generated = true;
        MOVEGEN::GeneratePieceMoves<mode>(*board);
        const int side = board->sideToMove;
        const Move killer = ctx->killers[ply];
        for (int i = 0; i < board->moveCount; i++) {
            const Move m = board->moves[i];
            const int mover = board->mailbox[m.from()];
            if (m.IsCapture()) {
                const int captured = CapturedPiece(*board, m);
                scores[i] = ctx->captureHistory[side][mover][captured][m.to()] + 100 * captured - mover +
                            105 + (SEE(*board, m, seeOrderingThreshold) ? 50000 : 0);
            } else if (m == killer) {
                scores[i] = 41000;
            } else {
                scores[i] = QuietScore(*ctx, *board, m, ply) + 20000;
            }
        }
        index = 0;
    }

    const int count = board->moveCount;
    while (index < count) {
        int best = index;
        for (int j = index + 1; j < count; j++)
            if (scores[j] > scores[best]) best = j;
        std::swap(board->moves[index], board->moves[best]);
        std::swap(scores[index], scores[best]);
        const Move m = board->moves[index++];
        if (m != ttMove) return m;
    }
    stage = STAGE_DONE;
    return Move();
}

template class MovePicker<Noisy>;
template class MovePicker<All>;

// ---------------------------------------------------------------------------------------------
// Quiescence search.

template <bool isPV, searchMode mode>
SearchResults Quiescence(Board& board, int alpha, int beta, int ply, SearchContext* ctx) {
    if (ShouldAbort<mode>(ctx)) {
        RaiseStop<mode>(ctx);
        return {0, Move()};
    }
    if (ply >= MAX_PLY) return {ModeEvaluate<mode>(board), Move()};
    ctx->seldepth = std::max(ctx->seldepth, ply);

    // The table is asked first: a cut-off there needs no evaluation. No node ever reads the
    // stack entry of a quiescence ply, so the later write changes nothing.
    TTEntry entry;
    const bool ttHit = ctx->tt->Probe(board.hashKey, entry);
    if (ttHit) {
        const int s = entry.score;
        if (entry.bound == BOUND_EXACT || (entry.bound == BOUND_LOWER && s >= beta) ||
            (entry.bound == BOUND_UPPER && s <= alpha))
            return {s, Move()};
    }

    int standPat = CorrectedEval(board, ModeEvaluate<mode>(board), *ctx);
    ctx->stack[ply].staticEval = standPat;

    Move ttMove;
    bool ttPV = isPV;
    if (ttHit) {
        if (entry.bound == BOUND_LOWER)
            standPat = std::max(standPat, int(entry.score));
        else if (entry.bound == BOUND_UPPER)
            standPat = std::min(standPat, int(entry.score));
        ttMove = entry.move;
        if (!isPV) ttPV = entry.ttPV;
    }

    if (standPat >= beta) return {standPat, Move()};

    alpha = std::max(alpha, standPat);
    int bestScore = standPat;
    Move bestMove;
    int bound = BOUND_UPPER;
    const int futilityBase = standPat + qsFPMargin;
    const bool inCheck = InCheck(board);
    const int side = board.sideToMove;

    MovePicker<Noisy> picker(&board, ctx, ttMove, ply);
    ChildStorage storage;
    Board& child = storage.board();
    while (true) {
        const Move m = picker.Next();
        if (m.IsNull()) break;

        if (bestScore <= QS_NO_FILTER_SCORE) {
            if (!board.IsLegal(m)) continue;
        } else if (inCheck || futilityBase > alpha) {
            if (!SEE(board, m, seeQsThreshold) || !board.IsLegal(m)) continue;
        } else {
            if (m.IsCapture() && !SEE(board, m, 1)) {
                bestScore = std::max(bestScore, futilityBase);
                continue;
            }
            if (!SEE(board, m, seeQsThreshold) || !board.IsLegal(m)) continue;
        }

        MakeChild(ctx, board, child, m);
        SearchStackEntry& here = ctx->stack[ply];
        here.movedPiece = board.mailbox[m.from()];
        here.toSquare = m.to();
        here.sideToMove = uint8_t(side);
        PushKey(ctx, child);
        ctx->nodes++;

        const int score = -Quiescence<isPV, mode>(child, -beta, -alpha, ply + 1, ctx).score;
        if (Stopped<mode>(ctx)) return {0, Move()};

        if (score >= beta) {
            ctx->tt->WriteEntry(board.hashKey, 0, score, BOUND_LOWER, m, ttPV);
            return {score, Move()};
        }
        bestScore = std::max(bestScore, score);
        if (score > alpha) {
            alpha = score;
            bestMove = m;
            bound = BOUND_EXACT;
        }
    }

    if (Stopped<mode>(ctx)) return {0, Move()};
    ctx->tt->WriteEntry(board.hashKey, 0, bestScore, bound, bestMove, ttPV);
    return {bestScore, bestMove};
}

// ---------------------------------------------------------------------------------------------
// Principal-variation search.

template <bool isPV, searchMode mode>
SearchResults PVS(Board& board, int depth, int alpha, int beta, int ply, SearchContext* ctx, bool cutNode) {
    // Node entry.
    if (ShouldAbort<mode>(ctx)) {
        RaiseStop<mode>(ctx);
        return {0, Move()};
    }
    if (ply >= MAX_PLY) return {ModeEvaluate<mode>(board), Move()};
    ctx->seldepth = std::max(ctx->seldepth, ply);
    ctx->pvLine.pvLength[ply] = ply;

    if (ply != 0 && IsDraw(board, *ctx)) return {0, Move()};

    const Move excluded = ctx->excludedMove;
    bool ttHit = false;
    Move ttMove;
    int ttScore = 0, ttDepth = 0, ttBound = BOUND_EXACT;
    bool ttPV = isPV;
    if (excluded.IsNull()) {
        TTEntry entry;
        if (ctx->tt->Probe(board.hashKey, entry)) {
            ttHit = true;
            ttMove = entry.move;
            ttScore = entry.score;
            ttDepth = entry.depth;
            ttBound = entry.bound;
            if (!isPV) ttPV = entry.ttPV;
            if (!isPV && ttDepth >= depth &&
                (ttBound == BOUND_EXACT || (ttBound == BOUND_UPPER && ttScore <= alpha) ||
                 (ttBound == BOUND_LOWER && ttScore >= beta)))
                return {ttScore, ttMove};
        }
    }

    if (depth <= 0) return Quiescence<isPV, mode>(board, alpha, beta, ply, ctx);

    const int rawEval = ModeEvaluate<mode>(board);
    const int staticEval = CorrectedEval(board, rawEval, *ctx);
    ctx->stack[ply].staticEval = staticEval;

    const bool inCheck = InCheck(board);
    const bool corrplexity = std::abs(rawEval - staticEval) > CORRPLEXITY_MARGIN;
    int adjustedEval = staticEval;
    if (excluded.IsNull() && ttHit && !inCheck) {
        if (ttBound == BOUND_EXACT)
            adjustedEval = ttScore;
        else if (ttBound == BOUND_LOWER)
            adjustedEval = std::max(staticEval, ttScore);
        else if (ttBound == BOUND_UPPER)
            adjustedEval = std::min(staticEval, ttScore);
    }

    const int side = board.sideToMove;
    ChildStorage storage;
    Board& child = storage.board();
    bool improving = false;

    if (!inCheck) {
        improving = true;
        if (ply >= 2) {
            if (ctx->stack[ply - 2].staticEval != NO_EVAL)
                improving = staticEval > ctx->stack[ply - 2].staticEval;
            else if (ply >= 4 && ctx->stack[ply - 4].staticEval != NO_EVAL)
                improving = staticEval > ctx->stack[ply - 4].staticEval;
        }

        // Reverse futility pruning.
        if (!isPV && excluded.IsNull() && ply != 0 && !ttPV && depth <= RFP_MAX_DEPTH &&
            adjustedEval - rfpMargin * (depth - int(improving)) - rfpBase >= beta) {
            const bool moderate =
                std::abs(adjustedEval) <= RFP_SCORE_LIMIT && std::abs(beta) <= RFP_SCORE_LIMIT;
            return {moderate ? (adjustedEval + beta) / 2 : adjustedEval, Move()};
        }

        // Razoring.
        if (!isPV && excluded.IsNull() && ply != 0 && depth <= RAZOR_MAX_DEPTH &&
            staticEval + razoringScalar * depth < alpha && ttBound != BOUND_LOWER)
            return {Quiescence<false, mode>(board, alpha, beta, ply, ctx).score, Move()};

        // Null-move pruning.
        if (excluded.IsNull() && ply != 0 && ply > ctx->nmpMinPly && depth != 1 &&
            adjustedEval >= beta + nmpBetaMargin && !board.InPossibleZug()) {
            child = board;
            child.sideToMove ^= 1;
            child.hashKey ^= UTILS::zSide;
            if (child.enPassantSquare != -1) {
                child.hashKey ^= UTILS::zEnPassant[child.enPassantSquare % 8];
                child.enPassantSquare = -1;
            }
            ctx->tt->Prefetch(child.hashKey);
            MarkNoMove(ctx->stack[ply]);

            const int nullDepth = depth - depth / 3 - 4 - int(improving) - int(ttMove.IsCapture());
            const int s = -PVS<false, mode>(child, nullDepth, -beta, -beta + 1, ply + 1, ctx, !cutNode).score;
            if (Stopped<mode>(ctx)) return {0, Move()};
            if (s >= beta) {
                if (depth < NMP_VERIFY_DEPTH || ctx->nmpMinPly > 0)
                    return {s > MATE_BOUND ? beta : s, Move()};
                // Verify on this node's own position, without null moves near the top.
                ctx->nmpMinPly = ply + (3 * nullDepth) / 4;
                const SearchResults verified =
                    PVS<false, mode>(board, nullDepth, beta - 1, beta, ply, ctx, true);
                ctx->nmpMinPly = 0;
                if (verified.score >= beta) return verified;
            }
        }
    }

    // ProbCut.
    const int probcutBeta = beta + probcutBetaMargin;
    if (depth >= PROBCUT_MIN_DEPTH && std::abs(beta) <= EVAL_LIMIT &&
        (ttMove.IsNull() || !ttMove.IsQuiet()) && !(ttHit && ttDepth >= depth - 3 && ttScore < probcutBeta)) {
        const int threshold = 15 * (probcutBeta - staticEval) / 16;
        MovePicker<Noisy> picker(&board, ctx, ttMove, ply);
        // The children read a neutral entry. The real one goes back afterwards: when this node is a
        // singular-extension search, its caller's TT move is still recorded there.
        const SearchStackEntry saved = ctx->stack[ply];
        MarkNoMove(ctx->stack[ply]);
        while (true) {
            const Move m = picker.Next();
            if (m.IsNull()) break;
            if (m == excluded || !SEE(board, m, threshold) || !board.IsLegal(m)) continue;

            MakeChild(ctx, board, child, m);
            PushKey(ctx, child);
            ctx->nodes++;

            int s = -Quiescence<isPV, mode>(child, -probcutBeta, -probcutBeta + 1, ply + 1, ctx).score;
            if (s >= probcutBeta)
                s = -PVS<isPV, mode>(child, depth - 4, -probcutBeta, -probcutBeta + 1, ply + 1, ctx, !cutNode)
                         .score;
            if (Stopped<mode>(ctx)) return {0, Move()};
            if (s >= probcutBeta) {
                ctx->stack[ply] = saved;
                ctx->tt->WriteEntry(board.hashKey, depth - 3, s, BOUND_LOWER, m, ttPV);
                return {s, Move()};
            }
        }
        ctx->stack[ply] = saved;
    }

    // Move loop.
    ctx->killers[ply + 1] = Move();
    MovePicker<All> picker(&board, ctx, ttMove, ply);
    int bestScore = -SCORE_INFINITE;
    Move bestMove;
    int bound = BOUND_UPPER;
    int movesSearched = 0;
    Move quietsTried[MAX_MOVES];
    Move capturesTried[MAX_MOVES];
    int quietCount = 0, captureCount = 0;
    const uint64_t theirThreats = board.threats[side ^ 1];

    while (true) {
        const Move m = picker.Next();
        if (m.IsNull()) break;
        if (m == excluded) continue;

        const bool quiet = m.IsQuiet();
        if (quiet && bestScore >= -EVAL_LIMIT &&
            movesSearched >= ((depth * depth) << int(improving)) + LMP_BASE)
            continue;

        if constexpr (!isPV) {
            if (ply != 0 && quiet && bestScore >= -EVAL_LIMIT) {
                const int lmrDepth = depth - LmrEntry(true, depth, movesSearched);
                if (lmrDepth <= FUTILITY_MAX_LMR_DEPTH) {
                    const int h = QuietScore(*ctx, board, m, ply);
                    if (staticEval + fpMargin * (lmrDepth + int(improving)) + h / 32 < alpha &&
                        !board.GivesDirectCheck(m))
                        continue;
                }
            }
        }

        if (ply != 0 && depth <= SEE_PRUNE_MAX_DEPTH &&
            !SEE(board, m, quiet ? seeQuietThreshold * depth : seeNoisyThreshold * depth * depth))
            continue;

        if (!board.IsLegal(m)) continue;

        MakeChild(ctx, board, child, m);
        SearchStackEntry& here = ctx->stack[ply];
        here.movedPiece = board.mailbox[m.from()];
        here.toSquare = m.to();
        here.sideToMove = uint8_t(side);
        PushKey(ctx, child);
        ctx->nodes++;
        const uint64_t nodesBefore = ctx->nodes;

        // Extensions.
        int extension = 0;
        if (ply != 0 && ply < 2 * ctx->rootDepth && m == ttMove && excluded.IsNull()) {
            if (depth >= SINGULAR_MIN_DEPTH && ttHit) {
                if (ttBound != BOUND_UPPER && ttDepth >= depth - 3) {
                    const int singularBeta = ttScore - 2 * depth;
                    ctx->excludedMove = ttMove;
                    const int s = PVS<false, mode>(board, (depth - 1) / 2, singularBeta - 1, singularBeta,
                                                   ply, ctx, cutNode)
                                      .score;
                    ctx->excludedMove = Move();
                    if (s < singularBeta)
                        extension = (!isPV && s < singularBeta - doubleExtMargin) ? 2 : 1;
                    else if (singularBeta >= beta)
                        return {singularBeta, Move()};
                    else
                        extension = (ttScore >= beta || cutNode) ? -1 : 0;
                }
            } else if (!inCheck && depth < SINGULAR_MIN_DEPTH && ttBound == BOUND_LOWER &&
                       alpha >= staticEval + ldseMargin) {
                extension = 1;
            }
        }
        const int checkExtension = (excluded.IsNull() && InCheck(child)) ? 1 : 0;
        int newDepth = depth - 1 + extension + checkExtension;
        if (extension < 0) cutNode = true;

        // Child search. A reduced null-window search that beats alpha is searched again at full
        // depth, a ply deeper or shallower by how far it beat the best score.
        auto reducedSearch = [&](int reduction) {
            int score =
                -PVS<false, mode>(child, newDepth - reduction, -alpha - 1, -alpha, ply + 1, ctx, true).score;
            if (reduction > 0 && score > alpha) {
                if (score > bestScore + lmrDeeperBase + 4 * newDepth)
                    newDepth++;
                else if (score < bestScore + newDepth)
                    newDepth--;
                score = -PVS<false, mode>(child, newDepth, -alpha - 1, -alpha, ply + 1, ctx, !cutNode).score;
            }
            return score;
        };
        int s;
        if constexpr (!isPV) {
            if (depth != 1 && movesSearched >= 2) {
                const bool ttFailLow = ttPV && ttHit && ttScore <= alpha;
                s = reducedSearch(GetReductions<false>(board, m, depth, movesSearched, ply, cutNode,
                                                       improving, corrplexity, ttPV, ttFailLow, *ctx));
            } else {
                s = -PVS<false, mode>(child, newDepth, -alpha - 1, -alpha, ply + 1, ctx, !cutNode).score;
            }
        } else {
            s = alpha + 1;
            if (depth != 1 && movesSearched >= 4) {
                const bool ttFailLow = ttHit && ttScore <= alpha;
                s = reducedSearch(GetReductions<true>(board, m, depth, movesSearched, ply, cutNode, improving,
                                                      corrplexity, true, ttFailLow, *ctx));
            } else if (movesSearched > 0) {
                s = -PVS<false, mode>(child, newDepth, -alpha - 1, -alpha, ply + 1, ctx, !cutNode).score;
            }
            if (movesSearched == 0 || s > alpha)
                s = -PVS<true, mode>(child, newDepth, -beta, -alpha, ply + 1, ctx, false).score;
        }

        if (ply == 0) ctx->nodesPerMove[m.data & 0xfff] += ctx->nodes - nodesBefore;
        if (Stopped<mode>(ctx)) return {0, Move()};

        if (quiet)
            quietsTried[quietCount++] = m;
        else if (m.IsCapture())
            capturesTried[captureCount++] = m;

        bestScore = std::max(bestScore, s);

        if (s > alpha) {
            PVLine& pv = ctx->pvLine;
            pv.pvTable[ply][ply] = m;
            // A child at the ply limit leaves no row of its own.
            const int childEnd = std::max(pv.pvLength[ply + 1], ply + 1);
            for (int i = ply + 1; i < childEnd; i++) pv.pvTable[ply][i] = pv.pvTable[ply + 1][i];
            pv.pvLength[ply] = childEnd;
            bound = BOUND_EXACT;
            alpha = s;
            bestMove = m;
        }

        if (s >= beta) {
            const int hd = (!inCheck && staticEval <= s) ? depth + 1 : depth;
            const int captBonus =
                std::min(captHistoryBonusMultiplier * hd - captHistoryBonusSub, HISTORY_LIMIT);
            const int captMalus =
                std::max(captHistoryMalusSub - captHistoryMalusMultiplier * hd, -HISTORY_LIMIT);

            if (m.IsCapture()) {
                Gravity(ctx->captureHistory[side][board.mailbox[m.from()]][CapturedPiece(board, m)][m.to()],
                        captBonus);
            } else {
                ctx->killers[ply] = m;
                const int bonus = std::min(historyBonusMultiplier * hd - historyBonusSub, HISTORY_LIMIT);
                const int malus =
                    Clamp(historyMalusSub - historyMalusMultiplier * hd, -HISTORY_LIMIT, HISTORY_LIMIT);
                const int contBonus = Clamp(contHistoryBonusMultiplier * hd - contHistoryBonusSub,
                                            -HISTORY_LIMIT, HISTORY_LIMIT);
                const int contMalus = Clamp(contHistoryMalusSub - contHistoryMalusMultiplier * hd,
                                            -HISTORY_LIMIT, HISTORY_LIMIT);
                const int triedBefore = quiet ? quietCount - 1 : quietCount;

                auto threatened = [&](int sq) { return int((theirThreats >> sq) & 1); };
                Gravity(ctx->quietHistory[side][m.from()][m.to()][threatened(m.from())][threatened(m.to())],
                        bonus);

                // The singular search may have left this ply's entry without a move.
                const SearchStackEntry& cur = ctx->stack[ply];
                for (int k = 1; k <= 2 && k <= ply && cur.movedPiece >= 0; k++) {
                    int16_t* e = ContEntry(*ctx, ply, k, side, cur.movedPiece, cur.toSquare);
                    if (!e) continue;
                    Gravity(*e, contBonus);
                    for (int i = 0; i < triedBefore; i++) {
                        const Move q = quietsTried[i];
                        Gravity(*ContEntry(*ctx, ply, k, side, board.mailbox[q.from()], q.to()), contMalus);
                    }
                }
                for (int i = 0; i < triedBefore; i++) {
                    const Move q = quietsTried[i];
                    Gravity(
                        ctx->quietHistory[side][q.from()][q.to()][threatened(q.from())][threatened(q.to())],
                        malus);
                }
            }

            const int capturesBefore = m.IsCapture() ? captureCount - 1 : captureCount;
            for (int i = 0; i < capturesBefore; i++) {
                const Move c = capturesTried[i];
                Gravity(ctx->captureHistory[side][board.mailbox[c.from()]][CapturedPiece(board, c)][c.to()],
                        captMalus);
            }

            if (excluded.IsNull()) ctx->tt->WriteEntry(board.hashKey, depth, s, BOUND_LOWER, m, ttPV);
            return {s, Move()};
        }

        movesSearched++;
    }

    // End of the node.
    if (movesSearched == 0) return {inCheck ? ply - MATE : 0, Move()};
    if (Stopped<mode>(ctx)) return {0, Move()};
    if (!excluded.IsNull()) return {bestScore, bestMove};

    if (!inCheck && (bestMove.IsNull() || bestMove.IsQuiet()) &&
        !(bound == BOUND_UPPER && bestScore >= staticEval))
        ctx->corrHist.UpdateAll(board, depth,
                                Clamp(bestScore - staticEval, -CORR_DIFF_LIMIT, CORR_DIFF_LIMIT));
    ctx->tt->WriteEntry(board.hashKey, depth, bestScore, bound, bestMove, ttPV);
    return {bestScore, bestMove};
}

#define VESTREL_INSTANTIATE_SEARCH(pv, mode)                                                                 \
    template SearchResults PVS<pv, mode>(Board&, int, int, int, int, SearchContext*, bool);                  \
    template SearchResults Quiescence<pv, mode>(Board&, int, int, int, SearchContext*);
VESTREL_INSTANTIATE_SEARCH(true, Timed)
VESTREL_INSTANTIATE_SEARCH(false, Timed)
VESTREL_INSTANTIATE_SEARCH(true, Bench)
VESTREL_INSTANTIATE_SEARCH(false, Bench)
VESTREL_INSTANTIATE_SEARCH(true, Datagen)
VESTREL_INSTANTIATE_SEARCH(false, Datagen)
VESTREL_INSTANTIATE_SEARCH(true, NodeLimited)
VESTREL_INSTANTIATE_SEARCH(false, NodeLimited)
#undef VESTREL_INSTANTIATE_SEARCH

// ---------------------------------------------------------------------------------------------
// Iterative deepening.

TimeBudget ComputeTimeBudget(int sideToMove, const SearchParams& params) {
    constexpr int32_t UNLIMITED = std::numeric_limits<int32_t>::max();
    auto safetyMargin = [](int64_t time) { return std::clamp<int64_t>(time / 10, 1, TIME_SAFETY_MAX); };

    if (params.movetime > 0) {
        const int64_t hard = std::max<int64_t>(1, int64_t(params.movetime) - safetyMargin(params.movetime));
        return {int32_t(hard), 0.0, false};
    }

    const int32_t time = sideToMove == WHITE ? params.wtime : params.btime;
    const int32_t inc = sideToMove == WHITE ? params.winc : params.binc;
    if (time == 0 && params.depth > 0) return {UNLIMITED, 0.0, false};

    const int32_t movesToGo = params.movestogo != 0 ? params.movestogo : 20;
    const int64_t limit = int64_t(time) / movesToGo + int64_t(inc) / 2;
    int64_t hard = limit >= 5 ? limit : MIN_TIME_LIMIT;
    // Never more than the clock holds, less what output and the interface need.
    if (time != 0) hard = std::min(hard, std::max<int64_t>(1, int64_t(time) - safetyMargin(time)));
    hard = std::clamp<int64_t>(hard, 1, UNLIMITED);
    return {int32_t(hard), 0.65 * double(hard), true};
}

template <searchMode mode>
SearchResults SearchPosition(Board& board, SearchParams params, SearchContext& ctx) {
    // A data-generation search without a flag of its own gets one for this call.
    std::atomic<bool> localStop{false};
    std::atomic<bool>* const callerStop = ctx.datagenStop;
    if constexpr (mode == Datagen) {
        if (!ctx.datagenStop) ctx.datagenStop = &localStop;
        ctx.datagenStop->store(false, std::memory_order_relaxed);
        ctx.tt->IncrementGeneration();
    }

    if constexpr (mode != Bench) ctx.nodes = 0;
    ctx.pvLine.pvLength[255] = 0;
    ctx.pvLine.pvTable[255][255] = Move();
    std::memset(ctx.nodesPerMove, 0, sizeof(ctx.nodesPerMove));
    ctx.seldepth = 0;
    if constexpr (mode == NodeLimited) ctx.nodeLimit = uint64_t(int64_t(params.nodes));
    ctx.startTime = std::chrono::steady_clock::now();

    TimeBudget budget{MIN_TIME_LIMIT, 0.65 * MIN_TIME_LIMIT, true};
    if constexpr (mode != Bench) budget = ComputeTimeBudget(board.sideToMove, params);
    if constexpr (mode == NodeLimited) {
        // A node limit with a clock ends at whichever comes first; a bare node limit has no
        // time limit at all.
        const int32_t clock = board.sideToMove == WHITE ? params.wtime : params.btime;
        if (params.movetime <= 0 && clock == 0) budget = {std::numeric_limits<int32_t>::max(), 0.0, false};
    }
    const int32_t timeLimit = budget.hardLimit;
    int lastDepth = mode == Bench ? BENCH_LAST_DEPTH : LAST_DEPTH;
    if constexpr (mode == Timed || mode == NodeLimited)
        if (params.depth > 0) lastDepth = std::min(params.depth, LAST_DEPTH);
    double bestMoveScale = 1.0;
    // A root without a legal move is mate or stalemate: report that once instead of deepening.
    const bool rootHasMove = !FirstLegalMove(board).IsNull();

    SearchResults best{-SCORE_INFINITE, Move()};
    int depth = 1;
    int alpha = -SCORE_INFINITE, beta = SCORE_INFINITE, delta = aspInitialDelta;
    while (true) {
        ctx.timeLimit = timeLimit;
        ctx.seldepth = 0;
        ctx.rootDepth = depth;

        const SearchResults r = PVS<true, mode>(board, depth, alpha, beta, 0, &ctx, false);

        const double passScale = bestMoveScale;
        if constexpr (mode == Timed || mode == NodeLimited) {
            if (depth >= 7) {
                const double share =
                    ctx.nodes == 0 ? 0.0 : double(ctx.nodesPerMove[r.move.data & 0xfff]) / double(ctx.nodes);
                bestMoveScale = double(1.35f) * (1.5 - share);
            }
        }

        if (alpha != -SCORE_INFINITE && r.score <= alpha) {
            alpha -= delta;
            delta *= 2;
            continue;
        }
        if (beta != SCORE_INFINITE && r.score >= beta) {
            beta += delta;
            delta *= 2;
            continue;
        }

        if (Stopped<mode>(&ctx)) break;
        if constexpr (mode != Bench) {
            if (!r.move.IsNull())
                best = r;
            else if (!rootHasMove)
                best.score = r.score;
        }
        if constexpr (mode == Timed || mode == NodeLimited)
            if (ctx.isMain) PrintSearchInfo(board, &ctx, best, depth, ElapsedMs(ctx));
        if constexpr (mode == Timed || mode == NodeLimited) {
            if (budget.softStop && ElapsedMs(ctx) >= int64_t(passScale * budget.softLimit)) {
                RaiseStop<mode>(&ctx);
                break;
            }
        }
        if constexpr (mode == Datagen) {
            if (ctx.nodes >= DATAGEN_SOFT_NODES) {
                RaiseStop<mode>(&ctx);
                break;
            }
        }
        if (depth >= lastDepth || !rootHasMove) break;

        alpha = r.score - aspInitialDelta;
        beta = r.score + aspInitialDelta;
        delta = aspInitialDelta;
        depth++;
    }

    if constexpr (mode == Datagen) ctx.datagenStop = callerStop;
    return best;
}

template SearchResults SearchPosition<Timed>(Board&, SearchParams, SearchContext&);
template SearchResults SearchPosition<Bench>(Board&, SearchParams, SearchContext&);
template SearchResults SearchPosition<Datagen>(Board&, SearchParams, SearchContext&);
template SearchResults SearchPosition<NodeLimited>(Board&, SearchParams, SearchContext&);

} // namespace SEARCH
