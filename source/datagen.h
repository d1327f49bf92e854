#pragma once

#include <atomic>
#include <string>

namespace DATAGEN {

// Set by the SIGINT/SIGTERM handler; never cleared.
extern std::atomic<bool> g_shutdownRequested;

// Offline generation: target positions with threads - 1 workers (the caller displays).
void Run(int target, int threads);

// Online generation in cycles for the collection server, until a shutdown is requested.
void RunOnline(const std::string& user, int target, int threads);

} // namespace DATAGEN
