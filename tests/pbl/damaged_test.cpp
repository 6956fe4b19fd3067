// Damaged libraries: every lie a file can tell about links, counts, sizes and
// signatures ends in an exact result code, never a hang, a crash or a write past a
// buffer; operations that only read leave the file as it was.
#include <gtest/gtest.h>

#include <functional>

#include "damage_table.h"
#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

class Damaged : public ManagerFixture {
  protected:
    Bytes base;
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(buildDamageBase(*this, "base.pbl", base));
        ASSERT_EQ(loadI32(base.data() + kAlpha + 8), 4096);
        ASSERT_EQ(loadI32(base.data() + kBeta + 8), 5632);
        ASSERT_EQ(loadI32(base.data() + 284), 6144);
    }

    int run(PblLibraryInterface& lib, Op op) {
        PblEntryInfo info;
        int rc;
        switch (op) {
            case Op::ReadAlpha: {
                getEntry(lib, "alpha", rc);  // checks the bytes past the buffer too
                return rc;
            }
            case Op::WriteAlpha:
            case Op::GrowAlpha: {
                rc = lib.findEntry("alpha", info, 0);
                if (rc != kPblOk) return rc;
                Bytes d = pattern(op == Op::WriteAlpha ? 100 : 2000, 9);
                return lib.writeEntryData(info, d.data(), static_cast<int>(d.size()), 0);
            }
            case Op::ForEach: {
                Collector c;
                return lib.forEachEntry(c);
            }
            case Op::FindInside:
                return lib.findEntry("alpha2", info, 0);
            case Op::FindBefore:
                return lib.findEntry("a", info, 0);
            case Op::FindAfter:
                return lib.findEntry("zzz", info, 0);
            case Op::ReadLibData: {
                int size = 0;
                rc = lib.readLibraryData(nullptr, size);
                if (rc != kPblOk) return rc;
                Bytes b(static_cast<std::size_t>(size) + 2, 0xEE);
                rc = lib.readLibraryData(b.data(), size);
                EXPECT_EQ(b[b.size() - 1], 0xEE);
                return rc;
            }
            case Op::DeleteAlpha: {
                rc = lib.findEntry("alpha", info, 0);
                if (rc != kPblOk) return rc;
                return lib.deleteEntry(info);
            }
        }
        return -1;
    }
};

TEST_F(Damaged, EachDamageGivesItsCode) {
    const std::vector<DamageCase> cases = damageTable();
    const std::string path = dir.file("damaged.pbl");
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + opName(c.op));
        Bytes bytes = base;
        c.damage(bytes);
        putFileBytes(path, bytes);
        {
            PblLibraryHandle lib(manager->openLibrary(path.c_str(), 1));
            ASSERT_NE(lib, nullptr);
            EXPECT_EQ(run(*lib, c.op), c.expected);
        }
        if (c.expected != kPblOk) {
            EXPECT_EQ(fileBytes(path), bytes) << "the damaged file was changed";
        }
    }
}

TEST_F(Damaged, DeleteOfADamagedChainFailsBeforeTheDirectoryChanges) {
    Bytes bytes = base;
    bytes[4608 + 2] = 'X';
    putFileBytes(dir.file("d.pbl"), bytes);
    PblLibraryHandle lib(open("d.pbl"));
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("alpha", info, 0), kPblOk);
    EXPECT_EQ(lib->deleteEntry(info), kPblDamaged);
    // The record stays, so the entry is still there to be looked at or repaired.
    EXPECT_EQ(lib->findEntry("alpha", info, 0), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(fileBytes(dir.file("d.pbl")), bytes);
}

}  // namespace
}  // namespace keldrin::pbl::test
