// The rebuild (copyTo): same entries, times, comment and library data in a fresh file
// with a balanced directory and ascending data chains; never onto its own source; the
// target replaced only by a complete library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "base/text.h"
#include "pbl/library.h"
#include "pbl/rebuild.h"
#include "support/library_fixture.h"
#include "support/locale_guard.h"
#include "support/pbl_checker.h"

namespace keldrin {
namespace {

using test::asciiBytes;
using test::buildLibrary;
using test::EntrySpec;
using test::LibrarySpec;
using test::ScratchDir;
using test::utf16Bytes;

constexpr int kNodeDataBytes = 3040;

using test::LocaleGuard;

struct Opened {
    pbl::PblManagerHandle manager{pbl::createPblManager()};
    pbl::PblLibraryHandle library;
    explicit Opened(const std::u16string& path, int writable = 0) {
        library.reset(manager->openLibrary(path, writable));
    }
    ~Opened() { library.reset(); }
};

int rebuild(const std::u16string& from, const std::u16string& to, int version) {
    Opened source(from);
    if (!source.library) return -100;
    return source.library->copyTo(wideToAnsi(to).c_str(), version);
}

std::map<std::string, test::StoredEntry> storedEntriesOf(const std::u16string& path) {
    Opened opened(path);
    std::map<std::string, test::StoredEntry> byName;
    if (!opened.library) {
        ADD_FAILURE() << "cannot open the library";
        return byName;
    }
    auto entries = test::readAllEntries(*opened.library);
    EXPECT_TRUE(entries.has_value());
    if (entries)
        for (auto& e : *entries) byName[e.name] = std::move(e);
    return byName;
}

// What the directory looks like on disk, read straight from the bytes.
struct TreeShape {
    int depth = 0;
    int nodes = 0;
    int rootCount = 0;
    bool rootHasChildren = false;
};

TreeShape treeShape(const Bytes& file, bool unicode) {
    TreeShape shape;
    std::uint32_t root = unicode ? 1536 : 1024;
    struct Step {
        std::uint32_t node;
        int level;
    };
    std::vector<Step> stack{{root, 1}};
    while (!stack.empty() && shape.nodes < 100000) {
        Step s = stack.back();
        stack.pop_back();
        if (s.node == 0 || !rangeFits(file.size(), s.node, 3072)) continue;
        const std::uint8_t* n = file.data() + s.node;
        ++shape.nodes;
        shape.depth = std::max(shape.depth, s.level);
        if (s.node == root) {
            shape.rootCount = loadI16(n + 20);
            shape.rootHasChildren = loadU32(n + 4) != 0 || loadU32(n + 12) != 0;
        }
        stack.push_back({loadU32(n + 4), s.level + 1});
        stack.push_back({loadU32(n + 12), s.level + 1});
    }
    return shape;
}

// Levels of a tree of `runs` nodes filled in balanced order.
int balancedDepth(std::size_t runs) {
    if (runs == 0) return 1;  // the root stays, empty
    int depth = 0;
    while ((std::size_t{1} << depth) - 1 < runs) ++depth;
    return depth;
}

// Runs of names (in directory order: ASCII letters folded) whose records fill at most
// one node each.
std::size_t runCount(std::vector<std::string> names, bool unicode) {
    auto folded = [](std::string name) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return name;
    };
    std::sort(names.begin(), names.end(),
              [&](const std::string& a, const std::string& b) { return folded(a) < folded(b); });
    std::size_t runs = 0;
    int total = 0;
    for (const std::string& name : names) {
        int size = unicode ? 28 + 2 * static_cast<int>(ansiToWide(name).size()) + 2
                           : 24 + static_cast<int>(name.size()) + 1;
        if (runs == 0 || total + size > kNodeDataBytes) {
            ++runs;
            total = 0;
        }
        total += size;
    }
    return runs;
}

bool chainAscends(const Bytes& file, std::uint32_t first) {
    std::uint32_t previous = 0;
    for (std::uint32_t block = first, steps = 0; block != 0 && steps < 100000; ++steps) {
        if (block <= previous || !rangeFits(file.size(), block, 512)) return false;
        previous = block;
        block = loadU32(file.data() + block + 4);
    }
    return true;
}

std::string headerVersion(const Bytes& file) {
    if (file.size() < 40) return "";
    if (file[4] == 'P' && file[5] == 0)
        return std::string{char(file[32]), char(file[34]), char(file[36]), char(file[38])};
    return std::string(file.begin() + 18, file.begin() + 22);
}

LibrarySpec librarySpec(int version, std::vector<EntrySpec> entries, Bytes comment = {},
                        Bytes data = {}) {
    LibrarySpec library;
    library.version = version;
    library.entries = std::move(entries);
    library.comment = std::move(comment);
    library.libraryData = std::move(data);
    return library;
}

std::vector<std::u16string> filesIn(const std::filesystem::path& dir) {
    std::vector<std::u16string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir))
        names.push_back(test::widePath(item.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

// Checks that `copy` holds the entries of `original`, each with its name, data, comment
// length and time, every data chain ascending, and a directory of balanced depth.
void expectFaithfulCopy(const std::u16string& original, const std::u16string& copy,
                        bool sameVariant) {
    EXPECT_EQ(checks::checkLibraryStructure(copy), "");
    auto before = storedEntriesOf(original);
    auto after = storedEntriesOf(copy);
    ASSERT_EQ(before.size(), after.size());
    Opened a(original), b(copy);
    const bool fromUnicode = a.library->isUnicode() != 0;
    const bool toUnicode = b.library->isUnicode() != 0;
    Bytes file = test::readWholeFile(copy);
    std::vector<std::string> names;
    for (const auto& [name, entry] : before) {
        SCOPED_TRACE(name);
        auto it = after.find(name);
        ASSERT_NE(it, after.end());
        const test::StoredEntry& copied = it->second;
        EXPECT_EQ(copied.time, entry.time);
        const int charsBefore = entry.commentSize / (fromUnicode ? 2 : 1);
        const int charsAfter = copied.commentSize / (toUnicode ? 2 : 1);
        EXPECT_EQ(charsAfter, charsBefore);
        if (sameVariant) {
            EXPECT_EQ(copied.data, entry.data);
        } else {
            // The body goes over byte for byte behind the converted comment.
            Bytes bodyBefore(entry.data.begin() + entry.commentSize, entry.data.end());
            Bytes bodyAfter(copied.data.begin() + copied.commentSize, copied.data.end());
            EXPECT_EQ(bodyAfter, bodyBefore);
        }
        EXPECT_TRUE(chainAscends(file, static_cast<std::uint32_t>(copied.firstBlock)));
        names.push_back(name);
    }
    TreeShape shape = treeShape(file, toUnicode);
    EXPECT_EQ(shape.depth, balancedDepth(runCount(names, toUnicode)));
}

// --- Versions ------------------------------------------------------------------------

TEST(Rebuild, SettlesTheTargetVersion) {
    struct Row {
        int sourceVersion;
        int requested;
        const char* header;
        int reported;
    } rows[] = {
        {5, 0, "0500", 5}, {5, 7, "0600", 6},   {5, 12, "0600", 10},  {6, 0, "0600", 6},
        {6, 5, "0500", 5}, {10, 0, "0600", 10}, {10, -3, "0600", 10}, {10, 9, "0600", 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.sourceVersion) + " -> " + std::to_string(row.requested));
        ScratchDir dir;
        buildLibrary(dir.file("a.pbl"),
                     librarySpec(row.sourceVersion, {{"d_a.srd", asciiBytes("abc"), 0, 77}}));
        ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("b.pbl"), row.requested), 0);
        Bytes file = test::readWholeFile(dir.file("b.pbl"));
        EXPECT_EQ(headerVersion(file), row.header);
        Opened copy(dir.file("b.pbl"));
        ASSERT_TRUE(copy.library);
        EXPECT_EQ(copy.library->version(), row.reported);
    }
}

TEST(Rebuild, OldHeaderVersionsAreRefusedInTheirOwnVersionOnly) {
    for (char digit : {'3', '4'}) {
        SCOPED_TRACE(digit);
        ScratchDir dir;
        buildLibrary(dir.file("old.pbl"), librarySpec(6, {{"d_a.srd", asciiBytes("abc"), 0, 77}}));
        Bytes file = test::readWholeFile(dir.file("old.pbl"));
        file[19] = static_cast<std::uint8_t>(digit);
        test::writeWholeFile(dir.file("old.pbl"), file);

        EXPECT_EQ(rebuild(dir.file("old.pbl"), dir.file("new.pbl"), 0), 6);
        EXPECT_FALSE(fs::fileExists(dir.file("new.pbl")));
        EXPECT_EQ(filesIn(dir.path()).size(), 1u);
        ASSERT_EQ(rebuild(dir.file("old.pbl"), dir.file("new.pbl"), 5), 0);
        EXPECT_EQ(headerVersion(test::readWholeFile(dir.file("new.pbl"))), "0500");
    }
}

// --- What goes over --------------------------------------------------------------------

TEST(Rebuild, EmptyLibraryKeepsCommentAndLibraryDataWithAnEmptyRoot) {
    for (int version : {6, 10}) {
        SCOPED_TRACE(version);
        ScratchDir dir;
        Bytes comment =
            version == 10 ? utf16Bytes(u"Shared objects") : asciiBytes("Shared objects");
        Bytes data(1200);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        buildLibrary(dir.file("a.pbl"), librarySpec(version, {}, comment, data));
        ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("b.pbl"), 0), 0);

        EXPECT_EQ(checks::checkLibraryStructure(dir.file("b.pbl")), "");
        Bytes file = test::readWholeFile(dir.file("b.pbl"));
        TreeShape shape = treeShape(file, version == 10);
        EXPECT_EQ(shape.nodes, 1);
        EXPECT_EQ(shape.rootCount, 0);
        Opened copy(dir.file("b.pbl"));
        int size = 0;
        ASSERT_EQ(copy.library->getComment(nullptr, size), 0);
        Bytes text(static_cast<std::size_t>(size));
        ASSERT_EQ(copy.library->getComment(text.data(), size), 0);
        text.resize(comment.size());
        EXPECT_EQ(text, comment);
        int length = 0;
        ASSERT_EQ(copy.library->readLibraryData(nullptr, length), 0);
        ASSERT_EQ(length, 1200);
        Bytes stored(static_cast<std::size_t>(length));
        ASSERT_EQ(copy.library->readLibraryData(stored.data(), length), 0);
        EXPECT_EQ(stored, data);
    }
}

TEST(Rebuild, EntriesThatFitOneNodeAllLandInTheRoot) {
    ScratchDir dir;
    std::vector<EntrySpec> entries;
    // 60 records of 24 + 25 + 1 = 50 bytes: 3000 bytes, one node.
    for (int i = 0; i < 60; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d_entry_number_%06d.srd", i);
        entries.push_back({name, asciiBytes(name), 0, 1000 + i});
    }
    buildLibrary(dir.file("a.pbl"), librarySpec(6, entries));
    ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("b.pbl"), 0), 0);
    TreeShape shape = treeShape(test::readWholeFile(dir.file("b.pbl")), false);
    EXPECT_EQ(shape.rootCount, 60);
    EXPECT_FALSE(shape.rootHasChildren);
    expectFaithfulCopy(dir.file("a.pbl"), dir.file("b.pbl"), true);
}

// Random libraries, grown and thinned through the library's own operations, against a
// model of what they hold.
TEST(Rebuild, RandomLibrariesCopyFaithfullyIntoABalancedTree) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        for (int version : {5, 10}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " version " + std::to_string(version));
            std::mt19937 random(seed);
            ScratchDir dir;
            std::vector<EntrySpec> entries;
            std::set<std::string> folded;
            const int count = 150 + static_cast<int>(random() % 250);
            while (static_cast<int>(entries.size()) < count) {
                std::string name = "d_";
                int length = 1 + static_cast<int>(random() % 40);
                for (int i = 0; i < length; ++i) name.push_back("abcdefgXYZ_019"[random() % 14]);
                name += random() % 2 ? ".srd" : ".dwo";
                std::string key = name;
                for (char& c : key)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (!folded.insert(key).second) continue;
                Bytes data(random() % 1500);
                for (auto& b : data) b = static_cast<std::uint8_t>(random());
                int comment = static_cast<int>(std::min<std::size_t>(data.size(), random() % 20));
                if (version == 10) comment &= ~1;
                entries.push_back(
                    {name, data, comment, static_cast<std::int32_t>(random() % 2000000000)});
            }
            buildLibrary(dir.file("a.pbl"),
                         librarySpec(version, entries,
                                     version == 10 ? utf16Bytes(u"random") : asciiBytes("random"),
                                     Bytes(700, 0x5A)));
            {
                // Deleting every third entry leaves free blocks and thinned nodes behind.
                Opened source(dir.file("a.pbl"), 1);
                for (std::size_t i = 0; i < entries.size(); i += 3) {
                    pbl::PblEntryInfo info{};
                    ASSERT_EQ(source.library->findEntry(entries[i].name.c_str(), info, 0), 0);
                    ASSERT_EQ(source.library->deleteEntry(info), 0);
                }
            }
            ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("b.pbl"), 0), 0);
            expectFaithfulCopy(dir.file("a.pbl"), dir.file("b.pbl"), true);
            EXPECT_LT(test::readWholeFile(dir.file("b.pbl")).size(),
                      test::readWholeFile(dir.file("a.pbl")).size());
        }
    }
}

TEST(Rebuild, NamesAreReadFromTheRecordsWhateverNameFormTheManagerHandsOut) {
    ScratchDir dir;
    buildLibrary(dir.file("a.pbl"), librarySpec(10, {{"d_caf\xE9.srd", asciiBytes("xy"), 0, 5},
                                                     {"d_b.srd", asciiBytes("z"), 0, 6}}));
    for (int mode : {0, 2, 3}) {
        SCOPED_TRACE(mode);
        pbl::PblManagerHandle manager(pbl::createPblManager());
        manager->setNameEncoding(mode);
        pbl::PblLibraryHandle source(manager->openLibrary(dir.file("a.pbl"), 0));
        ASSERT_TRUE(source);
        ASSERT_EQ(source->copyTo(wideToAnsi(dir.file("b.pbl")).c_str(), 0), 0);
        source.reset();
        auto copied = storedEntriesOf(dir.file("b.pbl"));
        EXPECT_EQ(copied.count("d_caf\xE9.srd"), 1u);
        EXPECT_EQ(copied.count("d_b.srd"), 1u);
    }
}

// --- Files -------------------------------------------------------------------------------

TEST(Rebuild, OntoTheSourceItselfIsRefusedAndTheSourceStaysAsItWas) {
    ScratchDir dir;
    buildLibrary(dir.file("a.pbl"), librarySpec(6, {{"d_a.srd", asciiBytes("abc"), 0, 77}}));
    std::filesystem::create_hard_link(dir.path() / "a.pbl", dir.path() / "hard.pbl");
#if defined(_WIN32)
    // Symbolic links need a privilege on Windows; the other names still lead to a.pbl.
    std::filesystem::copy_file(dir.path() / "a.pbl", dir.path() / "soft.pbl");
    std::filesystem::remove(dir.path() / "soft.pbl");
    const char* const names[] = {"a.pbl", "hard.pbl", "./a.pbl"};
    const std::size_t files = 2;
#else
    std::filesystem::create_symlink(dir.path() / "a.pbl", dir.path() / "soft.pbl");
    const char* const names[] = {"a.pbl", "hard.pbl", "soft.pbl", "./a.pbl"};
    const std::size_t files = 3;
#endif
    Bytes before = test::readWholeFile(dir.file("a.pbl"));
    for (const char* name : names) {
        SCOPED_TRACE(name);
        Opened source(dir.file("a.pbl"));
        std::u16string target = test::widePath(dir.path()) + u"/" + utf8ToUtf16(name);
        EXPECT_EQ(source.library->copyTo(wideToAnsi(target).c_str(), 0), 6);
        EXPECT_EQ(pbl::copyLibrary(*source.library, target, 10), 6);
    }
    EXPECT_EQ(test::readWholeFile(dir.file("a.pbl")), before);
    EXPECT_EQ(filesIn(dir.path()).size(), files);
}

TEST(Rebuild, ReplacesAnExistingTargetOnlyWithACompleteLibrary) {
    ScratchDir dir;
    buildLibrary(dir.file("a.pbl"), librarySpec(6, {{"d_a.srd", Bytes(2000, 'a'), 0, 77},
                                                    {"d_b.srd", Bytes(2000, 'b'), 0, 78}}));
    Bytes precious = asciiBytes("the user's own file");
    test::writeWholeFile(dir.file("out.pbl"), precious);

    // A data block without its signature stops the copy half way.
    Bytes source = test::readWholeFile(dir.file("a.pbl"));
    Bytes damaged = source;
    {
        Opened opened(dir.file("a.pbl"));
        pbl::PblEntryInfo info{};
        ASSERT_EQ(opened.library->findEntry("d_b.srd", info, 0), 0);
        damaged[static_cast<std::size_t>(info.firstBlock)] = 'X';
    }
    test::writeWholeFile(dir.file("a.pbl"), damaged);
    EXPECT_EQ(rebuild(dir.file("a.pbl"), dir.file("out.pbl"), 0), 2);
    EXPECT_EQ(test::readWholeFile(dir.file("out.pbl")), precious);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::u16string>{u"a.pbl", u"out.pbl"}));

    test::writeWholeFile(dir.file("a.pbl"), source);
    ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("out.pbl"), 0), 0);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::u16string>{u"a.pbl", u"out.pbl"}));
    expectFaithfulCopy(dir.file("a.pbl"), dir.file("out.pbl"), true);
}

TEST(Rebuild, WideTargetNamesOutsideTheAnsiCodePage) {
    ScratchDir dir;
    buildLibrary(dir.file("a.pbl"), librarySpec(6, {{"d_a.srd", asciiBytes("abc"), 0, 77}}));
    Opened source(dir.file("a.pbl"));
    std::u16string target = dir.file("\u30E9\u30A4\u30D6.pbl");
    ASSERT_EQ(pbl::copyLibrary(*source.library, target, 0), 0);
    expectFaithfulCopy(dir.file("a.pbl"), target, true);
}

// --- Into the other variant ---------------------------------------------------------------

TEST(Rebuild, AnsiToUnicodeConvertsNamesAndCommentsAndKeepsBodiesAndLibraryData) {
    ScratchDir dir;
    Bytes body{'b', 'o', 'd', 'y', 0xE9, 0x00, 0xFF};
    Bytes data = asciiBytes("n\xE9w");  // an entry comment of 3 bytes (odd)
    data.insert(data.end(), body.begin(), body.end());
    buildLibrary(dir.file("a.pbl"), librarySpec(6, {{"d_caf\xE9.srd", data, 3, 4242}},
                                                asciiBytes("Caf\xE9 library"), Bytes{1, 2, 3}));
    ASSERT_EQ(rebuild(dir.file("a.pbl"), dir.file("u.pbl"), 10), 0);
    expectFaithfulCopy(dir.file("a.pbl"), dir.file("u.pbl"), false);

    auto copied = storedEntriesOf(dir.file("u.pbl"));
    ASSERT_EQ(copied.count("d_caf\xE9.srd"), 1u);
    const test::StoredEntry& entry = copied["d_caf\xE9.srd"];
    Bytes expected = utf16Bytes(u"n\u00E9w");
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(entry.data, expected);
    EXPECT_EQ(entry.commentSize, 6);
    Opened u(dir.file("u.pbl"));
    Bytes comment(512);
    int size = 512;
    ASSERT_EQ(u.library->getComment(comment.data(), size), 0);
    comment.resize(static_cast<std::size_t>(size));
    Bytes expectedComment = utf16Bytes(u"Caf\u00E9 library");
    expectedComment.push_back(0);
    expectedComment.push_back(0);
    EXPECT_EQ(comment, expectedComment);
    int length = 8;
    Bytes libraryData(8);
    ASSERT_EQ(u.library->readLibraryData(libraryData.data(), length), 0);
    libraryData.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(libraryData, (Bytes{1, 2, 3}));
}

TEST(Rebuild, UnicodeToAnsiConvertsCommentsAndRefusesNamesItCannotCarry) {
#if defined(_WIN32)
    GTEST_SKIP()
        << "needs the ANSI code page to follow the locale, which Windows takes from the system";
#endif
    ScratchDir dir;
    Bytes data = utf16Bytes(u"\u00E9t\u00E9\u3042");  // comment of 4 characters
    data.insert(data.end(), {'x', 0, 'y', 0});
    buildLibrary(dir.file("u.pbl"),
                 librarySpec(10, {{"d_a.srd", data, 8, 99}}, utf16Bytes(u"\u00C9t\u00E9")));
    ASSERT_EQ(rebuild(dir.file("u.pbl"), dir.file("a.pbl"), 6), 0);
    expectFaithfulCopy(dir.file("u.pbl"), dir.file("a.pbl"), false);
    auto copied = storedEntriesOf(dir.file("a.pbl"));
    Bytes expected{0xE9, 't', 0xE9, '?', 'x', 0, 'y', 0};
    EXPECT_EQ(copied["d_a.srd"].data, expected);

    // A name stored in UTF-16 that the ANSI code page cannot carry.
    {
        LocaleGuard japanese("ja_JP");
        buildLibrary(dir.file("j.pbl"),
                     librarySpec(10, {{"d_\x82\xA0.srd", asciiBytes("xy"), 0, 5}}));
    }
    LocaleGuard western("C");
    EXPECT_EQ(rebuild(dir.file("j.pbl"), dir.file("j6.pbl"), 6), 6);
    EXPECT_FALSE(fs::fileExists(dir.file("j6.pbl")));
    // Into a Unicode library the name goes as it is stored, without the code page.
    EXPECT_EQ(rebuild(dir.file("j.pbl"), dir.file("j10.pbl"), 0), 0);
    expectFaithfulCopy(dir.file("j.pbl"), dir.file("j10.pbl"), true);
}

// --- The real libraries --------------------------------------------------------------------

TEST(Rebuild, EveryRealLibraryRebuildsFaithfully) {
    auto corpus = test::corpusDir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::size_t rebuilt = 0;
    for (const test::ManifestRow& row : test::corpusLibraries(*corpus)) {
        SCOPED_TRACE(row.file);
        auto source = test::widePath(*corpus / row.file);
        const bool old = row.kind == "pbl-ansi-0300" || row.kind == "pbl-ansi-0400";
        const bool unicode = row.kind == "pbl-unicode";
        ScratchDir dir;
        Bytes before = test::readWholeFile(source);
        if (old) {
            EXPECT_EQ(rebuild(source, dir.file("same.pbl"), 0), 6);
        }
        ASSERT_EQ(rebuild(source, dir.file("same.pbl"), old ? 6 : 0), 0);
        expectFaithfulCopy(source, dir.file("same.pbl"), true);
        ASSERT_EQ(rebuild(source, dir.file("other.pbl"), unicode ? 6 : 10), 0);
        expectFaithfulCopy(source, dir.file("other.pbl"), false);
        EXPECT_EQ(test::readWholeFile(source), before);
        ++rebuilt;
    }
    EXPECT_EQ(rebuilt, test::corpusFileCount(*corpus, ".pbl"));
}

}  // namespace
}  // namespace keldrin
