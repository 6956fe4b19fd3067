// Damaged libraries: every lie a file can tell about links, counts, sizes and
// signatures ends in an exact result code, never a hang, a crash or a write past a
// buffer; operations that only read leave the file as it was, and none hands out
// bytes the file does not hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "damage_table.h"
#include "keldrin/export.h"
#include "pbl/bulk_reader.h"
#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

// The base library: buildDamageBase (pbl_test_util.h).
// The data of the entries of both base libraries, as written.
Bytes soundData(const std::string& name) {
    if (name == "alpha") return pattern(1200, 1);
    if (name == "beta") return pattern(10, 2);
    if (name == kGrownLongName) return pattern(10, 4);
    return {};
}

class Damaged : public ManagerFixture {
  protected:
    Bytes base;
    Bytes grown;
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(buildDamageBase(*this, "base.pbl", base));
        ASSERT_NO_FATAL_FAILURE(buildGrownBase(*this, "grown.pbl", grown));
        ASSERT_EQ(loadI32(base.data() + kAlpha + 8), 4096);
        ASSERT_EQ(loadI32(base.data() + kBeta + 8), 5632);
        ASSERT_EQ(loadI32(base.data() + 284), 6144);
    }

    int run(PblLibrary& lib, Op op) {
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
            case Op::BulkRead:
                return bulkRead(lib);
            case Op::Rebuild:
                return rebuild(lib);
            case Op::ExportAlpha:
                break;  // runs without the library open: exportAlpha
        }
        return -1;
    }

    // Every entry through the bulk reader, as export reads them: the first result that
    // is not kPblOk, and no entry handed out with bytes other than its own.
    static int bulkRead(PblLibrary& lib) {
        Collector c;
        int rc = lib.forEachEntry(c);
        if (rc != kPblOk) return rc;
        const std::vector<PblEntryInfo>& entries = c.entries;
        int first = kPblOk;
        BulkReader reader(lib);
        rc = reader.read(entries, [&](std::size_t i, int result, ByteSpan data) {
            if (result == kPblOk)
                EXPECT_EQ(Bytes(data.begin(), data.end()), soundData(c.entries[i].name))
                    << c.entries[i].name << " comes out with bytes that are not its own";
            else if (first == kPblOk)
                first = result;
            return true;
        });
        return rc != kPblOk ? rc : first;
    }

    // A rebuild into a new file: a failure leaves no file there, a success a sound one.
    int rebuild(PblLibraryInterface& lib) {
        const std::string target = dir.file("rebuilt.pbl");
        const int rc = lib.copyTo(target.c_str(), 0);
        if (rc != kPblOk) {
            EXPECT_FALSE(std::filesystem::exists(target)) << "a failed rebuild leaves its target";
        } else {
            EXPECT_EQ(check(target), "");
        }
        std::filesystem::remove(target);
        return rc;
    }

    // The exported reader on alpha, its result as a library code: read (whether or not
    // its text converts) kPblOk, unreadable kPblDamaged with nothing handed out.
    static int exportAlpha(const std::string& path) {
        const std::u16string wide = utf8ToUtf16(path);
        unsigned char* source = nullptr;
        unsigned char* comment = nullptr;
        std::int32_t time = 0;
        const std::int32_t r =
            RAZEV_ExportSourceEntryW(wide.c_str(), u"alpha", &source, &comment, &time);
        if (r == KELDRIN_EXPORT_READ || r == KELDRIN_EXPORT_UNCONVERTIBLE) return kPblOk;
        if (r == KELDRIN_EXPORT_UNREADABLE) {
            EXPECT_EQ(source, nullptr);
            EXPECT_EQ(comment, nullptr);
            return kPblDamaged;
        }
        return -100 + r;
    }
};

TEST_F(Damaged, EachDamageGivesItsCode) {
    std::vector<DamageCase> cases = damageTable();
    const std::vector<DamageCase> wholeLibraryReaders = {
        // the readers of whole libraries meet damage as the library's own reader does
        {"data block without DAT*, bulk read", [](Bytes& b) { b[4608 + 2] = 'X'; }, Op::BulkRead,
         kPblDamaged, ""},
        {"data block without DAT*, rebuild", [](Bytes& b) { b[4608 + 2] = 'X'; }, Op::Rebuild,
         kPblDamaged, ""},
        {"data size above what the chain holds, bulk read",
         [](Bytes& b) { set32(b, kAlpha + 12, 1300); }, Op::BulkRead, kPblDamaged, ""},
        {"data chain cycle to its start, exported reader",
         [](Bytes& b) { set32(b, 5120 + 4, 4096); }, Op::ExportAlpha, kPblDamaged, ""},
        {"sound, bulk read", [](Bytes&) {}, Op::BulkRead, kPblOk, ""},
        {"sound, rebuild", [](Bytes&) {}, Op::Rebuild, kPblOk, ""},
        {"sound, exported reader", [](Bytes&) {}, Op::ExportAlpha, kPblOk, ""},
    };
    cases.insert(cases.end(), wholeLibraryReaders.begin(), wholeLibraryReaders.end());
    // A file cut short, as a crash or a full disk leaves it, is damage to every reader:
    // none may take the missing bytes, or those of a block cut in two, for data. The
    // cuts fall in the grown library (buildGrownBase), where alpha's chain ends at the
    // file's end.
    auto cutGrown = [this](std::size_t length) {
        return [this, length](Bytes& b) {
            b = grown;
            b.resize(length);
        };
    };
    const std::vector<std::pair<const char*, std::size_t>> cuts = {
        {"file cut inside alpha's last data block", 9216 + 300},
        {"file cut at the block boundary before alpha's last block", 9216},
        {"file cut inside the root's child node", 5120 + 1000},
    };
    for (const auto& [what, length] : cuts)
        for (Op op : {Op::ReadAlpha, Op::BulkRead, Op::Rebuild, Op::ExportAlpha})
            cases.push_back({what, cutGrown(length), op, kPblDamaged, ""});
    cases.push_back({"file cut inside the root's child node", cutGrown(5120 + 1000), Op::ForEach,
                     kPblDamaged, ""});
    for (Op op : {Op::ReadAlpha, Op::ForEach, Op::BulkRead, Op::Rebuild, Op::ExportAlpha})
        cases.push_back({"grown, whole", cutGrown(grown.size()), op, kPblOk, ""});

    const std::string path = dir.file("damaged.pbl");
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + opName(c.op));
        Bytes bytes = base;
        c.damage(bytes);
        putFileBytes(path, bytes);
        if (c.op == Op::ExportAlpha) {
            EXPECT_EQ(exportAlpha(path), c.expected);
        } else {
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
