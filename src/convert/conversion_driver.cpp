// Placeholder until the conversion driver lands.
#include "base/exceptions.h"
#include "psr/psr_container.h"

namespace keldrin {

void PsrContainer::convert(std::u16string /*targetPblName*/) { throw IOException(); }

}  // namespace keldrin
