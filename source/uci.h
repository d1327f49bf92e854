#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board.h"
#include "search.h"

// Number of search threads each "go" starts (the "Threads" option).
extern int32_t threads;

// The command loop on standard input; returns after "quit" or at the end of input.
void UCILoop(Board& board);

// The number written after the first occurrence of name in line, one separator character
// skipped; 0 when there is none.
double ReadParam(const std::string& name, const std::string& line);

// A number read by ReadParam, truncated toward zero and saturated into the int32 range.
int32_t ToInt32(double value);

// The limits of a "go" line.
SearchParams ParseGoParams(const std::string& line);

// Handles a "position" line: sets board, keeps ctx.hashHistory in step with it and ends with
// a full move generation. Malformed input is reported in one "info string" line.
void HandlePosition(Board& board, SEARCH::SearchContext& ctx, const std::string& line);

// Body of every search thread; the thread owns ctx and deletes it.
template <SEARCH::searchMode mode>
void ThreadFunc(Board board, SearchParams params, SEARCH::SearchContext* ctx);

// The move to report after a search of board: the kept result when legal, else the first
// move of the root line when legal, else the first legal move; Move() when there is none.
Move ChooseBestMove(const Board& board, const SearchResults& result, const SEARCH::SearchContext& ctx);

// True when m is one of board's generated moves and legal.
bool IsLegalMove(const Board& board, Move m);

// "Threads" and "Hash" bounds.
constexpr int32_t MIN_THREADS = 1;
constexpr int32_t MAX_THREADS = 512;
constexpr double MIN_HASH_MB = 1;
constexpr double MAX_HASH_MB = 1024;

// A signed 32-bit command-line number: leading white space, an optional sign, at least one
// digit; anything after the last digit is ignored. Empty when there is no number or it does
// not fit.
std::optional<int32_t> ParseCommandLineInt(std::string_view text);

// Arguments of the command-line mode "datagen" (after the word itself).
struct DatagenArgs {
    int32_t target = 1;
    int32_t threads = 1;
    std::string user;
};

// Reads "datagen" [N [T [U]]] from argv[2..]; empty on a malformed or out-of-range number,
// or a target N x 1000 beyond the int32 range.
std::optional<DatagenArgs> ParseDatagenArgs(int argc, const char* const argv[]);
