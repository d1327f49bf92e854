#include <string_view>

#include "bench.h"
#include "board.h"
#include "movegen.h"
#include "nnue.h"
#include "search.h"
#include "uci.h"
#include "utils.h"

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
    }
    return 0;
}
