// A set of counters that one thread bumps and any other reads, kept as the
// plain struct the readers are handed. The struct is the list: every field is
// a number of type T, so a field added there is counted, copied out and
// summed without another line anywhere.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

template <class Plain, class T = uint64_t>
class CCounters {
    static_assert(std::is_trivially_copyable_v<Plain> && std::is_integral_v<T>);
    static_assert(sizeof(Plain) % sizeof(T) == 0 && std::atomic<T>::is_always_lock_free);
    static constexpr size_t kCount = sizeof(Plain) / sizeof(T);
    using Values = std::array<T, kCount>;

public:
    using Field = T Plain::*;

    // Ordered as plain atomics are: whoever sees a count also sees what was
    // written before it was raised (a reader waiting for a packet to be
    // counted may then read what that packet set).
    void Add(Field field, T n = 1) { Slot(field).fetch_add(n); }
    // For a gauge: what it reads now.
    void Set(Field field, T value) { Slot(field).store(value); }
    T Get(Field field) const { return Slot(field).load(); }

    // Each field read once; fields bumped together may be caught between.
    Plain Snapshot() const {
        Values values;
        for (size_t i = 0; i < kCount; ++i) values[i] = cells[i].load();
        return std::bit_cast<Plain>(values);
    }
    void Reset() {
        for (auto& slot : cells) slot.store(0);
    }

    // Field by field: totals over several sets, or over connections gone.
    static void Sum(Plain& into, const Plain& more) {
        Values a = std::bit_cast<Values>(into);
        const Values b = std::bit_cast<Values>(more);
        for (size_t i = 0; i < kCount; ++i) a[i] += b[i];
        into = std::bit_cast<Plain>(a);
    }

private:
    static size_t Index(Field field) {
        static const Plain probe{};
        const auto* base = reinterpret_cast<const std::byte*>(&probe);
        return size_t(reinterpret_cast<const std::byte*>(&(probe.*field)) - base) / sizeof(T);
    }
    std::atomic<T>& Slot(Field field) { return cells[Index(field)]; }
    const std::atomic<T>& Slot(Field field) const { return cells[Index(field)]; }

    // Not "slots": that is a macro wherever Qt is included.
    std::array<std::atomic<T>, kCount> cells{};
};
