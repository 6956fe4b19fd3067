#include "pbl/pbl_result.h"

#include <utility>

namespace keldrin::pbl {

const char* resultText(int code) {
    switch (code) {
        case kPblOk:
            return "success";
        case kPblFailed:
            return "operation failed";
        case kPblDamaged:
            return "damaged library";
        case kPblStopped:
            return "stopped by the caller";
        case kPblNotFound:
            return "no such entry";
        case kPblWriteFailed:
            return "write failed";
        case kPblInvalidArgument:
            return "invalid argument";
        case kPblIoError:
            return "read or write failed, or library is read-only";
        case kPblBusy:
            return "library is in use by another program";
        default:
            return "unknown result";
    }
}

int DamageLog::report(std::string what, std::int64_t offset, std::string entry) {
    last_ = Damage{std::move(what), offset, std::move(entry)};
    return kPblDamaged;
}

}  // namespace keldrin::pbl
