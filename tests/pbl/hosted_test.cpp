// Libraries inside a larger file (executables carry theirs behind a "TRL*" block): they
// read as real host files lay them out, rebuild into plain libraries, and are never
// written. Entries with an empty name, which PowerBuilder itself wrote, read, rebuild
// and export like any other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "keldrin/export.h"
#include "pbl/library.h"
#include "support/library_fixture.h"
#include "support/pbl_checker.h"

namespace keldrin {
namespace {

using pbl::kPblIoError;
using pbl::kPblNotFound;
using pbl::kPblOk;
using pbl::PblEntryInfo;
using pbl::PblLibrary;
using pbl::PblLibraryHandle;
using pbl::PblManagerHandle;
using test::asciiBytes;
using test::EntrySpec;
using test::LibrarySpec;
using test::ScratchDir;
using test::StoredEntry;

constexpr int kPrefixBlocks = 7;

Bytes patternBytes(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>((i * 131 + std::size_t{seed} * 7 + (i >> 8)) & 0xFF);
    return b;
}

LibrarySpec sampleSpec(int version) {
    LibrarySpec spec;
    spec.version = version;
    Bytes comment = version >= 10 ? test::utf16Bytes(u"cm") : asciiBytes("c");
    Bytes withComment = comment;
    Bytes body = patternBytes(1300, 3);
    withComment.insert(withComment.end(), body.begin(), body.end());
    spec.entries = {
        {"d_orders.srd", patternBytes(700, 1), 0, 1000000000},
        {"d_orders.dwo", withComment, static_cast<int>(comment.size()), 1100000000},
        {"w_main.srw", patternBytes(0, 0), 0, 1200000000},
        {"zeta.sru", patternBytes(12, 5), 0, 1300000000},
    };
    spec.comment = version >= 10 ? test::utf16Bytes(u"hosted library") : asciiBytes("hosted");
    spec.libraryData = patternBytes(900, 9);
    return spec;
}

// Entries keyed by name, offsets left out: they differ between a host file and a copy.
struct Content {
    std::string name;
    Bytes data;
    std::int32_t commentSize;
    std::int32_t time;
    bool operator==(const Content&) const = default;
};

std::vector<Content> contentOf(pbl::PblLibraryInterface& library) {
    std::vector<Content> out;
    std::optional<std::vector<StoredEntry>> entries = test::readAllEntries(library);
    EXPECT_TRUE(entries.has_value());
    if (!entries) return out;
    for (StoredEntry& e : *entries) out.push_back({e.name, e.data, e.commentSize, e.time});
    std::sort(out.begin(), out.end(),
              [](const Content& a, const Content& b) { return a.name < b.name; });
    return out;
}

Bytes commentOf(pbl::PblLibraryInterface& library) {
    int size = 0;
    EXPECT_EQ(library.getComment(nullptr, size), kPblOk);
    Bytes text(static_cast<std::size_t>(size) + 2);
    EXPECT_EQ(library.getComment(text.data(), size), kPblOk);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

Bytes libraryDataOf(pbl::PblLibraryInterface& library) {
    int size = 0;
    EXPECT_EQ(library.readLibraryData(nullptr, size), kPblOk);
    Bytes data(static_cast<std::size_t>(size) + 2);
    int capacity = static_cast<int>(data.size());
    EXPECT_EQ(library.readLibraryData(data.data(), capacity), kPblOk);
    data.resize(static_cast<std::size_t>(size));
    return data;
}

// Every changing operation refuses with kPblIoError; the caller checks the file's bytes.
void expectEveryChangeRefused(PblLibrary& library, const std::string& existing) {
    PblLibrary& impl = library;
    EXPECT_TRUE(impl.hosted());
    PblEntryInfo info{};
    EXPECT_EQ(library.findEntry("brand_new.srd", info, 1), kPblIoError);
    // Finding an entry that is there changes nothing, create flag or not.
    PblEntryInfo found{};
    ASSERT_EQ(library.findEntry(existing.c_str(), found, 1), kPblOk);
    Bytes data = asciiBytes("replacement");
    PblEntryInfo target = found;
    EXPECT_EQ(library.writeEntryData(target, data.data(), static_cast<int>(data.size()), 0),
              kPblIoError);
    target = found;
    target.time = 42;
    EXPECT_EQ(library.writeEntryTime(target), kPblIoError);
    target = found;
    EXPECT_EQ(library.deleteEntry(target), kPblIoError);
    EXPECT_EQ(library.setComment(library.isUnicode() != 0 ? static_cast<const void*>(u"x")
                                                          : static_cast<const void*>("x")),
              kPblIoError);
    EXPECT_EQ(library.writeLibraryData(data.data(), static_cast<int>(data.size())), kPblIoError);
    std::vector<std::int32_t> blocks;
    EXPECT_EQ(impl.allocator().allocate(1, blocks, false), kPblIoError);
    EXPECT_EQ(library.flush(), 0);
}

// What the exported function hands out for a Unicode entry's body: the stored units up
// to the first zero one (an odd last byte pairs with a zero byte).
Bytes unicodeText(Bytes body) {
    if (body.size() % 2 != 0) body.push_back(0);
    for (std::size_t i = 0; i + 1 < body.size(); i += 2)
        if (body[i] == 0 && body[i + 1] == 0) {
            body.resize(i);
            break;
        }
    return body;
}

std::int32_t callExport(const std::u16string& path, const std::u16string& name, Bytes& body) {
    unsigned char* source = nullptr;
    unsigned char* comment = nullptr;
    std::int32_t time = 0;
    std::int32_t code =
        RAZEV_ExportSourceEntryW(path.c_str(), name.c_str(), &source, &comment, &time);
    body.clear();
    if (code == 1)
        for (const unsigned char* p = source; p[0] != 0 || p[1] != 0; p += 2)
            body.insert(body.end(), p, p + 2);
    return code;
}

std::string variantName(const ::testing::TestParamInfo<int>& param) {
    return param.param >= 10 ? "Unicode" : "Ansi";
}

// ---- a generated host file ----------------------------------------------------------

class GeneratedHost : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        test::buildLibrary(dir.file("plain.pbl"), sampleSpec(GetParam()));
        plain = test::readWholeFile(dir.file("plain.pbl"));
        host = test::hostLibrary(plain, kPrefixBlocks);
        ASSERT_FALSE(host.empty());
        test::writeWholeFile(dir.file("host.exe"), host);
    }

    ScratchDir dir;
    PblManagerHandle manager{pbl::createPblManager()};
    Bytes plain;
    Bytes host;
};

TEST_P(GeneratedHost, IsLaidOutAsRealHostFilesAre) {
    EXPECT_EQ(checks::checkLibraryBytes(host), "");
    const bool unicode = GetParam() >= 10;
    const std::size_t bitmap = kPrefixBlocks * 512 + (unicode ? 1024 : 512);
    EXPECT_EQ(std::memcmp(host.data() + bitmap, "FRE*", 4), 0);
    // The bitmap is the plain library's, bit for bit: bits count from the header block.
    EXPECT_TRUE(std::equal(host.begin() + bitmap + 8, host.begin() + bitmap + 512,
                           plain.begin() + (unicode ? 1024 : 512) + 8));
}

TEST_P(GeneratedHost, ReadsEveryEntryCommentAndLibraryData) {
    PblLibraryHandle original(manager->openLibrary(dir.file("plain.pbl"), 0));
    PblLibraryHandle hosted(manager->openLibrary(dir.file("host.exe"), 0));
    ASSERT_TRUE(original);
    ASSERT_TRUE(hosted);
    auto& impl = *hosted;
    EXPECT_TRUE(impl.hosted());
    EXPECT_FALSE(original->hosted());
    EXPECT_EQ(impl.headerOffset(), kPrefixBlocks * 512);
    EXPECT_EQ(hosted->isUnicode(), original->isUnicode());
    EXPECT_EQ(hosted->version(), original->version());
    EXPECT_EQ(contentOf(*hosted), contentOf(*original));
    EXPECT_EQ(commentOf(*hosted), commentOf(*original));
    EXPECT_EQ(libraryDataOf(*hosted), libraryDataOf(*original));
}

TEST_P(GeneratedHost, CountsBlocksFromItsHeader) {
    PblLibraryHandle original(manager->openLibrary(dir.file("plain.pbl"), 0));
    PblLibraryHandle hosted(manager->openLibrary(dir.file("host.exe"), 0));
    auto& plainImpl = *original;
    auto& impl = *hosted;
    std::int64_t plainUsed = 0, plainFree = 0, used = 0, free = 0;
    ASSERT_EQ(plainImpl.blockUsage(plainUsed, plainFree), kPblOk);
    ASSERT_EQ(impl.blockUsage(used, free), kPblOk);
    // The library's blocks plus the trailer, which nothing in the library marks.
    EXPECT_EQ(impl.libraryBlocks(), static_cast<std::int64_t>(plain.size()) / 512 + 1);
    EXPECT_EQ(used, plainUsed);
    EXPECT_EQ(free, plainFree + 1);
    EXPECT_EQ(used + free, impl.libraryBlocks());
    EXPECT_EQ(plainUsed + plainFree, plainImpl.libraryBlocks());
}

TEST_P(GeneratedHost, RefusesEveryChangeAndWritesNothing) {
    for (int writable : {1, 0}) {
        {
            PblLibraryHandle hosted(manager->openLibrary(dir.file("host.exe"), writable));
            ASSERT_TRUE(hosted);
            expectEveryChangeRefused(*hosted, "zeta.sru");
        }
        EXPECT_EQ(test::readWholeFile(dir.file("host.exe")), host) << "writable " << writable;
    }
}

TEST_P(GeneratedHost, RebuildsIntoAPlainLibrary) {
    for (int version : {0, 6, 10}) {
        std::u16string out = dir.file("out" + std::to_string(version) + ".pbl");
        {
            PblLibraryHandle hosted(manager->openLibrary(dir.file("host.exe"), 0));
            ASSERT_TRUE(hosted);
            ASSERT_EQ(hosted->copyTo(wideToAnsi(out).c_str(), version), kPblOk);
        }
        EXPECT_EQ(test::readWholeFile(dir.file("host.exe")), host);
        EXPECT_EQ(checks::checkLibraryStructure(out), "") << version;
        PblLibraryHandle copy(manager->openLibrary(out, 0));
        PblLibraryHandle original(manager->openLibrary(dir.file("plain.pbl"), 0));
        ASSERT_TRUE(copy);
        EXPECT_FALSE(copy->hosted());
        EXPECT_EQ(libraryDataOf(*copy), libraryDataOf(*original));
        if (version == 0 || (version < 10) == (GetParam() < 10)) {
            EXPECT_EQ(contentOf(*copy), contentOf(*original)) << version;
            EXPECT_EQ(commentOf(*copy), commentOf(*original));
        }
    }
}

TEST_P(GeneratedHost, TheExportedFunctionReadsAnEntry) {
    Bytes body;
    ASSERT_EQ(callExport(dir.file("host.exe"), u"ZETA.sru", body), 1);
    PblLibraryHandle original(manager->openLibrary(dir.file("plain.pbl"), 0));
    Bytes expected;
    ASSERT_EQ(callExport(dir.file("plain.pbl"), u"zeta.sru", expected), 1);
    EXPECT_EQ(body, expected);
    EXPECT_EQ(callExport(dir.file("host.exe"), u"missing.srd", body), 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, GeneratedHost, ::testing::Values(6, 10), variantName);

// A trailer that names a header whose library would run into the trailer itself, or a
// bitmap chain that leads outside the file, is damage, not a crash.
TEST(HostedDamage, BrokenHostFilesAreRefusedOrReportedDamaged) {
    ScratchDir dir;
    test::buildLibrary(dir.file("plain.pbl"), sampleSpec(6));
    Bytes host = test::hostLibrary(test::readWholeFile(dir.file("plain.pbl")), 3);
    ASSERT_FALSE(host.empty());
    PblManagerHandle manager(pbl::createPblManager());
    constexpr std::ptrdiff_t kHeaderAt = std::ptrdiff_t{3} * 512;
    constexpr std::ptrdiff_t kBitmapAt = kHeaderAt + 512;
    {
        // The first bitmap block's next link points past the end of the file.
        Bytes broken = host;
        storeI32(broken.data() + kBitmapAt + 4, 0x7FFFFE00);
        test::writeWholeFile(dir.file("b.exe"), broken);
        PblLibraryHandle lib(manager->openLibrary(dir.file("b.exe"), 0));
        ASSERT_TRUE(lib);
        std::int64_t used = 0, free = 0;
        EXPECT_EQ(lib->blockUsage(used, free), pbl::kPblDamaged);
    }
    {
        // The bitmap block lost its signature.
        Bytes broken = host;
        std::memcpy(broken.data() + kBitmapAt, "XXXX", 4);
        test::writeWholeFile(dir.file("s.exe"), broken);
        PblLibraryHandle lib(manager->openLibrary(dir.file("s.exe"), 0));
        ASSERT_TRUE(lib);
        std::int64_t used = 0, free = 0;
        EXPECT_EQ(lib->blockUsage(used, free), pbl::kPblDamaged);
    }
    {
        // Cut so that the root node would overlap the end of the file.
        Bytes broken(host.begin(), host.begin() + kHeaderAt + 2048);
        Bytes trailer(host.end() - 512, host.end());
        broken.insert(broken.end(), trailer.begin(), trailer.end());
        test::writeWholeFile(dir.file("c.exe"), broken);
        EXPECT_EQ(manager->openLibrary(dir.file("c.exe"), 0), nullptr);
    }
}

// ---- the real executables of the corpus ---------------------------------------------

TEST(CorpusHosted, EveryExecutableOpensReadsAndRebuilds) {
    std::optional<std::filesystem::path> corpus = test::corpusDir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::vector<test::ManifestRow> rows = test::corpusHostedLibraries(*corpus);
    if (rows.empty()) GTEST_SKIP() << "no executables in the corpus";
    ScratchDir dir;
    PblManagerHandle manager(pbl::createPblManager());
    int n = 0;
    for (const test::ManifestRow& row : rows) {
        SCOPED_TRACE(row.file);
        std::u16string path = test::widePath(*corpus / std::filesystem::u8path(row.file));
        const Bytes original = test::readWholeFile(path);
        ASSERT_FALSE(original.empty());
        EXPECT_EQ(checks::checkLibraryBytes(original), "");
        PblLibraryHandle lib(manager->openLibrary(path, 0));
        ASSERT_TRUE(lib);
        auto& impl = *lib;
        EXPECT_TRUE(impl.hosted());
        EXPECT_EQ(lib->isUnicode() != 0, row.kind == "exe-hosted-unicode");
        std::int64_t used = 0, free = 0;
        ASSERT_EQ(impl.blockUsage(used, free), kPblOk);
        EXPECT_EQ(used + free, impl.libraryBlocks());
        EXPECT_GT(used, 0);
        std::vector<Content> entries = contentOf(*lib);
        ASSERT_FALSE(entries.empty());
        Bytes comment = commentOf(*lib);
        Bytes libraryData = libraryDataOf(*lib);

        // Rebuilt into a plain library: sound, and the same entries byte for byte.
        std::u16string out = dir.file("rebuilt" + std::to_string(n) + ".pbl");
        ASSERT_EQ(lib->copyTo(wideToAnsi(out).c_str(), 0), kPblOk);
        EXPECT_EQ(checks::checkLibraryStructure(out), "");
        {
            PblLibraryHandle copy(manager->openLibrary(out, 0));
            ASSERT_TRUE(copy);
            EXPECT_EQ(contentOf(*copy), entries);
            EXPECT_EQ(commentOf(*copy), comment);
            EXPECT_EQ(libraryDataOf(*copy), libraryData);
        }
        lib.reset();

        // The exported function reads an entry as the library does.
        const Content& first = entries.front();
        Bytes body;
        std::u16string name(first.name.begin(), first.name.end());
        ASSERT_EQ(callExport(path, name, body), 1);
        if (row.kind == "exe-hosted-unicode") {
            EXPECT_EQ(body,
                      unicodeText(Bytes(first.data.begin() + first.commentSize, first.data.end())));
        }

        // A writable copy of the executable refuses every change and keeps its bytes.
        std::u16string writableCopy = dir.file("copy" + std::to_string(n) + ".exe");
        test::writeWholeFile(writableCopy, original);
        {
            PblLibraryHandle copy(manager->openLibrary(writableCopy, 1));
            ASSERT_TRUE(copy);
            std::string existing = first.name;
            expectEveryChangeRefused(*copy, existing);
        }
        EXPECT_EQ(test::readWholeFile(writableCopy), original);
        ++n;
    }
}

// ---- an entry with an empty name --------------------------------------------------------

class EmptyName : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        LibrarySpec spec;
        spec.version = GetParam();
        spec.entries = {{"b.srd", patternBytes(40, 1), 0, 1000},
                        {"m.srd", patternBytes(600, 2), 0, 2000},
                        {"a.srd", patternBytes(5, 3), 0, 3000},
                        {"victim", patternBytes(777, 4), 0, 4000}};
        test::buildLibrary(path(), spec);
        ASSERT_TRUE(test::makeEntryNameEmpty(path(), "victim"));
        ASSERT_EQ(checks::checkLibraryStructure(path()), "");
    }
    std::u16string path() const { return dir.file("empty.pbl"); }

    ScratchDir dir;
    PblManagerHandle manager{pbl::createPblManager()};
};

TEST_P(EmptyName, IsListedFoundAndRead) {
    PblLibraryHandle lib(manager->openLibrary(path(), 0));
    ASSERT_TRUE(lib);
    std::vector<Content> entries = contentOf(*lib);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "");
    EXPECT_EQ(entries[0].data, patternBytes(777, 4));
    PblEntryInfo info{};
    ASSERT_EQ(lib->findEntry("", info, 0), kPblOk);
    EXPECT_EQ(info.dataSize, 777);
    EXPECT_EQ(info.time, 4000);
}

TEST_P(EmptyName, RebuildsLikeAnyOtherEntry) {
    std::u16string out = dir.file("out.pbl");
    {
        PblLibraryHandle lib(manager->openLibrary(path(), 0));
        ASSERT_EQ(lib->copyTo(wideToAnsi(out).c_str(), 0), kPblOk);
    }
    EXPECT_EQ(checks::checkLibraryStructure(out), "");
    PblLibraryHandle original(manager->openLibrary(path(), 0));
    PblLibraryHandle copy(manager->openLibrary(out, 0));
    ASSERT_TRUE(copy);
    EXPECT_EQ(contentOf(*copy), contentOf(*original));
    PblEntryInfo info{};
    EXPECT_EQ(copy->findEntry("", info, 0), kPblOk);
}

TEST_P(EmptyName, TheExportedFunctionReadsIt) {
    Bytes body;
    ASSERT_EQ(callExport(path(), u"", body), 1);
    const Bytes data = patternBytes(777, 4);
    if (GetParam() >= 10)
        EXPECT_EQ(body, unicodeText(data));
    else
        EXPECT_FALSE(body.empty());
}

TEST_P(EmptyName, IsNotFoundWhereThereIsNone) {
    test::buildLibrary(dir.file("plain.pbl"), sampleSpec(GetParam()));
    PblLibraryHandle lib(manager->openLibrary(dir.file("plain.pbl"), 0));
    PblEntryInfo info{};
    EXPECT_EQ(lib->findEntry("", info, 0), kPblNotFound);
    Bytes body;
    EXPECT_EQ(callExport(dir.file("plain.pbl"), u"", body), 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, EmptyName, ::testing::Values(6, 10), variantName);

}  // namespace
}  // namespace keldrin
