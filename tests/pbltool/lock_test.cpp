// Several keldrin-pbl processes on one library: writers take turns, readers never see a
// change half made, a writer that waited for a library that optimize replaced writes into
// the new file, and a writer that cannot get the lock in time says so and writes nothing.
// Nothing here depends on timing: whatever order the processes run in, the assertions
// hold.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/pbl_checker.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

using test::readAll;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class PblLockTest : public test::PblToolProcessTest {
  protected:
    // Starts the tool with the C locale and `input` on standard input.
    test::Process start(const std::vector<std::string>& args, const std::string& input) const {
        test::ProcessSpec spec{.program = tool_, .args = args};
        spec.input = input;
        spec.environment = {"LC_ALL=C", "ASAN_OPTIONS=exitcode=86"};
        spec.timeLimit = 300;  // a hang is a failure, not a stuck test run
        return test::Process(spec);
    }

    static Outcome finish(test::Process& process) {
        test::ProcessResult r = process.finish();
        return {r.exitCode, std::move(r.out), std::move(r.err)};
    }

    Outcome run(const std::vector<std::string>& args, const std::string& input = "") const {
        test::Process process = start(args, input);
        return finish(process);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
};

// One worker's commands, run one after the other in a child process of the test; each
// acknowledged (exit 0) command is appended to the worker's log, so the test knows what
// must have happened whatever the interleaving.
TEST_F(PblLockTest, ConcurrentWritersLoseNoAcknowledgedChange) {
    const std::string lib = path("l.pbl");
    ASSERT_EQ(run({"create", lib, "6"}).exitCode, 0);
    constexpr int kWorkers = 6;
    constexpr int kRounds = 6;
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid != 0) {
            workers.push_back(pid);
            continue;
        }
        std::ofstream log(dir_ / ("log" + std::to_string(w)));
        std::vector<std::string> mine;  // this worker's entries, as acknowledged
        for (int r = 0; r < kRounds; ++r) {
            std::string name = "w" + std::to_string(w) + "r" + std::to_string(r) + ".srd";
            std::string body(static_cast<std::size_t>(300 + 97 * (w + r)),
                             static_cast<char>('a' + w));
            std::vector<std::string> args;
            if (w == 0 && r % 2 == 1) {
                args = {"--wait", "120", "optimize", lib, "--force"};
            } else if (w == 1 && r % 3 == 2) {
                args = {"--wait", "120", "comment", lib, "round " + std::to_string(r)};
            } else if (r % 3 == 2 && !mine.empty()) {
                name = mine.back();
                mine.pop_back();
                args = {"--wait", "120", "rm", lib, name};
            } else {
                args = {"--wait", "120", "put", lib, name};
            }
            Outcome o = run(args, body);
            if (o.exitCode == 0) {
                log << args[2] << ' ' << name << ' ' << body.size() << '\n';
                if (args[2] == "put") mine.push_back(name);
            } else {
                log << "failed " << args[2] << ' ' << o.exitCode << ' ' << o.err << '\n';
            }
            log.flush();
        }
        _exit(0);
    }
    for (pid_t pid : workers) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    // What the logs promise.
    std::map<std::string, std::size_t> expected;
    for (int w = 0; w < kWorkers; ++w) {
        std::ifstream log(dir_ / ("log" + std::to_string(w)));
        std::string line;
        while (std::getline(log, line)) {
            EXPECT_NE(line.rfind("failed", 0), 0u) << "worker " << w << ": " << line;
            std::string command, name;
            std::size_t size = 0;
            std::istringstream(line) >> command >> name >> size;
            if (command == "put") expected[name] = size;
            if (command == "rm") expected.erase(name);
        }
    }
    EXPECT_EQ(checks::checkLibraryStructure(lib), "");
    for (const auto& [name, size] : expected) {
        Outcome cat = run({"cat", lib, name});
        EXPECT_EQ(cat.exitCode, 0) << name << ": " << cat.err;
    }
    std::set<std::string> listed;
    std::istringstream listing(run({"ls", lib}).out);
    for (std::string line; std::getline(listing, line);)
        listed.insert(line.substr(0, line.find('\t')));
    std::set<std::string> names;
    for (const auto& entry : expected) names.insert(entry.first);
    EXPECT_EQ(listed, names);
    // optimize left its backup and nothing else.
    for (const auto& e : stdfs::directory_iterator(dir_)) {
        std::string n = e.path().filename().string();
        EXPECT_TRUE(n[0] == '.' || n == "l.pbl" || n == "l.pbl.bak" || n.rfind("log", 0) == 0) << n;
    }
}

TEST_F(PblLockTest, AWriterThatCannotGetTheLockSaysSoAndWritesNothing) {
    const std::string lib = path("busy.pbl");
    ASSERT_EQ(run({"create", lib, "10"}).exitCode, 0);
    ASSERT_EQ(run({"put", lib, "a"}, "a").exitCode, 0);
    const std::string before = readAll(lib);
    int holder = open(lib.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);

    // A reader's lock keeps writers out but lets other readers in.
    ASSERT_EQ(flock(holder, LOCK_SH), 0);
    EXPECT_EQ(run({"--wait", "0", "ls", lib}).exitCode, 0);
    Outcome put = run({"--wait", "0", "put", lib, "b"}, "b");
    EXPECT_EQ(put.exitCode, 1);
    EXPECT_NE(put.err.find("library is in use by another program"), std::string::npos) << put.err;

    // A writer's lock keeps everyone out, for the whole wait.
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"--wait", "0", "ls", lib},
          {"--wait", "1", "rm", lib, "a"},
          {"--wait", "0", "comment", lib, "x"},
          {"--wait", "0", "optimize", lib},
          {"--wait", "0", "rebuild", lib, path("copy.pbl")}}) {
        Outcome o = run(command);
        EXPECT_EQ(o.exitCode, 1) << command[2];
        EXPECT_NE(o.err.find("in use by another program"), std::string::npos) << o.err;
    }
    close(holder);
    EXPECT_EQ(readAll(lib), before);
    EXPECT_FALSE(stdfs::exists(path("copy.pbl")));
    EXPECT_FALSE(stdfs::exists(lib + ".bak"));
    EXPECT_EQ(run({"--wait", "-1", "ls", lib}).exitCode, 2);
}

// Import reads its files before it takes the library's lock: while it waits on a file
// that is slow to come (a pipe, played by the test, which opens its end only once the
// import has opened the other), a writer gets in at once.
TEST_F(PblLockTest, AnImportWaitingOnItsFilesHoldsNoLock) {
    const std::string lib = path("import.pbl");
    ASSERT_EQ(run({"create", lib, "10"}).exitCode, 0);
    const std::string pipe = path("slow.srd");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    test::Process import = start({"import", lib, pipe}, "");
    // Returns when the import has opened the pipe for reading: it is reading its files.
    const int writer = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    Outcome put = run({"--wait", "0", "put", lib, "d_other.srd"}, "x");
    EXPECT_EQ(put.exitCode, 0) << put.err;
    const std::string file = "$PBExportHeader$d_slow.srd\r\nrelease 10;\r\n";
    EXPECT_EQ(write(writer, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(writer);
    Outcome imported = finish(import);
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    const Outcome listed = run({"ls", lib});
    EXPECT_NE(listed.out.find("d_slow.srd"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("d_other.srd"), std::string::npos) << listed.out;
}

// What optimize does to a waiting writer, played by the test: hold the old file's lock,
// put a new library in its place, let go. The put, whether it opened the old file and
// waited or came late and opened the new one, must land in the file the name leads to.
TEST_F(PblLockTest, AWriterThatWaitedFollowsTheNameToTheNewFile) {
    const std::string lib = path("o.pbl");
    ASSERT_EQ(run({"create", lib, "6"}).exitCode, 0);
    ASSERT_EQ(run({"create", path("new.pbl"), "6"}).exitCode, 0);
    ASSERT_EQ(run({"put", path("new.pbl"), "already"}, "x").exitCode, 0);
    ASSERT_EQ(link(lib.c_str(), path("old.pbl").c_str()), 0);
    int holder = open(lib.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    test::Process writer = start({"--wait", "120", "put", lib, "late.srd"}, "late");
    usleep(200 * 1000);  // gives the writer time to open the old file; either way is correct
    ASSERT_EQ(rename(path("new.pbl").c_str(), lib.c_str()), 0);
    close(holder);
    Outcome o = finish(writer);
    EXPECT_EQ(o.exitCode, 0) << o.err;

    EXPECT_EQ(run({"cat", lib, "late.srd"}).exitCode, 0);
    EXPECT_EQ(run({"cat", lib, "already"}).exitCode, 0);
    EXPECT_EQ(run({"cat", path("old.pbl"), "late.srd"}).exitCode, 1);
    EXPECT_EQ(checks::checkLibraryStructure(lib), "");
}

}  // namespace
}  // namespace keldrin
