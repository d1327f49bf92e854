#pragma once

#include <cstddef>
#include <ctime>
#include <new>
#include <ostream>
#include <string_view>

// The few operating-system services the engine needs, behind one small interface.
namespace PLATFORM {

// Whether standard output is a terminal (decided once, at first use).
bool StdoutIsTerminal();

// Writes text to standard output as one locked write followed by a flush, so that lines
// written by different threads never interleave. WriteLine appends the newline.
void WriteText(std::string_view text);
void WriteLine(std::string_view line);

// Console control through ANSI sequences, written whether or not output is a terminal.
void ClearScreen();
void SetCursorVisible(bool visible);

// Worker threads with a chosen stack size. entry receives arg; its result is the exit code.
using ThreadEntry = unsigned (*)(void*);
using ThreadHandle = void*;
// Returns nullptr on failure and leaves the system's error number in errno.
ThreadHandle StartThread(ThreadEntry entry, void* arg, std::size_t stackSize);
// Waits without time limit for the thread to end and releases the handle.
void WaitThread(ThreadHandle handle);
// Stack size of every thread started afterwards through the standard thread library, which
// otherwise depends on the environment (as little as 2 MiB). False when it cannot be set.
bool SetDefaultThreadStackSize(std::size_t stackSize);

// Memory for large, randomly accessed tables: 2 MiB aligned and offered to the kernel for huge
// pages, which saves most address-translation misses. Throws std::bad_alloc on failure.
void* AllocateLarge(std::size_t bytes);
void FreeLarge(void* p);
// Offers an existing 2 MiB-aligned region for huge pages, before it is first written.
void AdviseHugePages(void* p, std::size_t bytes);

template <typename T> struct LargePageAllocator {
    using value_type = T;
    LargePageAllocator() = default;
    template <typename U> LargePageAllocator(const LargePageAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(AllocateLarge(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) { FreeLarge(p); }
    template <typename U> bool operator==(const LargePageAllocator<U>&) const { return true; }
};

// Local calendar time of t; false when it cannot be converted.
bool LocalTime(std::time_t t, std::tm& out);

} // namespace PLATFORM

// Colour manipulators for text bound for standard output: they emit ANSI colour only when
// standard output is a terminal, whatever stream they are applied to.
namespace COLOUR {
std::ostream& green(std::ostream& os);
std::ostream& red(std::ostream& os);
std::ostream& bright_green(std::ostream& os);
std::ostream& bright_red(std::ostream& os);
std::ostream& bright_cyan(std::ostream& os);
std::ostream& reset(std::ostream& os);
} // namespace COLOUR
