#include <cstdio>
#include <optional>
#include <string_view>

#include "bench.h"
#include "board.h"
#include "datagen.h"
#include "movegen.h"
#include "nnue.h"
#include "search.h"
#include "uci.h"
#include "utils.h"

namespace {
constexpr const char* DATAGEN_USAGE = "usage: vestrel datagen [thousands of positions [threads [user]]] "
                                      "(32-bit integers, at most 2147483 thousand positions)\n";
} // namespace

int main(int argc, char* argv[]) {
    NNUE::LoadNetwork();
    InitAttackTables();
    InitZobristKeys();
    SEARCH::InitLMRTable();

    Board board;
    board.SetByFen(StartingFen);

    if (argc < 2) {
        UCILoop(board);
        return 0;
    }
    const std::string_view mode = argv[1];
    if (mode == "bench") {
        RunBenchmark();
    } else if (mode == "datagen") {
        const std::optional<DatagenArgs> args = ParseDatagenArgs(argc, argv);
        if (!args) {
            std::fputs(DATAGEN_USAGE, stderr);
            return 2;
        }
        const bool saved = args->user.empty() ? DATAGEN::Run(args->target, args->threads)
                                              : DATAGEN::RunOnline(args->user, args->target, args->threads);
        if (!saved) return 1;
    }
    return 0;
}
