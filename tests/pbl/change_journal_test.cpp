// A change begun with beginChange either stays whole (commitChange) or leaves the file
// byte for byte as it was (abandonChange, or a release without commit), however many
// writes it made: node splits, chains that grow the file, freed blocks, the bitmap.
#include <gtest/gtest.h>

#include <string>

#include "pbl/library.h"
#include "pbl/pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

class ChangeJournal : public ManagerFixture, public ::testing::WithParamInterface<int> {
  protected:
    // A library with enough entries that one more can split a node.
    void SetUp() override {
        PblLibraryHandle lib(create("j.pbl", GetParam()));
        ASSERT_TRUE(lib);
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ(putEntry(*lib, "entry_with_a_long_name_" + std::to_string(i),
                               pattern(static_cast<std::size_t>(300 + 37 * i), i)),
                      kPblOk);
        ASSERT_EQ(lib->flush(), kPblOk);
        lib.reset();
        before = fileBytes(dir.file("j.pbl"));
    }

    // Many kinds of write in one change: new entries (and node splits), a grown and a
    // shrunk chain, a delete, the comment and the library data.
    static void changeEverything(PblLibrary& lib) {
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(putEntry(lib, "new_" + std::to_string(i), pattern(2000, i)), kPblOk);
        ASSERT_EQ(putEntry(lib, "entry_with_a_long_name_3", pattern(90000, 3)), kPblOk);
        ASSERT_EQ(putEntry(lib, "entry_with_a_long_name_50", pattern(10, 50)), kPblOk);
        PblEntryInfo info;
        ASSERT_EQ(lib.findEntry("entry_with_a_long_name_7", info, 0), kPblOk);
        ASSERT_EQ(lib.deleteEntry(info), kPblOk);
        const char16_t unicodeComment[] = u"changed";
        ASSERT_EQ(lib.setComment(lib.isUnicode() != 0 ? static_cast<const void*>(unicodeComment)
                                                      : static_cast<const void*>("changed")),
                  kPblOk);
        Bytes data = pattern(5000, 9);
        ASSERT_EQ(lib.writeLibraryData(data.data(), static_cast<int>(data.size())), kPblOk);
    }

    Bytes before;
};

TEST_P(ChangeJournal, AbandonedChangeLeavesEveryByte) {
    PblLibraryHandle handle(open("j.pbl"));
    auto& lib = *handle;
    lib.beginChange();
    changeEverything(lib);
    ASSERT_EQ(lib.flush(), kPblOk);  // the bitmap is written too, and still undone
    EXPECT_NE(fileBytes(dir.file("j.pbl")), before);
    EXPECT_EQ(lib.abandonChange(), kPblOk);
    EXPECT_EQ(fileBytes(dir.file("j.pbl")), before);
    // The library goes on from the old state, not from what the allocator remembered.
    ASSERT_EQ(putEntry(lib, "after", pattern(700, 1)), kPblOk);
    handle.reset();
    EXPECT_EQ(check(dir.file("j.pbl")), "");
}

TEST_P(ChangeJournal, ReleaseWithoutCommitUndoes) {
    PblLibraryHandle handle(open("j.pbl"));
    auto& lib = *handle;
    lib.beginChange();
    changeEverything(lib);
    handle.reset();
    EXPECT_EQ(fileBytes(dir.file("j.pbl")), before);
}

TEST_P(ChangeJournal, CommittedChangeStays) {
    PblLibraryHandle handle(open("j.pbl"));
    auto& lib = *handle;
    lib.beginChange();
    changeEverything(lib);
    ASSERT_EQ(lib.commitChange(), kPblOk);
    handle.reset();
    EXPECT_EQ(check(dir.file("j.pbl")), "");
    PblLibraryHandle again(open("j.pbl", false));
    int rc = 0;
    EXPECT_EQ(getEntry(*again, "entry_with_a_long_name_3", rc), pattern(90000, 3));
    EXPECT_EQ(getEntry(*again, "new_39", rc), pattern(2000, 39));
    getEntry(*again, "entry_with_a_long_name_7", rc);
    EXPECT_EQ(rc, kPblNotFound);
}

INSTANTIATE_TEST_SUITE_P(Variants, ChangeJournal, ::testing::Values(6, 10),
                         [](const auto& p) { return p.param == 6 ? "Ansi" : "Unicode"; });

// Two processes' worth of opens in one: a writer excludes a second writer and readers,
// readers share, and a released library lets the next one in.
TEST_F(ManagerFixture, LocksFollowWritersAndReaders) {
    ASSERT_EQ(manager->createLibrary(dir.wide("l.pbl"), 6), kPblOk);
    PblManagerHandle other(createPblManager());
    other->setLockWait(0);
    {
        PblLibraryHandle writer(open("l.pbl", true));
        ASSERT_TRUE(writer);
        EXPECT_EQ(other->openLibrary(dir.wide("l.pbl"), 1), nullptr);
        EXPECT_EQ(other->lastResult(), kPblBusy);
        EXPECT_EQ(other->openLibrary(dir.wide("l.pbl"), 0), nullptr);
        EXPECT_EQ(other->lastResult(), kPblBusy);
        EXPECT_EQ(other->createLibrary(dir.wide("l.pbl"), 6), kPblBusy);
        EXPECT_STREQ(resultText(kPblBusy), "library is in use by another program");
    }
    {
        PblLibraryHandle reader(open("l.pbl", false));
        ASSERT_TRUE(reader);
        PblLibraryHandle second(other->openLibrary(dir.wide("l.pbl"), 0));
        EXPECT_TRUE(second);
        EXPECT_EQ(other->openLibrary(dir.wide("l.pbl"), 1), nullptr);
        EXPECT_EQ(other->lastResult(), kPblBusy);
    }
    PblLibraryHandle writer(other->openLibrary(dir.wide("l.pbl"), 1));
    EXPECT_TRUE(writer);
    EXPECT_EQ(other->lastResult(), kPblOk);
}

}  // namespace
}  // namespace keldrin::pbl::test

namespace keldrin::pbl::test {
namespace {

// A block that an entry uses but the bitmap marks free (what another program's crash
// can leave) is never handed out: the change is refused before it writes anything,
// with the block's place and a pointer to salvage.
using ChangeGuard = ManagerFixture;

TEST_F(ChangeGuard, BlockInUseButMarkedFreeStopsTheChange) {
    Bytes base;
    ASSERT_NO_FATAL_FAILURE(buildDamageBase(*this, "guard.pbl", base));
    base[512 + 8 + 1] &= 0xBF;  // alpha's second data block (4608), marked free
    const std::string path = dir.file("guard.pbl");
    putFileBytes(path, base);
    {
        PblLibraryHandle handle(open("guard.pbl"));
        auto& lib = *handle;
        lib.beginChange();
        EXPECT_EQ(putEntry(lib, "newcomer", pattern(3000, 5)), kPblDamaged);
        EXPECT_EQ(lib.lastDamage().offset, 4608);
        EXPECT_NE(lib.lastDamage().what.find("salvage"), std::string::npos)
            << lib.lastDamage().what;
        EXPECT_EQ(lib.abandonChange(), kPblOk);
    }
    EXPECT_EQ(fileBytes(path), base);
}

}  // namespace
}  // namespace keldrin::pbl::test
