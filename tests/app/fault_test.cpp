// The converter and keldrin-pbl under faults, as real processes: killed with SIGKILL at
// any moment of a conversion, writing against a full disk (a file-size limit makes every
// write past it fail with EFBIG, as a full disk does), a target directory the user may
// not write, a report that vanishes or shrinks while it is read, and many conversions
// racing for one target. Each time the user's files must be as they were or complete:
// never a partial target, never a lost library. (Single failures of the command line,
// a read-only target and several conversions into one directory are converter_app_test's.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "pbl/library.h"
#include "support/entry_list.h"
#include "support/pbl_checker.h"
#include "support/process_runner.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

#if defined(KELDRIN_PATH)
constexpr const char* kConverterPath = KELDRIN_PATH;
#else
constexpr const char* kConverterPath = nullptr;
#endif
#if defined(KELDRIN_PBL_PATH)
constexpr const char* kKeldrinPbl = KELDRIN_PBL_PATH;
#else
constexpr const char* kKeldrinPbl = nullptr;
#endif

using test::listing;
using test::readAll;
using test::writeAll;

// --- Processes ------------------------------------------------------------------------------

struct Limits {
    std::optional<std::uint64_t>
        fileSize;           // RLIMIT_FSIZE; SIGXFSZ ignored, so writes fail with EFBIG
    bool asNobody = false;  // drop root, whose rights pass over permission bits
};

// Standard output and standard error come through one pipe, not a file: the file-size
// limit must hit the library, not the output.
test::Process spawn(const char* program, const std::vector<std::string>& args,
                    const stdfs::path& cwd, const Limits& limits = {}) {
    return test::Process(test::ProcessSpec{.program = program,
                                           .args = args,
                                           .cwd = cwd,
                                           .fileSizeLimit = limits.fileSize,
                                           .asNobody = limits.asNobody,
                                           .mergeOutputs = true});
}

struct RunOutcome {
    int exitCode = -1;  // -1: killed by a signal
    std::string output;
};

RunOutcome finishRun(test::Process& c) {
    test::ProcessResult r = c.finish();
    return {r.exitCode, std::move(r.out)};
}

RunOutcome runProgram(const char* program, const std::vector<std::string>& args,
                      const stdfs::path& cwd, const Limits& limits = {}) {
    test::Process c = spawn(program, args, cwd, limits);
    return finishRun(c);
}

// Polls until `happened()` or the end of the process, which stays unreaped for its
// finishRun(). True when the event came while the process still ran: a moment to kill it
// at that no load on the machine can move, unlike a moment measured in time.
template <typename Event>
bool waitWhileRunning(const test::Process& c, Event happened) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        if (happened()) return true;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(c.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

bool endsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// --- Reports and what they must become --------------------------------------------------------

// A platform-independent ANSI report of PowerBuilder 9 whose main DW and `children`
// children hold streams of `streamBytes` bytes each, every one of its own content.
struct Report {
    std::string file;                            // the report's bytes
    std::map<std::string, std::string> entries;  // the library it must become
};

Report makeReport(const std::string& stem, int children, std::size_t streamBytes,
                  std::uint32_t seed) {
    auto content = [&](std::string head, std::uint32_t salt) {
        std::mt19937 gen(seed * 7919u + salt);
        head.reserve(streamBytes);
        while (head.size() < streamBytes) head.push_back(static_cast<char>('0' + gen() % 64));
        return head;
    };
    Report r;
    std::vector<test::ReportStream> streams;
    auto stream = [&](const std::string& path, const std::string& entry, std::string data) {
        streams.push_back({path, Bytes(data.begin(), data.end())});
        r.entries[entry] = std::move(data);
    };
    const std::string mainName = "d_" + stem;
    stream("source", mainName + ".srd", content("release 9;\r\n", 1));
    stream("object", mainName + ".dwo", content(std::string("PDW090\0\x07", 8), 2));
    std::vector<std::pair<std::string, std::uint16_t>> lookup;
    lookup.reserve(static_cast<std::size_t>(children));
    for (int i = 0; i < children; ++i)
        lookup.emplace_back("d_child" + std::to_string(i), static_cast<std::uint16_t>(i + 1));
    streams.push_back({"dwstg/dwlookup", test::ansiDwLookup(lookup)});
    for (int i = 0; i < children; ++i) {
        std::string n = std::to_string(i + 1);
        std::string child = "d_child" + std::to_string(i);
        stream("dwstg/source_" + n, child + ".srd",
               content("release 9;\r\n// child " + n + "\r\n",
                       100 + 2 * static_cast<std::uint32_t>(i)));
        stream("dwstg/object_" + n, child + ".dwo",
               content("PDW090 child " + n, 101 + 2 * static_cast<std::uint32_t>(i)));
    }
    Bytes file = test::portableReport(false, streams);
    r.file.assign(file.begin(), file.end());
    return r;
}

// The entries of a library (name to data), or nothing when it does not open or read.
std::optional<std::map<std::string, std::string>> libraryEntries(const stdfs::path& file) {
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle library(manager->openLibrary(fs::fromNativeName(file.string()), 0));
    if (!library) return std::nullopt;
    const test::EntryList list = test::listEntries(*library);
    if (list.rc != 0) return std::nullopt;
    std::map<std::string, std::string> entries;
    for (const pbl::PblEntryInfo& info : list.entries) {
        std::string data(static_cast<std::size_t>(info.dataSize), '\0');
        if (library->readEntryData(info, data.data()) != 0) return std::nullopt;
        entries[info.name] = data;
    }
    return entries;
}

// The target holds the complete library of `report`, sound in structure.
void expectCompleteLibrary(const stdfs::path& target, const Report& report) {
    EXPECT_EQ(checks::checkLibraryStructure(target.string()), "");
    auto entries = libraryEntries(target);
    ASSERT_TRUE(entries.has_value()) << target;
    EXPECT_TRUE(*entries == report.entries) << target << ": other entries than the report's";
}

bool isTemporary(const std::string& name) {
    return name.rfind("__quennet", 0) == 0;
}

// Its terminating zero included: the file ends in a zero byte.
constexpr char kOldTargetBytes[] = "an old library \0 that must survive\xff\x01";
const std::string kOldTarget(kOldTargetBytes, sizeof kOldTargetBytes);

// --- Fixture ----------------------------------------------------------------------------------

class FaultTest : public testing::Test {
  protected:
    void SetUp() override {
        if (kConverterPath == nullptr || kKeldrinPbl == nullptr)
            GTEST_SKIP() << "programs not built";
        char pattern[] = "/tmp/keldrin-fault-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        ::chmod(dir.c_str(), 0755);
    }
    void TearDown() override {
        if (dir.empty()) return;
        std::error_code ec;
        for (const auto& e : stdfs::recursive_directory_iterator(dir, ec))
            ::chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
        stdfs::remove_all(dir, ec);
    }

    // "lib.pbl" with entries d_e0.srd .. d_e39.srd holding entryBody() each, made by the
    // tool, and "big", 200,000 bytes to put in place of one of them.
    static std::string entryBody() { return std::string(3000, 'x'); }
    void makeFortyEntryLibrary() {
        ASSERT_EQ(runProgram(kKeldrinPbl, {"create", "lib.pbl", "10"}, dir).exitCode, 0);
        writeAll(dir / "body", entryBody());
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(
                runProgram(kKeldrinPbl,
                           {"put", "lib.pbl", "d_e" + std::to_string(i) + ".srd", "body"}, dir)
                    .exitCode,
                0);
        writeAll(dir / "big", std::string(200000, 'y'));
    }

    stdfs::path dir;
};

// --- SIGKILL at any moment ---------------------------------------------------------------------

// Kills conversions of a report of several megabytes at moments spread evenly over a
// whole run and half a run past it (a loaded machine may stretch a run). After every
// kill the target is the old file byte for byte or the complete new library; the
// temporary files killed runs leave behind pile up on purpose and must not disturb the
// runs after them.
TEST_F(FaultTest, KilledConversionLeavesTheOldTargetOrTheCompleteLibrary) {
    const Report report = makeReport("big", 24, std::size_t{96} * 1024, 1);  // 50 streams, 4.8 MB
    writeAll(dir / "big.psr", report.file);

    // How long a whole run takes here, as the median of three.
    std::vector<double> seconds;
    for (int i = 0; i < 3; ++i) {
        writeAll(dir / "t.pbl", kOldTarget);
        auto start = Clock::now();
        RunOutcome o = runProgram(kConverterPath, {"big.psr", "-p", "t.pbl"}, dir);
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        ASSERT_EQ(o.exitCode, 0) << o.output;
        expectCompleteLibrary(dir / "t.pbl", report);
    }
    std::sort(seconds.begin(), seconds.end());
    const double runTime = seconds[1];

    constexpr int kKills = 220;
    int oldSeen = 0, newSeen = 0;
    for (int k = 0; k < kKills; ++k) {
        writeAll(dir / "t.pbl", kOldTarget);
        // Moments from the start of the process to half a run past a whole run.
        const double at = runTime * 1.5 * k / (kKills - 1);
        test::Process c = spawn(kConverterPath, {"big.psr", "-p", "t.pbl"}, dir);
        std::this_thread::sleep_for(std::chrono::duration<double>(at));
        ::kill(c.pid(), SIGKILL);
        finishRun(c);

        const std::string now = readAll(dir / "t.pbl");
        if (now == kOldTarget) {
            ++oldSeen;
        } else {
            ++newSeen;
            SCOPED_TRACE("kill " + std::to_string(k));
            expectCompleteLibrary(dir / "t.pbl", report);
        }
        if (HasFailure()) break;
    }
    // The two moments that matter most, waited for rather than timed, so that however a
    // loaded machine stretches the runs above, both are tried: a kill while the library
    // is being written leaves the old target and the temporary; a kill once the library
    // has taken the target's place leaves the complete library.
    auto temporaries = [&] {
        std::set<std::string> names;
        for (const std::string& name : listing(dir))
            if (isTemporary(name)) names.insert(name);
        return names;
    };
    bool caughtWriting = false;
    for (int attempt = 0; attempt < 5 && !caughtWriting; ++attempt) {
        writeAll(dir / "t.pbl", kOldTarget);
        const std::set<std::string> before = temporaries();
        test::Process c = spawn(kConverterPath, {"big.psr", "-p", "t.pbl"}, dir);
        const bool writing = waitWhileRunning(c, [&] { return temporaries() != before; });
        ::kill(c.pid(), SIGKILL);
        finishRun(c);
        // The run may still have finished between the look and the kill.
        if (readAll(dir / "t.pbl") != kOldTarget) {
            expectCompleteLibrary(dir / "t.pbl", report);
            continue;
        }
        caughtWriting = writing && temporaries().size() > before.size();
    }
    EXPECT_TRUE(caughtWriting) << "no kill landed while the library was being written";
    {
        writeAll(dir / "t.pbl", kOldTarget);
        struct stat old {};
        ASSERT_EQ(::stat((dir / "t.pbl").c_str(), &old), 0);
        test::Process c = spawn(kConverterPath, {"big.psr", "-p", "t.pbl"}, dir);
        (void)waitWhileRunning(c, [&] {
            struct stat now {};
            return ::stat((dir / "t.pbl").c_str(), &now) == 0 && now.st_ino != old.st_ino;
        });
        ::kill(c.pid(), SIGKILL);
        finishRun(c);
        expectCompleteLibrary(dir / "t.pbl", report);
    }

    // With every leftover still there, a run converts completely and leaves them alone.
    std::set<std::string> leftovers;
    for (const std::string& name : listing(dir))
        if (isTemporary(name)) leftovers.insert(name);
    writeAll(dir / "t.pbl", kOldTarget);
    RunOutcome o = runProgram(kConverterPath, {"big.psr", "-p", "t.pbl"}, dir);
    EXPECT_EQ(o.exitCode, 0) << o.output;
    expectCompleteLibrary(dir / "t.pbl", report);
    std::set<std::string> after;
    for (const std::string& name : listing(dir))
        if (isTemporary(name)) after.insert(name);
    EXPECT_EQ(after, leftovers);
    RecordProperty("old_target_after_kill", oldSeen);
    RecordProperty("new_library_after_kill", newSeen);
}

// --- SIGINT, SIGTERM and SIGHUP at any moment ----------------------------------------------------

// An interrupted run ends by its signal (or finished before it came) and leaves no
// temporary file; the file it wrote is the old one or the complete new one. Holds
// whatever the moment of the signal, so the moments need no tuning.
struct Interruption {
    int signal;
    int status;
};

std::string describe(const Interruption& i) {
    return "signal " + std::to_string(i.signal) + ", wait status " + std::to_string(i.status);
}

void expectEndedBySignalOrFinished(const Interruption& i) {
    const bool bySignal = WIFSIGNALED(i.status) && WTERMSIG(i.status) == i.signal;
    const bool finished = WIFEXITED(i.status) && WEXITSTATUS(i.status) == 0;
    EXPECT_TRUE(bySignal || finished) << describe(i);
}

bool endedBySignal(const Interruption& i) {
    return WIFSIGNALED(i.status);
}

class InterruptTest : public FaultTest {
  protected:
    // The median time of three runs of `args`, each after `prepare`.
    template <typename Prepare>
    double runTime(const char* program, const std::vector<std::string>& args, Prepare prepare) {
        std::vector<double> seconds;
        for (int i = 0; i < 3; ++i) {
            prepare();
            auto start = Clock::now();
            RunOutcome o = runProgram(program, args, dir);
            seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            EXPECT_EQ(o.exitCode, 0) << o.output;
        }
        std::sort(seconds.begin(), seconds.end());
        return seconds[1];
    }

    // Runs `args` `tries` times and sends SIGINT, SIGTERM or SIGHUP in turn at moments
    // spread from the start to half a run past a whole one; `check` looks at each.
    template <typename Prepare, typename Check>
    void interruptRepeatedly(const char* program, const std::vector<std::string>& args, int tries,
                             Prepare prepare, Check check) {
        const double whole = runTime(program, args, prepare);
        constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
        for (int k = 0; k < tries && !HasFailure(); ++k) {
            SCOPED_TRACE("try " + std::to_string(k));
            prepare();
            const int sig = kSignals[k % 3];
            test::Process c = spawn(program, args, dir);
            std::this_thread::sleep_for(std::chrono::duration<double>(whole * 1.5 * k / tries));
            ::kill(c.pid(), sig);
            Interruption i{sig, c.finish().status};
            expectEndedBySignalOrFinished(i);
            check(i);
            for (const std::string& name : listing(dir))
                EXPECT_FALSE(isTemporary(name) || name.ends_with(".tmp")) << name;
        }
    }
};

TEST_F(InterruptTest, InterruptedConversionLeavesNoTemporaryFile) {
    const Report report = makeReport("big", 24, std::size_t{64} * 1024, 5);
    writeAll(dir / "big.psr", report.file);
    int interrupted = 0;
    interruptRepeatedly(
        kConverterPath, {"big.psr", "-p", "t.pbl"}, 60,
        [&] { writeAll(dir / "t.pbl", kOldTarget); },
        [&](const Interruption& i) {
            interrupted += endedBySignal(i) ? 1 : 0;
            if (readAll(dir / "t.pbl") == kOldTarget) {
                EXPECT_TRUE(endedBySignal(i)) << "finished, yet the old target is there";
            } else {
                expectCompleteLibrary(dir / "t.pbl", report);
            }
        });
    RecordProperty("interrupted_runs", interrupted);
}

TEST_F(InterruptTest, InterruptedRebuildAndOptimizeLeaveNoTemporaryFile) {
    const Report report = makeReport("big", 24, std::size_t{64} * 1024, 6);
    writeAll(dir / "big.psr", report.file);
    ASSERT_EQ(runProgram(kConverterPath, {"big.psr", "-p", "lib.pbl"}, dir).exitCode, 0);
    const std::string library = readAll(dir / "lib.pbl");

    interruptRepeatedly(
        kKeldrinPbl, {"rebuild", "lib.pbl", "out.pbl"}, 30,
        [&] { writeAll(dir / "out.pbl", kOldTarget); },
        [&](const Interruption&) {
            EXPECT_EQ(readAll(dir / "lib.pbl"), library);
            if (readAll(dir / "out.pbl") != kOldTarget)
                expectCompleteLibrary(dir / "out.pbl", report);
        });
    interruptRepeatedly(
        kKeldrinPbl, {"optimize", "lib.pbl"}, 30,
        [&] {
            writeAll(dir / "lib.pbl", library);
            stdfs::remove(dir / "lib.pbl.bak");
        },
        [&](const Interruption&) {
            // The library is the original or its optimized copy, never less.
            if (readAll(dir / "lib.pbl") != library) expectCompleteLibrary(dir / "lib.pbl", report);
        });
}

// --- A reader that stops early
// --------------------------------------------------------------------

// keldrin report.psr | head: standard output closes while the conversion still writes
// to it. The conversion goes on to the end, and its exit code tells the result.
TEST_F(FaultTest, ClosedStandardOutputDoesNotStopTheConversion) {
    const Report report = makeReport("r", 40, 2000, 7);
    writeAll(dir / "r.psr", report.file);
    for (int linesRead : {0, 1, 9}) {
        SCOPED_TRACE("closed after " + std::to_string(linesRead) + " lines");
        writeAll(dir / "t.pbl", kOldTarget);
        test::Process c = spawn(kConverterPath, {"r.psr", "-p", "t.pbl"}, dir);
        for (int seen = 0; seen < linesRead;) {
            char ch = 0;
            if (::read(c.outputFd(), &ch, 1) != 1) break;
            seen += ch == '\n' ? 1 : 0;
        }
        c.closeOutput();
        const int status = c.finish().status;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        expectCompleteLibrary(dir / "t.pbl", report);
        for (const std::string& name : listing(dir)) EXPECT_FALSE(isTemporary(name)) << name;
    }
}

// --- The replaced file's permissions
// ---------------------------------------------------------------

TEST_F(FaultTest, RebuildOntoAnExistingLibraryKeepsItsMode) {
    const Report report = makeReport("r", 3, 1000, 8);
    writeAll(dir / "r.psr", report.file);
    ASSERT_EQ(runProgram(kConverterPath, {"r.psr", "-p", "lib.pbl"}, dir).exitCode, 0);
    writeAll(dir / "out.pbl", kOldTarget);
    ASSERT_EQ(::chmod((dir / "out.pbl").c_str(), 0600), 0);
    RunOutcome o = runProgram(kKeldrinPbl, {"rebuild", "lib.pbl", "out.pbl"}, dir);
    EXPECT_EQ(o.exitCode, 0) << o.output;
    expectCompleteLibrary(dir / "out.pbl", report);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out.pbl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// --- A full disk -------------------------------------------------------------------------------

// Writes past the limit fail with EFBIG, as writes to a full disk fail with ENOSPC; the
// limits run from nothing at all to just short of the whole library.
TEST_F(FaultTest, FullDiskDuringConversionFailsCleanly) {
    const Report report = makeReport("r", 6, 20000, 2);
    writeAll(dir / "r.psr", report.file);
    RunOutcome full = runProgram(kConverterPath, {"r.psr", "-p", "probe.pbl"}, dir);
    ASSERT_EQ(full.exitCode, 0) << full.output;
    const auto librarySize = static_cast<rlim_t>(stdfs::file_size(dir / "probe.pbl"));
    stdfs::remove(dir / "probe.pbl");

    for (rlim_t limit :
         {rlim_t{0}, rlim_t{1}, rlim_t{511}, rlim_t{512}, rlim_t{1024}, rlim_t{4096}, rlim_t{5000},
          librarySize / 3, librarySize / 2, librarySize - 512, librarySize - 1}) {
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        writeAll(dir / "t.pbl", kOldTarget);
        RunOutcome o = runProgram(kConverterPath, {"r.psr", "-p", "t.pbl"}, dir, {limit, false});
        EXPECT_EQ(o.exitCode, 3) << o.output;
        EXPECT_TRUE(endsWith(o.output, "Conversion error\n\n")) << o.output;
        EXPECT_EQ(readAll(dir / "t.pbl"), kOldTarget);
        EXPECT_EQ(listing(dir), (std::set<std::string>{"r.psr", "t.pbl"}));
    }
    // With room for exactly the library it goes through.
    RunOutcome o = runProgram(kConverterPath, {"r.psr", "-p", "t.pbl"}, dir, {librarySize, false});
    EXPECT_EQ(o.exitCode, 0) << o.output;
    expectCompleteLibrary(dir / "t.pbl", report);
}

// keldrin-pbl against a full disk: every command that writes fails with exit 1 and a
// message, and the library it worked on is as it was, byte for byte.
TEST_F(FaultTest, FullDiskDuringLibraryCommandsLosesNothing) {
    ASSERT_EQ(runProgram(kKeldrinPbl, {"create", "lib.pbl", "10"}, dir).exitCode, 0);
    std::string body(3000, 'x');
    writeAll(dir / "body", body);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(runProgram(kKeldrinPbl,
                             {"put", "lib.pbl", "d_e" + std::to_string(i) + ".srd", "body"}, dir)
                      .exitCode,
                  0);
    ASSERT_EQ(runProgram(kKeldrinPbl, {"comment", "lib.pbl", "kept"}, dir).exitCode, 0);
    const std::string original = readAll(dir / "lib.pbl");
    const auto size = static_cast<rlim_t>(original.size());
    writeAll(dir / "big", std::string(200000, 'y'));

    // Each command either goes through (it had room enough) or fails with exit 1 and a
    // message; either way the library is byte for byte as it was, and a failed command
    // leaves no file behind.
    const std::vector<std::vector<std::string>> commands = {
        {"create", "new.pbl", "6"},
        {"rebuild", "lib.pbl", "copy.pbl"},
        {"optimize", "lib.pbl"},
        {"export", "lib.pbl", "out"},
    };
    const std::set<std::string> base{"lib.pbl", "body", "big"};
    int failures = 0;
    for (rlim_t limit : {rlim_t{0}, rlim_t{512}, rlim_t{4096}, size / 2, size - 512}) {
        for (const std::vector<std::string>& args : commands) {
            SCOPED_TRACE(args[0] + " under a file size limit of " + std::to_string(limit));
            RunOutcome o = runProgram(kKeldrinPbl, args, dir, {limit, false});
            EXPECT_EQ(readAll(dir / "lib.pbl"), original);
            if (o.exitCode == 0) {
                for (const char* made : {"new.pbl", "copy.pbl", "lib.pbl.bak"})
                    stdfs::remove(dir / made);
                std::error_code ec;
                stdfs::remove_all(dir / "out", ec);
            } else {
                ++failures;
                EXPECT_EQ(o.exitCode, 1) << o.output;
                EXPECT_FALSE(o.output.empty());
                if (args[0] == "export") {
                    // Files written before the disk filled are complete; the one that
                    // failed is not there under its name.
                    std::error_code ec;
                    stdfs::remove_all(dir / "out", ec);
                }
                EXPECT_EQ(listing(dir), base);
            }
        }
    }
    EXPECT_GE(failures, 12);
}

// A write in place that needs blocks past the end of a full disk fails, and every other
// entry, the comment and the structure of the library stay sound.
TEST_F(FaultTest, FullDiskDuringPutKeepsTheOtherEntries) {
    ASSERT_NO_FATAL_FAILURE(makeFortyEntryLibrary());
    const std::string body = entryBody();
    const auto size = static_cast<rlim_t>(stdfs::file_size(dir / "lib.pbl"));
    for (rlim_t limit : {size, size + 600, size + 20000}) {
        SCOPED_TRACE("put under a file size limit of " + std::to_string(limit));
        RunOutcome o =
            runProgram(kKeldrinPbl, {"put", "lib.pbl", "d_e3.srd", "big"}, dir, {limit, false});
        EXPECT_EQ(o.exitCode, 1) << o.output;
        pbl::PblManagerHandle manager(pbl::createPblManager());
        pbl::PblLibraryHandle library(
            manager->openLibrary(fs::fromNativeName((dir / "lib.pbl").string()), 0));
        ASSERT_TRUE(library);
        for (int i = 0; i < 40; ++i) {
            if (i == 3) continue;
            pbl::PblEntryInfo info{};
            std::string name = "d_e" + std::to_string(i) + ".srd";
            ASSERT_EQ(library->findEntry(name.c_str(), info, 0), 0) << name;
            std::string data(static_cast<std::size_t>(info.dataSize), '\0');
            EXPECT_EQ(library->readEntryData(info, data.data()), 0) << name;
            EXPECT_EQ(data, body) << name;
        }
    }
}

// The entry being replaced when the disk fills must keep its old data (or hold the new
// data completely), and the library its sound structure: the blocks that grow the file
// are written before the entry's own blocks are overwritten.
TEST_F(FaultTest, FullDiskDuringPutKeepsTheReplacedEntry) {
    ASSERT_NO_FATAL_FAILURE(makeFortyEntryLibrary());
    const std::string body = entryBody();
    const auto size = static_cast<rlim_t>(stdfs::file_size(dir / "lib.pbl"));
    RunOutcome o =
        runProgram(kKeldrinPbl, {"put", "lib.pbl", "d_e3.srd", "big"}, dir, {size + 20000, false});
    EXPECT_EQ(o.exitCode, 1) << o.output;
    EXPECT_EQ(checks::checkLibraryStructure((dir / "lib.pbl").string()), "");
    auto entries = libraryEntries(dir / "lib.pbl");
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(entries->at("d_e3.srd"), body);
}

// --- Permissions -------------------------------------------------------------------------------

TEST_F(FaultTest, TargetDirectoryWithoutWritePermission) {
    // Root's rights pass over permission bits, so the programs run as an unprivileged
    // user, who may not reach the build tree: they run from copies that user can start.
    const test::ProgramsForNobody programs({kConverterPath, kKeldrinPbl});
    if (!programs.why().empty()) GTEST_SKIP() << programs.why();
    const std::string keldrin = programs.path(kConverterPath);
    const std::string keldrinPbl = programs.path(kKeldrinPbl);
    const Report report = makeReport("r", 2, 1000, 3);
    stdfs::create_directory(dir / "locked");
    writeAll(dir / "r.psr", report.file);
    writeAll(dir / "locked" / "t.pbl", kOldTarget);
    ::chmod((dir / "r.psr").c_str(), 0644);
    ::chmod((dir / "locked" / "t.pbl").c_str(), 0666);
    ::chmod((dir / "locked").c_str(), 0555);

    RunOutcome o =
        runProgram(keldrin.c_str(), {"r.psr", "-p", "locked/t.pbl"}, dir, {std::nullopt, true});
    EXPECT_EQ(o.exitCode, 3) << o.output;
    EXPECT_TRUE(endsWith(o.output, "Conversion error\n\n")) << o.output;
    EXPECT_EQ(readAll(dir / "locked" / "t.pbl"), kOldTarget);
    EXPECT_EQ(listing(dir / "locked"), std::set<std::string>{"t.pbl"});

    // The same for the library tool's commands that write beside their file.
    ::chmod((dir / "locked").c_str(), 0755);
    ASSERT_EQ(runProgram(kKeldrinPbl, {"create", "locked/lib.pbl", "6"}, dir).exitCode, 0);
    const std::string lib = readAll(dir / "locked" / "lib.pbl");
    ::chmod((dir / "locked" / "lib.pbl").c_str(), 0666);
    ::chmod((dir / "locked").c_str(), 0555);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"optimize", "locked/lib.pbl"},
          std::vector<std::string>{"create", "locked/new.pbl", "6"},
          std::vector<std::string>{"rebuild", "locked/lib.pbl", "locked/copy.pbl"},
          // A change in place writes its journal beside the library, so it needs the
          // directory too, and says so.
          std::vector<std::string>{"put", "locked/lib.pbl", "x.srd", "r.psr"}}) {
        SCOPED_TRACE(args[0]);
        RunOutcome p = runProgram(keldrinPbl.c_str(), args, dir, {std::nullopt, true});
        EXPECT_EQ(p.exitCode, 1) << p.output;
        if (args[0] == "put") {
            EXPECT_NE(p.output.find("lib.pbl.journal beside the library"), std::string::npos)
                << p.output;
        }
        EXPECT_EQ(readAll(dir / "locked" / "lib.pbl"), lib);
        EXPECT_EQ(listing(dir / "locked"), (std::set<std::string>{"t.pbl", "lib.pbl"}));
    }
}

// --- A report that changes under the conversion -------------------------------------------------

// The report is deleted, or cut short in place, at moments spread over the run. Each
// run either completes with the whole library (everything had been read) or fails
// with exit 3, the old target intact and no temporary file.
TEST_F(FaultTest, ReportVanishingOrShrinkingMidRun) {
    const Report report = makeReport("r", 24, std::size_t{64} * 1024, 4);
    writeAll(dir / "r.psr", report.file);
    auto start = Clock::now();
    ASSERT_EQ(runProgram(kConverterPath, {"r.psr", "-p", "t.pbl"}, dir).exitCode, 0);
    const double runTime = std::chrono::duration<double>(Clock::now() - start).count();

    constexpr int kTries = 40;
    int failed = 0, completed = 0;
    for (int k = 0; k < kTries; ++k) {
        SCOPED_TRACE("try " + std::to_string(k));
        writeAll(dir / "r.psr", report.file);
        writeAll(dir / "t.pbl", kOldTarget);
        test::Process c = spawn(kConverterPath, {"r.psr", "-p", "t.pbl"}, dir);
        std::this_thread::sleep_for(std::chrono::duration<double>(runTime * k / kTries));
        if (k % 2 == 0) {
            stdfs::remove(dir / "r.psr");
        } else {
            ::truncate((dir / "r.psr").c_str(), static_cast<off_t>(report.file.size() / 2));
        }
        RunOutcome o = finishRun(c);
        if (o.exitCode == 0) {
            ++completed;
            expectCompleteLibrary(dir / "t.pbl", report);
        } else {
            ++failed;
            EXPECT_EQ(o.exitCode, 3) << o.output;
            EXPECT_TRUE(endsWith(o.output, "Conversion error\n\n")) << o.output;
            EXPECT_EQ(readAll(dir / "t.pbl"), kOldTarget);
        }
        for (const std::string& name : listing(dir)) EXPECT_FALSE(isTemporary(name)) << name;
        if (HasFailure()) break;
    }
    EXPECT_GT(failed, 0);
}

// --- Many conversions racing for one target -----------------------------------------------------

// Eight different reports converted at once into the same target name: every run
// succeeds, the target ends as the complete library of one of them, and no temporary
// file is left.
TEST_F(FaultTest, EightConversionsIntoOneTarget) {
    std::vector<Report> reports;
    for (int i = 0; i < 8; ++i) {
        reports.push_back(makeReport("same", 3 + i, 30000, 10 + static_cast<std::uint32_t>(i)));
        stdfs::create_directory(dir / ("in" + std::to_string(i)));
        writeAll(dir / ("in" + std::to_string(i)) / "same.psr", reports.back().file);
    }
    for (int round = 0; round < 3; ++round) {
        writeAll(dir / "t.pbl", kOldTarget);
        std::vector<test::Process> children;
        children.reserve(8);
        for (int i = 0; i < 8; ++i)
            children.push_back(spawn(kConverterPath,
                                     {"in" + std::to_string(i) + "/same.psr", "-p", "t.pbl"}, dir));
        for (test::Process& c : children) {
            RunOutcome o = finishRun(c);
            EXPECT_EQ(o.exitCode, 0) << o.output;
        }
        auto entries = libraryEntries(dir / "t.pbl");
        ASSERT_TRUE(entries.has_value());
        EXPECT_EQ(checks::checkLibraryStructure((dir / "t.pbl").string()), "");
        int matches = 0;
        for (const Report& r : reports) matches += *entries == r.entries ? 1 : 0;
        EXPECT_EQ(matches, 1);
        for (const std::string& name : listing(dir)) EXPECT_FALSE(isTemporary(name)) << name;
    }
}

}  // namespace
}  // namespace keldrin
