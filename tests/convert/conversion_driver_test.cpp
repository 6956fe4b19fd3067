// The conversion driver on an in-memory report: the summary it prints, the library it
// leaves at the target, and above all what it leaves behind when something fails: the
// old target byte for byte, and no temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "base/file.h"
#include "base/text.h"
#include "pbl/library.h"
#include "psr/portable_psr_container.h"
#include "psr/psr_container.h"
#include "support/library_content.h"
#include "support/memory_report.h"
#include "support/pbl_checker.h"
#include "support/report_writer.h"
#include "support/test_files.h"
#include "support/win32_posix_compat.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// A report held in memory: a map from stream path to bytes, with an optional hook that
// runs before each read (to change the disk under the driver's feet).
class FakeContainer : public test::MemoryReport {
  public:
    FakeContainer(std::u16string fileName, std::map<std::u16string, Bytes> reportStreams) {
        name = std::move(fileName);
        streams = std::move(reportStreams);
    }

    void readStream(const std::u16string& path, Bytes& data) override {
        if (beforeRead) beforeRead(path);
        MemoryReport::readStream(path, data);
    }
    std::u16string formatDescription() const override { return u"In-memory report"; }

    std::function<void(const std::u16string&)> beforeRead;
};

struct Child {
    std::string name;  // as stored in dwlookup (ANSI)
    std::uint16_t number;
    Bytes source;
    Bytes object;
};

// The streams of a report. In an ANSI one "source" starts with two letters, so the
// 44-byte dwlookup records apply; in a Unicode one it is UTF-16LE and they are 86 bytes.
std::map<std::u16string, Bytes> reportStreams(bool unicode, std::string_view versionDigits,
                                              const std::vector<Child>& children) {
    std::map<std::u16string, Bytes> streams;
    streams[u"source"] = unicode ? Bytes{'r', 0, 'e', 0, 'l', 0, 0xE9, 0, '\r', 0, '\n', 0}
                                 : bytesOf("release 6;\r\ndatawindow(units=0)\r\n");
    streams[u"object"] =
        bytesOf("PDW" + std::string(versionDigits) +
                (unicode ? std::string("\0\x05", 2) : std::string("\0\x01\x02\xff", 4)));
    std::vector<test::LookupChild> lookup;
    for (const Child& child : children) {
        lookup.push_back({std::u16string(child.name.begin(), child.name.end()), child.number});
        std::u16string number = numberToText(child.number);
        streams[u"dwstg/source_" + number] = child.source;
        streams[u"dwstg/object_" + number] = child.object;
    }
    streams[u"dwstg/dwlookup"] = test::dwLookup(unicode, lookup);
    return streams;
}

std::map<std::u16string, Bytes> ansiReport(std::string_view versionDigits,
                                           const std::vector<Child>& children) {
    return reportStreams(false, versionDigits, children);
}

std::map<std::u16string, Bytes> unicodeReport(std::string_view versionDigits,
                                              const std::vector<Child>& children) {
    return reportStreams(true, versionDigits, children);
}

// Runs `body` with standard output captured; returns what was printed.
template <typename Body>
std::string captured(Body body) {
    ::testing::internal::CaptureStdout();
    try {
        body();
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        throw;
    }
    return ::testing::internal::GetCapturedStdout();
}

using test::listing;
using test::readAll;
using test::writeAll;

std::u16string wide(const stdfs::path& p) {
    return fs::fromNativeName(p.string());
}

using test::LibraryContent;
using test::LibraryEntry;

LibraryContent readLibrary(const stdfs::path& file) {
    EXPECT_EQ(keldrin::checks::checkLibraryStructure(wide(file)), "") << file;
    return test::readLibraryContent(wide(file));
}

class ConversionDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (stdfs::temp_directory_path() / "keldrin-driver-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        stdfs::permissions(dir, stdfs::perms::owner_all, stdfs::perm_options::add, ec);
        stdfs::remove_all(dir, ec);
    }

    stdfs::path dir;
    const std::string oldTarget = std::string("old library \0 bytes\xff", 20);
};

// --- The summary and the library of a successful conversion -------------------------

TEST_F(ConversionDriverTest, PrintsSummaryWithColonsInColumn28AndWritesEveryEntry) {
    std::vector<Child> children{
        {"d_Detail", 3, bytesOf("child one source"), bytesOf("PDW0600obj1")},
        {"D_SUM\tjunk", 7, bytesOf("child two source"), bytesOf("PDW0600obj2")}};
    writeAll(dir / "report.psr", "placeholder");
    FakeContainer report(wide(dir / "Sales Report.psr"), ansiReport("060", children));
    stdfs::path target = dir / "out.pbl";

    std::string out = captured([&] { report.convert(wide(target)); });

    std::string expected =
        "\n"
        "Source PSR                 : " +
        (dir / "Sales Report.psr").string() +
        "\n"
        "Target PBL                 : " +
        target.string() +
        "\n"
        "PSR created in             : PowerBuilder 6\n"
        "PSR container format       : In-memory report\n"
        "Number of child DWs in PSR : 2\n"
        "Main DW: d_salesreport\n"
        "Child DW [1/2] d_detail\n"
        "Child DW [2/2] d_sum\n"
        "Conversion finished successfully\n";
    EXPECT_EQ(out, expected);
    for (std::size_t pos = 1; pos <= 5; ++pos) {
        std::size_t lineStart = 0;
        for (std::size_t k = 0; k < pos; ++k) lineStart = out.find('\n', lineStart) + 1;
        EXPECT_EQ(out[lineStart + 27], ':') << "line " << pos;
    }

    std::time_t now = std::time(nullptr);
    LibraryContent lib = readLibrary(target);
    ASSERT_TRUE(lib.opened);
    EXPECT_FALSE(lib.unicode);
    EXPECT_EQ(lib.version, 6);
    std::map<std::string, Bytes> want{
        {"d_salesreport.srd", bytesOf("release 6;\r\ndatawindow(units=0)\r\n")},
        {"d_salesreport.dwo", bytesOf(std::string("PDW060\0\x01\x02\xff", 10))},
        {"d_detail.srd", children[0].source},
        {"d_detail.dwo", children[0].object},
        {"d_sum.srd", children[1].source},
        {"d_sum.dwo", children[1].object}};
    ASSERT_EQ(lib.entries.size(), want.size());
    for (const auto& [name, data] : want) {
        auto it = lib.entries.find(name);
        ASSERT_NE(it, lib.entries.end()) << name;
        EXPECT_EQ(it->second.data, data) << name;
        EXPECT_EQ(it->second.commentSize, 0) << name;
        EXPECT_LE(std::abs(static_cast<long long>(it->second.time) - static_cast<long long>(now)),
                  120)
            << name;
    }
    EXPECT_EQ(listing(dir), (std::set<std::string>{"out.pbl", "report.psr"}));
}

struct VersionCase {
    std::string digits;
    bool unicodeReport;
    std::string printed;
    bool unicodeLibrary;
    int libraryVersion;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << (c.unicodeReport ? "Unicode " : "ANSI ") << c.digits;
}

class LibraryVersionTest : public ConversionDriverTest,
                           public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LibraryVersionTest, FollowsTheReportsMajorVersion) {
    const VersionCase& c = GetParam();
    std::vector<Child> children{{"d_child", 1, bytesOf("s"), bytesOf("o")}};
    FakeContainer report(wide(dir / "r.psr"), c.unicodeReport ? unicodeReport(c.digits, children)
                                                              : ansiReport(c.digits, children));
    std::string out = captured([&] { report.convert(wide(dir / "r.pbl")); });
    EXPECT_NE(out.find("PSR created in             : PowerBuilder " + c.printed + "\n"),
              std::string::npos)
        << out;
    LibraryContent lib = readLibrary(dir / "r.pbl");
    ASSERT_TRUE(lib.opened);
    EXPECT_EQ(lib.unicode, c.unicodeLibrary);
    EXPECT_EQ(lib.version, c.libraryVersion);
    EXPECT_EQ(lib.entries.size(), 4u);
    EXPECT_EQ(lib.entries.count("d_child.srd"), 1u);
    EXPECT_EQ(lib.entries.count("d_r.dwo"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, LibraryVersionTest,
                         ::testing::Values(VersionCase{"050", false, "5", false, 5},
                                           VersionCase{"060", false, "6", false, 6},
                                           VersionCase{"085", false, "8.5", false, 6},
                                           VersionCase{"090", false, "9", false, 6},
                                           VersionCase{"100", true, "10", true, 10},
                                           VersionCase{"105", true, "10.5", true, 10},
                                           VersionCase{"125", true, "12.5", true, 10}));

TEST_F(ConversionDriverTest, UnicodeReportEntriesKeepTheirBytesUnchanged) {
    Bytes childSource{'d', 0, 0x00, 0xD8, 0x00, 0xDC, 0, 0};  // a surrogate pair and a zero
    std::vector<Child> children{{"D_Unicode", 65535, childSource, Bytes{}}};
    auto streams = unicodeReport("105", children);
    FakeContainer report(wide(dir / "u.psr"), streams);
    captured([&] { report.convert(u""); });
    LibraryContent lib = readLibrary(dir / "u.pbl");
    ASSERT_TRUE(lib.opened);
    EXPECT_EQ(lib.entries.at("d_u.srd").data, streams.at(u"source"));
    EXPECT_EQ(lib.entries.at("d_unicode.srd").data, childSource);
    // An empty stream gives an empty entry.
    EXPECT_TRUE(lib.entries.at("d_unicode.dwo").data.empty());
}

TEST_F(ConversionDriverTest, EmptyChildListWritesOnlyTheMainEntries) {
    FakeContainer report(wide(dir / "lone.psr"), ansiReport("090", {}));
    std::string out = captured([&] { report.convert(wide(dir / "lone.pbl")); });
    EXPECT_NE(out.find("Number of child DWs in PSR : 0\n"), std::string::npos);
    EXPECT_EQ(out.find("Child DW ["), std::string::npos);
    LibraryContent lib = readLibrary(dir / "lone.pbl");
    EXPECT_EQ(lib.entries.size(), 2u);
}

// The same DataWindow listed twice is one DataWindow: written once, whether its twin has
// streams of its own with equal bytes or is listed again with the same streams, also
// when a child repeats the main DataWindow.
TEST_F(ConversionDriverTest, SameEntryNameTwiceWithEqualDataIsWrittenOnce) {
    std::vector<Child> children{{"d_twin", 1, bytesOf("same"), bytesOf("o")},
                                {"D_TWIN", 2, bytesOf("same"), bytesOf("o")},
                                // The main DataWindow again, under a child's name.
                                {"D_T", 3, bytesOf("release 6;\r\ndatawindow(units=0)\r\n"),
                                 bytesOf(std::string("PDW060\0\x01\x02\xff", 10))},
                                {"d_Twin", 1, bytesOf("same"), bytesOf("o")}};
    FakeContainer report(wide(dir / "t.psr"), ansiReport("060", children));
    std::string out = captured([&] { report.convert(wide(dir / "t.pbl")); });
    EXPECT_NE(out.find("Child DW [2/4] d_twin\nChild DW [3/4] d_t\nChild DW [4/4] d_twin\n"),
              std::string::npos)
        << out;
    LibraryContent lib = readLibrary(dir / "t.pbl");
    EXPECT_EQ(lib.entries.size(), 4u);
    EXPECT_EQ(lib.entries.at("d_twin.srd").data, bytesOf("same"));
    EXPECT_EQ(lib.entries.at("d_twin.dwo").data, bytesOf("o"));
}

TEST_F(ConversionDriverTest, ReplacesAnExistingTargetWholly) {
    stdfs::path target = dir / "out.pbl";
    writeAll(target, std::string(100000, 'x'));  // longer than the new library
    FakeContainer report(wide(dir / "r.psr"), ansiReport("060", {}));
    captured([&] { report.convert(wide(target)); });
    LibraryContent lib = readLibrary(target);
    ASSERT_TRUE(lib.opened);
    EXPECT_LT(stdfs::file_size(target), 100000u);
    EXPECT_EQ(listing(dir), std::set<std::string>{"out.pbl"});
}

TEST_F(ConversionDriverTest, UsersOwnTemporaryNamedFilesAreNeverTouched) {
    writeAll(dir / "__quennet.tmp", "mine");
    writeAll(dir / "__quennet.1.tmp", "mine too");
    FakeContainer report(wide(dir / "r.psr"), ansiReport("060", {}));
    std::vector<std::string> seenDuringWrite;
    report.beforeRead = [&](const std::u16string& path) {
        if (path == u"object") {
            auto names = listing(dir);
            seenDuringWrite.assign(names.begin(), names.end());
        }
    };
    captured([&] { report.convert(wide(dir / "r.pbl")); });
    EXPECT_EQ(readAll(dir / "__quennet.tmp"), "mine");
    EXPECT_EQ(readAll(dir / "__quennet.1.tmp"), "mine too");
    EXPECT_EQ(listing(dir), (std::set<std::string>{"__quennet.tmp", "__quennet.1.tmp", "r.pbl"}));
    // While the library was written it lived under the next free name.
    EXPECT_NE(std::find(seenDuringWrite.begin(), seenDuringWrite.end(), "__quennet.2.tmp"),
              seenDuringWrite.end());
}

TEST_F(ConversionDriverTest, TemporaryFileSitsInTheTargetsDirectory) {
    stdfs::create_directory(dir / "sub");
    FakeContainer report(wide(dir / "r.psr"),
                         ansiReport("060", {{"d_c", 1, bytesOf("s"), bytesOf("o")}}));
    std::set<std::string> during;
    report.beforeRead = [&](const std::u16string& path) {
        if (path == u"dwstg/object_1") during = listing(dir / "sub");
    };
    captured([&] { report.convert(wide(dir / "sub" / "x.pbl")); });
    EXPECT_EQ(during, std::set<std::string>{"__quennet.tmp"});
    EXPECT_EQ(listing(dir / "sub"), std::set<std::string>{"x.pbl"});
}

// --- Failures: the old target survives and no temporary file is left ---------------

enum class Thrown { kNothing, kNotFound, kNotSupported, kIo, kFileAccess, kOther };

void PrintTo(Thrown t, std::ostream* os) {
    static const char* const names[] = {"nothing",     "NotFoundException",   "NotSupportedFormat",
                                        "IOException", "FileAccessException", "another exception"};
    *os << names[static_cast<int>(t)];
}

Thrown thrownBy(const std::function<void()>& body) {
    try {
        body();
    } catch (const NotFoundException&) {
        return Thrown::kNotFound;
    } catch (const NotSupportedFormatException&) {
        return Thrown::kNotSupported;
    } catch (const IOException&) {
        return Thrown::kIo;
    } catch (const FileAccessException&) {
        return Thrown::kFileAccess;
    } catch (...) {
        return Thrown::kOther;
    }
    return Thrown::kNothing;
}

// Every file and directory below `dir` with its bytes: a failed conversion must leave
// the tree exactly as it found it.
std::map<std::string, std::string> tree(const stdfs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : stdfs::recursive_directory_iterator(dir)) {
        const std::string name = stdfs::relative(e.path(), dir).string();
        files[name] = e.is_directory() ? "<directory>" : readAll(e.path());
    }
    return files;
}

// The summary lines of a conversion of dir/report.psr into `target` (relative to dir).
std::string summaryOf(const stdfs::path& dir, const std::string& target, const char* version,
                      int children) {
    return "\nSource PSR                 : " + (dir / "report.psr").string() +
           "\nTarget PBL                 : " + (dir / target).string() +
           "\nPSR created in             : PowerBuilder " + version +
           "\nPSR container format       : In-memory report\nNumber of child DWs in PSR : " +
           std::to_string(children) + "\n";
}

const std::vector<Child> kTwoChildren{{"d_a", 1, bytesOf("s"), bytesOf("o")},
                                      {"d_b", 2, bytesOf("s"), bytesOf("o")}};
const std::string kTwoChildLines = "Main DW: d_report\nChild DW [1/2] d_a\nChild DW [2/2] d_b\n";

struct FailureCase {
    const char* name;
    const char* digits = "060";
    std::vector<Child> children{};
    // Changes to the report's streams (a stream taken away, another content).
    std::function<void(std::map<std::u16string, Bytes>&)> change{};
    // Changes to the directory before the conversion (permissions, a directory in the
    // way); undone by the fixture.
    std::function<void(const stdfs::path& dir)> prepare{};
    std::string into = "target.pbl";   // the target asked for, relative to the directory
    const char16_t* failAt = nullptr;  // a stream whose read fails with IOException
    Thrown thrown = Thrown::kNothing;
    // What the summary shows before the failure, given the directory.
    std::function<std::string(const stdfs::path& dir)> printed{};
    // A stream at whose read the temporary library must (or must not) exist yet.
    const char16_t* probe = nullptr;
    bool libraryAtProbe = false;
    bool bindsOnlyNonRoot = false;  // permission bits do not bind root
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ConversionFailureTest : public ConversionDriverTest,
                              public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConversionFailureTest, LeavesEveryFileAsItWas) {
    const FailureCase& c = GetParam();
    if (c.bindsOnlyNonRoot && ::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
    writeAll(dir / "report.psr", "the report itself");
    writeAll(dir / "target.pbl", oldTarget);
    if (c.prepare) c.prepare(dir);
    const std::map<std::string, std::string> before = tree(dir);
    auto streams = ansiReport(c.digits, c.children);
    if (c.change) c.change(streams);
    FakeContainer report(wide(dir / "report.psr"), streams);
    std::optional<bool> libraryAtProbe;
    report.beforeRead = [&](const std::u16string& path) {
        if (c.probe != nullptr && path == c.probe)
            libraryAtProbe = listing(dir).count("__quennet.tmp") == 1;
        if (c.failAt != nullptr && path == c.failAt) throw IOException();
    };
    Thrown thrown = Thrown::kNothing;
    const std::string out =
        captured([&] { thrown = thrownBy([&] { report.convert(wide(dir / c.into)); }); });
    stdfs::permissions(dir, stdfs::perms::owner_all, stdfs::perm_options::add);
    EXPECT_EQ(thrown, c.thrown);
    EXPECT_EQ(tree(dir), before);
    if (c.printed) {
        EXPECT_EQ(out, c.printed(dir));
    }
    if (c.probe != nullptr) {
        EXPECT_EQ(libraryAtProbe, std::optional<bool>(c.libraryAtProbe));
    }
}

void readOnly(const stdfs::path& file) {
    stdfs::permissions(
        file, stdfs::perms::owner_read | stdfs::perms::group_read | stdfs::perms::others_read);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ConversionFailureTest,
    ::testing::Values(
        FailureCase{.name = "MissingChildStreamAfterTheLibraryWasCreated",
                    .children = kTwoChildren,
                    .change = [](auto& s) { s.erase(u"dwstg/source_2"); },
                    .thrown = Thrown::kNotFound,
                    .printed =
                        [](const stdfs::path& d) {
                            return summaryOf(d, "target.pbl", "6", 2) + kTwoChildLines;
                        },
                    .probe = u"dwstg/source_2",
                    .libraryAtProbe = true},
        FailureCase{.name = "MissingChildObjectStream",
                    .children = {{"d_a", 4, bytesOf("s"), bytesOf("o")}},
                    .change = [](auto& s) { s.erase(u"dwstg/object_4"); },
                    .thrown = Thrown::kNotFound},
        FailureCase{.name = "UnreadableStreamInTheMiddle",
                    .children = {{"d_a", 1, bytesOf("s"), bytesOf("o")}},
                    .failAt = u"dwstg/source_1",
                    .thrown = Thrown::kIo},
        FailureCase{
            .name = "VersionBelowFiveIsRefusedAndItsEmptyFileRemoved",
            .digits = "040",
            .thrown = Thrown::kIo,
            .printed = [](const stdfs::path& d) { return summaryOf(d, "target.pbl", "4", 0); }},
        FailureCase{.name = "ObjectStreamWithoutVersionDigits",
                    .change = [](auto& s) { s[u"object"] = bytesOf("PD"); },
                    .thrown = Thrown::kNotSupported},
        FailureCase{.name = "SourceTooShortIsNotSupported",
                    .change = [](auto& s) { s[u"source"] = bytesOf("r"); },
                    .thrown = Thrown::kNotSupported},
        FailureCase{.name = "MissingLookupFailsBeforeAnythingIsCreated",
                    .change = [](auto& s) { s.erase(u"dwstg/dwlookup"); },
                    .thrown = Thrown::kNotFound,
                    // The summary lines printed so far stay; the count line never comes.
                    .printed =
                        [](const stdfs::path& d) {
                            const std::string all = summaryOf(d, "target.pbl", "6", 0);
                            return all.substr(0, all.find("Number of child DWs"));
                        },
                    .probe = u"dwstg/dwlookup",
                    .libraryAtProbe = false},
        // Two DataWindows under one library name (the library compares names without
        // regard to ASCII case): keeping either would lose the other.
        FailureCase{.name = "SameEntryNameTwiceWithOtherData",
                    .children = {{"d_twin", 1, bytesOf("first"), bytesOf("o1")},
                                 {"D_TWIN", 2, bytesOf("second"), bytesOf("o2")}},
                    .thrown = Thrown::kIo},
        FailureCase{.name = "ChildNamedLikeTheMainDw",
                    .children = {{"d_x", 1, bytesOf("s"), bytesOf("o")},
                                 {"D_REPORT", 2, bytesOf("s"), bytesOf("o")}},
                    .thrown = Thrown::kIo},
        FailureCase{.name = "MissingMainObject",
                    .change = [](auto& s) { s.erase(u"object"); },
                    .thrown = Thrown::kNotFound,
                    .printed =
                        [](const stdfs::path& d) {
                            const std::string all = summaryOf(d, "target.pbl", "6", 0);
                            return all.substr(0, all.find("PSR created in"));
                        }},
        FailureCase{.name = "SameEntryNameTwiceWithOtherObject",
                    .children = {{"d_twin", 1, bytesOf("same"), bytesOf("o1")},
                                 {"d_twin", 2, bytesOf("same"), bytesOf("o2")}},
                    .thrown = Thrown::kIo},
        FailureCase{.name = "ReadOnlyTargetStaysAndTheNewLibraryIsDiscarded",
                    .children = kTwoChildren,
                    .prepare = [](const stdfs::path& d) { readOnly(d / "target.pbl"); },
                    .thrown = Thrown::kFileAccess,
                    .printed =
                        [](const stdfs::path& d) {
                            return summaryOf(d, "target.pbl", "6", 2) + kTwoChildLines;
                        }},
        // Write permission for others only: the owner is refused by the system.
        FailureCase{.name = "TargetTheUserMayNotWrite",
                    .prepare =
                        [](const stdfs::path& d) {
                            stdfs::permissions(d / "target.pbl", stdfs::perms::owner_read |
                                                                     stdfs::perms::others_write);
                        },
                    .thrown = Thrown::kFileAccess,
                    .bindsOnlyNonRoot = true},
        FailureCase{.name = "TargetThatIsADirectory",
                    .prepare =
                        [](const stdfs::path& d) {
                            stdfs::create_directory(d / "lib.pbl");
                            writeAll(d / "lib.pbl" / "inside", "kept");
                        },
                    .into = "lib.pbl",
                    .thrown = Thrown::kFileAccess},
        FailureCase{
            .name = "TargetDirectoryThatDoesNotExist",
            .into = "missing/x.pbl",
            .thrown = Thrown::kIo,
            .printed = [](const stdfs::path& d) { return summaryOf(d, "missing/x.pbl", "6", 0); }},
        FailureCase{
            .name = "TargetThatIsTheReportItself",
            .into = "report.psr",
            .thrown = Thrown::kFileAccess,
            .printed = [](const stdfs::path& d) { return summaryOf(d, "report.psr", "6", 0); }},
        // With the directory unwritable no temporary file can be made at all.
        FailureCase{.name = "NoTemporaryNameLeftAfterEveryTry",
                    .prepare =
                        [](const stdfs::path& d) {
                            stdfs::permissions(d,
                                               stdfs::perms::owner_read | stdfs::perms::owner_exec);
                        },
                    .thrown = Thrown::kIo,
                    .bindsOnlyNonRoot = true}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

// Streams of every size around a block's 502 data bytes, read straight into the blocks
// they are written from (the platform-independent file) or whole and laid out after (the
// in-memory report): both make the very library bytes, holding the very streams.
TEST_F(ConversionDriverTest, StreamsOfEverySizeAroundABlockConvertToTheSameBytes) {
    auto filled = [](std::size_t size, unsigned seed) {
        Bytes bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>((i * 31 + seed * 17 + (i >> 9)) & 0xFF);
        return bytes;
    };
    const std::size_t sizes[] = {0, 1, 501, 502, 503, 1004, 1005, 300007};
    std::vector<Child> children;
    std::uint16_t number = 1;
    for (std::size_t size : sizes) {
        children.push_back({"d_c" + std::to_string(number), number, filled(size, number),
                            filled(sizes[(number + 3) % std::size(sizes)], number + 100)});
        ++number;
    }
    auto streams = ansiReport("090", children);
    streams[u"source"] = bytesOf("release 9;\r\n");
    const Bytes bigSource = filled(std::size_t{502} * 600 + 1, 1);
    streams[u"source"].insert(streams[u"source"].end(), bigSource.begin(), bigSource.end());
    Bytes object = filled(1005, 2);
    std::copy_n(streams[u"object"].begin(), 8, object.begin());
    streams[u"object"] = object;

    std::vector<test::ReportStream> fileStreams;
    fileStreams.reserve(streams.size());
    for (const auto& [path, bytes] : streams) fileStreams.push_back({utf16ToUtf8(path), bytes});
    // Streams inside the storage go last, after the two at the top.
    std::stable_partition(fileStreams.begin(), fileStreams.end(), [](const test::ReportStream& r) {
        return r.path.find('/') == std::string::npos;
    });
    stdfs::create_directories(dir / "file");
    stdfs::create_directories(dir / "memory");
    const Bytes report = test::portableReport(false, fileStreams);
    writeAll(dir / "file" / "r.psr",
             std::string_view(reinterpret_cast<const char*>(report.data()), report.size()));

    ASSERT_EQ(::setenv("SOURCE_DATE_EPOCH", "1234567890", 1), 0);
    PortablePsrContainer fromFile;
    fromFile.open(wide(dir / "file" / "r.psr"));
    captured([&] { fromFile.convert(u""); });
    FakeContainer inMemory(wide(dir / "memory" / "r.psr"), streams);
    captured([&] { inMemory.convert(u""); });
    ::unsetenv("SOURCE_DATE_EPOCH");

    const LibraryContent lib = readLibrary(dir / "file" / "r.pbl");
    ASSERT_TRUE(lib.opened);
    EXPECT_EQ(lib.entries.size(), 2 * (children.size() + 1));
    EXPECT_TRUE(lib.entries.at("d_r.srd").data == streams.at(u"source"));
    EXPECT_TRUE(lib.entries.at("d_r.dwo").data == streams.at(u"object"));
    for (const Child& child : children) {
        SCOPED_TRACE(child.name);
        EXPECT_TRUE(lib.entries.at(child.name + ".srd").data == child.source);
        EXPECT_TRUE(lib.entries.at(child.name + ".dwo").data == child.object);
    }
    EXPECT_TRUE(readAll(dir / "file" / "r.pbl") == readAll(dir / "memory" / "r.pbl"));
}

}  // namespace
}  // namespace keldrin
