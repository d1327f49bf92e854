#include "perft.h"

#include <chrono>
#include <climits>
#include <sstream>
#include <string>

#include "board.h"
#include "movegen.h"
#include "platform.h"
#include "search.h"

namespace {

uint64_t HelperPerft(Board& board, int depth) {
    MOVEGEN::GenerateMoves<All>(board);
    if (depth == 0) return 1;
    uint64_t nodes = 0;
    for (int i = 0; i < board.moveCount; i++) {
        const Move move = board.moves[i];
        if (!board.IsLegal(move)) continue;
        Board child = board;
        child.MakeMove(move);
        nodes += HelperPerft(child, depth - 1);
    }
    return nodes;
}

} // namespace

uint64_t PerftCount(Board& board, int depth) {
    if (depth < 0) return 0;
    return HelperPerft(board, depth);
}

void Perft(Board& board, int depth) {
    if (depth < 1) {
        PLATFORM::WriteLine("Perft depth must be at least 1");
        return;
    }
    // Every level keeps a board copy on the stack; a deeper tree could never be counted anyway.
    if (depth > SEARCH::MAX_PLY) {
        PLATFORM::WriteLine("Perft depth must be at most " + std::to_string(SEARCH::MAX_PLY));
        return;
    }
    MOVEGEN::GenerateMoves<All>(board);
    const auto start = std::chrono::steady_clock::now();
    uint64_t total = 0;
    for (int i = 0; i < board.moveCount; i++) {
        const Move move = board.moves[i];
        if (!board.IsLegal(move)) continue;
        Board child = board;
        child.MakeMove(move);
        const uint64_t nodes = HelperPerft(child, depth - 1);
        PLATFORM::WriteLine(move.ToString() + ": " + std::to_string(nodes));
        total += nodes;
    }
    const auto Seconds = [&] {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1000000000;
    };
    PLATFORM::WriteLine("");
    PLATFORM::WriteLine("Depth: " + std::to_string(depth));
    PLATFORM::WriteLine("Total nodes: " + std::to_string(total));

    std::ostringstream line;
    line << "Time took: " << Seconds() << "s (";
    // A zero reading gives no speed; a speed beyond the 32-bit range is clamped.
    const double seconds = Seconds();
    const double speed = seconds > 0 ? double(total) / seconds : 0.0;
    line << (speed >= double(INT32_MAX) ? INT32_MAX : int32_t(speed)) << " nodes/sec)";
    PLATFORM::WriteLine(line.str());
}
