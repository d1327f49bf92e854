#include "uci.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "bench.h"
#include "datagen.h"
#include "movegen.h"
#include "nnue.h"
#include "perft.h"
#include "platform.h"
#include "tt.h"
#include "utils.h"

int32_t threads = 1;

namespace {

std::vector<std::thread> searchThreads;

// Keeps historyIndex (int16) plus a full search path (256 plies) inside its range.
constexpr int MAX_GAME_PLY = 32000;

constexpr int32_t INFINITE_CLOCK = 99999999;

// A search line of 255 plies needs about 2.6 MB of stack (one board copy per ply); the
// environment's default for new threads may be as small as 2 MiB.
constexpr std::size_t SEARCH_THREAD_STACK = 8u << 20;

bool Contains(const std::string& line, std::string_view word) {
    return line.find(word) != std::string::npos;
}

void stopAndJoin() {
    searchStopped.store(true, std::memory_order_relaxed);
    for (std::thread& t : searchThreads)
        if (t.joinable()) t.join();
    searchThreads.clear();
}

void RebuildHistory(const Board& board, SEARCH::SearchContext& ctx) {
    ctx.hashHistory.assign(std::max<size_t>(1000, size_t(board.historyIndex) + 100), 0);
    ctx.hashHistory[board.historyIndex] = board.hashKey;
}

void AppendHistory(const Board& board, SEARCH::SearchContext& ctx) {
    const size_t index = size_t(board.historyIndex);
    if (index >= ctx.hashHistory.size()) ctx.hashHistory.resize(index + 100, 0);
    ctx.hashHistory[index] = board.hashKey;
}

void PrintUciIdentification() {
    UCIEnabled = true;
    PLATFORM::WriteLine("id name Vestrel v4.1");
    PLATFORM::WriteLine("id author Norvath");
    PLATFORM::WriteLine("option name Hash type spin default 8 min 1 max 1024");
    PLATFORM::WriteLine("option name Threads type spin default 1 min 1 max 512");
    PLATFORM::WriteLine("option name UCI_ShowWDL type check default false");
    PLATFORM::WriteLine("uciok");
}

std::string FormatNumber(double value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

void HandleSetOption(const std::string& line) {
    stopAndJoin();
    if (Contains(line, "Hash")) {
        const double megabytes = std::clamp(ReadParam("value", line), MIN_HASH_MB, MAX_HASH_MB);
        if (!SharedTT.Resize(megabytes))
            PLATFORM::WriteLine("info string cannot allocate a hash table of " + FormatNumber(megabytes) +
                                " MB, keeping the previous one");
    } else if (Contains(line, "Threads")) {
        threads = std::clamp(ToInt32(ReadParam("value", line)), MIN_THREADS, MAX_THREADS);
    } else if (Contains(line, "UCI_ShowWDL")) {
        UCIShowWDL = Contains(line, "value true") || Contains(line, "value 1");
    }
}

void HandleNewGame(Board& board, SEARCH::SearchContext& templateContext) {
    stopAndJoin();
    board.SetByFen(StartingFen);
    templateContext.tt->Clear();
    templateContext.ResetForNewGame(board);
    MOVEGEN::GenerateMoves<All>(board);
}

void PrintBestMove(const Board& board, const SearchResults& result, const SEARCH::SearchContext& ctx) {
    const Move best = ChooseBestMove(board, result, ctx);
    PLATFORM::WriteLine("bestmove " + (best.IsNull() ? std::string("0000") : best.ToString()));
}

void HandleGo(const std::string& line, const Board& board, const SEARCH::SearchContext& templateContext) {
    stopAndJoin();
    searchStopped.store(false, std::memory_order_relaxed);
    SharedTT.IncrementGeneration();
    const SearchParams params = ParseGoParams(line);
    searchThreads.reserve(size_t(threads));
    for (int32_t i = 0; i < threads; i++) {
        SEARCH::SearchContext* ctx = nullptr;
        try {
            ctx = new SEARCH::SearchContext(templateContext);
            ctx->isMain = i == 0;
            if (params.nodes != 0)
                searchThreads.emplace_back(ThreadFunc<SEARCH::NodeLimited>, board, params, ctx);
            else
                searchThreads.emplace_back(ThreadFunc<SEARCH::Timed>, board, params, ctx);
        } catch (const std::exception&) {
            // The thread never took the context; search with the threads that did start.
            delete ctx;
            PLATFORM::WriteLine("info string cannot start search thread " + std::to_string(i + 1));
            // Nobody is left to answer the "go"; the template's root line is empty.
            if (i == 0) PrintBestMove(board, SearchResults{-SEARCH::SCORE_INFINITE, Move()}, templateContext);
            break;
        }
    }
}

void ListMoves(const Board& board) {
    int index = 1;
    for (int i = 0; i < board.moveCount; i++) {
        const Move m = board.moves[i];
        if (!board.IsLegal(m)) continue;
        PLATFORM::WriteLine(std::to_string(index) + ". " + m.ToString() + "( " +
                            std::string(moveTypes[m.type()]) + " )");
        index++;
    }
}

} // namespace

double ReadParam(const std::string& name, const std::string& line) {
    if (line.empty() || line.size() < name.size()) return 0;
    const size_t found = line.find(name);
    if (found == std::string::npos) return 0;

    size_t i = found + name.size() + 1;
    std::string text;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) text.push_back(line[i++]);
    bool seenDot = false;
    for (; i < line.size(); i++) {
        const char c = line[i];
        if (c >= '0' && c <= '9') {
            text.push_back(c);
        } else if (c == '.' && !seenDot) {
            seenDot = true;
            text.push_back(c);
        } else {
            break;
        }
    }
    if (text.empty()) return 0;

    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return 0;
    if (errno == ERANGE && std::isinf(value)) return text[0] == '-' ? -1e308 : 1e308;
    return value;
}

int32_t ToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (value <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return int32_t(value);
}

SearchParams ParseGoParams(const std::string& line) {
    SearchParams params;
    params.wtime = ToInt32(ReadParam("wtime", line));
    params.btime = ToInt32(ReadParam("btime", line));
    params.winc = ToInt32(ReadParam("winc", line));
    params.binc = ToInt32(ReadParam("binc", line));
    params.movestogo = ToInt32(ReadParam("movestogo", line));
    params.nodes = ToInt32(ReadParam("nodes", line));
    params.reserved = 1;
    if (Contains(line, "movetime")) {
        params.movetime = ToInt32(ReadParam("movetime", line));
        params.wtime = params.btime = params.movetime;
    } else if (Contains(line, "infinite")) {
        params.wtime = params.btime = INFINITE_CLOCK;
    }
    params.depth = ToInt32(ReadParam("depth", line));
    return params;
}

void HandlePosition(Board& board, SEARCH::SearchContext& ctx, const std::string& line) {
    const size_t f = line.find("fen");
    const size_t m = line.find("moves");
    std::string fen;
    if (f != std::string::npos) {
        if (f + 4 <= line.size()) {
            size_t length = std::string::npos;
            if (m != std::string::npos && m > f) length = m >= f + 5 ? m - f - 5 : 0;
            fen = line.substr(f + 4, length);
        }
        // Checked before "startpos" is applied: a rejected line leaves the previous position,
        // and moves meant for another position are not applied.
        const std::string error = ValidateFen(fen);
        if (!error.empty()) {
            PLATFORM::WriteLine("info string invalid fen: " + error);
            MOVEGEN::GenerateMoves<All>(board);
            return;
        }
    }

    if (Contains(line, "startpos")) {
        board.SetByFen(StartingFen);
        RebuildHistory(board, ctx);
    }
    if (f != std::string::npos) {
        board.SetByFen(fen);
        RebuildHistory(board, ctx);
    }

    if (m != std::string::npos) {
        const std::string text = m + 6 <= line.size() ? line.substr(m + 6) : std::string();
        for (const std::string& token : UTILS::split(text, ' ')) {
            MOVEGEN::GenerateMoves<All>(board);
            const Move move = ParseMove(board, token);
            if (move.IsNull() || !board.IsLegal(move)) {
                PLATFORM::WriteLine("info string illegal move: " + token);
                break;
            }
            if (board.historyIndex >= MAX_GAME_PLY) {
                PLATFORM::WriteLine("info string game too long, ignoring moves from " + token);
                break;
            }
            board.MakeMove(move);
            AppendHistory(board, ctx);
        }
    }
    MOVEGEN::GenerateMoves<All>(board);
}

bool IsLegalMove(const Board& board, Move m) {
    if (m.IsNull()) return false;
    Board copy = board;
    MOVEGEN::GenerateMoves<All>(copy);
    for (int i = 0; i < copy.moveCount; i++)
        if (copy.moves[i] == m) return copy.IsLegal(m);
    return false;
}

Move ChooseBestMove(const Board& board, const SearchResults& result, const SEARCH::SearchContext& ctx) {
    if (IsLegalMove(board, result.move)) return result.move;
    if (ctx.pvLine.pvLength[0] > 0 && IsLegalMove(board, ctx.pvLine.pvTable[0][0]))
        return ctx.pvLine.pvTable[0][0];
    return FirstLegalMove(board);
}

template <SEARCH::searchMode mode>
void ThreadFunc(Board board, SearchParams params, SEARCH::SearchContext* ctx) {
    const std::unique_ptr<SEARCH::SearchContext> owned(ctx);
    const SearchResults result = SEARCH::SearchPosition<mode>(board, params, *ctx);
    if (!ctx->isMain) return;
    // Once the reporting thread is done the other threads have nobody to help.
    searchStopped.store(true, std::memory_order_relaxed);
    PrintBestMove(board, result, *ctx);
}

template void ThreadFunc<SEARCH::Timed>(Board, SearchParams, SEARCH::SearchContext*);
template void ThreadFunc<SEARCH::NodeLimited>(Board, SearchParams, SEARCH::SearchContext*);

void UCILoop(Board& board) {
    PLATFORM::SetDefaultThreadStackSize(SEARCH_THREAD_STACK);
    auto templateContext = std::make_unique<SEARCH::SearchContext>();
    RebuildHistory(board, *templateContext);
    MOVEGEN::GenerateMoves<All>(board);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() <= 1) continue;

        if (Contains(line, "isready")) {
            PLATFORM::WriteLine("readyok");
        } else if (Contains(line, "position")) {
            HandlePosition(board, *templateContext, line);
        } else if (Contains(line, "ucinewgame")) {
            HandleNewGame(board, *templateContext);
        } else if (Contains(line, "go")) {
            HandleGo(line, board, *templateContext);
        } else if (Contains(line, "quit")) {
            break;
        } else if (Contains(line, "stop")) {
            stopAndJoin();
        } else if (Contains(line, "uci")) {
            PrintUciIdentification();
        } else if (Contains(line, "setoption")) {
            HandleSetOption(line);
        } else if (Contains(line, "bench")) {
            RunBenchmark();
        } else if (Contains(line, "perft")) {
            Perft(board, ToInt32(ReadParam("perft", line)));
        } else if (Contains(line, "print")) {
            PrintBoard(board);
        } else if (Contains(line, "listmoves")) {
            ListMoves(board);
        } else if (Contains(line, "nnue")) {
            PLATFORM::WriteLine("Final eval: " + std::to_string(NNUE::Network::Evaluate(board, false)));
        } else if (Contains(line, "tunables")) {
            PrintTunables();
        } else if (Contains(line, "datagen")) {
            DATAGEN::Run(1000000, 22);
        }
    }
    // "quit", or the end of input, which means the same.
    stopAndJoin();
}

std::optional<int32_t> ParseCommandLineInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return int32_t(value);
}

std::optional<DatagenArgs> ParseDatagenArgs(int argc, const char* const argv[]) {
    DatagenArgs args;
    if (argc < 3) return args; // "datagen" alone: one position, one thread
    const std::optional<int32_t> count = ParseCommandLineInt(argv[2]);
    if (!count) return std::nullopt;
    const int64_t target = int64_t(*count) * 1000;
    if (target < std::numeric_limits<int32_t>::min() || target > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    args.target = int32_t(target);
    if (argc >= 4) {
        const std::optional<int32_t> threadCount = ParseCommandLineInt(argv[3]);
        if (!threadCount) return std::nullopt;
        args.threads = *threadCount;
    }
    if (argc >= 5) args.user = argv[4];
    return args;
}
