// A file that takes another's place keeps what the other said about who may use it:
// its permission bits on POSIX (its owner and group where the process may set them),
// its attributes but read-only on Windows. With no original there is nothing to keep.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "base/file.h"
#include "support/test_files.h"
#include "support/win32_posix_compat.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

class KeepAttributesTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = stdfs::temp_directory_path() /
              ("keldrin-keep-" +
               std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        stdfs::remove_all(dir);
        stdfs::create_directories(dir);
        test::writeAll(dir / "original", "old");
        test::writeAll(dir / "replacement", "new");
    }
    void TearDown() override {
        std::error_code ec;
        stdfs::remove_all(dir, ec);
    }
    std::u16string path(const std::string& leaf) const { return (dir / leaf).u16string(); }

    stdfs::path dir;
};

TEST_F(KeepAttributesTest, MissingOriginalKeepsTheNewFileAsItIs) {
    auto before = stdfs::status(dir / "replacement").permissions();
    EXPECT_TRUE(fs::keepAttributes(path("absent"), path("replacement")));
    EXPECT_EQ(stdfs::status(dir / "replacement").permissions(), before);
}

TEST_F(KeepAttributesTest, MissingReplacementFails) {
    EXPECT_FALSE(fs::keepAttributes(path("original"), path("absent")));
}

#if !defined(_WIN32)

TEST_F(KeepAttributesTest, PermissionBitsCarryOver) {
    for (mode_t mode :
         {mode_t{0600}, mode_t{0640}, mode_t{0644}, mode_t{0660}, mode_t{0755}, mode_t{0200}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod((dir / "original").c_str(), mode), 0);
        ASSERT_EQ(::chmod((dir / "replacement").c_str(), 0666), 0);
        EXPECT_TRUE(fs::keepAttributes(path("original"), path("replacement")));
        struct stat st {};
        ASSERT_EQ(::stat((dir / "replacement").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
}

TEST_F(KeepAttributesTest, OwnerAndGroupCarryOverWherePermitted) {
    struct stat original {};
    ASSERT_EQ(::stat((dir / "original").c_str(), &original), 0);
    EXPECT_TRUE(fs::keepAttributes(path("original"), path("replacement")));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "replacement").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, original.st_uid);
    EXPECT_EQ(st.st_gid, original.st_gid);
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
    ASSERT_EQ(::chown((dir / "original").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((dir / "original").c_str(), 0640), 0);
    EXPECT_TRUE(fs::keepAttributes(path("original"), path("replacement")));
    ASSERT_EQ(::stat((dir / "replacement").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Through a link the file the user sees counts, not the link.
TEST_F(KeepAttributesTest, LinkedOriginalGivesItsTargetsMode) {
    ASSERT_EQ(::chmod((dir / "original").c_str(), 0600), 0);
    stdfs::create_symlink(dir / "original", dir / "link");
    EXPECT_TRUE(fs::keepAttributes(path("link"), path("replacement")));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "replacement").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

#else

TEST_F(KeepAttributesTest, AttributesCarryOverButReadOnly) {
    const std::wstring original = (dir / "original").wstring();
    const std::wstring replacement = (dir / "replacement").wstring();
    ASSERT_TRUE(SetFileAttributesW(original.c_str(), FILE_ATTRIBUTE_HIDDEN |
                                                         FILE_ATTRIBUTE_READONLY |
                                                         FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(fs::keepAttributes(path("original"), path("replacement")));
    DWORD got = GetFileAttributesW(replacement.c_str());
    EXPECT_NE(got & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_NE(got & FILE_ATTRIBUTE_ARCHIVE, 0u);
    EXPECT_EQ(got & FILE_ATTRIBUTE_READONLY, 0u);
    SetFileAttributesW(original.c_str(), FILE_ATTRIBUTE_NORMAL);
}

#endif

}  // namespace
}  // namespace keldrin
