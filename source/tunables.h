#pragma once

#include <string_view>

// The search's tuning constants, defined once: the search reads the constants below and
// PrintTunables lists the same table. TUNABLE(type, name, value, min, max), in listing order.
#define VESTREL_TUNABLES(TUNABLE)                                                                              \
    TUNABLE(float, lmrBaseQuiet, 1.1029723689888005, 0.6, 1.6)                                                \
    TUNABLE(float, lmrDivisorQuiet, 2.3063513397139945, 1.6, 3.6)                                             \
    TUNABLE(float, lmrBaseNoisy, 0.451805556082857, 0.1, 1.1)                                                 \
    TUNABLE(float, lmrDivisorNoisy, 3.1355330830404338, 2, 4.5)                                               \
    TUNABLE(int, lmrCutnode, 2005, 1024, 3072)                                                                \
    TUNABLE(int, lmrIsPV, 982, 256, 2048)                                                                     \
    TUNABLE(int, lmrTTPV, 936, 256, 2048)                                                                     \
    TUNABLE(int, lmrHistoryDivisor, 8377, 4096, 16384)                                                        \
    TUNABLE(int, lmrImproving, 1131, 256, 2048)                                                               \
    TUNABLE(int, lmrCorrplexity, 830, 256, 2048)                                                              \
    TUNABLE(int, lmrTTPVFailLow, 913, 256, 2048)                                                              \
    TUNABLE(int, lmrDeeperBase, 46, 0, 96)                                                                    \
    TUNABLE(int, rfpBase, 21, 0, 100)                                                                         \
    TUNABLE(int, rfpMargin, 97, 50, 200)                                                                      \
    TUNABLE(int, fpMargin, 86, 50, 200)                                                                       \
    TUNABLE(int, qsFPMargin, 100, 50, 200)                                                                    \
    TUNABLE(int, probcutBetaMargin, 190, 100, 300)                                                            \
    TUNABLE(int, razoringScalar, 195, 80, 320)                                                                \
    TUNABLE(int, doubleExtMargin, 32, 8, 64)                                                                  \
    TUNABLE(int, seeQuietThreshold, -81, -160, 0)                                                             \
    TUNABLE(int, seeNoisyThreshold, -32, -120, 40)                                                            \
    TUNABLE(int, aspInitialDelta, 26, 8, 96)                                                                  \
    TUNABLE(int, nmpBetaMargin, 25, 8, 96)                                                                    \
    TUNABLE(int, seePawnValue, 98, 80, 140)                                                                   \
    TUNABLE(int, seeKnightValue, 301, 240, 420)                                                               \
    TUNABLE(int, seeBishopValue, 346, 250, 450)                                                               \
    TUNABLE(int, seeRookValue, 507, 400, 700)                                                                 \
    TUNABLE(int, seeQueenValue, 924, 700, 1300)                                                               \
    TUNABLE(int, seeQsThreshold, -13, -120, 120)                                                              \
    TUNABLE(int, seeOrderingThreshold, -102, -200, 0)                                                         \
    TUNABLE(int, ldseMargin, 26, 0, 96)                                                                       \
    TUNABLE(int, historyBonusMultiplier, 306, 280, 320)                                                       \
    TUNABLE(int, historyBonusSub, 252, 235, 265)                                                              \
    TUNABLE(int, historyMalusMultiplier, 301, 280, 320)                                                       \
    TUNABLE(int, historyMalusSub, 250, 235, 265)                                                              \
    TUNABLE(int, contHistoryBonusMultiplier, 300, 280, 320)                                                   \
    TUNABLE(int, contHistoryBonusSub, 252, 235, 265)                                                          \
    TUNABLE(int, contHistoryMalusMultiplier, 300, 280, 320)                                                   \
    TUNABLE(int, contHistoryMalusSub, 249, 235, 265)                                                          \
    TUNABLE(int, captHistoryBonusMultiplier, 302, 280, 320)                                                   \
    TUNABLE(int, captHistoryBonusSub, 249, 235, 265)                                                          \
    TUNABLE(int, captHistoryMalusMultiplier, 300, 280, 320)                                                   \
    TUNABLE(int, captHistoryMalusSub, 249, 235, 265)

namespace SEARCH {

// float tunables are held as double, as the listing prints them.
using tunable_float = double;
using tunable_int = int;

#define VESTREL_DEFINE_TUNABLE(type, name, value, min, max) inline constexpr tunable_##type name = value;
VESTREL_TUNABLES(VESTREL_DEFINE_TUNABLE)
#undef VESTREL_DEFINE_TUNABLE

struct Tunable {
    std::string_view name;
    bool isFloat;
    double value;
    double min;
    double max;
};

#define VESTREL_TUNABLE_ROW(type, name, value, min, max) Tunable{#name, #type[0] == 'f', double(name), min, max},
inline constexpr Tunable tunables[] = {VESTREL_TUNABLES(VESTREL_TUNABLE_ROW)};
#undef VESTREL_TUNABLE_ROW

static_assert(sizeof(tunables) / sizeof(tunables[0]) == 43);

} // namespace SEARCH
