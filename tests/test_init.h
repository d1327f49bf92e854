#pragma once

#include <mutex>

#include "movegen.h"
#include "nnue.h"
#include "search.h"
#include "utils.h"

// Builds the process-wide start-up tables once per test program, in the order main builds them.
inline void InitTablesOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        NNUE::LoadNetwork();
        InitAttackTables();
        InitZobristKeys();
        SEARCH::InitLMRTable();
    });
}
