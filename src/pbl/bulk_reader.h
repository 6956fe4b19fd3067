// Reads the data of many entries of one library the way the file lies: entries sorted
// by their first block, served from large windows read front to back, so that reading a
// whole library costs a few large sequential reads instead of one positioned read per
// entry in name order.
//
// Windows are bounded: twice the largest chain asked for, at least kMinWindowBytes and at
// most kMaxWindowBytes; an entry whose chain does not fit one window, or leaves it (a
// chain that jumps back or far ahead), is read through the library's own reader. So is
// every entry whose chain is damaged in any way: the library then reports the damage
// exactly as readEntryData does (lastDamage()), and the result handed out is its code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/bytes.h"
#include "pbl/pbl_library.h"

namespace keldrin::pbl {

class PblLibrary;

class BulkReader {
  public:
    static constexpr std::int64_t kMinWindowBytes = std::int64_t{1} << 20;
    static constexpr std::int64_t kMaxWindowBytes = std::int64_t{64} << 20;

    explicit BulkReader(PblLibrary& library) : library_(library) {}

    // Called once per entry: its index in the list given to read(), the result of reading
    // it (kPblOk, or what readEntryData returns for it) and its data (empty unless
    // kPblOk; valid until the callback returns). Returns false to stop.
    using Visit = std::function<bool(std::size_t index, int result, ByteSpan data)>;

    // Reads every entry of `entries` in file order and hands each to `visit`. kPblOk when
    // every entry was handed out, kPblStopped when `visit` stopped.
    int read(const std::vector<PblEntryInfo>& entries, const Visit& visit);

    // Positioned reads made for windows (for tests and measurements).
    std::int64_t windowReads() const { return windowReads_; }
    // Entries that went through the library's own reader.
    std::int64_t fallbacks() const { return fallbacks_; }

  private:
    // The entry's data from the window, reading a new window first where needed; false
    // when its chain does not lie whole and sound inside one window.
    bool fromWindow(const PblEntryInfo& info);
    bool fillWindow(std::int64_t offset, std::int64_t wanted);

    PblLibrary& library_;
    std::int64_t windowLimit_ = kMinWindowBytes;
    Bytes window_;
    std::int64_t windowStart_ = 0;
    std::int64_t windowBytes_ = 0;
    Bytes data_;
    std::int64_t windowReads_ = 0;
    std::int64_t fallbacks_ = 0;
};

}  // namespace keldrin::pbl
