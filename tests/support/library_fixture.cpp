#include "support/library_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "base/file.h"
#include "pbl/pbl_layout.h"
#include "support/entry_list.h"
#include "support/win32_posix_compat.h"

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

std::optional<std::vector<StoredEntry>> readAllEntries(pbl::PblLibraryInterface& library) {
    const EntryList list = listEntries(library);
    if (list.rc != 0) return std::nullopt;
    std::vector<StoredEntry> entries;
    for (const pbl::PblEntryInfo& info : list.entries) {
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

std::vector<ManifestRow> corpusHostedLibraries(const std::filesystem::path& corpus) {
    std::vector<ManifestRow> hosted;
    for (ManifestRow& row : manifestRows(corpus))
        if (row.kind.rfind("exe-hosted-", 0) == 0) hosted.push_back(std::move(row));
    return hosted;
}

namespace {

// Moves every stored link of a plain library image by `shift` bytes. False when a link
// leads outside the image or a walk does not end.
class LinkMover {
  public:
    LinkMover(Bytes& image, std::int32_t shift) : image_(image), shift_(shift) {}

    bool run() {
        if (image_.size() < 4096 || std::memcmp(image_.data(), "HDR*", 4) != 0) return false;
        const bool unicode = image_[4] == 'P' && image_[5] == 0 && image_[6] == 'o';
        const std::int64_t area = unicode ? 1024 : 512;
        ehs_ = unicode ? 28 : 24;
        const std::size_t libraryData = unicode ? 558 : 284;
        // The bitmap chain: the first block stays where it is (behind the header); its
        // next links move.
        std::int64_t bitmap = area;
        for (int guard = 0; bitmap != 0; ++guard) {
            if (guard > blocks() || !inside(bitmap, 512)) return false;
            std::int64_t next = load(bitmap + 4);
            move(bitmap + 4);
            bitmap = next;
        }
        if (!chain(static_cast<std::int64_t>(libraryData))) return false;
        std::vector<std::int64_t> nodes{area + 512};
        int visited = 0;
        while (!nodes.empty()) {
            std::int64_t node = nodes.back();
            nodes.pop_back();
            if (++visited > blocks() || !inside(node, 3072)) return false;
            for (int field : {4, 12}) {
                std::int64_t child = load(node + field);
                if (child != 0) nodes.push_back(child);
            }
            for (int field : {4, 8, 12}) move(node + field);
            const int count =
                static_cast<std::int16_t>(image_[node + 20] | (image_[node + 21] << 8));
            std::int64_t record = node + 32;
            for (int i = 0; i < count; ++i) {
                if (!inside(record, ehs_)) return false;
                if (!chain(record + ehs_ - 16)) return false;
                record += ehs_ + (image_[record + ehs_ - 2] | (image_[record + ehs_ - 1] << 8));
            }
        }
        return true;
    }

  private:
    std::int64_t blocks() const { return static_cast<std::int64_t>(image_.size()) / 512; }
    bool inside(std::int64_t offset, std::int64_t length) const {
        return offset >= 0 && offset + length <= static_cast<std::int64_t>(image_.size());
    }
    std::int64_t load(std::int64_t at) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(image_[at]) |
                                         (static_cast<std::uint32_t>(image_[at + 1]) << 8) |
                                         (static_cast<std::uint32_t>(image_[at + 2]) << 16) |
                                         (static_cast<std::uint32_t>(image_[at + 3]) << 24));
    }
    void move(std::int64_t at) {
        std::int64_t link = load(at);
        if (link == 0) return;
        auto moved = static_cast<std::uint32_t>(link + shift_);
        for (int k = 0; k < 4; ++k) image_[at + k] = static_cast<std::uint8_t>(moved >> (8 * k));
    }
    // The chain whose first link is stored at `field`: every link in it moves.
    bool chain(std::int64_t field) {
        std::int64_t link = load(field);
        move(field);
        for (int guard = 0; link != 0; ++guard) {
            if (guard > blocks() || !inside(link, 512)) return false;
            std::int64_t next = load(link + 4);
            move(link + 4);
            link = next;
        }
        return true;
    }

    Bytes& image_;
    std::int32_t shift_;
    int ehs_ = 24;
};

}  // namespace

bool makeEntryNameEmpty(const std::u16string& path, const std::string& name) {
    pbl::PblEntryInfo info{};
    bool unicode = false;
    {
        pbl::PblManagerHandle manager(pbl::createPblManager());
        if (!manager) return false;
        pbl::PblLibraryHandle library(manager->openLibrary(path, 0));
        if (!library || library->findEntry(name.c_str(), info, 0) != 0) return false;
        unicode = library->isUnicode() != 0;
    }
    const pbl::layout::Variant& v = pbl::layout::variantFor(unicode);
    Bytes image = readWholeFile(path);
    const std::size_t node = static_cast<std::size_t>(info.nodeOffset);
    const std::size_t record = static_cast<std::size_t>(info.entryOffset);
    if (node + pbl::layout::kNodeSize > image.size() || record < node) return false;
    std::uint8_t* n = image.data() + node;
    pbl::layout::NodeHeader header = pbl::layout::NodeHeader::decode(n);
    const std::size_t ehs = static_cast<std::size_t>(v.entryHeaderSize);
    const std::uint16_t nameLength = loadU16(image.data() + record + ehs - 2);
    const std::size_t usedEnd =
        static_cast<std::size_t>(pbl::layout::kNodeSize - header.freeBytes) + node;
    if (record + ehs + nameLength != usedEnd) return false;  // not the last record
    std::memset(image.data() + record + ehs, 0, nameLength);
    storeU16(image.data() + record + ehs - 2, static_cast<std::uint16_t>(v.charSize));
    header.freeBytes = static_cast<std::int16_t>(header.freeBytes + nameLength - v.charSize);
    // The smallest and largest names of the node, the empty one now among them.
    std::size_t p = pbl::layout::kNodeHeaderSize;
    const std::uint8_t* smallest = nullptr;
    const std::uint8_t* largest = nullptr;
    std::size_t smallestBytes = 0;
    std::size_t largestBytes = 0;
    for (int i = 0; i < header.count; ++i) {
        const std::uint8_t* nameAt = n + p + ehs;
        const std::size_t bytes = loadU16(nameAt - 2);
        const std::size_t chars = bytes - static_cast<std::size_t>(v.charSize);
        if (smallest == nullptr ||
            pbl::layout::compareNames(nameAt, chars, smallest, smallestBytes, v.charSize) < 0) {
            smallest = nameAt;
            smallestBytes = chars;
            header.firstPos = static_cast<std::uint16_t>(p + ehs);
        }
        if (largest == nullptr ||
            pbl::layout::compareNames(nameAt, chars, largest, largestBytes, v.charSize) > 0) {
            largest = nameAt;
            largestBytes = chars;
            header.lastPos = static_cast<std::uint16_t>(p + ehs);
        }
        p += ehs + bytes;
    }
    header.encode(n);
    writeWholeFile(path, image);
    return true;
}

Bytes hostLibrary(const Bytes& library, int prefixBlocks) {
    const std::int32_t shift = prefixBlocks * 512;
    Bytes moved = library;
    if (library.size() % 512 != 0 || !LinkMover(moved, shift).run()) return {};
    Bytes host(static_cast<std::size_t>(shift), 0);
    const char stub[] = "MZ host file: a program's own bytes come first";
    if (!host.empty()) std::memcpy(host.data(), stub, std::min(host.size(), sizeof stub));
    host.insert(host.end(), moved.begin(), moved.end());
    Bytes trailer(512, 0);
    std::memcpy(trailer.data(), "TRL*", 4);
    for (int k = 0; k < 4; ++k)
        trailer[4 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(shift >> (8 * k));
    host.insert(host.end(), trailer.begin(), trailer.end());
    return host;
}

}  // namespace keldrin::test
