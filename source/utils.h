#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace UTILS {

// Zobrist keys, drawn once at start-up by InitZobristKeys and read-only afterwards.
extern uint64_t zKeys[2][6][64];
extern uint64_t zEnPassant[8];
extern uint64_t zCastle[16];
extern uint64_t zSide;
// Generator seed; holds the generator's final state (== zSide) after InitZobristKeys.
extern uint64_t initialSeed;

// Splits s on delimiter, dropping empty pieces.
std::vector<std::string> split(std::string_view s, char delimiter);

inline int lsb(uint64_t b) { return __builtin_ctzll(b); }
inline int popcount(uint64_t b) { return __builtin_popcountll(b); }
inline int poplsb(uint64_t& b) {
    const int s = __builtin_ctzll(b);
    b &= b - 1;
    return s;
}

} // namespace UTILS

void InitZobristKeys();
