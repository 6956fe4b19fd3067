#include "support/library_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "base/file.h"

namespace keldrin::test {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "keldrin-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a scratch directory from " << pattern;
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;  // a directory left behind in /tmp harms no later test
    std::filesystem::remove_all(path_, ignored);
}

std::u16string ScratchDir::file(const std::string& name) const {
    return widePath(path_ / std::filesystem::u8path(name));
}

std::u16string widePath(const std::filesystem::path& path) {
#if defined(_WIN32)
    return path.u16string();  // Windows paths are UTF-16 already
#else
    return fs::fromNativeName(path.native());
#endif
}

Bytes readWholeFile(const std::u16string& path) {
    Bytes bytes;
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    std::fclose(file);
    return bytes;
}

void writeWholeFile(const std::u16string& path, const Bytes& bytes) {
    std::FILE* file = fs::openFile(path, "wb");
    ASSERT_NE(file, nullptr);
    if (!bytes.empty()) {
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    std::fclose(file);
}

void buildLibrary(const std::u16string& path, const LibrarySpec& spec) {
    pbl::PblManagerHandle manager(pbl::createPblManager());
    ASSERT_TRUE(manager);
    ASSERT_EQ(manager->createLibrary(path, spec.version), 0);
    pbl::PblLibraryHandle library(manager->openLibrary(path, 1));
    ASSERT_TRUE(library);
    for (const EntrySpec& entry : spec.entries) {
        pbl::PblEntryInfo info{};
        ASSERT_EQ(library->findEntry(entry.name.c_str(), info, 1), 0) << entry.name;
        ASSERT_EQ(library->writeEntryData(info, entry.data.data(),
                                          static_cast<int>(entry.data.size()) - entry.commentBytes,
                                          static_cast<short>(entry.commentBytes)),
                  0)
            << entry.name;
        if (entry.time != 0) {
            info.time = entry.time;
            ASSERT_EQ(library->writeEntryTime(info), 0) << entry.name;
        }
    }
    if (!spec.comment.empty()) {
        Bytes text = spec.comment;
        text.resize(text.size() + 2, 0);
        ASSERT_EQ(library->setComment(text.data()), 0);
    }
    if (!spec.libraryData.empty()) {
        ASSERT_EQ(library->writeLibraryData(spec.libraryData.data(),
                                            static_cast<int>(spec.libraryData.size())),
                  0);
    }
    library.reset();
}

Bytes utf16Bytes(std::u16string_view text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

Bytes asciiBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

namespace {

class CollectAll : public pbl::PblEntryVisitor {
  public:
    std::vector<pbl::PblEntryInfo> infos;
    int visit(pbl::PblEntryInfo& info) override {
        infos.push_back(info);
        return 1;
    }
};

}  // namespace

std::optional<std::vector<StoredEntry>> readAllEntries(pbl::PblLibraryInterface& library) {
    CollectAll collector;
    if (library.forEachEntry(collector) != 0) return std::nullopt;
    std::vector<StoredEntry> entries;
    for (const pbl::PblEntryInfo& info : collector.infos) {
        StoredEntry entry;
        entry.name = info.name;
        if (info.dataSize < 0) return std::nullopt;
        entry.data.resize(static_cast<std::size_t>(info.dataSize) + 2);
        if (library.readEntryData(info, entry.data.data()) != 0) return std::nullopt;
        entry.data.resize(static_cast<std::size_t>(info.dataSize));
        entry.commentSize = info.commentSize;
        entry.time = info.time;
        entry.firstBlock = info.firstBlock;
        entry.entryOffset = info.entryOffset;
        entry.recordSize = info.recordSize;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<ManifestRow> manifestRows(const std::filesystem::path& corpus) {
    std::vector<ManifestRow> rows;
    std::ifstream in(corpus / "MANIFEST.tsv", std::ios::binary);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (fields.size() < 9) continue;
        rows.push_back({fields[0], fields[6], fields[8]});
    }
    return rows;
}

std::vector<ManifestRow> corpusLibraries(const std::filesystem::path& corpus) {
    std::vector<ManifestRow> libraries;
    for (ManifestRow& row : manifestRows(corpus))
        if (row.kind.rfind("pbl-", 0) == 0) libraries.push_back(std::move(row));
    return libraries;
}

}  // namespace keldrin::test
