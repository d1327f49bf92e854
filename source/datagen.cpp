#include "datagen.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "movegen.h"
#include "nnue.h"
#include "platform.h"
#include "search.h"
#include "tt.h"
#include "utils.h"

namespace fs = std::filesystem;

namespace DATAGEN {

std::atomic<bool> g_shutdownRequested{false};

namespace {

// One whole line on the error stream (a single write, so lines of workers do not mix).
void ErrorLine(const std::string& text) {
    std::string line = text;
    line.push_back('\n');
    std::cerr << line << std::flush;
}

} // namespace

// ---- Game record ------------------------------------------------------------------------

PackedBoard PackBoard(const Board& board, int whiteEval) {
    PackedBoard packed{};
    packed.occupancy = board.occupied;
    uint64_t occ = board.occupied;
    int k = 0;
    while (occ) {
        const int sq = UTILS::poplsb(occ);
        int kind = board.mailbox[sq];
        if (kind == ROOK) {
            const bool unmoved = (sq == 0 && (board.castlingRights & WHITE_QUEEN_SIDE)) ||
                                 (sq == 7 && (board.castlingRights & WHITE_KING_SIDE)) ||
                                 (sq == 56 && (board.castlingRights & BLACK_QUEEN_SIDE)) ||
                                 (sq == 63 && (board.castlingRights & BLACK_KING_SIDE));
            if (unmoved) kind = UNMOVED_ROOK;
        }
        const int colour = (board.colours[BLACK] >> sq) & 1;
        const int code = colour << 3 | kind;
        packed.packedPieces[k / 2] |= uint8_t(code << ((k & 1) * 4));
        ++k;
    }
    const int ep = board.enPassantSquare == -1 ? 64 : board.enPassantSquare;
    packed.stmEp = uint8_t(board.sideToMove << 7 | ep);
    packed.halfmoveClock = uint8_t(board.halfMoveClock);
    packed.fullmoveNumber = uint16_t(board.fullMoveNumber);
    packed.eval = int16_t(whiteEval);
    packed.wdl = 0;
    packed.extra = 0;
    return packed;
}

uint16_t PackMove(Move move) {
    const int from = move.from();
    const int to = move.to();
    switch (move.type()) {
    case EP_CAPTURE:
        return uint16_t(from | to << 6 | 0x4000);
    case KING_CASTLE:
        return uint16_t(from | (from < 8 ? 7 : 63) << 6 | 0x8000);
    case QUEEN_CASTLE:
        return uint16_t(from | (from < 8 ? 0 : 56) << 6 | 0x8000);
    case KNIGHT_PROMOTION:
    case BISHOP_PROMOTION:
    case ROOK_PROMOTION:
    case QUEEN_PROMOTION:
    case KNIGHT_PROMO_CAPTURE:
    case BISHOP_PROMO_CAPTURE:
    case ROOK_PROMO_CAPTURE:
    case QUEEN_PROMO_CAPTURE:
        return uint16_t(from | to << 6 | (move.PromotionPiece() - KNIGHT) << 12 | 0xC000);
    default:
        return uint16_t(move.data & 0x0FFF);
    }
}

MoveScore PackMoveScore(Move move, int score, int sideToMove) {
    const int whiteScore = sideToMove == BLACK ? -score : score;
    return MoveScore(PackMove(move)) | MoveScore(uint16_t(whiteScore)) << 16;
}

std::string SerializeGames(const std::vector<Game>& games) {
    std::size_t total = 0;
    for (const Game& game : games) total += RecordSize(game);
    std::string buffer;
    buffer.reserve(total);
    for (const Game& game : games) {
        buffer.append(reinterpret_cast<const char*>(&game.board), sizeof(PackedBoard));
        buffer.append(reinterpret_cast<const char*>(game.moves.data()),
                      game.moves.size() * sizeof(MoveScore));
        buffer.append(4, '\0');
    }
    return buffer;
}

// ---- Game files ---------------------------------------------------------------------------

bool WriteToFile(std::vector<Game>& games, const std::string& prefix, int& fileIndex) {
    if (games.empty()) return true;
    const std::string buffer = SerializeGames(games);

    // A batch file of an earlier, unmerged run may hold this index: never replace it.
    // Only this worker writes names with its prefix, so the test cannot race.
    int index = fileIndex;
    std::error_code ec;
    while (fs::exists(fs::symlink_status(prefix + std::to_string(index) + ".binpack", ec))) ++index;
    const std::string tempName = prefix + std::to_string(index) + ".tmp";
    const std::string finalName = prefix + std::to_string(index) + ".binpack";

    std::ofstream out(tempName, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        ErrorLine("Failed to create temporary file: " + tempName);
        return false;
    }
    out.write(buffer.data(), std::streamsize(buffer.size()));
    out.flush();
    out.close();
    if (!out) {
        // A short batch file would shift every later record of a merged file.
        ErrorLine("Failed to write temporary file: " + tempName);
        fs::remove(tempName, ec);
        return false;
    }

    fs::rename(tempName, finalName, ec);
    if (ec) {
        ErrorLine("Failed to rename " + tempName + " to " + finalName + ": " + ec.message());
        fs::remove(tempName, ec);
        return false;
    }
    fileIndex = index + 1;
    return true;
}

namespace {

// A number as std::to_string writes a non-negative one: digits, no leading zero.
bool IsPlainNumber(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "thread" + worker id + "_" + file index + suffix: exactly what a worker writes, so that no
// other file in the folder is ever merged or deleted.
bool IsWorkerFileName(std::string_view name, std::string_view suffix) {
    constexpr std::string_view head = "thread";
    if (name.size() < head.size() + suffix.size() || !name.starts_with(head) || !name.ends_with(suffix))
        return false;
    const std::string_view numbers = name.substr(head.size(), name.size() - head.size() - suffix.size());
    const std::size_t separator = numbers.find('_');
    return separator != std::string_view::npos && IsPlainNumber(numbers.substr(0, separator)) &&
           IsPlainNumber(numbers.substr(separator + 1));
}

} // namespace

bool IsWorkerBatchName(std::string_view name) {
    return IsWorkerFileName(name, ".binpack");
}

bool IsWorkerTempName(std::string_view name) {
    return IsWorkerFileName(name, ".tmp");
}

DataFolderLock::DataFolderLock(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string path = (dir / LOCK_FILE_NAME).string();
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // Without a lock file the folder cannot be written to, so this run cannot harm another's
    // files there; its own writes report their failures.
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        busy = errno == EWOULDBLOCK;
        ::close(fd);
        fd = -1;
    }
}

DataFolderLock::~DataFolderLock() {
    if (fd >= 0) ::close(fd);
}

std::string MergedFileName(const std::tm& local) {
    std::ostringstream name;
    name << "data/datagen_" << std::put_time(&local, "%Y-%m-%d_%H-%M") << ".binpack";
    return name.str();
}

namespace {

// Appends the whole of source to the descriptor out; on failure cuts out back to its size
// before, so that a partial batch never stays in the merged file.
// Damaged: the write failed and the merged file could not be cut back either.
enum class AppendResult { Ok, OpenFailed, WriteFailed, Damaged };

// Counts the records and positions of game-file bytes as they go by.
struct RecordCounter {
    int games = 0;
    int positions = 0;
    int headLeft = int(sizeof(PackedBoard));
    MoveScore entry = 0;
    int entryBytes = 0;

    void Feed(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (headLeft > 0) {
                --headLeft;
                continue;
            }
            entry |= MoveScore(uint8_t(data[i])) << (8 * entryBytes);
            if (++entryBytes < int(sizeof(MoveScore))) continue;
            if (entry == 0) {
                ++games;
                headLeft = int(sizeof(PackedBoard));
            } else {
                ++positions;
            }
            entry = 0;
            entryBytes = 0;
        }
    }
};

AppendResult AppendFile(const fs::path& source, int out, std::string& reason, RecordCounter& counter,
                        uint64_t& appended) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return AppendResult::OpenFailed;
    const off_t before = ::lseek(out, 0, SEEK_END);
    std::vector<char> chunk(1 << 20);
    bool ok = before >= 0;
    while (ok) {
        const ssize_t got = ::read(in, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) {
                reason = std::generic_category().message(errno);
                ok = false;
            }
            break;
        }
        ssize_t done = 0;
        while (done < got) {
            const ssize_t put = ::write(out, chunk.data() + done, std::size_t(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                reason = std::generic_category().message(put < 0 ? errno : EIO);
                ok = false;
                break;
            }
            done += put;
        }
        if (!ok) break;
        counter.Feed(chunk.data(), std::size_t(got));
        appended += uint64_t(got);
    }
    ::close(in);
    if (!ok) {
        if (before < 0) return AppendResult::WriteFailed;
        // Nothing of this file reached the merged file, or it is cut off again.
        if (appended == 0 && ::lseek(out, 0, SEEK_END) == before) return AppendResult::WriteFailed;
        if (::ftruncate(out, before) == 0 && ::lseek(out, before, SEEK_SET) == before)
            return AppendResult::WriteFailed;
        return AppendResult::Damaged;
    }
    return AppendResult::Ok;
}

} // namespace

namespace {

// The worker batch files in dataDir, for a merge that takes none of them.
std::vector<std::string> WorkerBatchFiles(const fs::path& dataDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dataDir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        const std::string name = it->path().filename().string();
        if (IsWorkerBatchName(name) && it->is_regular_file(typeError)) names.push_back(name);
    }
    return names;
}

// Closes the merged file; one that holds nothing is removed again (only a regular file: the
// name may stand for a device). False when the close reports lost writes.
bool CloseMergedFile(int out, const std::string& path, bool empty) {
    struct stat info {};
    const bool regular = ::fstat(out, &info) == 0 && S_ISREG(info.st_mode);
    const bool closed = ::close(out) == 0;
    if (empty && regular) ::unlink(path.c_str());
    return closed;
}

} // namespace

std::string MergeThreadFilesInto(const fs::path& dataDir, const std::string& mergedPath,
                                 MergeReport* report) {
    MergeReport local;
    MergeReport& r = report ? *report : local;
    r = MergeReport{};
    const int out = ::open(mergedPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        ErrorLine("Failed to create final merged file: " + mergedPath);
        r.failed = true;
        r.kept = WorkerBatchFiles(dataDir);
        return "";
    }

    std::error_code ec;
    fs::directory_iterator it(dataDir, ec);
    if (ec) {
        ErrorLine("Failed to list " + dataDir.string() + ": " + ec.message());
        CloseMergedFile(out, mergedPath, true);
        r.failed = true;
        return "";
    }
    bool damaged = false;
    uint64_t bytes = 0;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        const std::string name = entry.path().filename().string();
        std::error_code typeError;
        if (!IsWorkerBatchName(name) || !entry.is_regular_file(typeError)) continue;
        if (damaged) {
            // Whatever came after a cut record would be misread: leave the rest for later.
            r.kept.push_back(name);
            continue;
        }
        std::string reason;
        RecordCounter counter;
        uint64_t appended = 0;
        switch (AppendFile(entry.path(), out, reason, counter, appended)) {
        case AppendResult::OpenFailed:
            ErrorLine("Failed to open " + name);
            r.kept.push_back(name);
            continue;
        case AppendResult::WriteFailed:
            ErrorLine("Failed to append " + name + " to " + mergedPath + ": " + reason + " (file kept)");
            r.kept.push_back(name);
            continue;
        case AppendResult::Damaged:
            ErrorLine("Failed to append " + name + " to " + mergedPath + ": " + reason +
                      " (file kept; the merged file ends in a cut record)");
            r.kept.push_back(name);
            damaged = true;
            continue;
        case AppendResult::Ok:
            break;
        }
        bytes += appended;
        r.games += counter.games;
        r.positions += counter.positions;
        std::error_code removeError;
        if (!fs::remove(entry.path(), removeError) && removeError)
            ErrorLine("Failed to delete " + name + ": " + removeError.message());
    }
    if (ec) {
        ErrorLine("Failed to list " + dataDir.string() + ": " + ec.message());
        r.failed = true;
    }

    ec.clear();
    for (fs::directory_iterator leftover(dataDir, ec); !ec && leftover != fs::directory_iterator();
         leftover.increment(ec)) {
        const fs::directory_entry& entry = *leftover;
        const std::string name = entry.path().filename().string();
        std::error_code typeError;
        if (!IsWorkerTempName(name) || !entry.is_regular_file(typeError)) continue;
        std::error_code removeError;
        if (!fs::remove(entry.path(), removeError) && removeError)
            ErrorLine("Failed to delete incomplete temp file " + name + ": " + removeError.message());
    }

    const bool empty = bytes == 0 && !damaged;
    if (!CloseMergedFile(out, mergedPath, empty)) {
        ErrorLine("Failed to write " + mergedPath);
        damaged = true;
    }
    if (!r.kept.empty() || damaged) r.failed = true;
    r.damaged = damaged;
    if (empty) return "";
    r.path = mergedPath;
    PLATFORM::WriteLine(
        (r.kept.empty() ? "Merged all thread files into: " : "Merged part of the thread files into: ") +
        mergedPath);
    return mergedPath;
}

std::string MergeThreadFiles(MergeReport* report) {
    MergeReport local;
    MergeReport& r = report ? *report : local;
    r = MergeReport{};
    std::error_code ec;
    fs::create_directories("data", ec);
    if (ec) {
        ErrorLine("Failed to create directory data: " + ec.message());
        r.failed = true;
        r.kept = WorkerBatchFiles("data");
        return "";
    }
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm localTime{};
    if (!PLATFORM::LocalTime(now, localTime)) {
        ErrorLine("Failed to read the local time");
        r.failed = true;
        r.kept = WorkerBatchFiles("data");
        return "";
    }
    // A second merge within the same minute takes the next free name.
    const std::string base = MergedFileName(localTime);
    std::string name = base;
    for (int n = 1;; ++n) {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        if (errno != EEXIST) break; // reported by the merge when it opens the file
        name = base.substr(0, base.size() - 8) + "_" + std::to_string(n) + ".binpack";
    }
    return MergeThreadFilesInto("data", name, &r);
}

// ---- Signals and progress screen -------------------------------------------------------------

void SignalHandler(int signal) {
    if (signal != SIGTERM && signal != SIGINT) return;
    // Only async-signal-safe calls here: a plain write and a lock-free atomic.
    static const char message[] = "\n\nShutdown signal received. Saving data safely...\n";
    const ssize_t ignored = ::write(STDOUT_FILENO, message, sizeof(message) - 1);
    (void)ignored;
    g_shutdownRequested.exchange(true);
}

namespace {

constexpr const char* RESET = "\033[0m";
constexpr const char* CYAN = "\033[1;36m";
constexpr const char* YELLOW = "\033[1;33m";
constexpr const char* GREEN = "\033[1;32m";
constexpr const char* BLUE = "\033[1;34m";

void CentredLine(std::string& out, const char* colour, const std::string& text) {
    const int len = int(text.size());
    const int width = len + (PROGRESS_WIDTH - len) / 2;
    out += colour;
    if (width > len) out.append(std::size_t(width - len), ' ');
    out += text;
    out += RESET;
    out += '\n';
}

// Converts to int without overflow (the estimate can be huge early in a long run).
int ClampToInt(double value) {
    if (!(value > 0)) return 0;
    if (value >= 2147483647.0) return 2147483647;
    return int(value);
}

std::string TwoDigits(int value) {
    std::string text = std::to_string(value);
    if (text.size() < 2) text.insert(0, 2 - text.size(), '0');
    return text;
}

std::string Fixed2(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f", value);
    return text;
}

} // namespace

std::string RenderProgress(int positions, int target, double elapsed, Stopwatch& start, int threads) {
    long rate = 0;
    if (elapsed - start.lastElapsed >= 1.0) {
        // Games cut short by a stop take their positions off the count again; a falling count
        // shows no speed rather than a negative one.
        rate = std::max(0L, std::lround((positions - start.lastPositions) / (elapsed - start.lastElapsed)));
        start.lastElapsed = elapsed;
        start.lastPositions = positions;
    }

    double eta = 0;
    if (positions > 0 && elapsed > 0) eta = (double(target) - positions) / (positions / elapsed);
    const int seconds = ClampToInt(eta);
    const int hours = seconds / 3600, minutes = (seconds % 3600) / 60, secs = seconds % 60;

    // With no positive target there is nothing left to do: show it as complete.
    const double progress = target > 0 ? double(positions) / target : 1.0;
    const int filled = progress > 0 ? ClampToInt(progress * BAR_WIDTH) : int(progress * BAR_WIDTH);
    std::string bar;
    for (int i = 0; i < BAR_WIDTH; ++i) bar += i < filled ? '=' : i == filled ? '>' : ' ';
    const long percent = std::lround(std::clamp(progress * 100, -1e9, 1e9));

    std::string out = "\033[H";
    CentredLine(out, CYAN, "Vestrel - Datagen");
    out.append(PROGRESS_WIDTH, '=');
    out += '\n';
    out += '\n';
    CentredLine(out, YELLOW,
                "Positions processed: " + Fixed2(positions / 1000.0) +
                    "K | Target: " + Fixed2(target / 1000.0) + "K");
    out += '\n';
    CentredLine(out, YELLOW, "Elapsed Time: " + std::to_string(std::lround(elapsed)) + " sec");
    CentredLine(out, GREEN, "Positions/sec: " + std::to_string(rate));
    out += '\n';
    CentredLine(out, YELLOW, "Threads: " + std::to_string(threads));
    out += '\n';
    CentredLine(out, YELLOW,
                "Estimated Time Left: " + TwoDigits(hours) + "h " + TwoDigits(minutes) + "m " +
                    TwoDigits(secs) + "s");
    out += '\n';
    CentredLine(out, BLUE, "[" + bar + "] " + std::to_string(percent) + " %");
    out += '\n';
    return out;
}

void PrintProgress(int positions, int target, Stopwatch& start, int threads) {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start.start).count()) / 1e9;
    PLATFORM::WriteText(RenderProgress(positions, target, elapsed, start, threads));
    // Later floating-point output on standard output keeps this notation.
    std::cout << std::fixed << std::setprecision(0);
}

// ---- Collection-server client -----------------------------------------------------------------

namespace {

// Runs a command line through /bin/sh like system(), except that the caller does not ignore
// SIGINT meanwhile: system() would swallow a Ctrl-C that arrives during a curl run.
int RunShellCommand(const std::string& command) {
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

} // namespace

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

fs::path MakeTempPath(const std::string& prefix, const std::string& suffix) {
    std::random_device device;
    std::mt19937_64 generator(device());
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = "/tmp";
    return dir / (prefix + std::to_string(generator()) + suffix);
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (u < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string CurlFormValue(const std::string& text) {
    // curl reads a value in double quotes literally apart from \" and \\ (no ';' options,
    // no '@' or '<' file reads, no trimming of blanks).
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string UrlEncode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string BuildHeartbeatJSON(const std::string& user, int threads) {
    return "{\"user\":\"" + JsonEscape(user) + "\",\"threads\":" + std::to_string(threads) + "}";
}

std::string BuildSessionStartJSON(const std::string& user, int target) {
    return "{\"user\":\"" + JsonEscape(user) + "\",\"target\":" + std::to_string(target) + "}";
}

std::string BuildUploadCommand(const std::string& baseUrl, const std::string& sessionId,
                               const std::string& mergedPath, const std::string& user, int positions) {
    return "curl -s -f -X POST " + ShellQuote(baseUrl + "/api/upload/" + UrlEncode(sessionId)) + " -F " +
           ShellQuote("file=@" + mergedPath) + " -F " + ShellQuote("user=" + CurlFormValue(user)) + " -F " +
           ShellQuote("positions=" + std::to_string(positions)) + " 2>/dev/null";
}

bool PostJSON(const std::string& url, const std::string& body, std::string& reply) {
    const fs::path requestPath = MakeTempPath("datagen_request_", ".json");
    const fs::path responsePath = MakeTempPath("datagen_response_", ".txt");
    {
        std::ofstream request(requestPath);
        if (!request.is_open()) {
            std::cerr << ("Failed to create temp file for request: " + requestPath.string() + "\n")
                      << std::flush;
            return false;
        }
        request << body;
    }
    const std::string command = "curl -s -X POST " + ShellQuote(url) + " -H " +
                                ShellQuote("Content-Type: application/json") + " -d " +
                                ShellQuote("@" + requestPath.string()) + " -o " +
                                ShellQuote(responsePath.string()) + " 2>/dev/null";
    const int status = RunShellCommand(command);
    {
        std::ifstream response(responsePath, std::ios::binary);
        if (response.is_open()) {
            std::ostringstream content;
            content << response.rdbuf();
            reply = content.str();
        } else {
            reply.clear();
        }
    }
    std::error_code ec;
    fs::remove(requestPath, ec);
    fs::remove(responsePath, ec);
    return status == 0;
}

void HeartbeatThread(const std::string& user, int threads, std::atomic<bool>& stop,
                     const std::string& baseUrl) {
    while (!stop.load()) {
        for (int i = 0; i < HEARTBEAT_INTERVAL; ++i) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (stop.load()) return;
        }
        std::string reply;
        PostJSON(baseUrl + "/api/session/heartbeat", BuildHeartbeatJSON(user, threads), reply);
    }
}

std::string ExtractJsonValue(const std::string& reply) {
    static const std::string key = "\"session_id\":";
    std::size_t pos = reply.find(key);
    if (pos == std::string::npos) return "";
    pos += key.size();
    while (pos < reply.size() && (reply[pos] == ' ' || reply[pos] == '\t' || reply[pos] == '\n')) ++pos;
    if (pos >= reply.size()) return "";
    if (reply[pos] == '"') {
        const std::size_t close = reply.find('"', pos + 1);
        if (close == std::string::npos) return "";
        return reply.substr(pos + 1, close - pos - 1);
    }
    const std::size_t end = reply.find_first_of(",]}", pos);
    return reply.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

// ---- Self-play worker ---------------------------------------------------------------------------

namespace {

// Stores the board's key at its history index, growing the array as the search does.
void StoreKey(SEARCH::SearchContext& ctx, const Board& board) {
    const std::size_t index = std::size_t(board.historyIndex);
    if (index >= ctx.hashHistory.size()) ctx.hashHistory.resize(index + 100, 0);
    ctx.hashHistory[index] = board.hashKey;
}

// Generates all moves into board and tells whether one of them is legal.
bool HasLegalMove(Board& board) {
    MOVEGEN::GenerateMoves<All>(board);
    for (int i = 0; i < board.moveCount; ++i)
        if (board.IsLegal(board.moves[i])) return true;
    return false;
}

struct Worker {
    int threadId;
    std::atomic<int>& positionCounter;
    WriteTally* tally;
    std::vector<Game> batch;
    std::string prefix;
    int fileIndex = 0;
    std::atomic<bool> searchStop{false};

    // Plays one game and appends it to the batch when it is kept.
    void PlayGame() {
        Board board;
        board.SetByFen(StartingFen);
        TTable tt;
        auto ctx = std::make_unique<SEARCH::SearchContext>();
        ctx->tt = &tt;
        ctx->datagenStop = &searchStop;
        StoreKey(*ctx, board);
        const SearchParams params{0, 0, 0, 0, 0, 0, 1};

        // Random opening: uniform over the legal moves of each ply.
        {
            std::random_device device;
            std::mt19937_64 rng(device());
            const int plies = (rng() >> 63) ? 9 : 8;
            for (int ply = 0; ply < plies; ++ply) {
                MOVEGEN::GenerateMoves<All>(board);
                if (board.moveCount == 0) break;
                std::uniform_int_distribution<int> pick(0, board.moveCount - 1);
                Move move;
                do move = board.moves[pick(rng)];
                while (!board.IsLegal(move));
                board.MakeMove(move);
                StoreKey(*ctx, board);
                if (SEARCH::IsDraw(board, *ctx) || !HasLegalMove(board)) break;
            }
        }

        // Only balanced, playable openings are kept.
        if (SEARCH::IsDraw(board, *ctx) || !HasLegalMove(board)) return;
        if (g_shutdownRequested.load()) return;
        const SearchResults opening = SEARCH::SearchPosition<SEARCH::Datagen>(board, params, *ctx);
        if (std::abs(opening.score) > 199) return;

        Game game{};
        const int rawEval = NNUE::Network::Evaluate(board, true);
        game.board = PackBoard(board, board.sideToMove == BLACK ? -rawEval : rawEval);

        int wdl = -1;
        for (;;) {
            if (SEARCH::IsDraw(board, *ctx)) {
                wdl = 1;
                break;
            }
            if (!HasLegalMove(board)) {
                wdl = board.checkers == 0 ? 1 : board.sideToMove == WHITE ? 0 : 2;
                break;
            }
            if (g_shutdownRequested.load()) break;
            const SearchResults result = SEARCH::SearchPosition<SEARCH::Datagen>(board, params, *ctx);
            if (result.move.IsNull()) break;
            game.moves.push_back(PackMoveScore(result.move, result.score, board.sideToMove));
            board.MakeMove(result.move);
            StoreKey(*ctx, board);
            positionCounter.fetch_add(1);
        }

        // A game cut short has no true result; a guessed label would poison the data, so it
        // is dropped and its positions are taken off the count again.
        if (wdl < 0) {
            positionCounter.fetch_sub(int(game.moves.size()));
            return;
        }
        game.board.wdl = uint8_t(wdl);
        batch.push_back(std::move(game));
        if (int(batch.size()) >= GAMES_PER_BATCH) Flush();
    }

    void Flush() {
        int positions = 0;
        for (const Game& game : batch) positions += int(game.moves.size());
        bool written = false;
        try {
            written = WriteToFile(batch, prefix, fileIndex);
        } catch (const std::exception& e) {
            ErrorLine("Worker " + std::to_string(threadId) + " could not write its games: " + e.what());
        }
        if (tally) {
            if (written) {
                tally->writtenPositions.fetch_add(positions);
            } else {
                tally->lostPositions.fetch_add(positions);
                tally->failedBatches.fetch_add(1);
            }
        }
        batch.clear();
    }
};

} // namespace

unsigned WinThreadEntry(void* arg) {
    std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(arg));
    std::atomic<bool>& stopFlag = *args->stopFlag;

    std::error_code ec;
    fs::create_directories("data", ec);
    if (ec) {
        ErrorLine("Worker " + std::to_string(args->threadId) +
                  ": failed to create directory data: " + ec.message());
    } else {
        const std::string prefix = "data/thread" + std::to_string(args->threadId) + "_";
        Worker worker{args->threadId, *args->positionCounter, args->tally, {}, prefix};
        try {
            worker.batch.reserve(GAMES_PER_BATCH);
            while (!stopFlag.load() && !g_shutdownRequested.load()) worker.PlayGame();
        } catch (const std::exception& e) {
            // Out of memory in one worker must not take the other workers' games down with it.
            ErrorLine("Worker " + std::to_string(args->threadId) + " stopped: " + e.what());
        }
        if (!worker.batch.empty()) worker.Flush();
    }
    if (args->liveWorkers) args->liveWorkers->fetch_sub(1);
    return 0;
}

// ---- Offline driver -----------------------------------------------------------------------------

namespace {

// The shutdown handler for the length of one run. A run may follow another in the same process
// (the console command): each starts with a cleared flag, and afterwards Ctrl-C does again
// what it did before the run.
class ShutdownSignals {
  public:
    ShutdownSignals() {
        g_shutdownRequested.store(false);
        struct sigaction action {};
        action.sa_handler = SignalHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, &previousInterrupt);
        sigaction(SIGTERM, &action, &previousTermination);
    }
    ~ShutdownSignals() {
        sigaction(SIGINT, &previousInterrupt, nullptr);
        sigaction(SIGTERM, &previousTermination, nullptr);
    }
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  private:
    struct sigaction previousInterrupt {};
    struct sigaction previousTermination {};
};

// The worker phase shared by both modes: start the workers, redraw until the target or a
// shutdown, then stop and wait for every worker (which writes its batch before it ends).
void RunWorkers(int target, int threads, WriteTally& tally) {
    std::atomic<int> positionCounter{0};
    std::atomic<bool> stopFlag{false};
    std::atomic<int> liveWorkers{0};
    std::vector<void*> handles;
    // The caller's thread only displays; without a worker the run could never end by itself.
    const int workers = std::max(1, threads - 1);
    handles.reserve(std::size_t(workers));
    for (int id = 0; id < workers; ++id)
        CreateWorkerThread(id, positionCounter, stopFlag, handles, &liveWorkers, &tally);
    Stopwatch stopwatch;

    while (positionCounter.load() < target) {
        if (g_shutdownRequested.load()) break;
        // Workers that all ended on their own (no "data" directory) cannot reach the target.
        if (!handles.empty() && liveWorkers.load() == 0) break;
        PrintProgress(positionCounter.load(), target, stopwatch, threads);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    PrintProgress(positionCounter.load(), target, stopwatch, threads);
    stopFlag.exchange(true);

    PLATFORM::WriteLine("\n\nWaiting for threads to finish writing...");
    for (void* handle : handles) PLATFORM::WaitThread(handle);
    handles.clear();
}

// The closing lines of a worker phase and its merge: what was written, where it is kept and what
// is missing. True when nothing was lost and everything was merged.
bool ReportOutcome(const WriteTally& tally, const MergeReport* merge) {
    PLATFORM::WriteLine("Positions written: " + std::to_string(tally.writtenPositions.load()));
    if (merge) {
        if (merge->path.empty())
            PLATFORM::WriteLine("Positions merged: 0");
        else
            PLATFORM::WriteLine("Positions merged into " + merge->path + ": " +
                                std::to_string(merge->positions));
        for (const std::string& name : merge->kept) PLATFORM::WriteLine("Not merged, kept: data/" + name);
    }
    const int failed = tally.failedBatches.load();
    if (failed > 0)
        PLATFORM::WriteLine("Positions lost in failed writes: " + std::to_string(tally.lostPositions.load()) +
                            " (" + std::to_string(failed) + (failed == 1 ? " batch)" : " batches)"));
    return failed == 0 && (!merge || !merge->failed);
}

} // namespace

void CreateWorkerThread(int id, std::atomic<int>& positionCounter, std::atomic<bool>& stopFlag,
                        std::vector<void*>& handles, std::atomic<int>* liveWorkers, WriteTally* tally) {
    auto* args = new WorkerArgs{id, &positionCounter, &stopFlag, liveWorkers, tally};
    if (liveWorkers) liveWorkers->fetch_add(1);
    void* handle = PLATFORM::StartThread(WinThreadEntry, args, WORKER_STACK_SIZE);
    if (!handle) {
        const int error = errno;
        if (liveWorkers) liveWorkers->fetch_sub(1);
        delete args;
        std::cerr << ("Failed to create thread " + std::to_string(id) + " (errno=" + std::to_string(error) +
                      ")\n")
                  << std::flush;
        return;
    }
    handles.push_back(handle);
}

namespace {

bool RefusedByLock(const DataFolderLock& lock) {
    if (!lock.Busy()) return false;
    ErrorLine("Another data generation run is using the folder data; not starting.");
    return true;
}

} // namespace

bool Run(int target, int threads) {
    const DataFolderLock lock("data");
    if (RefusedByLock(lock)) return false;
    const ShutdownSignals signals;
    PLATFORM::ClearScreen();
    PLATFORM::SetCursorVisible(false);
    WriteTally tally;
    RunWorkers(target, threads, tally);
    PLATFORM::WriteLine("All threads completed. Merging files...");
    MergeReport merge;
    MergeThreadFiles(&merge);
    const bool saved = ReportOutcome(tally, &merge);
    PLATFORM::SetCursorVisible(true);
    PLATFORM::WriteLine(saved ? "\nShutdown complete. All data saved safely."
                              : "\nShutdown complete. Not all data was saved and merged: see above.");
    return saved;
}

// ---- Online mode --------------------------------------------------------------------------------

bool RunOnline(const std::string& user, int target, int threads) {
    const DataFolderLock lock("data");
    if (RefusedByLock(lock)) return false;
    const ShutdownSignals signals;
    const std::string base(DEFAULT_SERVER_URL);
    PLATFORM::WriteLine("=== ONLINE MODE ===");
    PLATFORM::WriteLine("User: " + user);
    PLATFORM::WriteLine("Target positions per cycle: " + std::to_string(target));
    PLATFORM::WriteLine("Threads: " + std::to_string(threads));
    PLATFORM::WriteLine("===================\n");

    const auto retry = [] { std::this_thread::sleep_for(std::chrono::seconds(RETRY_DELAY)); };
    bool saved = true;
    while (!g_shutdownRequested.load()) {
        std::string reply;
        PLATFORM::WriteLine("Sending heartbeat...");
        if (!PostJSON(base + "/api/session/heartbeat", BuildHeartbeatJSON(user, threads), reply)) {
            ErrorLine("Failed to send heartbeat. Retrying in 10 seconds...");
            retry();
            continue;
        }
        PLATFORM::WriteLine("Heartbeat response: " + reply);

        PLATFORM::WriteLine("Starting new session...");
        if (!PostJSON(base + "/api/session/start", BuildSessionStartJSON(user, target), reply)) {
            ErrorLine("Failed to start session. Retrying in 10 seconds...");
            retry();
            continue;
        }
        PLATFORM::WriteLine("Server response: " + reply);
        const std::string sessionId = ExtractJsonValue(reply);
        if (sessionId.empty()) {
            ErrorLine("Failed to parse session ID. Retrying...");
            retry();
            continue;
        }
        PLATFORM::WriteLine("Session ID: " + sessionId);

        std::atomic<bool> heartbeatStop{false};
        std::thread heartbeat(HeartbeatThread, user, threads, std::ref(heartbeatStop), base);

        PLATFORM::ClearScreen();
        PLATFORM::SetCursorVisible(false);
        WriteTally tally;
        RunWorkers(target, threads, tally);

        heartbeatStop.exchange(true);
        heartbeat.join();
        PLATFORM::SetCursorVisible(true);
        if (g_shutdownRequested.load()) {
            // Nothing is merged: the batch files stay in "data" for a later merge.
            if (!ReportOutcome(tally, nullptr)) saved = false;
            break;
        }

        PLATFORM::WriteLine("All threads completed. Merging files...");
        MergeReport merge;
        const std::string merged = MergeThreadFiles(&merge);
        if (!ReportOutcome(tally, &merge)) saved = false;
        // The server gets whole cycles only: a merge that left files behind is not sent.
        if (!merged.empty() && merge.failed) {
            ErrorLine("Merge incomplete, not uploading. File kept locally: " + merged);
        } else if (!merged.empty()) {
            PLATFORM::WriteLine("Uploading file to server...");
            const std::string command = BuildUploadCommand(base, sessionId, merged, user, merge.positions);
            if (RunShellCommand(command) != 0) {
                ErrorLine("Upload failed. File kept locally: " + merged);
            } else {
                PLATFORM::WriteLine("Upload successful!");
                std::error_code ec;
                if (fs::remove(merged, ec) && !ec) PLATFORM::WriteLine("Local file cleaned up.");
            }
        }
        if (!g_shutdownRequested.load()) {
            PLATFORM::WriteLine("\n=== Starting next cycle ===\n");
            std::this_thread::sleep_for(std::chrono::seconds(CYCLE_PAUSE));
        }
    }
    PLATFORM::WriteLine("\nOnline mode shutdown complete.");
    return saved;
}

} // namespace DATAGEN
