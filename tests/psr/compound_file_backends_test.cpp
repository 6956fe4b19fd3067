// The structured-storage layer (ole32 on Windows) and our own compound-file reader read
// the same files the same way: every stream of every fixture gives the same bytes, and
// every missing or damaged element the same outcome, as the report container maps it
// to exceptions (root failure or read failure: IOException; missing element:
// NotFoundException). On POSIX the layer is the reader itself, so there the test checks
// the binding; on Windows it compares ole32 with the reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/file.h"
#include "psr/cfb_reader.h"
#include "psr/compound_file.h"
#include "psr/ole_psr_container.h"
#include "support/under_wine.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

enum class BackendOutcome { kBytes, kNotFound, kIOException };

struct Result {
    BackendOutcome outcome = BackendOutcome::kIOException;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Result&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Result& r) {
    const char* names[] = {"bytes", "NotFound", "IOException"};
    return os << names[static_cast<int>(r.outcome)] << " (" << r.bytes.size() << " bytes)";
}

std::vector<std::u16string> components(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find(u'/', start);
        parts.push_back(path.substr(start, slash == std::u16string::npos ? slash : slash - start));
        if (slash == std::u16string::npos) return parts;
        start = slash + 1;
    }
}

// A stream read to its end, 2048 bytes at a time, through `read` (false: the read failed).
template <typename ReadChunk>
Result readToEnd(ReadChunk read) {
    Result r;
    std::uint8_t buffer[2048];
    for (;;) {
        std::size_t n = 0;
        if (!read(buffer, sizeof buffer, n)) return r;  // an IOException
        if (n == 0) break;
        r.bytes.insert(r.bytes.end(), buffer, buffer + n);
    }
    r.outcome = BackendOutcome::kBytes;
    return r;
}

// Through the platform's structured-storage layer, 2048 bytes at a time.
Result viaLayer(const std::u16string& file, const std::u16string& path) {
    Result r;
    std::unique_ptr<cf::Storage> root;
    if (cf::openRootStorage(file, root) != cf::Status::kOk) return r;
    std::vector<std::u16string> parts = components(path);
    std::vector<std::unique_ptr<cf::Storage>> chain;
    cf::Storage* current = root.get();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        std::unique_ptr<cf::Storage> child;
        if (parts[i].empty() || current->openStorage(parts[i], child) != cf::Status::kOk) {
            r.outcome = BackendOutcome::kNotFound;
            return r;
        }
        current = child.get();
        chain.push_back(std::move(child));
    }
    std::unique_ptr<cf::Stream> stream;
    if (parts.back().empty() || current->openStream(parts.back(), stream) != cf::Status::kOk) {
        r.outcome = BackendOutcome::kNotFound;
        return r;
    }
    return readToEnd([&](std::uint8_t* buffer, std::size_t size, std::size_t& n) {
        std::uint32_t got = 0;
        const bool read =
            stream->read(buffer, static_cast<std::uint32_t>(size), got) == cf::Status::kOk;
        n = got;
        return read;
    });
}

std::shared_ptr<cfb::CfbReader> openReader(const std::u16string& file) {
    std::FILE* f = fs::openFile(file, "rb");
    if (f == nullptr) return nullptr;
    std::unique_ptr<cfb::FileSource> source = cfb::FileSource::adopt(f);
    if (!source) return nullptr;
    return cfb::CfbReader::open(std::move(source));
}

// Through our own reader directly.
Result viaReader(const std::u16string& file, const std::u16string& path) {
    Result r;
    std::shared_ptr<cfb::CfbReader> reader = openReader(file);
    if (!reader) return r;
    std::vector<std::u16string> parts = components(path);
    std::uint32_t current = cfb::CfbReader::kRootIndex;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::optional<std::uint32_t> child =
            parts[i].empty() ? std::nullopt : reader->findChild(current, parts[i]);
        cfb::EntryType wanted = last ? cfb::EntryType::kStream : cfb::EntryType::kStorage;
        if (!child || reader->entry(*child).type != wanted) {
            r.outcome = BackendOutcome::kNotFound;
            return r;
        }
        current = *child;
    }
    cfb::CfbReader::StreamCursor cursor(reader, current);
    return readToEnd([&](std::uint8_t* buffer, std::size_t size, std::size_t& n) {
        return cursor.read(buffer, size, n);
    });
}

// Every stream's path, found by walking the reader's directory (bounded by its size).
std::vector<std::u16string> streamPaths(const cfb::CfbReader& reader) {
    std::vector<std::u16string> paths;
    struct Pending {
        std::uint32_t index;
        std::u16string prefix;
    };
    std::vector<Pending> pending;
    const auto& root = reader.entry(cfb::CfbReader::kRootIndex);
    if (root.child != cfb::kNoEntry) pending.push_back({root.child, u""});
    std::size_t visits = 0;
    while (!pending.empty() && visits++ < reader.entryCount()) {
        Pending p = pending.back();
        pending.pop_back();
        if (p.index >= reader.entryCount()) continue;
        const cfb::DirectoryEntry& e = reader.entry(p.index);
        if (e.left != cfb::kNoEntry) pending.push_back({e.left, p.prefix});
        if (e.right != cfb::kNoEntry) pending.push_back({e.right, p.prefix});
        if (e.type == cfb::EntryType::kStream) paths.push_back(p.prefix + e.name);
        if (e.type == cfb::EntryType::kStorage && e.child != cfb::kNoEntry)
            pending.push_back({e.child, p.prefix + e.name + u"/"});
    }
    return paths;
}

std::string narrow(const std::u16string& text) {
    return fs::toNativeName(text);
}

std::vector<stdfs::path> fixtures() {
    std::vector<stdfs::path> files;
    stdfs::path dir = stdfs::path(KELDRIN_FIXTURES_DIR) / "psr";
    std::error_code ec;
    for (const auto& e : stdfs::directory_iterator(dir, ec)) files.push_back(e.path());
    stdfs::path example = stdfs::path(KELDRIN_SOURCE_DIR) / "examples" / "example.psr";
    if (stdfs::exists(example)) files.push_back(example);
    std::sort(files.begin(), files.end());
    return files;
}

TEST(CompoundFileBackends, EveryStreamOfEveryFixtureReadsTheSame) {
    std::vector<stdfs::path> files = fixtures();
    if (files.empty()) GTEST_SKIP() << "no compound-file fixtures";
    std::size_t compared = 0;
    for (const stdfs::path& file : files) {
        std::u16string name = file.u16string();
        std::shared_ptr<cfb::CfbReader> reader = openReader(name);
        if (!reader) continue;  // not a compound file
        for (const std::u16string& path : streamPaths(*reader)) {
            Result expected = viaReader(name, path);
            EXPECT_EQ(expected.outcome, BackendOutcome::kBytes) << file << " " << narrow(path);
            EXPECT_EQ(viaLayer(name, path), expected) << file << " " << narrow(path);
            ++compared;
        }
    }
    EXPECT_GT(compared, 10u);
}

// The container's listing goes through the layer (ole32 on Windows); it names every
// stream the reader's own directory walk finds, once, with the size the stream reads to.
TEST(CompoundFileBackends, EveryFixtureListsTheStreamsTheReaderHolds) {
    std::vector<stdfs::path> files = fixtures();
    if (files.empty()) GTEST_SKIP() << "no compound-file fixtures";
    std::size_t listed = 0;
    for (const stdfs::path& file : files) {
        std::u16string name = file.u16string();
        std::shared_ptr<cfb::CfbReader> reader = openReader(name);
        if (!reader) continue;
        std::map<std::u16string, std::uint64_t> expected;
        for (const std::u16string& path : streamPaths(*reader))
            expected[path] = viaReader(name, path).bytes.size();
        OlePsrContainer container;
        container.open(name);
        std::map<std::u16string, std::uint64_t> found;
        for (const PsrStreamInfo& stream : container.listStreams())
            EXPECT_TRUE(found.emplace(stream.path, stream.size).second)
                << file << " twice: " << narrow(stream.path);
        EXPECT_EQ(found, expected) << file;
        listed += found.size();
    }
    EXPECT_GT(listed, 10u);
}

TEST(CompoundFileBackends, MissingElementsAreNotFoundInBoth) {
    stdfs::path example = stdfs::path(KELDRIN_SOURCE_DIR) / "examples" / "example.psr";
    if (!stdfs::exists(example)) GTEST_SKIP() << "no example report";
    std::u16string name = example.u16string();
    for (const char16_t* path : {u"dwstg", u"dwstg/source_99", u"nothere/source", u"source/x",
                                 u"dwstg//dwlookup", u"/source", u"dwstg/", u"", u"SOURCE"}) {
        Result expected = viaReader(name, path);
        Result actual = viaLayer(name, path);
        EXPECT_EQ(actual, expected) << narrow(path);
        if (std::u16string_view(path) != u"SOURCE") {
            EXPECT_EQ(actual.outcome, BackendOutcome::kNotFound) << narrow(path);
        }
    }
}

TEST(CompoundFileBackends, DamagedCopiesEndTheSameWay) {
    stdfs::path example = stdfs::path(KELDRIN_SOURCE_DIR) / "examples" / "example.psr";
    if (!stdfs::exists(example)) GTEST_SKIP() << "no example report";
    std::vector<std::uint8_t> whole;
    {
        std::FILE* f = fs::openFile(example.u16string(), "rb");
        ASSERT_NE(f, nullptr);
        std::uint8_t buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            whole.insert(whole.end(), buffer, buffer + n);
        std::fclose(f);
    }
    ASSERT_GT(whole.size(), 2048u);
    stdfs::path cut = stdfs::temp_directory_path() / "keldrin-backends-cut.psr";
    struct Damage {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Damage> damages;
    damages.push_back({"header only", {whole.begin(), whole.begin() + 512}});
    damages.push_back({"half the header", {whole.begin(), whole.begin() + 256}});
    std::vector<std::uint8_t> badSectorShift = whole;
    badSectorShift[0x1E] = 0x20;
    damages.push_back({"sector shift 32", badSectorShift});
    std::vector<std::uint8_t> badSignature = whole;
    badSignature[7] = 0;
    damages.push_back({"second half of the signature", badSignature});

    for (const Damage& d : damages) {
        std::FILE* f = fs::openFile(cut.u16string(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(d.bytes.data(), 1, d.bytes.size(), f);
        std::fclose(f);
        for (const char16_t* path : {u"source", u"object", u"dwstg/dwlookup"}) {
            Result expected = viaReader(cut.u16string(), path);
            EXPECT_EQ(expected.outcome, BackendOutcome::kIOException)
                << d.what << " " << narrow(path);
            EXPECT_EQ(viaLayer(cut.u16string(), path), expected) << d.what << " " << narrow(path);
        }
    }
    std::error_code ignored;
    stdfs::remove(cut, ignored);
}

}  // namespace
}  // namespace keldrin
