// The keldrin executable as users run it: a real process, its standard output (banner
// aside) compared byte for byte, standard error empty, and the exit code. Reports are
// written here in the platform-independent format by a writer of the test's own, and the
// libraries are checked against the report's streams as an independent reader sees them
// (python3-olefile for compound files).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "base/text.h"
#include "pbl/library.h"
#include "support/entry_list.h"
#include "support/library_content.h"

#include "support/corpus.h"
#include "support/pbl_checker.h"
#include "support/process_runner.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

#if defined(KELDRIN_PATH)
constexpr const char* kKeldrin = KELDRIN_PATH;
#else
constexpr const char* kKeldrin = nullptr;
#endif

using test::listing;
using test::readAll;
using test::writeAll;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// --- Running the program ---------------------------------------------------------------

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

test::Process start(const std::vector<std::string>& args, const stdfs::path& cwd) {
    return test::Process(test::ProcessSpec{.program = kKeldrin, .args = args, .cwd = cwd});
}

Outcome finish(test::Process& process) {
    test::ProcessResult r = process.finish();
    return {r.exitCode, std::move(r.out), std::move(r.err)};
}

// Standard output without the two banner lines, after checking that they are there.
std::string afterBanner(const std::string& out) {
    EXPECT_EQ(out.rfind("Keldrin v" KELDRIN_VERSION " ", 0), 0u) << out;
    std::size_t first = out.find('\n');
    std::size_t second = first == std::string::npos ? first : out.find('\n', first + 1);
    if (second == std::string::npos) {
        ADD_FAILURE() << "no banner in: " << out;
        return out;
    }
    EXPECT_GT(second, first + 1) << "the second banner line is empty";
    return out.substr(second + 1);
}

const std::string kUsage =
    "\n"
    "Usage: keldrin <source psrfile> [-p <target pblfile>]\n"
    "  <source psrfile> - PSR file to be converted to PBL\n"
    "  <target psrfile> - target PBL file. Optional. Defaults to PSR name with \n"
    "                     the extension changed to .pbl\n";

const std::string kConversionError = "Conversion error\n\n";

// --- Reports of our own making ----------------------------------------------------------

using Stream = test::ReportStream;

Bytes portablePsr(bool unicode, const std::vector<Stream>& streams) {
    return test::portableReport(unicode, streams);
}

struct ChildSpec {
    std::string name;
    std::uint16_t number;
};

// An ANSI report (version digits such as "090") with the given children; every stream
// has content of its own so that a swapped entry shows.
std::vector<Stream> ansiStreams(std::string_view digits, const std::vector<ChildSpec>& children) {
    std::vector<Stream> s;
    s.push_back({"source", bytesOf("release 9;\r\ndatawindow(units=0 color=1073741824)\r\n")});
    s.push_back(
        {"object", bytesOf("PDW" + std::string(digits) + std::string("\0\x07main object", 13))});
    std::vector<std::pair<std::string, std::uint16_t>> lookup;
    lookup.reserve(children.size());
    for (const ChildSpec& c : children) lookup.emplace_back(c.name, c.number);
    s.push_back({"dwstg/dwlookup", test::ansiDwLookup(lookup)});
    for (const ChildSpec& c : children) {
        std::string n = std::to_string(c.number);
        s.push_back({"dwstg/source_" + n, bytesOf("release 9;\r\n// child " + c.name + "\r\n")});
        s.push_back(
            {"dwstg/object_" + n, bytesOf("PDW" + std::string(digits) + " object of " + c.name)});
    }
    return s;
}

std::string asString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// --- Reading what was written ------------------------------------------------------------

using test::LibraryContent;
using test::LibraryEntry;

LibraryContent readLibrary(const stdfs::path& file) {
    return test::readLibraryContent(fs::fromNativeName(file.string()));
}

// The entries a report must turn into, worked out from its raw streams: the model the
// library is compared with.
struct ExpectedLibrary {
    bool unicode = false;
    int version = 0;
    std::string mainName;
    std::vector<std::string> childNames;  // in dwlookup order
    std::map<std::string, Bytes> entries;
};

std::string mainDwNameOf(const std::string& psrPath) {
    std::string name = psrPath.substr(psrPath.find_last_of('/') + 1);
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
    std::string kept;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) kept.push_back(c);
    }
    if (kept.empty()) kept = "quennet";
    if (kept.rfind("d_", 0) != 0) kept = "d_" + kept;
    return kept;
}

ExpectedLibrary expectedFrom(const std::map<std::string, Bytes>& streams,
                             const std::string& psrPath) {
    ExpectedLibrary e;
    const Bytes& source = streams.at("source");
    const Bytes& object = streams.at("object");
    e.unicode = source.size() >= 2 && source[1] == 0;
    int major = (object.at(3) - '0') * 10 + (object.at(4) - '0');
    e.version = major >= 10 ? 10 : major >= 6 ? 6 : 5;
    e.mainName = mainDwNameOf(psrPath);
    e.entries[e.mainName + ".srd"] = source;
    e.entries[e.mainName + ".dwo"] = object;
    const Bytes& lookup = streams.at("dwstg/dwlookup");
    std::uint32_t count = lookup.size() >= 4 ? loadU32(lookup.data()) : 0;
    std::size_t recordSize = e.unicode ? 86 : 44;
    // A record the stream cuts short has no number and is left out.
    for (std::size_t pos = 4, n = 0; n < count && recordSize <= lookup.size() - pos;
         pos += recordSize, ++n) {
        std::u16string name;
        if (e.unicode) {
            for (std::size_t k = pos; k < pos + 84; k += 2) {
                char16_t c = static_cast<char16_t>(loadU16(lookup.data() + k));
                if (c == 0) break;
                name.push_back(c);
            }
        } else {
            std::string narrow;
            for (std::size_t k = pos; k < pos + 42 && lookup[k] != 0; ++k)
                narrow.push_back(static_cast<char>(lookup[k]));
            name = ansiToWide(narrow);
        }
        for (char16_t& c : name)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        auto cut = std::find_if(name.begin(), name.end(), [](char16_t c) { return c < 0x20; });
        name.erase(cut, name.end());
        std::uint16_t number = loadU16(lookup.data() + pos + recordSize - 2);
        std::string entry = wideToAnsi(name);
        e.childNames.push_back(entry);
        e.entries[entry + ".srd"] = streams.at("dwstg/source_" + std::to_string(number));
        e.entries[entry + ".dwo"] = streams.at("dwstg/object_" + std::to_string(number));
    }
    return e;
}

// The test's own reader of the platform-independent format (for corpus files).
std::map<std::string, Bytes> readPortable(const Bytes& file) {
    std::map<std::string, Bytes> streams;
    bool unicode = file.size() >= 8 && file[4] == 'P' && file[5] == 0;
    std::size_t pos = 0;
    auto u32 = [&]() -> std::uint32_t {
        std::uint32_t v = 0;
        if (!readU32(ByteSpan(file), pos, v)) throw std::runtime_error("short file");
        pos += 4;
        return v;
    };
    auto str = [&]() {
        std::uint32_t n = u32();
        if (!rangeFits(file.size(), pos, n)) throw std::runtime_error("short string");
        std::string text;
        for (std::size_t k = 0; k < n; k += unicode ? 2 : 1) {
            if (file[pos + k] == 0 && (!unicode || file[pos + k + 1] == 0)) break;
            text.push_back(static_cast<char>(file[pos + k]));
        }
        pos += n;
        return text;
    };
    str();
    std::string prefix, current;
    for (int guard = 0; guard < 100000; ++guard) {
        std::uint32_t type = u32();
        if (type == 0xE100F17Eu) break;
        if (type == 0)
            prefix = current + "/";
        else if (type == 1)
            current = str();
        else if (type == 2) {
            std::string name = str();
            std::uint32_t n = u32();
            if (!rangeFits(file.size(), pos, n)) throw std::runtime_error("short stream");
            streams[prefix + name] = Bytes(file.begin() + static_cast<std::ptrdiff_t>(pos),
                                           file.begin() + static_cast<std::ptrdiff_t>(pos + n));
            pos += n;
        } else if (type != 3) {
            throw std::runtime_error("bad record");
        }
    }
    return streams;
}

// Compound files through python3-olefile: every stream, dumped as hex per line.
std::map<std::string, Bytes> readCompound(const stdfs::path& file, const stdfs::path& work) {
    std::map<std::string, Bytes> streams;
    stdfs::path script = work / "dump.py";
    writeAll(script,
             "import sys, olefile\n"
             "ole = olefile.OleFileIO(sys.argv[1])\n"
             "for entry in ole.listdir(streams=True, storages=False):\n"
             "    print('/'.join(entry) + '\\t' + ole.openstream(entry).read().hex())\n");
    stdfs::path dump = work / "dump.txt";
    // Debian's python3-olefile belongs to the system interpreter; another python3 may come
    // first on PATH.
    std::string python = stdfs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    std::string cmd = python + " '" + script.string() + "' '" + file.string() + "' > '" +
                      dump.string() + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return streams;
    std::istringstream lines(readAll(dump));
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        Bytes data;
        for (std::size_t k = tab + 1; k + 1 < line.size(); k += 2)
            data.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(k, 2), nullptr, 16)));
        streams[line.substr(0, tab)] = data;
    }
    return streams;
}

void expectLibraryMatches(const stdfs::path& pbl, const ExpectedLibrary& want,
                          std::time_t startedAt) {
    LibraryContent lib = readLibrary(pbl);
    ASSERT_TRUE(lib.opened) << pbl;
    EXPECT_EQ(lib.unicode, want.unicode);
    EXPECT_EQ(lib.version, want.version);
    std::set<std::string> got, expected;
    for (const auto& [name, entry] : lib.entries) got.insert(name);
    for (const auto& [name, data] : want.entries) expected.insert(name);
    EXPECT_EQ(got, expected);
    std::time_t now = std::time(nullptr);
    for (const auto& [name, data] : want.entries) {
        auto it = lib.entries.find(name);
        if (it == lib.entries.end()) continue;
        EXPECT_TRUE(it->second.data == data)
            << name << ": " << it->second.data.size() << " bytes, want " << data.size();
        EXPECT_EQ(it->second.commentSize, 0) << name;
        EXPECT_GE(it->second.time, startedAt - 2) << name;
        EXPECT_LE(it->second.time, now + 2) << name;
    }
    EXPECT_EQ(keldrin::checks::checkLibraryStructure(fs::fromNativeName(pbl.string())), "") << pbl;
}

// --- Fixture -------------------------------------------------------------------------------

class ConverterAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kKeldrin == nullptr) GTEST_SKIP() << "the keldrin executable is not built";
        std::string pattern = (stdfs::temp_directory_path() / "keldrin-app-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir.empty()) stdfs::remove_all(dir, ec);
    }

    Outcome run(const std::vector<std::string>& args) {
        test::Process process = start(args, dir);
        return finish(process);
    }

    std::set<std::string> files() { return listing(dir); }

    stdfs::path dir;
};

// --- The command line ------------------------------------------------------------------------

TEST_F(ConverterAppTest, NoArgumentsPrintsUsageAndExits2) {
    Outcome o = run({});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(afterBanner(o.out), kUsage);
    EXPECT_EQ(o.err, "");
}

struct SyntaxCase {
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const SyntaxCase& c, std::ostream* os) {
    for (const std::string& a : c.args) *os << '"' << a << "\" ";
}

class SyntaxErrorTest : public ConverterAppTest,
                        public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(SyntaxErrorTest, PrintsMessageTwoEmptyLinesAndUsage) {
    Outcome o = run(GetParam().args);
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(afterBanner(o.out), "Systax error: " + GetParam().message + "\n\n" + kUsage);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(files(), std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, SyntaxErrorTest,
    ::testing::Values(SyntaxCase{{"-p", "out.pbl"}, "First argument must be a PSR name"},
                      SyntaxCase{{""}, "First argument must be a PSR name"},
                      SyntaxCase{{"", "-p", "x.pbl"}, "First argument must be a PSR name"},
                      SyntaxCase{{"-"}, "First argument must be a PSR name"},
                      SyntaxCase{{"-a.psr"}, "First argument must be a PSR name"},
                      SyntaxCase{{"a.psr", "b.psr"}, "Unexpected argument: b.psr"},
                      SyntaxCase{{"a.psr", "-P", "out.pbl"}, "Unexpected argument: -P"},
                      SyntaxCase{{"a.psr", "/p", "out.pbl"}, "Unexpected argument: /p"},
                      SyntaxCase{{"a.psr", "-pout.pbl"}, "Unexpected argument: -pout.pbl"},
                      SyntaxCase{{"a.psr", "-p "}, "Unexpected argument: -p "},
                      SyntaxCase{{"a.psr", ""}, "Unexpected argument: "},
                      SyntaxCase{{"a.psr", "-p", "x.pbl", "extra"}, "Unexpected argument: extra"},
                      SyntaxCase{{"a.psr", "-p"}, "Argument -p requires a PBL name"},
                      SyntaxCase{{"a.psr", "-p", "x.pbl", "-p"}, "Argument -p requires a PBL name"},
                      SyntaxCase{{"a.psr", "-p", "x.pbl", "-P", "y.pbl"},
                                 "Unexpected argument: -P"}));

TEST_F(ConverterAppTest, NonUtf8ArgumentComesBackByteForByte) {
    Outcome o = run({"a.psr", "b\xff\xfe.psr"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(afterBanner(o.out), "Systax error: Unexpected argument: b\xff\xfe.psr\n\n" + kUsage);
}

// --- Conversions -----------------------------------------------------------------------------

std::string summary(const std::string& source, const std::string& target,
                    const std::string& version, const std::string& format, int children) {
    return "\n"
           "Source PSR                 : " +
           source +
           "\n"
           "Target PBL                 : " +
           target +
           "\n"
           "PSR created in             : PowerBuilder " +
           version +
           "\n"
           "PSR container format       : " +
           format +
           "\n"
           "Number of child DWs in PSR : " +
           std::to_string(children) + "\n";
}

const std::string kAnsiFormat = "Platform independent PSR File Format: ANSI";

TEST_F(ConverterAppTest, ConvertsAReportWithChildren) {
    auto streams = ansiStreams("090", {{"d_Header", 2}, {"D_LINES", 5}});
    writeAll(dir / "Sales-Q2.psr", asString(portablePsr(false, streams)));
    std::time_t started = std::time(nullptr);
    Outcome o = run({"Sales-Q2.psr"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(afterBanner(o.out), summary("Sales-Q2.psr", "Sales-Q2.pbl", "9", kAnsiFormat, 2) +
                                      "Main DW: d_salesq2\n"
                                      "Child DW [1/2] d_header\n"
                                      "Child DW [2/2] d_lines\n"
                                      "Conversion finished successfully\n");
    std::map<std::string, Bytes> byPath;
    for (const Stream& s : streams) byPath[s.path] = s.data;
    expectLibraryMatches(dir / "Sales-Q2.pbl", expectedFrom(byPath, "Sales-Q2.psr"), started);
    EXPECT_EQ(files(), (std::set<std::string>{"Sales-Q2.psr", "Sales-Q2.pbl"}));
}

TEST_F(ConverterAppTest, UnicodePortableReportGivesAUnicodeLibrary) {
    std::vector<Stream> streams{{"source", Bytes{'r', 0, 'e', 0, 'l', 0}},
                                {"object", bytesOf(std::string("PDW105\0\0", 8))},
                                {"dwstg/dwlookup", Bytes(4, 0)}};
    writeAll(dir / "u.psr", asString(portablePsr(true, streams)));
    Outcome o = run({"u.psr", "-p", "u10.pbl"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(afterBanner(o.out), summary("u.psr", "u10.pbl", "10.5",
                                          "Platform independent PSR File Format: Unicode", 0) +
                                      "Main DW: d_u\nConversion finished successfully\n");
    LibraryContent lib = readLibrary(dir / "u10.pbl");
    EXPECT_TRUE(lib.unicode);
    EXPECT_EQ(lib.entries.size(), 2u);
}

TEST_F(ConverterAppTest, LastTargetWinsAndOnlyItIsWritten) {
    writeAll(dir / "a.psr", asString(portablePsr(false, ansiStreams("060", {}))));
    Outcome o = run({"a.psr", "-p", "x.pbl", "-p", "y.pbl"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_NE(o.out.find("Target PBL                 : y.pbl\n"), std::string::npos);
    EXPECT_EQ(files(), (std::set<std::string>{"a.psr", "y.pbl"}));
}

TEST_F(ConverterAppTest, TargetBeginningWithDashIsAFileName) {
    writeAll(dir / "a.psr", asString(portablePsr(false, ansiStreams("060", {}))));
    Outcome o = run({"a.psr", "-p", "-x.pbl"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(files(), (std::set<std::string>{"a.psr", "-x.pbl"}));
    EXPECT_TRUE(readLibrary(dir / "-x.pbl").opened);
}

TEST_F(ConverterAppTest, EmptyTargetMeansTheDefault) {
    writeAll(dir / "a.psr", asString(portablePsr(false, ansiStreams("060", {}))));
    Outcome o = run({"a.psr", "-p", ""});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_NE(o.out.find("Target PBL                 : a.pbl\n"), std::string::npos);
    EXPECT_EQ(files(), (std::set<std::string>{"a.psr", "a.pbl"}));
}

TEST_F(ConverterAppTest, ReportNameWithoutExtensionAndWithDottedDirectory) {
    stdfs::create_directory(dir / "v1.2");
    writeAll(dir / "v1.2" / "sales", asString(portablePsr(false, ansiStreams("060", {}))));
    Outcome o = run({"v1.2/sales"});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    // The extension is cut in the file name only: the directory's dot stays.
    EXPECT_NE(o.out.find("Target PBL                 : v1.2/sales.pbl\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(listing(dir / "v1.2"), (std::set<std::string>{"sales", "sales.pbl"}));
}

TEST_F(ConverterAppTest, NonUtf8FileNamesWork) {
    std::string psr = "r\xe9port.psr";  // Latin-1 bytes, not UTF-8
    std::string pbl = "r\xe9sultat.pbl";
    writeAll(dir / psr, asString(portablePsr(false, ansiStreams("060", {}))));
    Outcome o = run({psr, "-p", pbl});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    EXPECT_NE(o.out.find("Target PBL                 : " + pbl + "\n"), std::string::npos);
    EXPECT_EQ(files(), (std::set<std::string>{psr, pbl}));
    EXPECT_TRUE(readLibrary(dir / pbl).opened);
}

// --- Failures: "Conversion error", exit 3, no temporary file, the old target intact ------

struct FailureCase {
    std::string name;
    std::string report;               // file content; empty: no report file at all
    std::string expectedBeforeError;  // what the summary shows before the error
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ConversionFailureTest : public ConverterAppTest,
                              public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConversionFailureTest, EndsWithConversionErrorAndLeavesTheTarget) {
    const FailureCase& c = GetParam();
    const std::string oldTarget = std::string("precious \0 old library\xff", 23);
    writeAll(dir / "t.pbl", oldTarget);
    std::set<std::string> before{"t.pbl"};
    if (!c.report.empty()) {
        writeAll(dir / "r.psr", c.report);
        before.insert("r.psr");
    }
    Outcome o = run({"r.psr", "-p", "t.pbl"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(afterBanner(o.out), c.expectedBeforeError + kConversionError);
    EXPECT_EQ(readAll(dir / "t.pbl"), oldTarget);
    EXPECT_EQ(files(), before);
}

std::string damagedPortable() {
    Bytes b = portablePsr(false, ansiStreams("060", {}));
    b.resize(b.size() - 30);  // cut inside the last stream record
    return asString(b);
}

std::string portable(const std::vector<Stream>& s) {
    return asString(portablePsr(false, s));
}

std::string badRecordType() {
    Bytes b = portablePsr(false, {});
    storeU32(b.data() + b.size() - 4, 9);  // an unknown record where the end marker was
    return asString(b);
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, ConversionFailureTest,
    ::testing::Values(
        FailureCase{"MissingReport", "", ""},
        FailureCase{"NeitherFormat", "just some text, long enough to be looked at", ""},
        FailureCase{"EmptyReport", std::string(1, '\0'), ""},
        FailureCase{"DamagedPortable", damagedPortable(), ""},
        FailureCase{"UnknownRecordType", badRecordType(), ""},
        FailureCase{"CompoundSignatureOnly",
                    std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(600, '\0'),
                    "\nSource PSR                 : r.psr\nTarget PBL                 : t.pbl\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return p.param.name; });

// --- Several conversions at once into one directory ------------------------------------------

void convertConcurrently(const stdfs::path& dir, int count) {
    std::vector<std::map<std::string, Bytes>> reports(count);
    for (int i = 0; i < count; ++i) {
        auto streams = ansiStreams(i % 2 == 0 ? "090" : "060",
                                   {{"d_first" + std::to_string(i), 1}, {"d_second", 2}});
        for (const Stream& s : streams) reports[i][s.path] = s.data;
        writeAll(dir / ("r" + std::to_string(i) + ".psr"), asString(portablePsr(false, streams)));
    }
    std::time_t started = std::time(nullptr);
    std::vector<test::Process> processes;
    processes.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        processes.push_back(start({"r" + std::to_string(i) + ".psr"}, dir));
    std::set<std::string> expectedFiles;
    for (int i = 0; i < count; ++i) {
        Outcome o = finish(processes[i]);
        EXPECT_EQ(o.exitCode, 0) << o.out;
        EXPECT_EQ(o.err, "");
        std::string base = "r" + std::to_string(i);
        expectedFiles.insert(base + ".psr");
        expectedFiles.insert(base + ".pbl");
        expectLibraryMatches(dir / (base + ".pbl"), expectedFrom(reports[i], base + ".psr"),
                             started);
    }
    EXPECT_EQ(listing(dir), expectedFiles);
}

TEST_F(ConverterAppTest, TwoConversionsAtOnce) {
    convertConcurrently(dir, 2);
}

TEST_F(ConverterAppTest, EightConversionsAtOnce) {
    convertConcurrently(dir, 8);
}

// --- DataWindows the library could not keep apart ---------------------------------------------

// A Unicode report (PowerBuilder `digits`, e.g. "105" or "090") whose children carry
// the given UTF-16 names; each child's streams hold `content[i]` unless two children
// share a number.
std::vector<Stream> unicodeStreams(std::string_view digits,
                                   const std::vector<test::LookupChild>& children) {
    std::vector<Stream> s;
    s.push_back({"source", Bytes{'r', 0, 'e', 0, 'l', 0}});
    s.push_back({"object", bytesOf("PDW" + std::string(digits) + std::string("\0\0main", 6))});
    std::set<std::uint16_t> numbers;
    for (const test::LookupChild& child : children) numbers.insert(child.number);
    s.push_back({"dwstg/dwlookup", test::dwLookup(true, children)});
    for (std::uint16_t number : numbers) {
        std::string n = std::to_string(number);
        s.push_back({"dwstg/source_" + n, bytesOf("source of " + n)});
        s.push_back({"dwstg/object_" + n, bytesOf("object of " + n)});
    }
    return s;
}

// The library's entry names as UTF-8, whatever the ANSI code page.
std::set<std::string> entryNamesUtf8(const stdfs::path& file) {
    pbl::PblManagerHandle manager(pbl::createPblManager());
    manager->setNameEncoding(pbl::kNameUtf8);
    pbl::PblLibraryHandle library(manager->openLibrary(fs::fromNativeName(file.string()), 0));
    std::set<std::string> names;
    if (library)
        for (const pbl::PblEntryInfo& info : test::listEntries(*library).entries)
            names.insert(info.name);
    return names;
}

// Two children whose names an ANSI code page would both turn into "?_a" stay two
// entries in a Unicode library, under their own names.
TEST_F(ConverterAppTest, UnicodeLibraryKeepsNamesTheAnsiCodePageCannotCarry) {
    auto streams = unicodeStreams("105", {{u"\u0434_a", 1}, {u"\u0436_a", 2}});
    writeAll(dir / "u.psr", asString(portablePsr(true, streams)));
    Outcome o = run({"u.psr", "-p", "u.pbl"});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    EXPECT_TRUE(
        o.out.ends_with("Child DW [1/2] \xd0\xb4_a\nChild DW [2/2] \xd0\xb6_a\n"
                        "Conversion finished successfully\n"))
        << o.out;
    EXPECT_EQ(entryNamesUtf8(dir / "u.pbl"),
              (std::set<std::string>{"d_u.srd", "d_u.dwo", "\xd0\xb4_a.srd", "\xd0\xb4_a.dwo",
                                     "\xd0\xb6_a.srd", "\xd0\xb6_a.dwo"}));
}

// Each of these would lose a DataWindow: the run fails, the target keeps its old content
// and no temporary file stays.
INSTANTIATE_TEST_SUITE_P(
    Loss, ConversionFailureTest,
    ::testing::Values(
        // A Unicode report of PowerBuilder 9 gives an ANSI library; no ANSI code page
        // carries Tibetan.
        FailureCase{
            "NameTheAnsiCodePageCannotCarry",
            asString(portablePsr(true, unicodeStreams("090", {{u"d_a", 1}, {u"\u0f00_a", 2}}))),
            summary("r.psr", "t.pbl", "9", "Platform independent PSR File Format: Unicode", 2) +
                "Main DW: d_r\nChild DW [1/2] d_a\nChild DW [2/2] \xe0\xbc\x80_a\n"},
        FailureCase{
            "UnicodeChildrenOneNameDifferentContent",
            asString(portablePsr(true,
                                 unicodeStreams("105", {{u"\u0434_a", 1}, {u"\u0434_A", 2}}))),
            summary("r.psr", "t.pbl", "10.5", "Platform independent PSR File Format: Unicode", 2) +
                "Main DW: d_r\nChild DW [1/2] \xd0\xb4_a\nChild DW [2/2] \xd0\xb4_a\n"}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return p.param.name; });

// --- The replaced file's permissions ----------------------------------------------------------

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

TEST_F(ConverterAppTest, ReplacedTargetKeepsItsMode) {
    writeAll(dir / "r.psr", portable(ansiStreams("090", {{"d_a", 1}})));
    for (mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0664}, mode_t{0700}}) {
        SCOPED_TRACE(mode);
        writeAll(dir / "t.pbl", "old");
        ASSERT_EQ(::chmod((dir / "t.pbl").c_str(), mode), 0);
        Outcome o = run({"r.psr", "-p", "t.pbl"});
        EXPECT_EQ(o.exitCode, 0) << o.out;
        struct stat st {};
        ASSERT_EQ(::stat((dir / "t.pbl").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_NE(readAll(dir / "t.pbl"), "old");
    }
    // A new target gets what a new file gets.
    Outcome o = run({"r.psr", "-p", "new.pbl"});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "new.pbl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~currentUmask());
}

// --- The example shipped with the project ------------------------------------------------------

TEST_F(ConverterAppTest, ShippedExampleConverts) {
    stdfs::path example = stdfs::path(KELDRIN_SOURCE_DIR) / "examples" / "example.psr";
    if (!stdfs::exists(example)) GTEST_SKIP() << "no example report";
    std::time_t started = std::time(nullptr);
    Outcome o = run({example.string(), "-p", "example.pbl"});
    EXPECT_EQ(o.exitCode, 0) << o.out;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find("Number of child DWs in PSR : 2\n"), std::string::npos) << o.out;
    Bytes file = bytesOf(readAll(example));
    std::map<std::string, Bytes> streams =
        file.size() >= 4 && file[0] == 0xD0 ? readCompound(example, dir) : readPortable(file);
    ASSERT_FALSE(streams.empty()) << "no independent reader could read the example";
    expectLibraryMatches(dir / "example.pbl", expectedFrom(streams, example.string()), started);
}

// --- Every real report of the corpus -------------------------------------------------------------

struct CorpusReport {
    std::string file;
    std::string kind;
};

std::vector<CorpusReport> corpusReports(const stdfs::path& corpus) {
    std::vector<CorpusReport> out;
    std::istringstream manifest(readAll(corpus / "MANIFEST.tsv"));
    std::string line;
    while (std::getline(manifest, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) fields.push_back(cell);
        if (fields.size() > 6 && fields[6].rfind("psr-", 0) == 0)
            out.push_back({fields[0], fields[6]});
    }
    return out;
}

TEST_F(ConverterAppTest, EveryCorpusReportConverts) {
    std::optional<stdfs::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::vector<CorpusReport> reports = corpusReports(*corpus);
    if (reports.empty()) GTEST_SKIP() << "no reports in the corpus";
    int index = 0;
    for (const CorpusReport& r : reports) {
        SCOPED_TRACE(r.file);
        stdfs::path psr = *corpus / r.file;
        std::string target = "corpus" + std::to_string(index++) + ".pbl";
        std::time_t started = std::time(nullptr);
        Outcome o = run({psr.string(), "-p", target});
        EXPECT_EQ(o.exitCode, 0) << o.out;
        EXPECT_EQ(o.err, "");
        std::string format = r.kind == "psr-ole" ? "OLE compound storage"
                             : r.kind == "psr-portable-unicode"
                                 ? "Platform independent PSR File Format: Unicode"
                                 : kAnsiFormat;
        EXPECT_NE(o.out.find("PSR container format       : " + format + "\n"), std::string::npos)
            << o.out;
        EXPECT_TRUE(o.out.ends_with("Conversion finished successfully\n")) << o.out;

        Bytes file = bytesOf(readAll(psr));
        std::map<std::string, Bytes> streams;
        if (r.kind == "psr-ole") {
            streams = readCompound(psr, dir);
            if (streams.empty()) {
                ADD_FAILURE() << "python3-olefile could not read " << psr;
                continue;
            }
        } else {
            streams = readPortable(file);
        }
        ExpectedLibrary want = expectedFrom(streams, psr.string());
        EXPECT_NE(o.out.find("Main DW: " + want.mainName + "\n"), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("Number of child DWs in PSR : " +
                             std::to_string(want.childNames.size()) + "\n"),
                  std::string::npos);
        expectLibraryMatches(dir / target, want, started);
    }
}

}  // namespace
}  // namespace keldrin
