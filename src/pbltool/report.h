// What keldrin-pbl's report commands share: the one way a report is opened, with one
// wording for whatever keeps it from opening, and the one wording of the damage a
// container found.
#pragma once

#include <memory>
#include <string>

#include "psr/psr_container.h"
#include "psr/report_damage.h"

namespace keldrin::tool {

// The opened report, or ToolFailure: "PATH: no such file", "PATH: cannot be read",
// "PATH: damaged report: REASON at offset N" or "PATH: not a saved report[: REASON]".
std::shared_ptr<PsrContainer> openReport(const std::u16string& path);
// The damage in its one wording, control characters escaped.
std::string describeReportDamage(const Damage& damage);

}  // namespace keldrin::tool
