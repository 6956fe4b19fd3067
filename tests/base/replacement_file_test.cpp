// The one way files are replaced: the new file keeps the target's mode, is synced
// before its rename and its directory after as the caller asks (seen through the fault
// hook), never replaces when told not to, and leaves nothing behind when it is not
// committed: not on a failed commit, not on destruction, not on an interrupt.
#include "base/replacement_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/fault_hook.h"
#include "base/file.h"
#include "support/library_fixture.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

// Records each changing operation as a letter (w write, s sync of a file, d sync of a
// directory, r rename, x removal) and refuses the one of kind `refused`.
class Recorder : public fs::FaultHook {
  public:
    bool before(fs::FaultOp op, std::FILE* file, std::int64_t, std::size_t,
                const std::u16string&) override {
        char letter = 'x';
        if (op == fs::FaultOp::kWrite) letter = 'w';
        if (op == fs::FaultOp::kSync) letter = file != nullptr ? 's' : 'd';
        if (op == fs::FaultOp::kRename) letter = 'r';
        if (op == fs::FaultOp::kTruncate) letter = 't';
        log += letter;
        return letter != refused;
    }
    std::string log;
    char refused = 0;
};

class ReplacementFileTest : public testing::Test {
  protected:
    void SetUp() override {
        test::writeAll(dir / "target", "old");
        ASSERT_EQ(::chmod((dir / "target").c_str(), 0600), 0);
        previous = fs::installFaultHook(&recorder);
    }
    void TearDown() override { fs::installFaultHook(previous); }
    std::u16string target() const { return fs::fromNativeName((dir / "target").string()); }
    unsigned mode() const {
        struct stat st {};
        return ::stat((dir / "target").c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    test::ScratchDir scratch;
    stdfs::path dir = scratch.path();
    Recorder recorder;
    fs::FaultHook* previous = nullptr;
};

TEST_F(ReplacementFileTest, CommitKeepsTheModeAndSyncsAsAsked) {
    struct Row {
        fs::Durability durability;
        bool byName;  // written by other code after letGo, synced through a new descriptor
        const char* operations;
    };
    const Row rows[] = {
        {fs::Durability::kNone, false, "wwr"},
        {fs::Durability::kFileData, false, "wwsr"},
        {fs::Durability::kFull, false, "wwsrd"},
        {fs::Durability::kFull, true, "srd"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operations);
        test::writeAll(dir / "target", "old");
        recorder.log.clear();
        {
            fs::ReplacementFile file;
            ASSERT_TRUE(file.create(target(), u"t"));
            if (row.byName) {
                ASSERT_TRUE(file.letGo());
                test::writeAll(fs::toNativeName(file.path()), "new");
            } else {
                // Two writes, the second after the first.
                ASSERT_TRUE(file.write("ne", 2));
                ASSERT_TRUE(file.write("w", 1));
            }
            EXPECT_EQ(file.commit(fs::Replace::kYes, row.durability), fs::CommitResult::kDone);
        }
        EXPECT_EQ(recorder.log, row.operations);
        EXPECT_EQ(test::readAll(dir / "target"), "new");
        EXPECT_EQ(mode(), 0600u);
        EXPECT_EQ(test::listing(dir), std::set<std::string>{"target"});
    }
}

TEST_F(ReplacementFileTest, UncommittedFileLeavesTheTargetAndNothingElse) {
    struct Row {
        const char* what;
        char refused;  // the operation that fails, 0 for none
        fs::Replace replace;
        fs::CommitResult result;  // of the commit; kDone: no commit at all
    };
    const Row rows[] = {
        {"destroyed without a commit", 0, fs::Replace::kYes, fs::CommitResult::kDone},
        {"sync fails", 's', fs::Replace::kYes, fs::CommitResult::kFailed},
        {"rename fails", 'r', fs::Replace::kYes, fs::CommitResult::kFailed},
        {"target exists", 0, fs::Replace::kNo, fs::CommitResult::kTargetExists},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        recorder.refused = row.refused;
        {
            fs::ReplacementFile file;
            ASSERT_TRUE(file.create(target(), u"t"));
            ASSERT_TRUE(file.write("new", 3));
            if (row.result != fs::CommitResult::kDone) {
                EXPECT_EQ(file.commit(row.replace, fs::Durability::kFull), row.result);
            }
        }
        recorder.refused = 0;
        EXPECT_EQ(test::readAll(dir / "target"), "old");
        EXPECT_EQ(mode(), 0600u);
        EXPECT_EQ(test::listing(dir), std::set<std::string>{"target"});
    }
}

TEST_F(ReplacementFileTest, InterruptRemovesTheTemporary) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        fs::ReplacementFile file;
        if (!file.create(target(), u"t") || !file.write("new", 3)) ::_exit(1);
        ::raise(SIGTERM);
        ::_exit(2);  // not reached: the signal ends the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(test::listing(dir), std::set<std::string>{"target"});
    EXPECT_EQ(test::readAll(dir / "target"), "old");
}

TEST_F(ReplacementFileTest, NoFreeNameNoFile) {
    test::writeAll(dir / "taken", "");
    fs::ReplacementFile file;
    EXPECT_FALSE(file.create(
        target(), [&](int) { return fs::fromNativeName((dir / "taken").string()); }, 3));
    EXPECT_FALSE(file.create(fs::fromNativeName((dir / "no-such-dir/target").string()), u"t"));
    EXPECT_EQ(test::readAll(dir / "taken"), "");
}

}  // namespace
}  // namespace keldrin
