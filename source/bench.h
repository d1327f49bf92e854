#pragma once

#include <string>
#include <string_view>

#include "tunables.h"

// The benchmark's positions, in search order.
extern const std::string_view fenPositions[50];

// Searches every benchmark position to depth 11 on a table of its own and prints
// "<nodes> nodes <speed> nps".
void RunBenchmark();

// One line of the tunables listing (without the newline).
std::string TunableLine(const SEARCH::Tunable& tunable);

// Lists every tunable search constant, one line each, in table order.
void PrintTunables();
