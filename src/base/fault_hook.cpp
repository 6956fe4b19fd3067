#include "base/fault_hook.h"

#include "base/file.h"

namespace keldrin::fs {

namespace detail {
FaultHook* faultHook = nullptr;

namespace {
thread_local bool lastDiskFull = false;
}  // namespace

bool noteOutcome(bool ok, bool diskFull) {
    lastDiskFull = !ok && diskFull;
    return ok;
}
}  // namespace detail

bool lastFailureWasDiskFull() {
    return detail::lastDiskFull;
}

FaultHook* installFaultHook(FaultHook* hook) {
    FaultHook* previous = detail::faultHook;
    detail::faultHook = hook;
    return previous;
}

}  // namespace keldrin::fs
