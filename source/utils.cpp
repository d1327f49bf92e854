#include "utils.h"

namespace UTILS {

uint64_t zKeys[2][6][64];
uint64_t zEnPassant[8];
uint64_t zCastle[16];
uint64_t zSide;
uint64_t initialSeed = 0x60919c48e57863b9ULL;

std::vector<std::string> split(std::string_view s, char delimiter) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find(delimiter, start);
        if (end == std::string_view::npos) end = s.size();
        if (end > start) pieces.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

} // namespace UTILS

namespace {

uint64_t NextRandom(uint64_t& x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

} // namespace

void InitZobristKeys() {
    // A fixed seed keeps hash keys identical in every run.
    uint64_t x = UTILS::initialSeed;
    for (auto& colour : UTILS::zKeys)
        for (auto& type : colour)
            for (uint64_t& key : type) key = NextRandom(x);
    for (uint64_t& key : UTILS::zEnPassant) key = NextRandom(x);
    for (uint64_t& key : UTILS::zCastle) key = NextRandom(x);
    UTILS::zSide = NextRandom(x);
    UTILS::initialSeed = x;
}
