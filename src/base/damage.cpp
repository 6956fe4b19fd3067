#include "base/damage.h"

namespace keldrin {

std::string describe(const Damage& damage) {
    std::string text = damage.what.empty() ? std::string("damaged") : damage.what;
    if (damage.offset >= 0) text += " at offset " + std::to_string(damage.offset);
    if (!damage.context.empty()) text += " (entry '" + damage.context + "')";
    return text;
}

}  // namespace keldrin
