// Compound File Binary reader. Layout of the structures it reads (little-endian):
//
// Header, at offset 0 (512 bytes used; a 4096-byte-sector file pads it to 4096):
//   0   8   signature D0 CF 11 E0 A1 B1 1A E1
//   26  2   major version: 3 (512-byte sectors) or 4 (4096-byte sectors)
//   28  2   byte order mark FE FF
//   30  2   sector shift: 9 for version 3, 12 for version 4
//   32  2   mini sector shift: 6 (64-byte mini sectors)
//   44  4   number of FAT sectors
//   48  4   first directory sector
//   56  4   mini stream cutoff: streams shorter than this live in the mini stream
//   60  4   first mini FAT sector
//   68  4   first DIFAT sector (chain of further FAT sector numbers)
//   72  4   number of DIFAT sectors
//   76  436 the first 109 FAT sector numbers
//
// Sector s lies at file offset (s + 1) * sectorSize. The FAT holds, per sector, the next
// sector of its chain; special values are kEndOfChain and kFreeSector (and the marks for
// FAT and DIFAT sectors, which no chain may reach). A DIFAT sector holds sectorSize/4 - 1
// FAT sector numbers and, in its last slot, the next DIFAT sector.
//
// The directory is a chain of sectors of 128-byte entries:
//   0   64  name, UTF-16LE, zero-terminated
//   64  2   name length in bytes, terminator included
//   66  1   type: 0 unused, 1 storage, 2 stream, 5 root
//   68  4   left sibling     72  4  right sibling     76  4  child (first of a storage's tree)
//   116 4   first sector     120 8  size in bytes (version 3: only the low 32 bits count)
// Entry 0 is the root; its chain is the mini stream, cut into 64-byte mini sectors that
// the mini FAT chains like the FAT chains sectors. The elements of one storage form a
// binary search tree through the sibling links, ordered by compareNames.
#include "psr/cfb_reader.h"

#include <algorithm>

#include "base/file.h"

namespace keldrin::cfb {
namespace {

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kMajorVersionOffset = 26;
constexpr std::size_t kByteOrderOffset = 28;
constexpr std::size_t kSectorShiftOffset = 30;
constexpr std::size_t kMiniSectorShiftOffset = 32;
constexpr std::size_t kFatSectorCountOffset = 44;
constexpr std::size_t kFirstDirectorySectorOffset = 48;
constexpr std::size_t kMiniStreamCutoffOffset = 56;
constexpr std::size_t kFirstMiniFatSectorOffset = 60;
constexpr std::size_t kFirstDifatSectorOffset = 68;
constexpr std::size_t kDifatSectorCountOffset = 72;
constexpr std::size_t kHeaderDifatOffset = 76;
constexpr std::size_t kHeaderDifatSlots = 109;
static_assert(kHeaderDifatOffset + kHeaderDifatSlots * 4 == kHeaderSize);

constexpr std::uint16_t kByteOrderMark = 0xFFFE;
constexpr std::uint16_t kMiniSectorShift = 6;
constexpr std::uint32_t kMiniSectorSize = 1u << kMiniSectorShift;

constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;

constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kEntryNameBytes = 64;
constexpr std::size_t kEntryNameLengthOffset = 64;
constexpr std::size_t kEntryTypeOffset = 66;
constexpr std::size_t kEntryLeftOffset = 68;
constexpr std::size_t kEntryRightOffset = 72;
constexpr std::size_t kEntryChildOffset = 76;
constexpr std::size_t kEntryStartSectorOffset = 116;
constexpr std::size_t kEntrySizeOffset = 120;

char16_t upperCase(char16_t c) {
    if (c < 0x61) return c;
    if (c <= 0x7A) return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c == 0xB5 ? char16_t{0x39C} : c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    // Latin Extended-A pairs capital/small letters on even/odd code points, shifted by
    // one in the two runs that start on an odd code point.
    if (c >= 0x100 && c <= 0x137) return static_cast<char16_t>(c & ~1u);
    if (c >= 0x139 && c <= 0x148) return (c & 1u) ? c : static_cast<char16_t>(c - 1);
    if (c >= 0x14A && c <= 0x177) return static_cast<char16_t>(c & ~1u);
    if (c >= 0x179 && c <= 0x17E) return (c & 1u) ? c : static_cast<char16_t>(c - 1);
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
    return c;
}

}  // namespace

int compareNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = upperCase(a[i]);
        char16_t y = upperCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

bool MemorySource::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), count, out);
    return true;
}

std::unique_ptr<FileSource> FileSource::adopt(std::FILE* file) {
    std::int64_t size = fs::fileSize(file);
    if (size < 0) {
        std::fclose(file);
        return nullptr;
    }
    return std::unique_ptr<FileSource>(new FileSource(file, static_cast<std::uint64_t>(size)));
}

FileSource::~FileSource() {
    std::fclose(file_);
}

bool FileSource::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    if (!fs::seekTo(file_, static_cast<std::int64_t>(offset))) return false;
    return std::fread(out, 1, count, file_) == count;
}

std::shared_ptr<CfbReader> CfbReader::open(std::unique_ptr<ByteSource> source) {
    if (!source) return nullptr;
    std::shared_ptr<CfbReader> reader(new CfbReader(std::move(source)));
    if (!reader->load()) return nullptr;
    return reader;
}

bool CfbReader::load() {
    Bytes header;
    if (!readHeader(header)) return false;
    if (!loadFat(header)) return false;
    if (!loadDirectory(loadU32(header.data() + kFirstDirectorySectorOffset))) return false;
    if (!loadMiniStream(loadU32(header.data() + kFirstMiniFatSectorOffset))) return false;
    return checkTrees();
}

bool CfbReader::readHeader(Bytes& header) {
    header.resize(kHeaderSize);
    if (!source_->readAt(0, header.data(), kHeaderSize)) return false;
    if (!std::equal(std::begin(kSignature), std::end(kSignature), header.begin())) return false;
    if (loadU16(header.data() + kByteOrderOffset) != kByteOrderMark) return false;
    majorVersion_ = loadU16(header.data() + kMajorVersionOffset);
    std::uint16_t sectorShift = loadU16(header.data() + kSectorShiftOffset);
    if (!(majorVersion_ == 3 && sectorShift == 9) && !(majorVersion_ == 4 && sectorShift == 12))
        return false;
    if (loadU16(header.data() + kMiniSectorShiftOffset) != kMiniSectorShift) return false;
    sectorSize_ = 1u << sectorShift;
    miniStreamCutoff_ = loadU32(header.data() + kMiniStreamCutoffOffset);
    // The header occupies the space of sector -1; the last sector may be cut short.
    std::uint64_t fileSize = source_->size();
    sectorCount_ =
        fileSize <= sectorSize_ ? 0 : (fileSize - sectorSize_ + sectorSize_ - 1) / sectorSize_;
    return true;
}

std::uint64_t CfbReader::sectorLimit() const {
    return std::min<std::uint64_t>({sectorCount_, fat_.size(), kMaxRegularSector + 1ull});
}

std::uint64_t CfbReader::miniSectorLimit() const {
    std::uint64_t inStream = (miniStreamSize_ + kMiniSectorSize - 1) / kMiniSectorSize;
    return std::min<std::uint64_t>(inStream, miniFat_.size());
}

bool CfbReader::readSector(std::uint32_t sector, Bytes& out) const {
    if (sector >= sectorCount_) return false;
    out.resize(sectorSize_);
    return source_->readAt((static_cast<std::uint64_t>(sector) + 1) * sectorSize_, out.data(),
                           sectorSize_);
}

bool CfbReader::loadFat(const Bytes& header) {
    std::uint32_t fatSectorCount = loadU32(header.data() + kFatSectorCountOffset);
    // Every FAT sector is a sector of the file, so a count beyond that is damage and
    // must not size an allocation.
    if (fatSectorCount > sectorCount_) return false;
    std::vector<std::uint32_t> fatSectors;
    fatSectors.reserve(fatSectorCount);
    for (std::size_t i = 0; i < kHeaderDifatSlots && fatSectors.size() < fatSectorCount; ++i)
        fatSectors.push_back(loadU32(header.data() + kHeaderDifatOffset + 4 * i));

    std::uint32_t difatSector = loadU32(header.data() + kFirstDifatSectorOffset);
    std::uint32_t difatSectorsLeft = loadU32(header.data() + kDifatSectorCountOffset);
    // Sector numbers are 32-bit, so no more marks than that are ever needed (and a
    // 32-bit size_t holds them all).
    std::vector<bool> seen(
        static_cast<std::size_t>(std::min<std::uint64_t>(sectorCount_, kMaxRegularSector + 1ull)),
        false);
    const std::size_t slotsPerDifatSector = sectorSize_ / 4 - 1;
    Bytes block;
    while (fatSectors.size() < fatSectorCount) {
        if (difatSectorsLeft == 0 || difatSector >= seen.size() || seen[difatSector]) return false;
        seen[difatSector] = true;
        --difatSectorsLeft;
        if (!readSector(difatSector, block)) return false;
        for (std::size_t i = 0; i < slotsPerDifatSector && fatSectors.size() < fatSectorCount; ++i)
            fatSectors.push_back(loadU32(block.data() + 4 * i));
        difatSector = loadU32(block.data() + 4 * slotsPerDifatSector);
    }

    const std::size_t entriesPerSector = sectorSize_ / 4;
    fat_.reserve(fatSectors.size() * entriesPerSector);
    for (std::uint32_t sector : fatSectors) {
        if (!readSector(sector, block)) return false;
        for (std::size_t i = 0; i < entriesPerSector; ++i)
            fat_.push_back(loadU32(block.data() + 4 * i));
    }
    return true;
}

bool CfbReader::walkChain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                          std::uint64_t limit, std::uint64_t wanted,
                          std::vector<std::uint32_t>& out) const {
    out.clear();
    // A chain longer than the sectors that exist must revisit one; refusing the wanted
    // count up front keeps a forged size from reserving memory.
    if (wanted > limit) return false;
    std::vector<bool> seen(static_cast<std::size_t>(limit), false);  // limit <= a table's size
    std::uint32_t sector = start;
    while (wanted == 0 || out.size() < wanted) {
        if (sector == kEndOfChain) return wanted == 0;
        if (sector >= limit || seen[sector]) return false;
        seen[sector] = true;
        out.push_back(sector);
        sector = table[sector];
    }
    return true;
}

bool CfbReader::sectorChain(std::uint32_t start, std::uint64_t wanted,
                            std::vector<std::uint32_t>& out) const {
    return walkChain(fat_, start, sectorLimit(), wanted, out);
}

bool CfbReader::loadDirectory(std::uint32_t firstSector) {
    std::vector<std::uint32_t> chain;
    if (!sectorChain(firstSector, 0, chain) || chain.empty()) return false;
    const std::size_t entriesPerSector = sectorSize_ / kEntrySize;
    entries_.reserve(chain.size() * entriesPerSector);
    Bytes block;
    for (std::uint32_t sector : chain) {
        if (!readSector(sector, block)) return false;
        for (std::size_t i = 0; i < entriesPerSector; ++i) {
            const std::uint8_t* raw = block.data() + i * kEntrySize;
            DirectoryEntry entry;
            std::uint8_t type = raw[kEntryTypeOffset];
            if (type == 1 || type == 2 || type == 5) entry.type = static_cast<EntryType>(type);
            // Unused slots and unknown types (lock bytes, property sets of old writers)
            // stay unused: nothing may reach them.
            if (entry.type != EntryType::kUnused) {
                std::size_t nameBytes =
                    std::min<std::size_t>(loadU16(raw + kEntryNameLengthOffset), kEntryNameBytes);
                for (std::size_t k = 0; k + 1 < nameBytes; k += 2) {
                    char16_t unit = static_cast<char16_t>(loadU16(raw + k));
                    if (unit == 0) break;
                    entry.name.push_back(unit);
                }
                entry.left = loadU32(raw + kEntryLeftOffset);
                entry.right = loadU32(raw + kEntryRightOffset);
                entry.child = loadU32(raw + kEntryChildOffset);
                entry.startSector = loadU32(raw + kEntryStartSectorOffset);
                entry.size = loadU64(raw + kEntrySizeOffset);
                // Version 3 writers may leave garbage in the high half of the size.
                if (majorVersion_ == 3) entry.size &= 0xFFFFFFFFull;
            }
            entries_.push_back(std::move(entry));
        }
    }
    return entries_[kRootIndex].type == EntryType::kRoot;
}

bool CfbReader::loadMiniStream(std::uint32_t firstMiniFatSector) {
    const DirectoryEntry& root = entries_[kRootIndex];
    miniStreamSize_ = root.size;
    if (miniStreamSize_ > 0) {
        std::uint64_t sectors = (miniStreamSize_ + sectorSize_ - 1) / sectorSize_;
        if (!sectorChain(root.startSector, sectors, miniStreamChain_)) return false;
    }
    if (firstMiniFatSector == kEndOfChain || firstMiniFatSector == kFreeSector) return true;
    std::vector<std::uint32_t> chain;
    if (!sectorChain(firstMiniFatSector, 0, chain)) return false;
    const std::size_t entriesPerSector = sectorSize_ / 4;
    miniFat_.reserve(chain.size() * entriesPerSector);
    Bytes block;
    for (std::uint32_t sector : chain) {
        if (!readSector(sector, block)) return false;
        for (std::size_t i = 0; i < entriesPerSector; ++i)
            miniFat_.push_back(loadU32(block.data() + 4 * i));
    }
    return true;
}

bool CfbReader::checkTrees() const {
    // Every element is reachable from the root along exactly one path: a second visit is a
    // cycle or a shared subtree, an unused slot in a tree a dangling link. Since each entry
    // is pushed at most once, the walk ends after entryCount() steps.
    std::vector<bool> seen(entries_.size(), false);
    std::vector<std::uint32_t> pending;
    seen[kRootIndex] = true;
    auto visit = [&](std::uint32_t index) {
        if (index == kNoEntry) return true;
        if (index >= entries_.size() || seen[index]) return false;
        EntryType type = entries_[index].type;
        if (type != EntryType::kStorage && type != EntryType::kStream) return false;
        seen[index] = true;
        pending.push_back(index);
        return true;
    };
    if (!visit(entries_[kRootIndex].child)) return false;
    while (!pending.empty()) {
        const DirectoryEntry& entry = entries_[pending.back()];
        pending.pop_back();
        if (!visit(entry.left) || !visit(entry.right)) return false;
        if (entry.type == EntryType::kStorage && !visit(entry.child)) return false;
    }
    return true;
}

std::optional<std::uint32_t> CfbReader::findChild(std::uint32_t storageIndex,
                                                  std::u16string_view name) const {
    if (storageIndex >= entries_.size()) return std::nullopt;
    const DirectoryEntry& storage = entries_[storageIndex];
    if (storage.type != EntryType::kStorage && storage.type != EntryType::kRoot)
        return std::nullopt;
    // checkTrees proved the trees acyclic, so a descent ends within entryCount() steps.
    std::uint32_t index = storage.child;
    while (index != kNoEntry) {
        const DirectoryEntry& entry = entries_[index];
        int order = compareNames(name, entry.name);
        if (order == 0) return index;
        index = order < 0 ? entry.left : entry.right;
    }
    // Some writers leave a storage's tree unordered; the elements are still all there, so
    // look at each before calling the name missing.
    std::vector<std::uint32_t> pending;
    if (storage.child != kNoEntry) pending.push_back(storage.child);
    while (!pending.empty()) {
        std::uint32_t current = pending.back();
        pending.pop_back();
        const DirectoryEntry& entry = entries_[current];
        if (compareNames(name, entry.name) == 0) return current;
        if (entry.left != kNoEntry) pending.push_back(entry.left);
        if (entry.right != kNoEntry) pending.push_back(entry.right);
    }
    return std::nullopt;
}

bool CfbReader::readStreamBytes(bool inMiniStream, const std::vector<std::uint32_t>& chain,
                                std::uint64_t position, std::uint8_t* out,
                                std::size_t count) const {
    while (count > 0) {
        std::uint64_t unit = inMiniStream ? kMiniSectorSize : sectorSize_;
        std::uint64_t sector = chain[static_cast<std::size_t>(position / unit)];
        std::uint64_t within = position % unit;
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, unit - within));
        std::uint64_t fileOffset;
        if (inMiniStream) {
            // A mini sector lies inside one sector of the mini stream, as 64 divides the
            // sector size.
            std::uint64_t miniOffset = sector * kMiniSectorSize + within;
            std::uint64_t host = miniOffset / sectorSize_;
            if (host >= miniStreamChain_.size()) return false;
            fileOffset = (miniStreamChain_[static_cast<std::size_t>(host)] + 1ull) * sectorSize_ +
                         miniOffset % sectorSize_;
        } else {
            fileOffset = (sector + 1) * sectorSize_ + within;
        }
        if (!source_->readAt(fileOffset, out, piece)) return false;
        out += piece;
        count -= piece;
        position += piece;
    }
    return true;
}

CfbReader::StreamCursor::StreamCursor(std::shared_ptr<CfbReader> reader, std::uint32_t entryIndex)
    : reader_(std::move(reader)), entryIndex_(entryIndex) {}

bool CfbReader::StreamCursor::read(std::uint8_t* out, std::size_t count, std::size_t& bytesRead) {
    bytesRead = 0;
    if (damaged_) return false;
    if (!resolved_) {
        resolved_ = true;
        const DirectoryEntry& entry = reader_->entry(entryIndex_);
        size_ = entry.size;
        inMiniStream_ = size_ < reader_->miniStreamCutoff_;
        if (size_ > 0) {
            bool ok;
            if (inMiniStream_) {
                std::uint64_t wanted = (size_ + kMiniSectorSize - 1) / kMiniSectorSize;
                ok = reader_->walkChain(reader_->miniFat_, entry.startSector,
                                        reader_->miniSectorLimit(), wanted, chain_);
            } else {
                std::uint64_t wanted = (size_ + reader_->sectorSize_ - 1) / reader_->sectorSize_;
                ok = reader_->sectorChain(entry.startSector, wanted, chain_);
            }
            if (!ok) {
                damaged_ = true;
                return false;
            }
        }
    }
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
    if (piece == 0) return true;
    if (!reader_->readStreamBytes(inMiniStream_, chain_, position_, out, piece)) {
        damaged_ = true;
        return false;
    }
    position_ += piece;
    bytesRead = piece;
    return true;
}

}  // namespace keldrin::cfb
