// The wide-name file layer behaves the same on both backends: names outside any code
// page reach the file system intact, exclusive creation and the no-replace rename
// refuse an existing target, and the replacing rename takes its place.
#include "base/directory.h"
#include "base/file.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

class FileLayerTest : public testing::Test {
  protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = stdfs::temp_directory_path() / (std::string("keldrin-file-") + info->name());
        stdfs::remove_all(dir_);
        stdfs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        for (auto& entry : stdfs::directory_iterator(dir_, ignored))
            stdfs::permissions(entry.path(), stdfs::perms::owner_all, stdfs::perm_options::add,
                               ignored);
        stdfs::remove_all(dir_, ignored);
    }

    std::u16string name(std::u16string_view leaf) const {
        return dir_.u16string() + u"/" + std::u16string(leaf);
    }
    static void writeText(const std::u16string& path, const std::string& text) {
        std::FILE* f = fs::openFile(path, "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
    static std::string readText(const std::u16string& path) {
        std::FILE* f = fs::openFile(path, "rb");
        if (f == nullptr) return "<missing>";
        std::string text;
        char buffer[256];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
        return text;
    }

    stdfs::path dir_;
};

TEST_F(FileLayerTest, NamesOutsideEveryCodePageReachTheFileSystem) {
    // Cyrillic, CJK and a character outside the BMP in one name.
    std::u16string path = name(u"\u0416\u4E2D\U0001F600.psr");
    writeText(path, "abc");
    EXPECT_TRUE(fs::fileExists(path));
    EXPECT_EQ(readText(path), "abc");
    EXPECT_TRUE(stdfs::exists(stdfs::path(path)));
    EXPECT_TRUE(fs::removeFile(path));
    EXPECT_FALSE(fs::fileExists(path));
    EXPECT_FALSE(fs::removeFile(path));
}

TEST_F(FileLayerTest, CreateExclusiveRefusesAnExistingFile) {
    std::u16string path = name(u"new.tmp");
    std::FILE* f = fs::createExclusive(path);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite("xyz", 1, 3, f), 3u);
    ASSERT_TRUE(fs::seekTo(f, 1));
    char c = 0;
    ASSERT_EQ(std::fread(&c, 1, 1, f), 1u);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(fs::fileSize(f), 3);
    EXPECT_TRUE(fs::syncFile(f));
    ASSERT_EQ(std::fclose(f), 0);
    bool taken = false;
    EXPECT_EQ(fs::createExclusive(path, &taken), nullptr);
    EXPECT_TRUE(taken);
    EXPECT_EQ(readText(path), "xyz");

    // A failure for any other reason must not pass for a taken name, or a caller trying
    // a series of names would go on without end.
    EXPECT_EQ(fs::createExclusive(name(u"no-such-dir/new.tmp"), &taken), nullptr);
    EXPECT_FALSE(taken);
}

TEST_F(FileLayerTest, CreateUniqueFilePassesOverTakenNamesOnly) {
    writeText(name(u"t0.tmp"), "mine");
    writeText(name(u"t1.tmp"), "mine too");
    // Appended piece by piece: GCC 12 at -O3 takes u"t" + std::u16string&& for an
    // overlapping copy (-Wrestrict) that cannot happen.
    auto nameFor = [&](int n) {
        std::u16string file = u"t";
        file += utf8ToUtf16(std::to_string(n));
        file += u".tmp";
        return name(file);
    };
    EXPECT_EQ(fs::createUniqueFile(nameFor, 5), name(u"t2.tmp"));
    EXPECT_EQ(readText(name(u"t2.tmp")), "");
    EXPECT_EQ(readText(name(u"t0.tmp")), "mine");
    // Every name taken, or a failure that no other name mends: no name at all.
    EXPECT_EQ(fs::createUniqueFile(nameFor, 3), u"");
    EXPECT_EQ(fs::createUniqueFile([&](int) { return name(u"no-such-dir/x.tmp"); }, 1000), u"");
}

TEST_F(FileLayerTest, PositionedReadsLeaveTheStreamWhereItWas) {
    std::u16string path = name(u"positioned");
    writeText(path, "0123456789");
    std::FILE* f = fs::openFile(path, "rb+");
    ASSERT_NE(f, nullptr);
    char c = 0;
    ASSERT_EQ(std::fread(&c, 1, 1, f), 1u);
    char buffer[4] = {};
    EXPECT_TRUE(fs::readFileAt(f, buffer, 3, 6));
    EXPECT_EQ(std::string(buffer, 3), "678");
    EXPECT_FALSE(fs::readFileAt(f, buffer, 4, 8));  // only two bytes there
    ASSERT_TRUE(fs::seekTo(f, 1));
    ASSERT_EQ(std::fread(&c, 1, 1, f), 1u);
    EXPECT_EQ(c, '1');
    ASSERT_EQ(std::fflush(f), 0);
    EXPECT_TRUE(fs::truncateFile(f, 4));
    EXPECT_EQ(fs::fileSize(f), 4);
    EXPECT_FALSE(fs::readFileAt(f, buffer, 1, 4));
    EXPECT_TRUE(fs::readFileAt(f, buffer, 4, 0));
    EXPECT_EQ(std::string(buffer, 4), "0123");
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(readText(path), "0123");
}

// More pieces than one system call takes, empty ones among them, written past the end:
// the file holds them one after another, and the gap before them reads as zeros.
TEST_F(FileLayerTest, GatheredWritesPutEveryPieceInItsPlace) {
    std::u16string path = name(u"gathered");
    writeText(path, "head");
    std::vector<std::string> parts;
    std::string expected = std::string("head") + std::string(6, '\0');
    for (int i = 0; i < 3000; ++i) {
        parts.push_back(i % 7 == 3 ? std::string()
                                   : std::string(1 + i % 13, static_cast<char>('a' + i % 26)));
        expected += parts.back();
    }
    std::vector<fs::WritePiece> pieces;
    pieces.reserve(parts.size());
    for (const std::string& part : parts) pieces.push_back({part.data(), part.size()});
    std::FILE* f = fs::openFile(path, "rb+");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fs::writeFileAtGathered(f, pieces.data(), pieces.size(), 10));
    EXPECT_TRUE(fs::writeFileAtGathered(f, pieces.data(), 0, 0));
    ASSERT_EQ(std::fclose(f), 0);
    EXPECT_EQ(readText(path), expected);
}

// More pieces than one system call takes, of every size a data block's span has and
// none, land in order; a read that runs past the end fails.
TEST_F(FileLayerTest, ScatteredReadsFillEveryPieceInOrder) {
    std::string content;
    for (int i = 0; content.size() < 400000; ++i) content += std::to_string(i) + ",";
    const std::u16string path = name(u"scattered");
    writeText(path, content);
    const std::size_t offset = 17;
    std::string into(content.size() - offset, '\0');
    std::vector<fs::ReadPiece> pieces;
    for (std::size_t at = 0, i = 0; at < into.size(); ++i) {
        const std::size_t size =
            std::min<std::size_t>(i % 7 == 3 ? 0 : 1 + i % 300, into.size() - at);
        pieces.push_back({into.data() + at, size});
        at += size;
    }
    ASSERT_GT(pieces.size(), 2048U);
    std::FILE* f = fs::openFile(path, "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fs::readFileAtScattered(f, pieces.data(), pieces.size(), offset));
    EXPECT_TRUE(into == content.substr(offset));
    EXPECT_TRUE(fs::readFileAtScattered(f, pieces.data(), 0, 0));
    EXPECT_FALSE(fs::readFileAtScattered(f, pieces.data(), pieces.size(), offset + 1));
    ASSERT_EQ(std::fclose(f), 0);
}

TEST_F(FileLayerTest, RenameNoReplaceKeepsAnExistingTarget) {
    std::u16string from = name(u"from");
    std::u16string to = name(u"to");
    writeText(from, "new");
    writeText(to, "old");
    EXPECT_FALSE(fs::renameNoReplace(from, to));
    EXPECT_EQ(readText(to), "old");
    EXPECT_EQ(readText(from), "new");
    ASSERT_TRUE(fs::removeFile(to));
    EXPECT_TRUE(fs::renameNoReplace(from, to));
    EXPECT_EQ(readText(to), "new");
    EXPECT_FALSE(fs::fileExists(from));
}

TEST_F(FileLayerTest, ReplaceFileTakesTheTargetsPlace) {
    std::u16string from = name(u"__quennet.tmp");
    std::u16string to = name(u"target.pbl");
    writeText(from, "complete");
    writeText(to, "previous");
    EXPECT_TRUE(fs::replaceFile(from, to));
    EXPECT_EQ(readText(to), "complete");
    EXPECT_FALSE(fs::fileExists(from));
    EXPECT_FALSE(fs::replaceFile(from, to));
    EXPECT_EQ(readText(to), "complete");
}

TEST_F(FileLayerTest, WriteProtectionAndIdentity) {
    std::u16string a = name(u"a");
    std::u16string b = name(u"b");
    writeText(a, "1");
    writeText(b, "1");
    EXPECT_FALSE(fs::isWriteProtected(a));
    EXPECT_FALSE(fs::isWriteProtected(name(u"missing")));
    stdfs::permissions(
        stdfs::path(a),
        stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
        stdfs::perm_options::remove);
    EXPECT_TRUE(fs::isWriteProtected(a));

    EXPECT_TRUE(fs::sameFile(a, a));
    EXPECT_TRUE(fs::sameFile(a, name(u"./a")));
    EXPECT_FALSE(fs::sameFile(a, b));
    EXPECT_FALSE(fs::sameFile(a, name(u"missing")));
}

TEST_F(FileLayerTest, ModificationTimeAndDirectories) {
    std::u16string path = name(u"timed");
    writeText(path, "t");
    // The file clock's epoch differs between libraries; the step between two times
    // shows the seconds were taken as such.
    ASSERT_TRUE(fs::setModificationTime(path, 1000000000));
    auto first = stdfs::last_write_time(stdfs::path(path));
    ASSERT_TRUE(fs::setModificationTime(path, 1000000000 + 86400 + 7));
    auto second = stdfs::last_write_time(stdfs::path(path));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(second - first).count(), 86407);

    std::u16string sub = name(u"sub\u00E9");
    EXPECT_TRUE(fs::makeDirectory(sub));
    EXPECT_TRUE(fs::makeDirectory(sub));    // already there
    EXPECT_FALSE(fs::makeDirectory(path));  // a file of that name is in the way
    // Missing parents are made as mkdir -p makes them; a file in the way stops it.
    EXPECT_FALSE(fs::makeDirectory(sub + u"/a/b/c"));
    EXPECT_TRUE(fs::makeDirectories(sub + u"/a/b/c/"));
    EXPECT_TRUE(fs::isDirectory(sub + u"/a/b/c"));
    EXPECT_TRUE(fs::makeDirectories(sub + u"/a/b"));
    EXPECT_FALSE(fs::makeDirectories(path + u"/d/e"));
    EXPECT_FALSE(fs::isDirectory(path + u"/d"));
    std::u16string copy = sub + u"/copy";
    EXPECT_TRUE(fs::copyFile(path, copy));
    EXPECT_EQ(readText(copy), "t");
    EXPECT_FALSE(fs::copyFile(name(u"missing"), copy));
}

}  // namespace
}  // namespace keldrin
