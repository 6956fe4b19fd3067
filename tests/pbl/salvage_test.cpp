// The salvage: from a damaged library, a new library that the structural check finds
// sound, holding every entry the damage did not destroy byte for byte with its comment
// and time, and nothing the damaged file did not hold; what was lost is reported where it
// lies, and the damaged file is never changed.
#include "pbl/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "damage_table.h"
#include "pbl/library_check.h"
#include "pbl_test_util.h"
#include "support/library_content.h"
#include "support/library_fixture.h"

namespace keldrin::pbl::test {
namespace {

using keldrin::test::LibraryContent;
using keldrin::test::readLibraryContent;
using layout::kUnicodeVersion;

class Salvage : public ManagerFixture {
  protected:
    struct Run {
        int rc = -1;
        SalvageReport report;
    };

    Run salvage(const std::string& from, const std::string& to = "out.pbl") {
        Run run;
        run.rc = salvageLibrary(dir.wide(from), dir.wide(to), 0, run.report);
        return run;
    }

    // Both the library's own structural check and the tests' independent one pass.
    void expectSound(const std::string& name) {
        for (const CheckFinding& finding : checkLibrary(dir.wide(name)))
            EXPECT_FALSE(finding.problem) << describeFinding(finding);
        EXPECT_EQ(check(dir.file(name)), "");
    }

    Bytes libraryData(const std::string& name) {
        PblLibraryHandle lib(open(name, false));
        if (!lib) return {};
        int size = 0;
        EXPECT_EQ(lib->readLibraryData(nullptr, size), kPblOk);
        Bytes data(static_cast<std::size_t>(size) + 2);
        EXPECT_EQ(lib->readLibraryData(data.data(), size), kPblOk);
        data.resize(static_cast<std::size_t>(size));
        return data;
    }

    // The library comment as stored, terminator included.
    Bytes comment(const std::string& name) {
        PblLibraryHandle lib(open(name, false));
        if (!lib) return {};
        int size = 0;
        EXPECT_EQ(lib->getComment(nullptr, size), kPblOk);
        Bytes text(static_cast<std::size_t>(size) + 2, 0);
        EXPECT_EQ(lib->getComment(text.data(), size), kPblOk);
        text.resize(static_cast<std::size_t>(size));
        return text;
    }
};

// Every entry of `original` but the destroyed ones is in `salvaged` as it was, and every
// entry of `salvaged` is one of `original`'s, as it was.
void expectFaithful(const LibraryContent& original, const LibraryContent& salvaged,
                    const std::set<std::string>& destroyed) {
    ASSERT_TRUE(salvaged.opened);
    EXPECT_EQ(salvaged.unicode, original.unicode);
    for (const auto& [name, entry] : original.entries) {
        if (destroyed.count(name) != 0) continue;
        auto it = salvaged.entries.find(name);
        if (it == salvaged.entries.end()) {
            ADD_FAILURE() << "not recovered: " << name;
            continue;
        }
        EXPECT_EQ(it->second.data, entry.data) << name;
        EXPECT_EQ(it->second.commentSize, entry.commentSize) << name;
        EXPECT_EQ(it->second.time, entry.time) << name;
    }
    for (const auto& [name, entry] : salvaged.entries) {
        auto it = original.entries.find(name);
        if (it == original.entries.end()) {
            ADD_FAILURE() << "invented: " << name;
            continue;
        }
        EXPECT_EQ(entry.data, it->second.data) << name;
    }
}

bool lostAt(const SalvageReport& report, std::int64_t offset) {
    return std::any_of(report.lost.begin(), report.lost.end(),
                       [&](const SalvageFinding& f) { return f.offset == offset; });
}

bool lostKind(const SalvageReport& report, const std::string& kind) {
    return std::any_of(report.lost.begin(), report.lost.end(),
                       [&](const SalvageFinding& f) { return f.kind == kind; });
}

std::string allLost(const SalvageReport& report) {
    std::string text;
    for (const SalvageFinding& f : report.lost) text += describeSalvageFinding(f) + "\n";
    return text;
}

TEST_F(Salvage, EveryDamageOfTheTableKeepsAllItDidNotDestroy) {
    Bytes base;
    ASSERT_NO_FATAL_FAILURE(buildDamageBase(*this, "base.pbl", base));
    {
        PblLibraryHandle lib(open("base.pbl"));
        const char text[256] = "damage base";
        ASSERT_EQ(lib->setComment(text), kPblOk);
    }
    base = fileBytes(dir.file("base.pbl"));
    const LibraryContent original = readLibraryContent(dir.wide("base.pbl"));
    ASSERT_EQ(original.entries.size(), 2u);
    ASSERT_EQ(comment("base.pbl"), keldrin::test::asciiBytes(std::string("damage base", 12)));
    const std::map<std::string, std::int32_t> records{{"alpha", kAlpha}, {"beta", kBeta}};

    for (const DamageCase& c : damageTable()) {
        SCOPED_TRACE(c.name);
        Bytes bytes = base;
        c.damage(bytes);
        putFileBytes(dir.file("damaged.pbl"), bytes);
        const Run run = salvage("damaged.pbl");
        ASSERT_EQ(run.rc, kPblOk);
        EXPECT_EQ(fileBytes(dir.file("damaged.pbl")), bytes) << "the damaged file was changed";
        expectSound("out.pbl");
        const std::string destroys = c.destroys;
        std::set<std::string> destroyed;
        if (records.count(destroys) != 0) destroyed.insert(destroys);
        expectFaithful(original, readLibraryContent(dir.wide("out.pbl")), destroyed);
        EXPECT_EQ(comment("out.pbl"), comment("base.pbl"));
        EXPECT_EQ(libraryData("out.pbl"), destroys == "library data" ? Bytes{} : pattern(600, 3));
        // What was destroyed is reported where it lay; an undamaged file loses nothing.
        if (records.count(destroys) != 0) {
            EXPECT_TRUE(lostAt(run.report, records.at(destroys))) << allLost(run.report);
        }
        if (destroys == "library data") {
            EXPECT_TRUE(lostKind(run.report, "library-data")) << allLost(run.report);
        }
        if (c.expected != kPblDamaged) {
            EXPECT_TRUE(run.report.lost.empty()) << allLost(run.report);
            EXPECT_TRUE(run.report.notes.empty());
        }
    }
}

// A library of `count` entries with comments and times of their own, inserted out of
// name order so that the directory grows nodes on both sides of the root.
keldrin::test::LibrarySpec manyEntries(int version, int count) {
    keldrin::test::LibrarySpec spec;
    spec.version = version;
    const bool unicode = version >= kUnicodeVersion;
    for (int i = 0; i < count; ++i) {
        const int k = (i * 37) % count;
        keldrin::test::EntrySpec e;
        e.name = "entry_" + std::to_string(1000 + k) + "_with_a_longer_name.srd";
        const std::string note = "comment " + std::to_string(k);
        Bytes commentBytes = unicode ? keldrin::test::utf16Bytes(utf8ToUtf16(note))
                                     : keldrin::test::asciiBytes(note);
        e.commentBytes = static_cast<int>(commentBytes.size());
        e.data = commentBytes;
        Bytes body =
            pattern(static_cast<std::size_t>(50 + (k * 97) % 1500), static_cast<unsigned>(k));
        e.data.insert(e.data.end(), body.begin(), body.end());
        e.time = 1000000 + k;
        spec.entries.push_back(std::move(e));
    }
    spec.comment = unicode ? keldrin::test::utf16Bytes(u"many") : keldrin::test::asciiBytes("many");
    spec.libraryData = pattern(700, 99);
    return spec;
}

struct Built {
    LibraryContent content;
    std::vector<PblEntryInfo> entries;  // with their nodes and records
    Bytes bytes;
    std::int32_t root = 0;
};

Built buildMany(ManagerFixture& f, const std::string& name, int version, int count) {
    Built built;
    keldrin::test::buildLibrary(f.dir.wide(name), manyEntries(version, count));
    built.content = readLibraryContent(f.dir.wide(name));
    PblLibraryHandle lib(f.open(name, false));
    EXPECT_NE(lib, nullptr);
    if (!lib) return built;
    Collector collector;
    EXPECT_EQ(lib->forEachEntry(collector), kPblOk);
    built.entries = std::move(collector.entries);
    built.root = lib->rootNodeOffset();
    lib.reset();
    built.bytes = fileBytes(f.dir.file(name));
    return built;
}

class SalvageByVariant : public Salvage, public ::testing::WithParamInterface<int> {};

TEST_P(SalvageByVariant, AnOverwrittenRootLeavesTheEntriesBelowItToTheScan) {
    const Built built = buildMany(*this, "many.pbl", GetParam(), 300);
    std::set<std::string> inRoot;
    for (const PblEntryInfo& e : built.entries)
        if (e.nodeOffset == built.root) inRoot.insert(e.name);
    ASSERT_GT(inRoot.size(), 0u);
    ASSERT_LT(inRoot.size(), built.entries.size());

    Bytes bytes = built.bytes;
    std::fill_n(bytes.begin() + built.root, layout::kNodeSize, 0);
    putFileBytes(dir.file("damaged.pbl"), bytes);
    const Run run = salvage("damaged.pbl");
    ASSERT_EQ(run.rc, kPblOk);
    expectSound("out.pbl");
    const LibraryContent salvaged = readLibraryContent(dir.wide("out.pbl"));
    expectFaithful(built.content, salvaged, inRoot);
    EXPECT_EQ(salvaged.entries.size(), built.entries.size() - inRoot.size());
    for (const SalvagedEntry& e : run.report.recovered) EXPECT_TRUE(e.scanned) << e.name;
    EXPECT_TRUE(lostAt(run.report, built.root)) << allLost(run.report);
    EXPECT_EQ(libraryData("out.pbl"), pattern(700, 99));
}

// A link that no longer leads to its subtree (cut, looping, out of the file) loses
// nothing: the scan finds the subtree, and the report says so in a note.
TEST_P(SalvageByVariant, ABrokenLinkLosesNothingTheScanFinds) {
    const Built built = buildMany(*this, "many.pbl", GetParam(), 300);
    layout::NodeHeader root;
    ASSERT_TRUE(layout::NodeHeader::decode(ByteSpan(built.bytes).subspan(built.root), root));
    const std::int32_t field =
        built.root + (root.right != 0 ? layout::kNodeRightField : layout::kNodeLeftField);
    ASSERT_NE(root.right != 0 ? root.right : root.left, 0);
    for (std::int32_t link : {0, built.root, 0x7FFFFE00, built.root + 100}) {
        SCOPED_TRACE(link);
        Bytes bytes = built.bytes;
        storeI32(bytes.data() + field, link);
        putFileBytes(dir.file("damaged.pbl"), bytes);
        const Run run = salvage("damaged.pbl");
        ASSERT_EQ(run.rc, kPblOk);
        expectSound("out.pbl");
        expectFaithful(built.content, readLibraryContent(dir.wide("out.pbl")), {});
        EXPECT_TRUE(run.report.lost.empty()) << allLost(run.report);
        EXPECT_TRUE(std::any_of(run.report.recovered.begin(), run.report.recovered.end(),
                                [](const SalvagedEntry& e) { return e.scanned; }));
    }
}

// The end of the file of `bytes` that the data chain from `first` needs.
std::int64_t chainEnd(const Bytes& bytes, std::int32_t first) {
    std::int64_t end = 0;
    for (std::int32_t link = first; link != 0; link = loadI32(bytes.data() + link + 4))
        end = std::max<std::int64_t>(end, link + layout::kBlockSize);
    return end;
}

TEST_P(SalvageByVariant, ATruncatedLibraryKeepsWhatLiesBeforeTheCut) {
    const Built built = buildMany(*this, "many.pbl", GetParam(), 60);
    const layout::Variant& v = layout::variantFor(GetParam() >= kUnicodeVersion);
    const std::int32_t dataFirst = loadI32(built.bytes.data() + v.libraryDataFirstField);
    for (std::size_t cut = static_cast<std::size_t>(v.headerAreaBytes); cut < built.bytes.size();
         cut += 512 * 3 + 77) {
        SCOPED_TRACE(cut);
        putFileBytes(
            dir.file("cut.pbl"),
            Bytes(built.bytes.begin(), built.bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
        const Run run = salvage("cut.pbl");
        ASSERT_EQ(run.rc, kPblOk);
        expectSound("out.pbl");
        std::set<std::string> destroyed;
        for (const PblEntryInfo& e : built.entries) {
            const bool whole =
                e.entryOffset + e.recordSize <= static_cast<std::int64_t>(cut) &&
                chainEnd(built.bytes, e.firstBlock) <= static_cast<std::int64_t>(cut);
            if (!whole) destroyed.insert(e.name);
        }
        const LibraryContent salvaged = readLibraryContent(dir.wide("out.pbl"));
        expectFaithful(built.content, salvaged, destroyed);
        EXPECT_EQ(salvaged.entries.size(), built.entries.size() - destroyed.size());
        const bool dataWhole = chainEnd(built.bytes, dataFirst) <= static_cast<std::int64_t>(cut);
        EXPECT_EQ(libraryData("out.pbl"), dataWhole ? pattern(700, 99) : Bytes{});
        // Nothing goes missing without a word.
        if (!destroyed.empty() || !dataWhole) {
            EXPECT_FALSE(run.report.lost.empty());
        }
    }
}

TEST_P(SalvageByVariant, ALostHeaderLeavesTheEntriesAndTheVariant) {
    const Built built = buildMany(*this, "many.pbl", GetParam(), 40);
    Bytes bytes = built.bytes;
    std::fill_n(bytes.begin(), layout::kBlockSize, 0);
    putFileBytes(dir.file("damaged.pbl"), bytes);
    const Run run = salvage("damaged.pbl");
    ASSERT_EQ(run.rc, kPblOk);
    expectSound("out.pbl");
    EXPECT_EQ(run.report.unicode, GetParam() >= kUnicodeVersion);
    expectFaithful(built.content, readLibraryContent(dir.wide("out.pbl")), {});
    EXPECT_EQ(run.report.recovered.size(), built.entries.size());
    EXPECT_TRUE(lostKind(run.report, "header")) << allLost(run.report);
    EXPECT_TRUE(libraryData("out.pbl").empty());
}

TEST_P(SalvageByVariant, ASoundLibraryComesOverWhole) {
    const Built built = buildMany(*this, "many.pbl", GetParam(), 120);
    const Run run = salvage("many.pbl");
    ASSERT_EQ(run.rc, kPblOk);
    expectSound("out.pbl");
    expectFaithful(built.content, readLibraryContent(dir.wide("out.pbl")), {});
    EXPECT_EQ(run.report.recovered.size(), built.entries.size());
    EXPECT_TRUE(run.report.lost.empty()) << allLost(run.report);
    EXPECT_TRUE(run.report.notes.empty());
    EXPECT_TRUE(run.report.libraryDataRecovered);
    EXPECT_EQ(libraryData("out.pbl"), pattern(700, 99));
    EXPECT_EQ(fileBytes(dir.file("many.pbl")), built.bytes);
}

INSTANTIATE_TEST_SUITE_P(AnsiAndUnicode, SalvageByVariant, ::testing::Values(6, 10));

// A node outside the tree holding a second copy of a name, as a split that a crash cut
// short leaves behind: one data block of `data`, the record's time `time`.
void appendOrphan(Bytes& file, const std::string& name, const Bytes& data, std::int32_t time,
                  std::int32_t intoChain = 0) {
    using namespace layout;
    const auto node = static_cast<std::int32_t>(file.size());
    const std::int32_t block = node + kNodeSize;
    file.resize(file.size() + kNodeSize + kBlockSize, 0);
    EntryRecordHeader record;
    // With `intoChain`, the record leads into a chain the file holds already.
    record.firstBlock = intoChain != 0 ? intoChain : block;
    record.dataSize = static_cast<std::int32_t>(data.size());
    record.time = time;
    record.nameLength = static_cast<std::uint16_t>(name.size() + 1);
    std::uint8_t* at = file.data() + node + kNodeHeaderSize;
    record.encode(kAnsi, at);
    std::copy(name.begin(), name.end(), at + kAnsi.entryHeaderSize);
    NodeHeader header;
    const int used = kAnsi.entryHeaderSize + record.nameLength;
    header.freeBytes = static_cast<std::int16_t>(kNodeDataSize - used);
    header.count = 1;
    header.firstPos = header.lastPos =
        static_cast<std::uint16_t>(kNodeHeaderSize + kAnsi.entryHeaderSize);
    header.encode(file.data() + node);
    DataBlockHeader dataHeader;
    dataHeader.used = static_cast<std::uint16_t>(data.size());
    std::memcpy(file.data() + block, kDataSignature.data(), kSignatureBytes);
    dataHeader.encode(file.data() + block);
    std::copy(data.begin(), data.end(), file.begin() + block + kDataHeaderSize);
}

TEST_F(Salvage, ANameFoundTwiceKeepsTheNewestCopy) {
    const Bytes directoryCopy = pattern(300, 1);
    keldrin::test::LibrarySpec spec;
    spec.entries.push_back({"dup.srd", directoryCopy, 0, 5000});
    spec.entries.push_back({"other.srd", pattern(20, 2), 0, 5000});
    keldrin::test::buildLibrary(dir.wide("two.pbl"), spec);
    PblEntryInfo info;
    {
        PblLibraryHandle lib(open("two.pbl", false));
        ASSERT_EQ(lib->findEntry("dup.srd", info, 0), kPblOk);
    }
    const Bytes base = fileBytes(dir.file("two.pbl"));
    const auto orphanRecord = static_cast<std::int64_t>(base.size()) + layout::kNodeHeaderSize;

    struct Case {
        const char* name;
        std::string orphanName;  // the same name to the directory, in any case
        Bytes orphanData;
        std::int32_t orphanTime;
        bool orphanKept;
        std::int64_t lost;  // the copy reported lost; -1: none
    };
    const std::vector<Case> cases = {
        {"newer copy elsewhere", "dup.srd", pattern(200, 7), 6000, true, info.entryOffset},
        {"newer copy, other case", "DUP.srd", pattern(200, 7), 6000, true, info.entryOffset},
        {"older copy elsewhere", "dup.srd", pattern(200, 7), 4000, false, orphanRecord},
        {"same time, other content", "dup.srd", pattern(200, 7), 5000, false, orphanRecord},
        {"same content, other case", "DUP.srd", directoryCopy, 5000, false, orphanRecord},
        {"identical copy", "dup.srd", directoryCopy, 5000, false, -1},
        {"identical but newer", "dup.srd", directoryCopy, 7000, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = base;
        appendOrphan(bytes, c.orphanName, c.orphanData, c.orphanTime);
        putFileBytes(dir.file("damaged.pbl"), bytes);
        const Run run = salvage("damaged.pbl");
        ASSERT_EQ(run.rc, kPblOk);
        expectSound("out.pbl");
        const LibraryContent out = readLibraryContent(dir.wide("out.pbl"));
        ASSERT_EQ(out.entries.size(), 2u);
        const std::string kept = c.orphanKept ? c.orphanName : "dup.srd";
        ASSERT_EQ(out.entries.count(kept), 1u);
        EXPECT_EQ(out.entries.at(kept).data, c.orphanKept ? c.orphanData : directoryCopy);
        EXPECT_EQ(out.entries.at(kept).time, c.orphanKept ? c.orphanTime : 5000);
        if (c.lost < 0) {
            EXPECT_TRUE(run.report.lost.empty()) << allLost(run.report);
        } else {
            ASSERT_EQ(run.report.lost.size(), 1u) << allLost(run.report);
            EXPECT_EQ(run.report.lost[0].offset, c.lost);
            EXPECT_EQ(run.report.lost[0].kind, "entry");
        }
    }
}

// Records that lead into a chain another entry holds cannot all be right: the first
// found keeps it; a copy of that same entry is merged; any other name is lost. However
// many records lead into one chain, its blocks are read once.
TEST_F(Salvage, AChainSeveralRecordsLeadIntoBelongsToTheFirst) {
    const Bytes body = pattern(400, 5);
    keldrin::test::LibrarySpec spec;
    spec.entries.push_back({"owner.srd", body, 0, 5000});
    keldrin::test::buildLibrary(dir.wide("one.pbl"), spec);
    PblEntryInfo info;
    {
        PblLibraryHandle lib(open("one.pbl", false));
        ASSERT_EQ(lib->findEntry("owner.srd", info, 0), kPblOk);
    }
    Bytes bytes = fileBytes(dir.file("one.pbl"));
    const auto firstOrphan = static_cast<std::int64_t>(bytes.size()) + layout::kNodeHeaderSize;
    appendOrphan(bytes, "owner.srd", body, 5000, info.firstBlock);
    for (int i = 0; i < 200; ++i)
        appendOrphan(bytes, "intruder" + std::to_string(i) + ".srd", body, 9000, info.firstBlock);
    putFileBytes(dir.file("damaged.pbl"), bytes);
    const Run run = salvage("damaged.pbl");
    ASSERT_EQ(run.rc, kPblOk);
    expectSound("out.pbl");
    const LibraryContent out = readLibraryContent(dir.wide("out.pbl"));
    ASSERT_EQ(out.entries.size(), 1u);
    EXPECT_EQ(out.entries.at("owner.srd").data, body);
    EXPECT_EQ(run.report.lost.size(), 200u);
    EXPECT_FALSE(lostAt(run.report, firstOrphan)) << "the copy of the owner is no loss";
    for (const SalvageFinding& f : run.report.lost)
        EXPECT_NE(f.detail.find("runs into the chain of the record at offset " +
                                std::to_string(info.entryOffset)),
                  std::string::npos)
            << f.detail;
}

TEST_F(Salvage, AFileWithNoLibraryInItIsRefusedAndNothingIsWritten) {
    const std::vector<std::pair<const char*, Bytes>> files = {
        {"empty", {}},
        {"text", Bytes(5000, 'x')},
        {"a header and nothing else", Bytes{'H', 'D', 'R', '*', 'Q'}},
    };
    for (const auto& [what, bytes] : files) {
        SCOPED_TRACE(what);
        putFileBytes(dir.file("none.pbl"), bytes);
        putFileBytes(dir.file("out.pbl"), Bytes{'k', 'e', 'e', 'p'});
        EXPECT_EQ(salvage("none.pbl").rc, kPblDamaged);
        EXPECT_EQ(fileBytes(dir.file("out.pbl")), (Bytes{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(fileBytes(dir.file("none.pbl")), bytes);
    }
    std::size_t files_left = 0;
    for ([[maybe_unused]] const auto& e :
         std::filesystem::directory_iterator(std::filesystem::path(dir.file(""))))
        ++files_left;
    EXPECT_EQ(files_left, 2u) << "a temporary file was left behind";
}

TEST_F(Salvage, TheLibraryItselfIsNeverTheTarget) {
    Bytes base;
    ASSERT_NO_FATAL_FAILURE(buildDamageBase(*this, "base.pbl", base));
    std::filesystem::create_hard_link(dir.file("base.pbl"), dir.file("alias.pbl"));
    EXPECT_EQ(salvage("base.pbl", "base.pbl").rc, kPblInvalidArgument);
    EXPECT_EQ(salvage("base.pbl", "alias.pbl").rc, kPblInvalidArgument);
    EXPECT_EQ(fileBytes(dir.file("base.pbl")), base);
    EXPECT_EQ(salvage("base.pbl", "missing/out.pbl").rc, kPblWriteFailed);
}

TEST_F(Salvage, ALibraryInsideAHostFileComesOutPlain) {
    const Built built = buildMany(*this, "plain.pbl", 6, 80);
    Bytes host = keldrin::test::hostLibrary(built.bytes, 3);
    ASSERT_FALSE(host.empty());
    putFileBytes(dir.file("app.exe"), host);
    const Run run = salvage("app.exe");
    ASSERT_EQ(run.rc, kPblOk);
    expectSound("out.pbl");
    expectFaithful(built.content, readLibraryContent(dir.wide("out.pbl")), {});
    EXPECT_EQ(run.report.recovered.size(), built.entries.size());
    EXPECT_TRUE(run.report.lost.empty()) << allLost(run.report);
    EXPECT_EQ(libraryData("out.pbl"), pattern(700, 99));
    const Bytes out = fileBytes(dir.file("out.pbl"));
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{'H', 'D', 'R', '*'}));
}

// ---- real libraries -----------------------------------------------------------------

TEST_F(Salvage, EveryCorpusLibraryKeepsWhatOneDamagedNodeOrBlockLeaves) {
    auto corpus = keldrin::test::corpusDir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    int libraries = 0;
    for (const keldrin::test::ManifestRow& row : keldrin::test::corpusLibraries(*corpus)) {
        SCOPED_TRACE(row.file);
        const std::filesystem::path source = *corpus / row.file;
        const Bytes bytes = fileBytes(source.string());
        const LibraryContent original = readLibraryContent(keldrin::test::widePath(source));
        std::vector<PblEntryInfo> entries;
        std::int32_t root = 0;
        {
            PblLibraryHandle lib(manager->openLibrary(keldrin::test::widePath(source), 0));
            ASSERT_NE(lib, nullptr);
            Collector collector;
            ASSERT_EQ(lib->forEachEntry(collector), kPblOk);
            entries = std::move(collector.entries);
            root = lib->rootNodeOffset();
        }
        ++libraries;
        struct Mutation {
            std::string what;
            Bytes bytes;
            std::set<std::string> destroyed;
        };
        std::vector<Mutation> mutations{{"unchanged", bytes, {}}};
        if (!entries.empty()) {
            std::vector<const PblEntryInfo*> byBlock;
            byBlock.reserve(entries.size());
            for (const PblEntryInfo& e : entries) byBlock.push_back(&e);
            std::sort(byBlock.begin(), byBlock.end(),
                      [](auto* a, auto* b) { return a->firstBlock < b->firstBlock; });
            const PblEntryInfo& hit = *byBlock[byBlock.size() / 2];
            Mutation block{"a data block", bytes, {hit.name}};
            std::copy_n("XXXX", 4, block.bytes.begin() + hit.firstBlock);
            mutations.push_back(std::move(block));

            std::int32_t node = 0;
            for (const PblEntryInfo& e : entries)
                if (e.nodeOffset != root) node = std::max(node, e.nodeOffset);
            if (node != 0) {
                Mutation zeroed{"a node", bytes, {}};
                std::fill_n(zeroed.bytes.begin() + node, layout::kNodeSize, 0);
                for (const PblEntryInfo& e : entries)
                    if (e.nodeOffset == node) zeroed.destroyed.insert(e.name);
                mutations.push_back(std::move(zeroed));
            } else {
                // One node only: a record in it loses its signature.
                const PblEntryInfo& record = *byBlock[byBlock.size() / 3];
                Mutation signature{"a record in the node", bytes, {record.name}};
                signature.bytes[static_cast<std::size_t>(record.entryOffset) + 1] = 'X';
                mutations.push_back(std::move(signature));
            }
        }
        for (const Mutation& m : mutations) {
            SCOPED_TRACE(m.what);
            putFileBytes(dir.file("real.pbl"), m.bytes);
            const Run run = salvage("real.pbl");
            ASSERT_EQ(run.rc, kPblOk);
            EXPECT_EQ(fileBytes(dir.file("real.pbl")), m.bytes);
            expectSound("out.pbl");
            const LibraryContent salvaged = readLibraryContent(dir.wide("out.pbl"));
            expectFaithful(original, salvaged, m.destroyed);
            EXPECT_EQ(salvaged.entries.size(), original.entries.size() - m.destroyed.size());
            EXPECT_EQ(run.report.lost.empty(), m.destroyed.empty()) << allLost(run.report);
            EXPECT_EQ(libraryData("out.pbl"), libraryData("real.pbl"));
            EXPECT_EQ(comment("out.pbl"), comment("real.pbl"));
        }
    }
    EXPECT_GT(libraries, 0);
}

}  // namespace
}  // namespace keldrin::pbl::test
