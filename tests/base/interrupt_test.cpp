// The interrupt cleanup in a child process of its own: a watched file (or directory) is
// gone after SIGINT, SIGTERM or SIGHUP and the process died of that signal; a forgotten file
// stays; a signal that arrives while the cleanup is held off takes effect afterwards;
// a signal the parent chose to ignore stays ignored.
#include "base/interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/file.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

class InterruptTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/keldrin-interrupt-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        stdfs::remove_all(dir, ec);
    }

    std::u16string path(const std::string& leaf) const {
        return fs::fromNativeName((dir / leaf).string());
    }
    void make(const std::string& leaf) const { test::writeAll(dir / leaf, "x"); }
    bool exists(const std::string& leaf) const { return stdfs::exists(dir / leaf); }

    // Runs `body` in a child process and returns its wait status. The child never
    // returns into the test framework.
    static int inChild(const std::function<void()>& body) {
        pid_t pid = ::fork();
        if (pid == 0) {
            body();
            ::_exit(0);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
        return status;
    }

    stdfs::path dir;
};

TEST_F(InterruptTest, SignalRemovesWatchedFilesAndEndsByTheSignal) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        make("a.tmp");
        make("b.tmp");
        make("other");
        int status = inChild([&] {
            interrupt::WatchedFile a(path("a.tmp"));
            interrupt::WatchedFile b(path("b.tmp"));
            ::raise(sig);
            ::_exit(99);  // not reached: the signal ends the process
        });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_FALSE(exists("a.tmp"));
        EXPECT_FALSE(exists("b.tmp"));
        EXPECT_TRUE(exists("other"));
    }
}

// A run's temporary directory goes with what it holds, a folder in it included; a link
// in it is removed as a link, and what it leads to stays.
TEST_F(InterruptTest, SignalRemovesAWatchedDirectoryWithItsFiles) {
    stdfs::create_directories(dir / "out.tmp" / "o" / "deeper");
    for (int i = 0; i < 300; ++i) make("out.tmp/page" + std::to_string(i) + ".html");
    make("out.tmp/o/a.html");
    make("out.tmp/o/deeper/b.html");
    make("kept");
    stdfs::create_symlink(dir / "kept", dir / "out.tmp" / "link");
    stdfs::create_directory_symlink(dir, dir / "out.tmp" / "up");
    int status = inChild([&] {
        interrupt::WatchedFile watched(path("out.tmp"));
        ::raise(SIGINT);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_FALSE(exists("out.tmp"));
    EXPECT_TRUE(exists("kept"));
}

TEST_F(InterruptTest, ForgottenFileStays) {
    make("moved");
    make("watched.tmp");
    int status = inChild([&] {
        interrupt::WatchedFile moved(path("moved"));
        interrupt::WatchedFile watched(path("watched.tmp"));
        moved.forget();
        ::raise(SIGTERM);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(exists("moved"));
    EXPECT_FALSE(exists("watched.tmp"));
}

// What happens inside the HoldOff happens completely: the move of a watched file and
// the forgetting of it. The interrupt comes afterwards and finds nothing to remove.
TEST_F(InterruptTest, SignalDuringHoldOffWaitsForItsEnd) {
    make("t.tmp");
    int status = inChild([&] {
        interrupt::WatchedFile watched(path("t.tmp"));
        {
            interrupt::HoldOff hold;
            ::raise(SIGINT);
            { interrupt::HoldOff nested; }
            if (fs::replaceFile(path("t.tmp"), path("target"))) watched.forget();
            test::writeAll(dir / "after-move", "");
        }
        test::writeAll(dir / "after-hold", "");
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(exists("target"));
    EXPECT_TRUE(exists("after-move"));
    EXPECT_FALSE(exists("after-hold"));
}

TEST_F(InterruptTest, IgnoredSignalStaysIgnored) {
    make("t.tmp");
    int status = inChild([&] {
        ::signal(SIGHUP, SIG_IGN);
        interrupt::WatchedFile watched(path("t.tmp"));
        ::raise(SIGHUP);
        watched.forget();
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(exists("t.tmp"));
}

TEST_F(InterruptTest, RemoveDeletesAndForgets) {
    make("t.tmp");
    make("u.tmp");
    int status = inChild([&] {
        interrupt::WatchedFile watched(path("t.tmp"));
        if (!watched.remove() || watched.watching()) ::_exit(1);
        // The name is free again; a file another run makes there must survive.
        test::writeAll(dir / "t.tmp", "someone else's");
        interrupt::WatchedFile other(path("u.tmp"));
        ::raise(SIGTERM);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(test::readAll(dir / "t.tmp"), "someone else's");
    EXPECT_FALSE(exists("u.tmp"));
}

TEST_F(InterruptTest, FullTableLeavesTheFileUnwatchedButRemovable) {
    int status = inChild([&] {
        std::vector<std::unique_ptr<interrupt::WatchedFile>> files;
        for (int i = 0; i < interrupt::kMaxWatchedFiles; ++i) {
            files.push_back(std::make_unique<interrupt::WatchedFile>());
            std::string name = "f";
            name += std::to_string(i);
            if (!files.back()->watch(path(name))) ::_exit(1);
        }
        make("extra");
        interrupt::WatchedFile extra;
        if (extra.watch(path("extra")) || extra.watching()) ::_exit(2);
        if (!extra.remove()) ::_exit(3);
        files.pop_back();
        make("late");
        if (!extra.watch(path("late"))) ::_exit(4);
        ::raise(SIGTERM);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_FALSE(exists("extra"));
    EXPECT_FALSE(exists("late"));
}

}  // namespace
}  // namespace keldrin
