#pragma once

#include <cstdint>

struct Board;

// Prints the count under each legal root move, the total and the speed. The position is left
// as it was; only its move list is regenerated. Depths outside 1..255 are refused in one line.
void Perft(Board& board, int depth);

// The number of legal move paths of exactly depth plies, printing nothing; 0 for depth < 0.
uint64_t PerftCount(Board& board, int depth);
