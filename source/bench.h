#pragma once

#include <string_view>

// The benchmark's positions, in search order.
extern const std::string_view fenPositions[50];

// Searches every benchmark position to depth 11 on a table of its own and prints
// "<nodes> nodes <speed> nps".
void RunBenchmark();

// Lists every tunable search constant, one line each, in table order.
void PrintTunables();
