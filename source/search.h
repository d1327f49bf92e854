#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "platform.h"
#include "tt.h"
#include "tunables.h"

// Ends every running UCI search (relaxed loads and stores only).
extern std::atomic<bool> searchStopped;

// Set by the command loop; read by the reporting search thread.
extern std::atomic<bool> UCIEnabled;
extern std::atomic<bool> UCIShowWDL;

struct SearchResults {
    int score;
    Move move;
};

// Limits handed from "go" to a search. Times in milliseconds, 0 when not given.
struct SearchParams {
    int32_t wtime = 0;
    int32_t btime = 0;
    int32_t winc = 0;
    int32_t binc = 0;
    int32_t movestogo = 0;
    int32_t nodes = 0;
    int32_t reserved = 1; // always 1; not read
    int32_t movetime = 0; // "go movetime": a fixed budget for this move, no soft stop
    int32_t depth = 0;    // "go depth": stop after this iteration; 0 when not given
};

namespace SEARCH {

enum searchMode : int { Timed = 0, Bench = 1, Datagen = 2, NodeLimited = 3 };

constexpr int MATE = 32767;
constexpr int MATE_BOUND = 32511;
constexpr int EVAL_LIMIT = 32510;
constexpr int SCORE_INFINITE = 100000;
constexpr int NO_EVAL = -255000;
constexpr int MAX_PLY = 255;
constexpr int CORRHIST_MAX = 16384;

struct PVLine {
    int32_t pvLength[256] = {};
    Move pvTable[256][256] = {};

    // Row 0, each move followed by a space; the first move bright cyan outside UCI mode.
    std::string ToString() const;
    void Print() const;
};

struct SearchStackEntry {
    int32_t staticEval = NO_EVAL;
    int32_t movedPiece = -1;
    int32_t toSquare = -1;
    uint8_t sideToMove = 1;
};

struct CorrHist {
    int32_t pawnCorrection[2][16384] = {};
    int32_t nonPawnCorrection[2][16384] = {};
    int32_t majorCorrection[2][16384] = {};

    void UpdateAll(const Board& board, int depth, int diff);
};

struct SearchContext {
    bool isMain = false;
    uint64_t nodes = 0;
    uint64_t nodeLimit = 0;
    int32_t timeLimit = 0;
    uint64_t nodesPerMove[4096] = {};
    int32_t seldepth = 0;
    int32_t rootDepth = 0;
    Move excludedMove;
    int32_t nmpMinPly = 0;
    PVLine pvLine;
    int32_t quietHistory[2][64][64][2][2] = {};
    int16_t contHistory[2][6][64][2][6][64] = {};
    CorrHist corrHist;
    int32_t captureHistory[2][6][6][64] = {};
    Move killers[256] = {};
    std::vector<uint64_t> hashHistory;
    TTable* tt;
    SearchStackEntry stack[256];
    std::chrono::steady_clock::time_point startTime;
    // Stop signal of a data-generation search (the UCI modes use searchStopped).
    std::atomic<bool>* datagenStop = nullptr;

    SearchContext();
    SearchContext(const SearchContext&) = default;
    // The history tables are read at random all through the search: huge pages save most of
    // the address-translation misses.
    static void* operator new(std::size_t bytes) { return PLATFORM::AllocateLarge(bytes); }
    static void operator delete(void* p) { PLATFORM::FreeLarge(p); }
    SearchContext& operator=(const SearchContext&) = default;

    // What "ucinewgame" clears, with the history restarted at board.
    void ResetForNewGame(const Board& board);
};

extern const int SEEPieceValues[6];
extern int lmrTable[2][257][218];
void InitLMRTable();

bool SEE(const Board& board, Move move, int threshold);

template <bool isPV>
int GetReductions(const Board& board, Move move, int depth, int movesSearched, int ply, bool cutNode,
                  bool improving, bool corrplexity, bool ttPV, bool ttFailLow, const SearchContext& ctx);

int CorrectedEval(const Board& board, int raw, const SearchContext& ctx);
bool IsDraw(const Board& board, const SearchContext& ctx);

template <MovegenMode mode> class MovePicker {
  public:
    enum Stage : int32_t { STAGE_TT_MOVE = 0, STAGE_MAIN = 1, STAGE_DONE = 2 };

    Board* board;
    SearchContext* ctx;
    Move ttMove;
    int32_t ply;
    int32_t stage = STAGE_TT_MOVE;
    int32_t index = 0;
    bool generated = false;
    int32_t scores[MAX_MOVES];

    MovePicker(Board* board, SearchContext* ctx, Move ttMove, int ply)
        : board(board), ctx(ctx), ttMove(ttMove), ply(ply) {}
    Move Next();
};

template <bool isPV, searchMode mode>
SearchResults PVS(Board& board, int depth, int alpha, int beta, int ply, SearchContext* ctx, bool cutNode);

template <bool isPV, searchMode mode>
SearchResults Quiescence(Board& board, int alpha, int beta, int ply, SearchContext* ctx);

template <searchMode mode>
SearchResults SearchPosition(Board& board, SearchParams params, SearchContext& ctx);

// The report after a completed iteration (UCI "info" line, or the human-readable line).
void PrintSearchInfo(Board& board, SearchContext* ctx, SearchResults& result, int depth, int elapsedMs);

// Time budget of a timed search in milliseconds, from the side to move's clock.
struct TimeBudget {
    int32_t hardLimit; // the abort test's timeLimit
    double softLimit;  // before best-move scaling; only when softStop
    bool softStop;
};
TimeBudget ComputeTimeBudget(int sideToMove, const SearchParams& params);

// Win/draw/loss model of the report: a and b of the material, W/D/L per mille.
struct WDL {
    double a;
    double b;
    int win;
    int draw;
    int loss;
};
int ReportMaterial(const Board& board);
WDL wdlModel(int material, int score);
// The report's whole percentages of W, D and L, summing to 100.
void WdlPercentages(const WDL& wdl, int& w, int& d, int& l);
int NormalizedScore(int score, double a);
int MateDistance(int score);
// The report line without its newline; nps and hashfull are measured by PrintSearchInfo.
std::string SearchInfoLine(const Board& board, const SearchContext& ctx, int score, int depth, int elapsedMs,
                           int nps, int hashfull);

} // namespace SEARCH
