#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <sstream>

#include "platform.h"
#include "search.h"
#include "utils.h"

namespace SEARCH {

namespace {

std::string Fixed(double value, int decimals, bool sign = false) {
    std::ostringstream os;
    if (sign) os << std::showpos;
    os << std::fixed << std::setprecision(decimals) << value;
    return os.str();
}

void Column(std::ostream& os, const std::string& text, int width, bool left = false) {
    os << (left ? std::left : std::right) << std::setw(width) << text;
}

std::string TimeText(int elapsedMs) {
    if (elapsedMs < 1000) return std::to_string(elapsedMs) + "ms";
    return Fixed(elapsedMs / 1000.0, 1) + "s";
}

std::string NodesText(uint64_t nodes) {
    if (nodes < 1000) return std::to_string(nodes);
    if (nodes < 1'000'000) return Fixed(double(nodes) / 1000.0, 1) + "k";
    return Fixed(double(nodes) / 1'000'000.0, 1) + "M";
}

std::string SpeedText(int nps) {
    if (nps >= 1'000'000) return Fixed(nps / 1'000'000.0, 1) + "M/s";
    if (nps >= 1000) return Fixed(nps / 1000.0, 1) + "k/s";
    return std::to_string(nps) + "/s";
}

} // namespace

void WdlPercentages(const WDL& wdl, int& w, int& d, int& l) {
    w = (wdl.win + 5) / 10;
    l = (wdl.loss + 5) / 10;
    if (w + l <= 100) {
        d = 100 - w - l;
        return;
    }
    d = 0;
    if (w < l)
        l = 100 - w;
    else
        w = 100 - l;
}

int ReportMaterial(const Board& board) {
    return UTILS::popcount(board.pieces[PAWN]) +
           3 * UTILS::popcount(board.pieces[KNIGHT] | board.pieces[BISHOP]) +
           5 * UTILS::popcount(board.pieces[ROOK]) + 9 * UTILS::popcount(board.pieces[QUEEN]);
}

WDL wdlModel(int material, int score) {
    const double m = double(std::clamp(material, 17, 78)) / 58.0;
    const double a =
        std::fma(std::fma(std::fma(-977.81543545, m, 2519.99289616), m, -2279.7104202), m, 1197.600657);
    const double b =
        std::fma(std::fma(std::fma(-224.61509659, m, 557.0335992), m, -440.33347428), m, 226.68436468);
    auto perMille = [&](double s) {
        return std::clamp(int(0.5 + 1000.0 / (1.0 + std::exp((a - s) / b))), 0, 1000);
    };
    WDL wdl{a, b, perMille(score), 0, perMille(-double(score))};
    wdl.draw = 1000 - wdl.win - wdl.loss;
    if (wdl.draw < 0) {
        if (wdl.win >= wdl.loss)
            wdl.win = 1000 - wdl.loss;
        else
            wdl.loss = 1000 - wdl.win;
        wdl.draw = 0;
    }
    return wdl;
}

int NormalizedScore(int score, double a) {
    return int(std::lround(double(100 * score) / a));
}

int MateDistance(int score) {
    const int n = (32768 - std::abs(score)) / 2;
    return score < 0 ? -n : n;
}

std::string PVLine::ToString() const {
    std::string text;
    for (int i = 0; i < pvLength[0]; i++) {
        if (i == 0 && !UCIEnabled) {
            std::ostringstream os;
            os << COLOUR::bright_cyan << pvTable[0][0].ToString() << COLOUR::reset;
            text += os.str();
        } else {
            text += pvTable[0][i].ToString();
        }
        text += ' ';
    }
    return text;
}

void PVLine::Print() const {
    PLATFORM::WriteText(ToString());
}

std::string SearchInfoLine(const Board& board, const SearchContext& ctx, int score, int depth, int elapsedMs,
                           int nps, int hashfull) {
    const WDL wdl = wdlModel(ReportMaterial(board), score);
    const bool mate = std::abs(score) >= MATE_BOUND;
    const int mateIn = MateDistance(score);
    std::ostringstream os;

    if (UCIEnabled) {
        os << "info depth " << depth << " seldepth " << ctx.seldepth << " time " << elapsedMs << " score ";
        if (mate)
            os << "mate " << mateIn;
        else
            os << "cp " << NormalizedScore(score, wdl.a);
        if (UCIShowWDL) os << " wdl " << wdl.win << ' ' << wdl.draw << ' ' << wdl.loss;
        os << " nodes " << ctx.nodes << " nps " << nps << " hashfull " << hashfull << " pv "
           << ctx.pvLine.ToString();
        return os.str();
    }

    Column(os, std::to_string(depth) + "/" + std::to_string(ctx.seldepth), 6, true);
    Column(os, TimeText(elapsedMs), 10);

    std::string scoreText;
    if (mate) {
        if (mateIn > 0)
            os << COLOUR::bright_green;
        else
            os << COLOUR::bright_red;
        scoreText = (mateIn < 0 ? "-M" + std::to_string(-mateIn) : "+M" + std::to_string(mateIn));
    } else {
        if (score > 0)
            os << COLOUR::green;
        else if (score < 0)
            os << COLOUR::red;
        scoreText = Fixed(NormalizedScore(score, wdl.a) / 100.0, 2, true);
    }
    Column(os, scoreText, 9);
    os << COLOUR::reset;

    int w, d, l;
    WdlPercentages(wdl, w, d, l);
    Column(os, std::to_string(w) + "W " + std::to_string(d) + "D " + std::to_string(l) + "L", 14);
    Column(os, "TT: " + std::to_string((hashfull + 5) / 10) + "%", 10);
    Column(os, NodesText(ctx.nodes), 11);
    Column(os, SpeedText(nps), 12);
    os << "  " << ctx.pvLine.ToString() << COLOUR::reset;
    return os.str();
}

void PrintSearchInfo(Board& board, SearchContext* ctx, SearchResults& result, int depth, int elapsedMs) {
    const double seconds = double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now() - ctx->startTime)
                                      .count()) /
                           1e9;
    // A zero interval or a speed beyond int range gives the nearest value that can be printed.
    const double speed = seconds > 0 ? double(ctx->nodes) / seconds : 0.0;
    const int nps =
        speed >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(speed);
    PLATFORM::WriteLine(
        SearchInfoLine(board, *ctx, result.score, depth, elapsedMs, nps, ctx->tt->Hashfull()));
}

} // namespace SEARCH
