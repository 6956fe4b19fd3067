#include "base/fault_hook.h"

namespace keldrin::fs {

namespace detail {
FaultHook* faultHook = nullptr;
}  // namespace detail

FaultHook* installFaultHook(FaultHook* hook) {
    FaultHook* previous = detail::faultHook;
    detail::faultHook = hook;
    return previous;
}

}  // namespace keldrin::fs
