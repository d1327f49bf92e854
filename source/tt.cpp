#include "tt.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <stdexcept>

// Search threads share the table without locks. Every field access goes through a relaxed
// atomic_ref, which compiles to plain moves on x86-64 but keeps concurrent access well defined;
// a reader may still see fields of two different stores, which the search tolerates.
namespace {

constexpr std::size_t DEFAULT_BUCKETS = 8'000'000 / sizeof(TTBucket);
constexpr std::size_t MIN_BUCKETS = 1000; // Hashfull samples the first 1000 buckets

template <typename T> inline T Load(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

template <typename T> inline void Store(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<int16_t>::is_always_lock_free);
static_assert(std::atomic_ref<Move>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(std::atomic_ref<bool>::is_always_lock_free);

} // namespace

TTable SharedTT;

TTable::TTable() : buckets(DEFAULT_BUCKETS) {}

bool TTable::Probe(uint64_t key, TTEntry& out) const {
    const TTBucket& bucket = buckets[key % buckets.size()];
    for (const TTEntry& entry : bucket.entries) {
        if (Load(entry.key) != key) continue;
        out.key = key;
        out.score = Load(entry.score);
        out.move = Load(entry.move);
        out.depth = Load(entry.depth);
        out.bound = Load(entry.bound);
        out.generation = Load(entry.generation);
        out.ttPV = Load(entry.ttPV);
        return true;
    }
    return false;
}

void TTable::Prefetch(uint64_t key) const {
    __builtin_prefetch(&buckets[key % buckets.size()]);
}

void TTable::WriteEntry(const uint64_t& key, int depth, int score, int bound, Move move, bool ttPV) {
    TTBucket& bucket = buckets[key % buckets.size()];
    TTEntry& first = bucket.entries[0];
    TTEntry& second = bucket.entries[1];
    const uint64_t firstKey = Load(first.key);
    const uint64_t secondKey = Load(second.key);

    TTEntry* slot;
    uint64_t slotKey;
    if (firstKey != 0 && firstKey == key) {
        slot = &first;
        slotKey = firstKey;
    } else if (secondKey == 0 || secondKey == key) {
        slot = &second;
        slotKey = secondKey;
    } else if (ttPV || firstKey == 0) {
        slot = &first;
        slotKey = firstKey;
    } else {
        auto worth = [this](const TTEntry& e) {
            const int age = uint8_t(generation - Load(e.generation));
            return int(Load(e.depth)) - 4 * age + 2 * int(Load(e.ttPV));
        };
        if (worth(first) <= worth(second)) {
            slot = &first;
            slotKey = firstKey;
        } else {
            slot = &second;
            slotKey = secondKey;
        }
    }

    // A deeper bound of this search on the same position is worth more than a shallow one.
    if (bound != BOUND_EXACT && slotKey == key && Load(slot->generation) == generation &&
        int(Load(slot->depth)) >= depth + 4 + 2 * int(ttPV))
        return;

    Store(slot->key, key);
    Store(slot->bound, uint8_t(bound));
    Store(slot->score, int16_t(score));
    Store(slot->depth, uint8_t(depth));
    Store(slot->generation, generation);
    Store(slot->ttPV, ttPV);
    // A same-key store without a move keeps the move found earlier.
    if (!move.IsNull() || slotKey != key) Store(slot->move, move);
}

void TTable::IncrementGeneration() {
    generation = uint8_t(generation + 1);
}

void TTable::Clear() {
    std::fill(buckets.begin(), buckets.end(), TTBucket{});
}

std::size_t TTable::BucketCount(double megabytes) {
    // NaN, negative and tiny sizes fall back to the smallest table Hashfull can sample.
    const double count = std::floor(megabytes * 1'000'000.0 / double(sizeof(TTBucket)));
    if (!(count >= double(MIN_BUCKETS))) return MIN_BUCKETS;
    if (count >= double(decltype(buckets)().max_size())) return 0; // cannot be held at all
    return static_cast<std::size_t>(count);
}

bool TTable::Resize(double megabytes) {
    const std::size_t count = BucketCount(megabytes);
    if (count == 0) return false;
    // The new table is built before the old one goes, so a failed allocation loses nothing.
    try {
        decltype(buckets) fresh(count);
        buckets.swap(fresh);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

int TTable::Hashfull() const {
    const std::size_t sample = std::min<std::size_t>(1000, buckets.size());
    int used = 0;
    for (std::size_t i = 0; i < sample; i++) {
        const TTBucket& bucket = buckets[i];
        if (Load(bucket.entries[0].key) != 0 || Load(bucket.entries[1].key) != 0) used++;
    }
    return used;
}
