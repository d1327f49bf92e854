#pragma once

#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"

namespace DATAGEN {

static_assert(std::endian::native == std::endian::little, "game records are written as they lie in memory");

// Set by the SIGINT/SIGTERM handler; cleared when a run starts.
extern std::atomic<bool> g_shutdownRequested;

constexpr int GAMES_PER_BATCH = 500;
constexpr std::size_t WORKER_STACK_SIZE = 8388608;
constexpr int PROGRESS_WIDTH = 60;
constexpr int BAR_WIDTH = 50;
constexpr int RETRY_DELAY = 10;        // seconds
constexpr int CYCLE_PAUSE = 2;         // seconds
constexpr int HEARTBEAT_INTERVAL = 15; // seconds
constexpr int UNMOVED_ROOK = 6;

// The collection server; fixed, not configurable.
inline constexpr std::string_view DEFAULT_SERVER_URL = "http://127.0.0.1:8765";

// ---- Game record ------------------------------------------------------------------------

// Head of a game record: the position after the opening, its evaluation and the result.
// Held in memory exactly as written to the file.
struct PackedBoard {
    uint64_t occupancy;
    uint8_t packedPieces[16];
    uint8_t stmEp;           // side to move << 7 | en-passant square (64 when none)
    uint8_t halfmoveClock;   // low 8 bits
    uint16_t fullmoveNumber; // low 16 bits
    int16_t eval;            // raw network output, White's view
    uint8_t wdl;             // 0 Black won, 1 draw, 2 White won
    uint8_t extra;           // always 0
};
static_assert(sizeof(PackedBoard) == 32);

// packedMove | score << 16, score from White's view.
using MoveScore = uint32_t;

struct Game {
    PackedBoard board;
    std::vector<MoveScore> moves;
};

// Packs the placement, side, en passant and clocks of board; wdl and extra are 0.
PackedBoard PackBoard(const Board& board, int whiteEval);
uint16_t PackMove(Move move);
// score is from the side to move's view; it is stored from White's view.
MoveScore PackMoveScore(Move move, int score, int sideToMove);

// Size in bytes of one game's record: head, entries, terminator.
inline std::size_t RecordSize(const Game& game) {
    return 36 + 4 * game.moves.size();
}
// The byte image of the batch, records back to back.
std::string SerializeGames(const std::vector<Game>& games);

// ---- Game files ---------------------------------------------------------------------------

// Writes the batch to prefix + index + ".binpack" (through a ".tmp" name); index advances on
// success only. An existing file of that name is never overwritten. False when the batch could
// not be written (it is then lost); true for an empty batch.
bool WriteToFile(std::vector<Game>& games, const std::string& prefix, int& fileIndex);

// Name of the merged file for a local time: "data/datagen_%Y-%m-%d_%H-%M.binpack".
std::string MergedFileName(const std::tm& local);

// What a merge took in and what it had to leave.
struct MergeReport {
    std::string path;              // the merged file; "" when none holds data
    int games = 0;                 // records in it
    int positions = 0;             // move entries in it
    std::vector<std::string> kept; // worker batch files whose data is not in it
    bool damaged = false;          // it ends in a cut record (a write failed and could not be undone)
    bool failed = false;           // anything was not merged, or the merged file is damaged
};

// Appends every worker batch file in "data" to a new dated merged file and deletes them; also
// deletes leftover temporary worker files. Returns the merged file's name, or "" when it
// cannot be created or would hold nothing (it is then removed again).
std::string MergeThreadFiles(MergeReport* report = nullptr);

// The merge itself, over the worker files in dataDir, into mergedPath (opened for writing).
std::string MergeThreadFilesInto(const std::filesystem::path& dataDir, const std::string& mergedPath,
                                 MergeReport* report = nullptr);

// Whether a bare file name is a worker batch file or a leftover temporary worker file:
// "thread<id>_<index>.binpack" or ".tmp", the numbers as the workers write them.
bool IsWorkerBatchName(std::string_view name);
bool IsWorkerTempName(std::string_view name);

// An advisory lock on a file in the data folder for the length of a run, so that two runs
// never take each other's files. The system drops it when the holder ends, crash included.
class DataFolderLock {
  public:
    static constexpr const char* LOCK_FILE_NAME = "datagen.lock";
    explicit DataFolderLock(const std::filesystem::path& dir);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;
    // Another run holds the folder.
    bool Busy() const { return busy; }

  private:
    int fd = -1;
    bool busy = false;
};

// ---- Workers, driver and progress screen --------------------------------------------------

// What the workers of one run wrote and lost, for the run's closing lines.
struct WriteTally {
    std::atomic<int> writtenPositions{0};
    std::atomic<int> lostPositions{0};
    std::atomic<int> failedBatches{0};
};

struct WorkerArgs {
    int32_t threadId;
    std::atomic<int>* positionCounter;
    std::atomic<bool>* stopFlag;
    std::atomic<int>* liveWorkers; // decremented by the worker as it ends; may be null
    WriteTally* tally;             // may be null
};

// The run's time base and the progress screen's rate memory.
struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double lastElapsed = 0;
    double lastPositions = 0;
};

// Worker thread body; arg is a heap-allocated WorkerArgs that the worker releases.
unsigned WinThreadEntry(void* arg);

void SignalHandler(int signal);

void CreateWorkerThread(int id, std::atomic<int>& positionCounter, std::atomic<bool>& stopFlag,
                        std::vector<void*>& handles, std::atomic<int>* liveWorkers = nullptr,
                        WriteTally* tally = nullptr);

void PrintProgress(int positions, int target, Stopwatch& start, int threads);
// The text of one redraw after elapsed seconds; updates the rate memory in start.
std::string RenderProgress(int positions, int target, double elapsed, Stopwatch& start, int threads);

// Offline generation: target positions with threads - 1 workers, at least one (the caller
// displays). False when the run did not keep everything it set out to (or did not start
// because another run holds the data folder).
bool Run(int target, int threads);

// ---- Online mode ----------------------------------------------------------------------------

// Online generation in cycles for the collection server, until a shutdown is requested; the
// workers are started as in Run. False as for Run.
bool RunOnline(const std::string& user, int target, int threads);

std::string BuildHeartbeatJSON(const std::string& user, int threads);
std::string BuildSessionStartJSON(const std::string& user, int target);
// One JSON POST through curl; true exactly when curl's exit status is 0.
bool PostJSON(const std::string& url, const std::string& body, std::string& reply);
void HeartbeatThread(const std::string& user, int threads, std::atomic<bool>& stop,
                     const std::string& baseUrl);

// The session identifier of a session-start reply, "" when there is none.
std::string ExtractJsonValue(const std::string& reply);
// Quotes text as one word for the POSIX shell: no byte of it is interpreted.
std::string ShellQuote(const std::string& text);
// A fresh name in the system temporary directory: prefix + random number + suffix.
std::filesystem::path MakeTempPath(const std::string& prefix, const std::string& suffix);
// JSON string content for text (quotes, backslashes and control characters escaped).
std::string JsonEscape(const std::string& text);
// A curl form value that curl takes literally (quoted in curl's own syntax).
std::string CurlFormValue(const std::string& text);
// Percent-encodes every byte outside the unreserved URL characters.
std::string UrlEncode(const std::string& text);
// The command line that uploads the merged file.
std::string BuildUploadCommand(const std::string& baseUrl, const std::string& sessionId,
                               const std::string& mergedPath, const std::string& user, int positions);

} // namespace DATAGEN
