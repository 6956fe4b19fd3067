// The one wording of damage: what, then where, then the entry it belongs to, each part
// only when it is known.
#include "base/damage.h"

#include <gtest/gtest.h>

namespace keldrin {
namespace {

TEST(Damage, OneWordingLeavesOutWhatIsNotKnown) {
    const struct {
        Damage damage;
        const char* said;
    } rows[] = {
        {{"data chain loops back", 4608, "d_x.srd"},
         "data chain loops back at offset 4608 (entry 'd_x.srd')"},
        {{"bitmap chain link leaves the file", 512, {}},
         "bitmap chain link leaves the file at offset 512"},
        {{"node lacks its signature", 0, {}}, "node lacks its signature at offset 0"},
        {{"the file is too short", -1, {}}, "the file is too short"},
        {{"name out of order", -1, "beta"}, "name out of order (entry 'beta')"},
        {{{}, 7, {}}, "damaged at offset 7"},
    };
    for (const auto& row : rows) EXPECT_EQ(describe(row.damage), row.said);
    EXPECT_FALSE(Damage{}.found());
    EXPECT_TRUE(rows[0].damage.found());
}

}  // namespace
}  // namespace keldrin
