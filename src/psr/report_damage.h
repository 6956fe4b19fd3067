// Why a report could not be read: what is wrong and the file offset of the bytes that
// say so. The report readers keep the first damage they meet, so a caller that only got
// "failed" (or an exception, which carries nothing) can still tell the user where the
// file is broken. Nothing in the conversion prints it; its transcript names no reason.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace keldrin {

struct ReportDamage {
    std::string reason;        // empty: nothing found wrong
    std::int64_t offset = -1;  // -1: no one place (e.g. the file as a whole is too short)

    bool found() const { return !reason.empty(); }
};

// The one way a reader records damage; returns false so that `return malformed(...)`
// both records and fails.
inline bool malformed(ReportDamage& damage, std::string reason, std::int64_t offset) {
    damage.reason = std::move(reason);
    damage.offset = offset;
    return false;
}

}  // namespace keldrin
