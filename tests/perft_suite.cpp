// Runs perft over the positions of an EPD suite and compares every count with the listed one.
//   vestrel_perft_suite FILE [--lines A:B] [--min-leaves N | --max-leaves N | --all]
// --lines A:B    only positions A to B (1-based, inclusive); otherwise every position
// --min-leaves N per position, the shallowest listed depth with at least N leaves (or the deepest)
// --max-leaves N per position, the deepest listed depth with at most N leaves (at least depth 1)
// --all          every listed depth
// --threads N    split the root moves over N threads
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "perft.h"
#include "utils.h"

namespace {

struct Entry {
    std::string fen;
    std::vector<std::pair<int, uint64_t>> counts; // (depth, leaves), ascending depth
};

bool ParseLine(const std::string& line, Entry& entry) {
    const std::vector<std::string> parts = UTILS::split(line, ';');
    if (parts.size() < 2) return false;
    entry.fen = parts[0];
    while (!entry.fen.empty() && entry.fen.back() == ' ') entry.fen.pop_back();
    for (std::size_t i = 1; i < parts.size(); i++) {
        const std::vector<std::string> words = UTILS::split(parts[i], ' ');
        if (words.size() != 2 || words[0].size() < 2 || words[0][0] != 'D') return false;
        entry.counts.emplace_back(std::stoi(words[0].substr(1)), std::stoull(words[1]));
    }
    return true;
}

// The root moves are independent, so large counts can be shared out over several threads.
uint64_t SplitPerft(Board& board, int depth, int threads) {
    if (threads <= 1 || depth < 2) return PerftCount(board, depth);
    MOVEGEN::GenerateMoves<All>(board);
    std::vector<Move> roots;
    for (int i = 0; i < board.moveCount; i++)
        if (board.IsLegal(board.moves[i])) roots.push_back(board.moves[i]);
    std::atomic<std::size_t> next{0};
    std::atomic<uint64_t> total{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&] {
            for (std::size_t i; (i = next.fetch_add(1)) < roots.size();) {
                Board child = board;
                child.MakeMove(roots[i]);
                total += PerftCount(child, depth - 1);
            }
        });
    for (std::thread& thread : pool) thread.join();
    return total;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0]
                  << " FILE [--lines A:B] [--min-leaves N | --max-leaves N | --all]\n";
        return 2;
    }
    int firstLine = 1, lastLine = 1 << 30;
    enum { MIN_LEAVES, MAX_LEAVES, ALL } selection = MAX_LEAVES;
    uint64_t leaves = 1000000;
    int threads = 1;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--lines" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%d:%d", &firstLine, &lastLine) != 2 || firstLine < 1 ||
                lastLine < firstLine) {
                std::cerr << "bad range " << argv[i] << "\n";
                return 2;
            }
        } else if (arg == "--min-leaves" && i + 1 < argc) {
            selection = MIN_LEAVES;
            leaves = std::stoull(argv[++i]);
        } else if (arg == "--max-leaves" && i + 1 < argc) {
            selection = MAX_LEAVES;
            leaves = std::stoull(argv[++i]);
        } else if (arg == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (arg == "--all") {
            selection = ALL;
        } else {
            std::cerr << "unknown argument " << arg << "\n";
            return 2;
        }
    }

    NNUE::LoadNetwork();
    InitAttackTables();
    InitZobristKeys();

    std::ifstream file(argv[1]);
    if (!file) {
        std::cerr << "cannot open " << argv[1] << "\n";
        return 2;
    }
    std::string line;
    int lineNumber = 0, checked = 0, failed = 0;
    uint64_t totalLeaves = 0;
    double totalSeconds = 0;
    while (std::getline(file, line)) {
        if (line.empty()) continue;
        lineNumber++;
        if (lineNumber < firstLine || lineNumber > lastLine) continue;
        Entry entry;
        if (!ParseLine(line, entry) || entry.counts.empty()) {
            std::cerr << "line " << lineNumber << ": cannot parse\n";
            return 2;
        }
        const std::string problem = ValidateFen(entry.fen);
        if (!problem.empty()) {
            std::cerr << "line " << lineNumber << ": FEN refused: " << problem << "\n";
            failed++;
            continue;
        }
        std::vector<std::pair<int, uint64_t>> selected;
        if (selection == ALL) {
            selected = entry.counts;
        } else if (selection == MIN_LEAVES) {
            for (const auto& c : entry.counts) {
                selected = {c};
                if (c.second >= leaves) break;
            }
        } else {
            selected = {entry.counts.front()};
            for (const auto& c : entry.counts)
                if (c.second <= leaves) selected = {c};
        }
        for (const auto& [depth, expected] : selected) {
            Board board;
            board.SetByFen(entry.fen);
            const auto start = std::chrono::steady_clock::now();
            const uint64_t got = SplitPerft(board, depth, threads);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            totalLeaves += got;
            totalSeconds += seconds;
            checked++;
            if (got != expected) {
                failed++;
                std::printf("FAIL line %d depth %d: expected %llu, got %llu  %s\n", lineNumber, depth,
                            (unsigned long long)expected, (unsigned long long)got, entry.fen.c_str());
            }
        }
    }
    if (lineNumber < lastLine && lastLine != 1 << 30) {
        std::cerr << "the file has only " << lineNumber << " positions\n";
        return 2;
    }
    std::printf("%d counts checked, %d failed, %llu leaves in %.2f s (%.0f leaves/s)\n", checked, failed,
                (unsigned long long)totalLeaves, totalSeconds,
                totalSeconds > 0 ? totalLeaves / totalSeconds : 0.0);
    return failed ? 1 : 0;
}
