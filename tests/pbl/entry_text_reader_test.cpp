// The exported entry reader as other programs see it: called directly, through
// dlopen/dlsym on libkeldrin.so, and looked up in the executable's export table.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>
#include <stdlib.h>
#include "support/under_wine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "keldrin/export.h"
#include "pbl/entry_text_reader.h"
#include "pbl/library.h"
#include "support/library_fixture.h"
#include "support/locale_guard.h"

namespace keldrin {
namespace {

using test::asciiBytes;
using test::buildLibrary;
using test::EntrySpec;
using test::LibrarySpec;
using test::ScratchDir;
using test::utf16Bytes;

struct Caller {
    std::string name;
    RAZEV_ExportSourceEntryW_fn function = nullptr;
};

void PrintTo(const Caller& c, std::ostream* os) {
    *os << c.name;
}

std::vector<Caller> callers() {
    std::vector<Caller> list{{"Linked", &RAZEV_ExportSourceEntryW}};
#ifdef KELDRIN_SHARED_PATH
    // Loaded once and kept for the process, as a program that uses it would.
    static void* shared = dlopen(KELDRIN_SHARED_PATH, RTLD_NOW | RTLD_LOCAL);
    if (shared != nullptr) {
        list.push_back({"SharedLibrary", reinterpret_cast<RAZEV_ExportSourceEntryW_fn>(
                                             dlsym(shared, "RAZEV_ExportSourceEntryW"))});
    } else {
        ADD_FAILURE() << "dlopen " << KELDRIN_SHARED_PATH << ": " << dlerror();
    }
#endif
    return list;
}

using test::LocaleGuard;

constexpr std::int32_t kTimeUntouched = 0x5A5A5A5A;
constexpr std::int32_t kEntryTime = 1234567890;

std::u16string textAt(const unsigned char* p) {
    std::u16string text;
    for (;; p += 2) {
        auto unit = static_cast<char16_t>(p[0] | (p[1] << 8));
        if (unit == 0) return text;
        text.push_back(unit);
    }
}

struct Outcome {
    std::int32_t code = 99;
    std::int32_t time = kTimeUntouched;
    unsigned char* source = nullptr;
    unsigned char* comment = nullptr;
    std::u16string sourceText() const { return textAt(source); }
    std::u16string commentText() const { return textAt(comment); }
};

Outcome callExport(RAZEV_ExportSourceEntryW_fn function, const std::u16string& path,
                   const std::u16string& name) {
    Outcome out;
    out.code = function(path.c_str(), name.c_str(), &out.source, &out.comment, &out.time);
    return out;
}

LibrarySpec spec(int version, std::vector<EntrySpec> entries) {
    LibrarySpec library;
    library.version = version;
    library.entries = std::move(entries);
    return library;
}

std::u16string ascii16(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

std::u16string repeatedText(std::size_t units) {
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) text.push_back(static_cast<char16_t>(u'A' + i % 26));
    return text;
}

class ExportReader : public ::testing::TestWithParam<Caller> {
  protected:
    Outcome call(const std::u16string& path, const std::u16string& name) {
        return callExport(GetParam().function, path, name);
    }
    ScratchDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Callers, ExportReader, ::testing::ValuesIn(callers()),
                         [](const auto& param) { return param.param.name; });

// --- Text and comment ---------------------------------------------------------------

TEST_P(ExportReader, UnicodeEntrySplitsCommentFromTextAtTheCommentsByteSize) {
    std::u16string body = repeatedText(47);  // 94 bytes; with the comment 100
    auto path = dir_.file("u.pbl");
    buildLibrary(
        path,
        spec(10, {{"d_emp.srd", concat(utf16Bytes(u"abc"), utf16Bytes(body)), 6, kEntryTime}}));

    Outcome out = call(path, u"d_emp.srd");
    ASSERT_EQ(out.code, 1);
    EXPECT_EQ(out.time, kEntryTime);
    const unsigned char expectedComment[] = {'a', 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(std::memcmp(out.comment, expectedComment, sizeof expectedComment), 0);
    EXPECT_EQ(out.sourceText(), body);
    EXPECT_EQ(out.source[94], 0);
    EXPECT_EQ(out.source[95], 0);
}

TEST_P(ExportReader, AnsiEntryWithoutCommentGivesItsTextInUtf16AndAnEmptyComment) {
    auto path = dir_.file("a.pbl");
    buildLibrary(path, spec(6, {{"d_abc.srd", asciiBytes("abc"), 0, kEntryTime}}));

    Outcome out = call(path, u"d_abc.srd");
    ASSERT_EQ(out.code, 1);
    const unsigned char expected[] = {'a', 0, 'b', 0, 'c', 0, 0, 0};
    EXPECT_EQ(std::memcmp(out.source, expected, sizeof expected), 0);
    EXPECT_EQ(out.comment[0], 0);
    EXPECT_EQ(out.comment[1], 0);
    EXPECT_EQ(out.time, kEntryTime);
}

// Comments and texts of ANSI libraries go through the ANSI code page, and a comment ends
// where its characters end.
TEST_P(ExportReader, AnsiCommentAndTextGoThroughTheAnsiCodePage) {
    struct Row {
        const char* locale;  // nullptr: the test run's own
        int version;
        Bytes data;
        int commentBytes;
        std::u16string comment;
        std::u16string source;
    };
    const Row rows[] = {
        // Code page 1252: 0xE9 is e acute, 0x80 the euro sign, 0xFC u diaeresis.
        {nullptr, 5, {0xE9, '!', 0x80, 'x', 0xFC}, 3, u"\u00E9!\u20AC", u"x\u00FC"},
        // In code page 932 the two bytes 0x82 0xA0 are one character (hiragana a): the
        // text starts right behind the comment's one UTF-16 character, not two units later.
        {"ja_JP", 6, {0x82, 0xA0, 'x', 'y'}, 2, u"\u3042", u"xy"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.locale != nullptr ? row.locale : "the run's locale");
#if defined(_WIN32)
        // Windows takes the ANSI code page from the system, not from the locale.
        if (row.locale != nullptr) continue;
#endif
        std::optional<LocaleGuard> locale;
        if (row.locale != nullptr) locale.emplace(row.locale);
        auto path = dir_.file("a" + std::to_string(row.version) + ".pbl");
        buildLibrary(path,
                     spec(row.version, {{"d_x.srd", row.data, row.commentBytes, kEntryTime}}));

        Outcome out = call(path, u"d_x.srd");
        ASSERT_EQ(out.code, 1);
        EXPECT_EQ(out.commentText(), row.comment);
        EXPECT_EQ(out.sourceText(), row.source);
    }
}

TEST_P(ExportReader, UnicodeTextOfOddByteLengthStillEndsInAWholeZeroCharacter) {
    auto path = dir_.file("u.pbl");
    Bytes data{'a', 0, 'b', 0, 'c'};
    buildLibrary(path, spec(10, {{"d_odd.srd", data, 0, kEntryTime}}));

    Outcome out = call(path, u"d_odd.srd");
    ASSERT_EQ(out.code, 1);
    // Units "a", "b", then 'c' with the first zero byte, then a whole zero unit.
    EXPECT_EQ(out.sourceText(), u"ab" + std::u16string(1, u'c'));
    EXPECT_EQ(out.source[5], 0);
    EXPECT_EQ(out.source[6], 0);
    EXPECT_EQ(out.source[7], 0);
}

TEST_P(ExportReader, EmptyEntryGivesEmptyTexts) {
    auto path = dir_.file("u.pbl");
    buildLibrary(path, spec(10, {{"d_empty.srd", {}, 0, kEntryTime}}));
    Outcome out = call(path, u"d_empty.srd");
    ASSERT_EQ(out.code, 1);
    EXPECT_EQ(out.sourceText(), u"");
    EXPECT_EQ(out.commentText(), u"");
}

// --- Names and files ----------------------------------------------------------------

TEST_P(ExportReader, NamesAreFoundWhateverTheCaseOfTheirAsciiLetters) {
    struct Row {
        int version;
        std::u16string asked;
    };
    for (const Row& row : {Row{6, u"d_emp.SRD"}, Row{6, u"D_EMP.srd"}, Row{10, u"d_Emp.Srd"}}) {
        SCOPED_TRACE(row.version);
        auto path = dir_.file("case" + std::to_string(row.version) + ".pbl");
        buildLibrary(path, spec(row.version, {{"D_Emp.srd", asciiBytes("xy"), 0, kEntryTime}}));
        EXPECT_EQ(call(path, row.asked).code, 1);
    }
}

TEST_P(ExportReader, NameTheAnsiCodePageCannotCarryIsNotFoundInAUnicodeLibrary) {
#if defined(_WIN32)
    GTEST_SKIP()
        << "needs the ANSI code page to follow the locale, which Windows takes from the system";
#endif
    auto path = dir_.file("u.pbl");
    {
        // Made under code page 932, so the stored UTF-16 name holds hiragana a.
        LocaleGuard japanese("ja_JP");
        buildLibrary(path, spec(10, {{"d_\x82\xA0.srd", asciiBytes("xy"), 0, kEntryTime}}));
        EXPECT_EQ(call(path, u"d_\u3042.srd").code, 1);
    }
    LocaleGuard western("C");
    Outcome out = call(path, u"d_\u3042.srd");
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(out.time, kTimeUntouched);
}

TEST_P(ExportReader, FilesThatAreNoLibraryAndMissingEntriesSetNothing) {
    auto library = dir_.file("lib.pbl");
    buildLibrary(library, spec(6, {{"d_a.srd", asciiBytes("a"), 0, kEntryTime}}));
    auto notLibrary = dir_.file("text.pbl");
    Bytes junk(4096, 'x');
    test::writeWholeFile(notLibrary, junk);
    auto empty = dir_.file("empty.pbl");
    test::writeWholeFile(empty, {});

    struct Row {
        const char* what;
        std::u16string path;
        std::u16string name;
        std::int32_t code;
    } rows[] = {
        {"missing file", dir_.file("none.pbl"), u"d_a.srd", -2},
        {"not a library", notLibrary, u"d_a.srd", -2},
        {"empty file", empty, u"d_a.srd", -2},
        {"a directory", test::widePath(dir_.path()), u"d_a.srd", -2},
        {"missing entry", library, u"d_b.srd", 0},
        {"empty name", library, u"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Outcome out = call(row.path, row.name);
        EXPECT_EQ(out.code, row.code);
        EXPECT_EQ(out.time, kTimeUntouched);
        EXPECT_EQ(out.source, nullptr);
        EXPECT_EQ(out.comment, nullptr);
    }
    EXPECT_EQ(test::readWholeFile(notLibrary), junk);
}

TEST_P(ExportReader, PathOutsideTheAnsiCodePageStillNamesTheFile) {
    std::filesystem::create_directory(dir_.path() / std::filesystem::u8path("\u30E9\u30A4\u30D6"));
    auto path = dir_.file("\u30E9\u30A4\u30D6/lib.pbl");
    buildLibrary(path, spec(6, {{"d_a.srd", asciiBytes("abc"), 0, kEntryTime}}));
    Outcome out = call(path, u"d_a.srd");
    ASSERT_EQ(out.code, 1);
    EXPECT_EQ(out.sourceText(), u"abc");
}

TEST_P(ExportReader, NullArgumentsAreRefusedWithoutReadingAnything) {
    auto path = dir_.file("lib.pbl");
    buildLibrary(path, spec(6, {{"d_a.srd", asciiBytes("a"), 0, kEntryTime}}));
    unsigned char* source = nullptr;
    unsigned char* comment = nullptr;
    std::int32_t time = kTimeUntouched;
    auto f = GetParam().function;
    EXPECT_EQ(f(nullptr, u"d_a.srd", &source, &comment, &time), -2);
    EXPECT_EQ(f(path.c_str(), nullptr, &source, &comment, &time), 0);
    EXPECT_EQ(f(path.c_str(), u"d_a.srd", nullptr, &comment, &time), -4);
    EXPECT_EQ(f(path.c_str(), u"d_a.srd", &source, nullptr, &time), -4);
    EXPECT_EQ(time, kTimeUntouched);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(f(path.c_str(), u"d_a.srd", &source, &comment, nullptr), 1);
    EXPECT_EQ(textAt(source), u"a");
}

// --- Buffers ------------------------------------------------------------------------

TEST_P(ExportReader, BuffersGrowForALargeEntryAndKeepTheirSizeForSmallOnes) {
    auto path = dir_.file("u.pbl");
    std::u16string big = repeatedText(15000);  // 30000 bytes
    buildLibrary(path, spec(10, {{"d_big.srd", utf16Bytes(big), 0, kEntryTime},
                                 {"d_small.srd", utf16Bytes(u"tiny"), 0, kEntryTime}}));

    Outcome first = call(path, u"d_small.srd");
    ASSERT_EQ(first.code, 1);
    Outcome large = call(path, u"d_big.srd");
    ASSERT_EQ(large.code, 1);
    EXPECT_EQ(large.sourceText(), big);
    Outcome small = call(path, u"d_small.srd");
    ASSERT_EQ(small.code, 1);
    EXPECT_EQ(small.sourceText(), u"tiny");
    // Without a comment the text starts at the data buffer itself: the small entry
    // lands in the buffer the large one grew.
    EXPECT_EQ(small.source, large.source);
    EXPECT_EQ(first.comment, small.comment);
}

TEST(ExportReaderBuffers, StartAtTheirInitialSizesAndGrowInSixteenByteSteps) {
    ScratchDir dir;
    auto path = dir.file("a.pbl");
    Bytes data(12001, 'q');
    Bytes comment(400, 'c');
    buildLibrary(path, spec(6, {{"d_a.srd", asciiBytes("a"), 0, kEntryTime},
                                {"d_big.srd", concat(comment, data), 400, kEntryTime}}));
    ASSERT_EQ(callExport(&RAZEV_ExportSourceEntryW, path, u"d_a.srd").code, 1);
    pbl::ReaderBufferSizes before = pbl::readerBufferSizes();
    ASSERT_EQ(callExport(&RAZEV_ExportSourceEntryW, path, u"d_big.srd").code, 1);
    pbl::ReaderBufferSizes after = pbl::readerBufferSizes();
    ASSERT_EQ(callExport(&RAZEV_ExportSourceEntryW, path, u"d_a.srd").code, 1);
    pbl::ReaderBufferSizes last = pbl::readerBufferSizes();

    // Other tests in this process may have grown them already.
    EXPECT_GE(before.data, 10000u);
    EXPECT_GE(before.text, 20000u);
    EXPECT_GE(before.comment, 600u);
    EXPECT_GE(after.data, 12401u + 4);
    EXPECT_GE(after.text, (12401u + 1) * 2);
    EXPECT_GE(after.comment, 802u);
    EXPECT_EQ(after.data % 16, before.data == after.data ? before.data % 16 : 0u);
    EXPECT_EQ(last.data, after.data);
    EXPECT_EQ(last.text, after.text);
    EXPECT_EQ(last.comment, after.comment);
}

// --- Sizes that the file cannot hold --------------------------------------------------

struct SizeMutation {
    const char* what;
    int version;
    int field;  // offset inside the record header
    int width;  // 2 or 4
    std::int64_t value;
};

void PrintTo(const SizeMutation& m, std::ostream* os) {
    *os << m.what;
}

class ExportReaderImpossibleSizes : public ::testing::TestWithParam<SizeMutation> {};

TEST_P(ExportReaderImpossibleSizes, GiveMinusFourWithTheTimeAndAllocateNothing) {
    const SizeMutation& m = GetParam();
    ScratchDir dir;
    auto path = dir.file("lib.pbl");
    Bytes data(600, 'd');
    buildLibrary(path, spec(m.version, {{"d_a.srd", data, 0, kEntryTime}}));

    // Find the record and change one of its size fields.
    std::int32_t recordOffset = 0;
    {
        pbl::PblManagerHandle manager(pbl::createPblManager());
        pbl::PblLibraryHandle library(manager->openLibrary(path, 0));
        ASSERT_TRUE(library);
        pbl::PblEntryInfo info{};
        ASSERT_EQ(library->findEntry("d_a.srd", info, 0), 0);
        recordOffset = info.entryOffset;
    }
    Bytes file = test::readWholeFile(path);
    auto at = static_cast<std::size_t>(recordOffset) + static_cast<std::size_t>(m.field);
    ASSERT_LE(at + static_cast<std::size_t>(m.width), file.size());
    if (m.width == 4)
        storeU32(file.data() + at, static_cast<std::uint32_t>(m.value));
    else
        storeU16(file.data() + at, static_cast<std::uint16_t>(m.value));
    test::writeWholeFile(path, file);

    Outcome out = callExport(&RAZEV_ExportSourceEntryW, path, u"d_a.srd");
    EXPECT_EQ(out.code, -4);
    EXPECT_EQ(out.time, kEntryTime);
    EXPECT_EQ(out.source, nullptr);
    EXPECT_LT(pbl::readerBufferSizes().data, std::size_t{1} << 24);
}

// ANSI record: data size at +12, comment length at +20; Unicode: +16 and +24.
INSTANTIATE_TEST_SUITE_P(
    Mutations, ExportReaderImpossibleSizes,
    ::testing::Values(SizeMutation{"AnsiNegativeDataSize", 6, 12, 4, -5},
                      SizeMutation{"AnsiHugeDataSize", 6, 12, 4, 0x7FFFFFF0},
                      SizeMutation{"AnsiDataSizeBeyondTheFile", 6, 12, 4, 1 << 20},
                      SizeMutation{"AnsiCommentLongerThanData", 6, 20, 2, 601},
                      SizeMutation{"UnicodeNegativeDataSize", 10, 16, 4, -1},
                      SizeMutation{"UnicodeHugeDataSize", 10, 16, 4, 0x7FFFFFFF},
                      SizeMutation{"UnicodeCommentLongerThanData", 10, 24, 2, 301},
                      SizeMutation{"UnicodeLargestComment", 10, 24, 2, 0xFFFF}),
    [](const auto& param) { return std::string(param.param.what); });

// --- Other programs -------------------------------------------------------------------

std::string commandOutput(const std::string& command) {
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    pclose(pipe);
    return output;
}

// Defined dynamic symbols of a module, by `nm -D --defined-only`.
[[maybe_unused]] std::set<std::string> definedDynamicSymbols(const std::string& module) {
    std::set<std::string> names;
    std::istringstream lines(commandOutput("nm -D --defined-only '" + module + "' 2>/dev/null"));
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t space = line.rfind(' ');
        if (space != std::string::npos) names.insert(line.substr(space + 1));
    }
    return names;
}

TEST(SharedLibrary, ExportsTheEntryReaderAndNothingElseOfOurs) {
#ifndef KELDRIN_SHARED_PATH
    GTEST_SKIP() << "no libkeldrin.so in this build";
#else
    std::set<std::string> ours;
    for (const std::string& name : definedDynamicSymbols(KELDRIN_SHARED_PATH)) {
        // The sanitizer runtimes of an instrumented build add their own entry points.
        if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
            name.rfind("__sanitizer", 0) == 0 || name.rfind("__lsan", 0) == 0)
            continue;
        ours.insert(name);
    }
    EXPECT_EQ(ours, std::set<std::string>{"RAZEV_ExportSourceEntryW"});
#endif
}

#if defined(KELDRIN_PATH)
// The entry reader `f`, loaded from a program, reads an entry of a library.
void expectReadsAnEntry(RAZEV_ExportSourceEntryW_fn f) {
    ScratchDir dir;
    auto path = dir.file("lib.pbl");
    buildLibrary(path, spec(6, {{"d_a.srd", asciiBytes("abc"), 0, kEntryTime}}));
    Outcome out = callExport(f, path, u"d_a.srd");
    EXPECT_EQ(out.code, 1);
    EXPECT_EQ(out.sourceText(), u"abc");
}
#endif

TEST(Executable, PublishesTheEntryReader) {
#ifndef KELDRIN_PATH
    GTEST_SKIP() << "the keldrin executable is not part of this build";
#elif defined(_WIN32)
    // Another program loads keldrin.exe as a module and looks the function up by name;
    // the executable's own start-up code does not run then.
    if (test::underWine())
        GTEST_SKIP() << "Wine does not bind the imports of an executable loaded as a module";
    std::filesystem::path exe(KELDRIN_PATH);
    HMODULE module = LoadLibraryW(exe.wstring().c_str());
    ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();
    auto f = reinterpret_cast<RAZEV_ExportSourceEntryW_fn>(
        reinterpret_cast<void*>(GetProcAddress(module, "RAZEV_ExportSourceEntryW")));
    ASSERT_NE(f, nullptr);
    expectReadsAnEntry(f);
#else
    void* module = dlopen(KELDRIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) {
        auto f = reinterpret_cast<RAZEV_ExportSourceEntryW_fn>(
            dlsym(module, "RAZEV_ExportSourceEntryW"));
        ASSERT_NE(f, nullptr);
        expectReadsAnEntry(f);
        return;
    }
    // glibc refuses to load a position-independent executable as a module; then the
    // executable's dynamic symbol table must still carry the function.
    std::string error = dlerror();
    EXPECT_NE(error.find("position-independent executable"), std::string::npos) << error;
    std::set<std::string> names = definedDynamicSymbols(KELDRIN_PATH);
    EXPECT_EQ(names.count("RAZEV_ExportSourceEntryW"), 1u);
#endif
}

// --- The real libraries ---------------------------------------------------------------

TEST_P(ExportReader, EveryEntryOfEveryRealLibraryReads) {
    auto corpus = test::corpusDir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::size_t libraries = 0;
    int entries = 0;
    for (const test::ManifestRow& row : test::corpusLibraries(*corpus)) {
        SCOPED_TRACE(row.file);
        auto path = test::widePath(*corpus / row.file);
        pbl::PblManagerHandle manager(pbl::createPblManager());
        pbl::PblLibraryHandle library(manager->openLibrary(path, 0));
        ASSERT_TRUE(library);
        const bool unicode = library->isUnicode() != 0;
        auto stored = test::readAllEntries(*library);
        ASSERT_TRUE(stored.has_value());
        library.reset();
        ++libraries;
        for (const test::StoredEntry& entry : *stored) {
            SCOPED_TRACE(entry.name);
            Outcome out = call(path, ansiToWide(entry.name));
            ASSERT_EQ(out.code, 1);
            EXPECT_EQ(out.time, entry.time);
            const auto commentBytes = static_cast<std::size_t>(entry.commentSize);
            std::u16string comment, text;
            if (unicode) {
                for (std::size_t i = 0; i + 1 < commentBytes; i += 2)
                    comment.push_back(
                        static_cast<char16_t>(entry.data[i] | entry.data[i + 1] << 8));
                for (std::size_t i = commentBytes; i + 1 < entry.data.size(); i += 2)
                    text.push_back(static_cast<char16_t>(entry.data[i] | entry.data[i + 1] << 8));
                if (entry.data.size() % 2 != commentBytes % 2) text.push_back(entry.data.back());
            } else {
                // Code page 1252 (the tests' locale) maps every byte to one character.
                comment = ansiToWide(std::string(
                    entry.data.begin(), entry.data.begin() + static_cast<long>(commentBytes)));
                text = ansiToWide(std::string(entry.data.begin() + static_cast<long>(commentBytes),
                                              entry.data.end()));
            }
            // The caller's view ends at the first zero character.
            comment = comment.substr(0, comment.find(u'\0'));
            text = text.substr(0, text.find(u'\0'));
            EXPECT_EQ(out.commentText(), comment);
            EXPECT_EQ(out.sourceText(), text);
            ++entries;
        }
    }
    EXPECT_EQ(libraries, test::corpusFileCount(*corpus, ".pbl"));
    EXPECT_GT(entries, 0);
}

// An exported source file (the oracle) in the form the exported text takes: export
// header lines dropped; HEXASCII files also lose their "HA" mark and have their
// $$HEXn$$...$$ENDHEX$$ runs decoded (four hex digits per UTF-16 unit, low byte first).
std::u16string oracleText(const std::string& bytes, bool hexAscii) {
    std::string body = bytes;
    if (!hexAscii && body.rfind("\xEF\xBB\xBF", 0) == 0) body.erase(0, 3);
    if (hexAscii && body.rfind("HA", 0) == 0) body.erase(0, 2);
    std::string kept;
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = body.find('\n', pos);
        std::size_t next = end == std::string::npos ? body.size() : end + 1;
        std::string line = body.substr(pos, next - pos);
        if (line.rfind("$PBExport", 0) != 0) kept += line;
        pos = next;
    }
    if (!hexAscii) return utf8ToUtf16(kept);
    std::u16string text;
    static const std::regex hexRun(R"(\$\$HEX(\d+)\$\$([0-9a-fA-F]*)\$\$ENDHEX\$\$)");
    std::size_t last = 0;
    for (auto it = std::sregex_iterator(kept.begin(), kept.end(), hexRun);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& match = *it;
        std::u16string plain =
            utf8ToUtf16(kept.substr(last, static_cast<std::size_t>(match.position()) - last));
        text += plain;
        std::string hex = match[2];
        for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
            auto low = std::stoul(hex.substr(i, 2), nullptr, 16);
            auto high = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
            text.push_back(static_cast<char16_t>(low | high << 8));
        }
        last = static_cast<std::size_t>(match.position() + match.length());
    }
    text += utf8ToUtf16(kept.substr(last));
    return text;
}

std::u16string withoutCarriageReturns(const std::u16string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n'))
            out.push_back(text[i]);
    return out;
}

TEST_P(ExportReader, SourceOfEachExportedDataWindowEqualsItsExportFile) {
    auto corpus = test::corpusDir();
    if (!corpus) GTEST_SKIP() << "no corpus";
    static const std::regex entryOf(R"(oracle for entry '([^']+)' of (\S+\.pbl))");
    int compared = 0;
    for (const test::ManifestRow& row : test::manifestRows(*corpus)) {
        if (row.kind != "srd-export") continue;
        SCOPED_TRACE(row.file);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(row.notes, match, entryOf));
        std::string repository = row.file.substr(0, row.file.find('/'));
        auto libraryPath = test::widePath(*corpus / repository / std::string(match[2]));
        bool hexAscii = row.notes.find("HEXASCII") != std::string::npos;

        Outcome out = call(libraryPath, ascii16(std::string(match[1])));
        ASSERT_EQ(out.code, 1);
        Bytes file = test::readWholeFile(test::widePath(*corpus / row.file));
        std::u16string expected = oracleText(std::string(file.begin(), file.end()), hexAscii);
        std::u16string actual = out.sourceText();
        if (hexAscii) actual = withoutCarriageReturns(actual);
        EXPECT_EQ(utf16ToUtf8(actual), utf16ToUtf8(expected));
        ++compared;
    }
    EXPECT_EQ(compared, 96);
}

}  // namespace
}  // namespace keldrin
