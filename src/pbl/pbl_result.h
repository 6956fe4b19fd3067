// Result codes of every library operation, and where damage was found. The library
// throws nothing: each operation returns one of these codes, and callers decide what
// to throw or print.
#pragma once

#include <cstdint>
#include <string>

#include "base/damage.h"

namespace keldrin::pbl {

// Callers outside the library test for 0.
enum PblResult : int {
    kPblOk = 0,
    kPblFailed = 1,       // no descriptor; copyTo cannot open the new library; time write failed
    kPblDamaged = 2,      // a block or record without its signature, a broken link, bad size
    kPblStopped = 3,      // forEachEntry stopped by its visitor
    kPblNotFound = 4,     // no such entry, name too long for a node, node offset 0
    kPblWriteFailed = 5,  // a write failed creating a library, a bitmap block or a rebuilt node
    kPblInvalidArgument = 6,  // missing size, buffer too small, comment too long, bad version...
    kPblIoError = 7,  // a positioned read/write fell short; read-only library; cannot create
    kPblBusy = 8,     // another program held the library's lock for the whole wait
};

// Words for a result code, for people ("damaged library", ...).
const char* resultText(int code);

// The one path every kPblDamaged takes: report() keeps what is wrong (the offset of the
// structure at fault, the UTF-8 name of the entry it belongs to) and returns the code, so one
// breakpoint catches every kind of damage and callers can say where it lies.
class DamageLog {
  public:
    [[nodiscard]] int report(std::string what, std::int64_t offset, std::string entry = {});
    const Damage& last() const { return last_; }
    void set(const Damage& damage) { last_ = damage; }

  private:
    Damage last_;
};

}  // namespace keldrin::pbl
