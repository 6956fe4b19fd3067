// The ole32 backend of the structured-storage layer, on compound files that ole32 itself
// writes: chunked reads, storage-by-storage walks, and the status of each failure.
#include "psr/compound_file.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <objbase.h>
#include <windows.h>
#endif

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace keldrin {
namespace {

#if defined(_WIN32)

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) & 0xFF);
    return bytes;
}

// Writes a compound file with ole32: streams by path ("a/b/c" creates storages a and b).
void writeCompoundFile(
    const std::wstring& name,
    const std::vector<std::pair<std::wstring, std::vector<std::uint8_t>>>& streams,
    const std::vector<std::wstring>& emptyStorages = {}) {
    IStorage* root = nullptr;
    ASSERT_EQ(StgCreateDocfile(name.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                               &root),
              S_OK);
    auto descend = [&](const std::wstring& path, std::wstring& leaf) {
        std::vector<IStorage*> chain{root};
        std::size_t start = 0;
        std::size_t slash;
        while ((slash = path.find(L'/', start)) != std::wstring::npos) {
            std::wstring part = path.substr(start, slash - start);
            IStorage* child = nullptr;
            HRESULT hr = chain.back()->OpenStorage(
                part.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child);
            if (hr != S_OK)
                hr = chain.back()->CreateStorage(
                    part.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &child);
            EXPECT_EQ(hr, S_OK);
            chain.push_back(child);
            start = slash + 1;
        }
        leaf = path.substr(start);
        return chain;
    };
    auto release = [&](std::vector<IStorage*>& chain) {
        for (std::size_t i = chain.size(); i-- > 1;) {
            chain[i]->Commit(STGC_DEFAULT);
            chain[i]->Release();
        }
    };
    for (const auto& [path, bytes] : streams) {
        std::wstring leaf;
        auto chain = descend(path, leaf);
        IStream* stream = nullptr;
        ASSERT_EQ(chain.back()->CreateStream(leaf.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                             0, &stream),
                  S_OK);
        ULONG written = 0;
        if (!bytes.empty()) {
            ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written),
                      S_OK);
        }
        stream->Release();
        release(chain);
    }
    for (const auto& path : emptyStorages) {
        std::wstring leaf;
        auto chain = descend(path + L"/x", leaf);
        release(chain);
    }
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    root->Release();
}

// Reads a stream the way the report container does: one storage per "/", 2048 bytes at a time.
cf::Status readPath(const std::u16string& file, const std::u16string& path,
                    std::vector<std::uint8_t>& data, std::vector<std::uint32_t>* chunks = nullptr) {
    std::unique_ptr<cf::Storage> root;
    cf::Status s = cf::openRootStorage(file, root);
    if (s != cf::Status::kOk) return s;
    std::vector<std::unique_ptr<cf::Storage>> chain;
    cf::Storage* current = root.get();
    std::size_t start = 0;
    std::size_t slash;
    while ((slash = path.find(u'/', start)) != std::u16string::npos) {
        std::unique_ptr<cf::Storage> child;
        s = current->openStorage(path.substr(start, slash - start), child);
        if (s != cf::Status::kOk) return s;
        current = child.get();
        chain.push_back(std::move(child));
        start = slash + 1;
    }
    std::unique_ptr<cf::Stream> stream;
    s = current->openStream(path.substr(start), stream);
    if (s != cf::Status::kOk) return s;
    data.clear();
    std::uint8_t buffer[2048];
    for (;;) {
        std::uint32_t n = 0;
        s = stream->read(buffer, sizeof buffer, n);
        if (s != cf::Status::kOk) return s;
        if (chunks != nullptr) chunks->push_back(n);
        if (n == 0) break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return cf::Status::kOk;
}

class Ole32CompoundFile : public testing::Test {
  protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("keldrin-ole32-") + info->name() + ".psr");
        std::filesystem::remove(path_);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::wstring wname() const { return path_.wstring(); }
    std::u16string name() const { return path_.u16string(); }

    std::filesystem::path path_;
};

TEST_F(Ole32CompoundFile, StreamsAreReadWholeIn2048ByteChunks) {
    writeCompoundFile(wname(),
                      {{L"empty", {}}, {L"exact", pattern(2048, 1)}, {L"long", pattern(5000, 2)}});
    struct Row {
        const char16_t* path;
        std::size_t size;
        unsigned seed;
        std::vector<std::uint32_t> chunks;
    };
    for (const Row& row : {Row{u"empty", 0, 0, {0}}, Row{u"exact", 2048, 1, {2048, 0}},
                           Row{u"long", 5000, 2, {2048, 2048, 904, 0}}}) {
        std::vector<std::uint8_t> data{0xEE};
        std::vector<std::uint32_t> chunks;
        ASSERT_EQ(readPath(name(), row.path, data, &chunks), cf::Status::kOk);
        EXPECT_EQ(data, pattern(row.size, row.seed));
        EXPECT_EQ(chunks, row.chunks);
    }
}

TEST_F(Ole32CompoundFile, PathsDescendOneStoragePerSlash) {
    writeCompoundFile(wname(), {{L"source", pattern(10, 3)},
                                {L"dwstg/object_2", pattern(300, 4)},
                                {L"a/b/c", pattern(7, 5)}});
    std::vector<std::uint8_t> data;
    ASSERT_EQ(readPath(name(), u"dwstg/object_2", data), cf::Status::kOk);
    EXPECT_EQ(data, pattern(300, 4));
    ASSERT_EQ(readPath(name(), u"a/b/c", data), cf::Status::kOk);
    EXPECT_EQ(data, pattern(7, 5));
    // The same stream twice gives the same bytes; nothing stays open in between.
    ASSERT_EQ(readPath(name(), u"source", data), cf::Status::kOk);
    ASSERT_EQ(readPath(name(), u"source", data), cf::Status::kOk);
    EXPECT_EQ(data, pattern(10, 3));
    std::filesystem::remove(path_);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

// What EnumElements gives, one storage at a time: streams with their sizes, storages
// (an empty one too) without.
TEST_F(Ole32CompoundFile, EachStorageListsItsElements) {
    writeCompoundFile(wname(),
                      {{L"source", pattern(10, 3)},
                       {L"dwstg/object_2", pattern(300, 4)},
                       {L"a/b/c", pattern(7, 5)}},
                      {L"empty"});
    using Listed = std::map<std::u16string, std::pair<bool, std::uint64_t>>;
    const auto list = [](cf::Storage& storage) {
        std::vector<cf::Element> elements;
        EXPECT_EQ(storage.list(elements), cf::Status::kOk);
        Listed listed;
        for (const cf::Element& e : elements) listed[e.name] = {e.storage, e.size};
        return listed;
    };
    std::unique_ptr<cf::Storage> root;
    ASSERT_EQ(cf::openRootStorage(name(), root), cf::Status::kOk);
    EXPECT_EQ(list(*root), (Listed{{u"source", {false, 10}},
                                   {u"dwstg", {true, 0}},
                                   {u"a", {true, 0}},
                                   {u"empty", {true, 0}}}));
    std::unique_ptr<cf::Storage> a, b, empty;
    ASSERT_EQ(root->openStorage(u"a", a), cf::Status::kOk);
    EXPECT_EQ(list(*a), (Listed{{u"b", {true, 0}}}));
    ASSERT_EQ(a->openStorage(u"b", b), cf::Status::kOk);
    EXPECT_EQ(list(*b), (Listed{{u"c", {false, 7}}}));
    ASSERT_EQ(root->openStorage(u"empty", empty), cf::Status::kOk);
    EXPECT_TRUE(list(*empty).empty());
}

TEST_F(Ole32CompoundFile, MissingElementsAreNotFound) {
    writeCompoundFile(wname(), {{L"source", pattern(10, 3)}, {L"dwstg/source_1", pattern(5, 6)}});
    std::vector<std::uint8_t> untouched{1, 2, 3};
    for (const char16_t* path : {u"dwstg", u"dwstg/source_9", u"nothere/source_1", u"source/x",
                                 u"dwstg//source_1", u"/source", u"dwstg/", u""}) {
        std::vector<std::uint8_t> data = untouched;
        EXPECT_EQ(readPath(name(), path, data), cf::Status::kNotFound)
            << std::string(path, path + std::char_traits<char16_t>::length(path));
        EXPECT_EQ(data, untouched);
    }
}

TEST_F(Ole32CompoundFile, AFileOle32CannotOpenFails) {
    // Starts like a compound file, but the header is cut off.
    const unsigned char start[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0, 0, 0};
    std::FILE* f = _wfopen(wname().c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(start, 1, sizeof start, f);
    std::fclose(f);
    std::unique_ptr<cf::Storage> root;
    EXPECT_EQ(cf::openRootStorage(name(), root), cf::Status::kFailed);
    EXPECT_EQ(root, nullptr);
}

TEST_F(Ole32CompoundFile, AFileOpenForWritingElsewhereFails) {
    writeCompoundFile(wname(), {{L"source", pattern(10, 3)}});
    IStorage* writer = nullptr;
    ASSERT_EQ(StgOpenStorage(wname().c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                             nullptr, 0, &writer),
              S_OK);
    std::unique_ptr<cf::Storage> root;
    EXPECT_NE(cf::openRootStorage(name(), root), cf::Status::kOk);
    writer->Release();
    EXPECT_EQ(cf::openRootStorage(name(), root), cf::Status::kOk);
}

TEST_F(Ole32CompoundFile, AMissingFileIsNotOpened) {
    std::unique_ptr<cf::Storage> root;
    EXPECT_NE(cf::openRootStorage(name(), root), cf::Status::kOk);
    EXPECT_EQ(root, nullptr);
}

#else

TEST(Ole32CompoundFile, RunsOnWindowsOnly) {
    GTEST_SKIP() << "ole32 is a Windows library";
}

#endif

}  // namespace
}  // namespace keldrin
