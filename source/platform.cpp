#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace PLATFORM {

bool StdoutIsTerminal() {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    return terminal;
}

namespace {
std::mutex outputMutex;

void WriteLocked(std::string_view text) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
} // namespace

void WriteText(std::string_view text) {
    WriteLocked(text);
}

void WriteLine(std::string_view line) {
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line);
    buffer.push_back('\n');
    WriteLocked(buffer);
}

void ClearScreen() {
    WriteLocked("\033[2J\033[H");
}

void SetCursorVisible(bool visible) {
    WriteLocked(visible ? "\033[?25h" : "\033[?25l");
}

namespace {
struct ThreadStart {
    ThreadEntry entry;
    void* arg;
};

struct Thread {
    pthread_t id;
};

void* Trampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    const unsigned code = start.entry(start.arg);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}
} // namespace

ThreadHandle StartThread(ThreadEntry entry, void* arg, std::size_t stackSize) {
    auto* start = new (std::nothrow) ThreadStart{entry, arg};
    auto* thread = new (std::nothrow) Thread{};
    if (!start || !thread) {
        delete start;
        delete thread;
        errno = ENOMEM;
        return nullptr;
    }
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr, stackSize);
        if (rc == 0) rc = pthread_create(&thread->id, &attr, Trampoline, start);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        delete start;
        delete thread;
        errno = rc;
        return nullptr;
    }
    return thread;
}

void WaitThread(ThreadHandle handle) {
    auto* thread = static_cast<Thread*>(handle);
    pthread_join(thread->id, nullptr);
    delete thread;
}

bool SetDefaultThreadStackSize(std::size_t stackSize) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    const bool ok =
        pthread_attr_setstacksize(&attr, stackSize) == 0 && pthread_setattr_default_np(&attr) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

namespace {
constexpr std::size_t HUGE_PAGE = 2u << 20;
} // namespace

void* AllocateLarge(std::size_t bytes) {
    const std::size_t rounded = (std::max<std::size_t>(bytes, 1) + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (rounded < bytes) throw std::bad_alloc();
    void* p = std::aligned_alloc(HUGE_PAGE, rounded);
    if (!p) throw std::bad_alloc();
    AdviseHugePages(p, rounded);
    return p;
}

void FreeLarge(void* p) {
    std::free(p);
}

void AdviseHugePages(void* p, std::size_t bytes) {
    // Only a hint: without huge pages the memory works the same, just with more misses.
    madvise(p, bytes, MADV_HUGEPAGE);
}

bool LocalTime(std::time_t t, std::tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

} // namespace PLATFORM

namespace COLOUR {
namespace {
std::ostream& Emit(std::ostream& os, const char* sequence) {
    if (PLATFORM::StdoutIsTerminal()) os << sequence;
    return os;
}
} // namespace

std::ostream& green(std::ostream& os) {
    return Emit(os, "\033[32m");
}
std::ostream& red(std::ostream& os) {
    return Emit(os, "\033[31m");
}
std::ostream& bright_green(std::ostream& os) {
    return Emit(os, "\033[92m");
}
std::ostream& bright_red(std::ostream& os) {
    return Emit(os, "\033[91m");
}
std::ostream& bright_cyan(std::ostream& os) {
    return Emit(os, "\033[96m");
}
std::ostream& reset(std::ostream& os) {
    return Emit(os, "\033[00m");
}
} // namespace COLOUR
