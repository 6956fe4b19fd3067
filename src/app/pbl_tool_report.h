// What keldrin-pbl's report commands share: the container's own account of why a report
// could not be read, and its one wording.
#pragma once

#include <string>

#include "psr/psr_container.h"
#include "psr/report_damage.h"

namespace keldrin::tool {

// The reader's reason and place, where the container kept one.
Damage reportDamageOf(const PsrContainer& container);
// The damage in its one wording, control characters escaped.
std::string describeReportDamage(const Damage& damage);

}  // namespace keldrin::tool
