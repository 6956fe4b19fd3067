// The line comparison behind `diff --text`: lines are told apart by their hashes first,
// which must never change which lines count as the same.
#include "pbltool/line_diff.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace keldrin::tool {
namespace {

std::uint64_t everyLineCollides(std::string_view) {
    return 7;
}

// The lines of A and B rebuilt from the edits, checking that every line appears once, in
// order, and that a kept line is the same on both sides.
void expectScriptOf(const Lines& a, const Lines& b, const std::vector<Edit>& edits) {
    std::size_t nextA = 0;
    std::size_t nextB = 0;
    for (const Edit& e : edits) {
        if (e.kind != EditKind::kInsert) {
            ASSERT_EQ(e.a, nextA);
            ++nextA;
        }
        if (e.kind != EditKind::kDelete) {
            ASSERT_EQ(e.b, nextB);
            ++nextB;
        }
        if (e.kind == EditKind::kSame) {
            ASSERT_EQ(a[e.a], b[e.b]);
        }
    }
    EXPECT_EQ(nextA, a.size());
    EXPECT_EQ(nextB, b.size());
}

std::size_t keptLines(const std::vector<Edit>& edits) {
    std::size_t kept = 0;
    for (const Edit& e : edits) kept += e.kind == EditKind::kSame ? 1 : 0;
    return kept;
}

TEST(LineDiffTest, LinesWhoseHashesCollideAreStillComparedByTheirBytes) {
    const std::string longA(5000, 'x');
    const std::string longB = std::string(4999, 'x') + "y";
    const Lines a{"one\n", longA, "three\n", "four\n"};
    const Lines b{"one\n", longB, "three\n", "five\n"};
    for (LineHash hash : {hashLine, everyLineCollides}) {
        const std::vector<Edit> edits = lineEdits(a, b, hash);
        expectScriptOf(a, b, edits);
        EXPECT_EQ(keptLines(edits), 2U);
    }
}

TEST(LineDiffTest, AWeakHashGivesTheSameScriptAsTheRealOne) {
    // Few distinct lines, so that the script has many equal lines to choose between; the
    // long ones differ only in their last byte.
    const std::string tailA = std::string(300, 'a') + "1\n";
    const std::string tailB = std::string(300, 'a') + "2\n";
    const std::vector<std::string_view> pool{"x\n", "y\n", "z\n", tailA, tailB, ""};
    std::mt19937 gen(11);
    for (int round = 0; round < 200; ++round) {
        Lines a;
        Lines b;
        const std::size_t lengthA = gen() % 40;
        const std::size_t lengthB = gen() % 40;
        for (std::size_t i = 0; i < lengthA; ++i) a.push_back(pool[gen() % pool.size()]);
        for (std::size_t i = 0; i < lengthB; ++i) b.push_back(pool[gen() % pool.size()]);
        const std::vector<Edit> strong = lineEdits(a, b);
        const std::vector<Edit> weak = lineEdits(a, b, everyLineCollides);
        expectScriptOf(a, b, strong);
        ASSERT_EQ(strong.size(), weak.size()) << "round " << round;
        for (std::size_t i = 0; i < strong.size(); ++i) {
            EXPECT_EQ(strong[i].kind, weak[i].kind) << "round " << round << " edit " << i;
            EXPECT_EQ(strong[i].a, weak[i].a);
            EXPECT_EQ(strong[i].b, weak[i].b);
        }
    }
}

TEST(LineDiffTest, KeepsTheCommonHeadAndTailAndTheLongestRunBetween) {
    const Lines a{"h\n", "1\n", "2\n", "3\n", "t\n"};
    const Lines b{"h\n", "2\n", "3\n", "4\n", "t\n"};
    const std::vector<Edit> edits = lineEdits(a, b);
    expectScriptOf(a, b, edits);
    EXPECT_EQ(keptLines(edits), 4U);
    EXPECT_EQ(lineEdits({}, {}).size(), 0U);
    expectScriptOf({}, b, lineEdits({}, b));
    expectScriptOf(a, {}, lineEdits(a, {}));
}

}  // namespace
}  // namespace keldrin::tool
