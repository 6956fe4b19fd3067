// The time written into what Keldrin makes (entry times, a new library's creation time).
#pragma once

#include <cstdint>

namespace keldrin::stamp {

// The current time in seconds since 1970 (UTC), or SOURCE_DATE_EPOCH where the
// environment sets it to a whole number of seconds that a library's 32-bit times can
// hold. Build systems set that variable so that the same inputs give the same bytes
// (reproducible builds); a value that is not such a number is ignored, as the
// convention asks.
std::int32_t now();

}  // namespace keldrin::stamp
