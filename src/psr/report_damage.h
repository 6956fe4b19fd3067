// Why a report could not be read: what is wrong and the file offset of the bytes that
// say so. The report readers keep the first damage they meet, so a caller that only got
// "failed" (or an exception, which carries nothing) can still tell the user where the
// file is broken. Nothing in the conversion prints it; its transcript names no reason.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/damage.h"

namespace keldrin {

// The one way a reader records damage; returns false so that `return malformed(...)`
// both records and fails. An offset of -1: no one place (e.g. the file as a whole is
// too short).
inline bool malformed(Damage& damage, std::string reason, std::int64_t offset) {
    damage = Damage{std::move(reason), offset, {}};
    return false;
}

}  // namespace keldrin
