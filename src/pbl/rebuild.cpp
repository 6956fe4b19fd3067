#include "pbl/pbl_library_impl.h"

namespace keldrin::pbl {

// placeholder until the rebuild lands
int PblLibrary::copyTo(const char*, int) {
    return kPblInvalidArgument;
}

}  // namespace keldrin::pbl
