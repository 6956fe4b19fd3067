// The table of watched names that both interrupt backends keep: fixed slots behind
// lock-free atomic pointers, so a handler reads a whole name or none and never allocates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "base/interrupt.h"

namespace keldrin::interrupt {

template <typename Char>
using SlotTable = std::atomic<Char*>[kMaxWatchedFiles];

// Puts a zero-terminated copy of `name` into a free slot. Returns the slot, or -1 when
// memory ran out or the table is full (the copy is then freed again).
template <typename Char>
int claimSlot(SlotTable<Char>& slots, const Char* name, std::size_t length) {
    Char* copy = new (std::nothrow) Char[length + 1];
    if (copy == nullptr) return -1;
    std::memcpy(copy, name, length * sizeof(Char));
    copy[length] = Char{};
    for (int i = 0; i < kMaxWatchedFiles; ++i) {
        Char* empty = nullptr;
        if (slots[i].compare_exchange_strong(empty, copy)) return i;
    }
    delete[] copy;
    return -1;
}

}  // namespace keldrin::interrupt
