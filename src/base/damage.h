// What is wrong with a file and where: the one shape in which every reader of untrusted
// bytes (libraries, reports, DataWindow source) says why it gave up, and the one wording
// people see for it.
#pragma once

#include <cstdint>
#include <string>

namespace keldrin {

struct Damage {
    std::string what;          // what is wrong, e.g. "data chain loops back"; empty: nothing
    std::int64_t offset = -1;  // where: the offset of the bytes at fault; -1 when no one place
    std::string context;       // the name of the entry the place belongs to; empty when none

    bool found() const { return !what.empty(); }
};

// "data chain loops back at offset 4608 (entry 'd_x.srd')"; the parts that are not
// known are left out.
std::string describe(const Damage& damage);

}  // namespace keldrin
