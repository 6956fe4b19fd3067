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
#include <string>

#include "base/file.h"
#include "base/text.h"

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
// The header is decoded in one pass; these fields follow one another without a gap.
static_assert(kByteOrderOffset == kMajorVersionOffset + 2 &&
              kSectorShiftOffset == kByteOrderOffset + 2 &&
              kMiniSectorShiftOffset == kSectorShiftOffset + 2);
static_assert(kFirstDirectorySectorOffset == kFatSectorCountOffset + 4);
static_assert(kFirstMiniFatSectorOffset == kMiniStreamCutoffOffset + 4);
static_assert(kDifatSectorCountOffset == kFirstDifatSectorOffset + 4 &&
              kHeaderDifatOffset == kDifatSectorCountOffset + 4);

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
static_assert(kEntryNameLengthOffset == kEntryNameBytes &&
              kEntryTypeOffset == kEntryNameLengthOffset + 2);
static_assert(kEntryRightOffset == kEntryLeftOffset + 4 &&
              kEntryChildOffset == kEntryRightOffset + 4);
static_assert(kEntrySizeOffset == kEntryStartSectorOffset + 4 &&
              kEntrySizeOffset + 8 == kEntrySize);

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// One 128-byte directory entry. Unused slots and unknown types (lock bytes, property sets
// of old writers) come back unused, with nothing else set: nothing may reach them.
DirectoryEntry decodeEntry(ByteSpan raw, std::uint16_t majorVersion) {
    ByteReader reader(raw);
    ByteSpan nameField = reader.readBytes(kEntryNameBytes);
    std::uint16_t nameBytes = reader.readU16();
    std::uint8_t type = reader.readU8();
    reader.skip(kEntryLeftOffset - reader.position());  // colour
    std::uint32_t left = reader.readU32();
    std::uint32_t right = reader.readU32();
    std::uint32_t child = reader.readU32();
    reader.skip(kEntryStartSectorOffset - reader.position());  // class, state bits, times
    std::uint32_t startSector = reader.readU32();
    std::uint32_t sizeLow = reader.readU32();
    std::uint32_t sizeHigh = reader.readU32();

    DirectoryEntry entry;
    if (!reader.ok() || (type != 1 && type != 2 && type != 5)) return entry;
    entry.type = static_cast<EntryType>(type);
    entry.name = decodeUtf16Le(nameField.first(std::min<std::size_t>(nameBytes, kEntryNameBytes)));
    entry.name.erase(std::min(entry.name.find(u'\0'), entry.name.size()));
    entry.left = left;
    entry.right = right;
    entry.child = child;
    entry.startSector = startSector;
    // Version 3 writers may leave garbage in the high half of the size.
    entry.size = majorVersion == 3 ? sizeLow : (std::uint64_t{sizeHigh} << 32) | sizeLow;
    return entry;
}

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

struct CfbReader::HeaderFields {
    std::uint16_t majorVersion = 0;
    std::uint16_t byteOrder = 0;
    std::uint16_t sectorShift = 0;
    std::uint16_t miniSectorShift = 0;
    std::uint32_t fatSectorCount = 0;
    std::uint32_t firstDirectorySector = 0;
    std::uint32_t miniStreamCutoff = 0;
    std::uint32_t firstMiniFatSector = 0;
    std::uint32_t firstDifatSector = 0;
    std::uint32_t difatSectorCount = 0;
    std::uint32_t difat[kHeaderDifatSlots] = {};
};

std::shared_ptr<CfbReader> CfbReader::open(std::unique_ptr<ByteSource> source) {
    Damage ignored;
    return open(std::move(source), ignored);
}

std::shared_ptr<CfbReader> CfbReader::open(std::unique_ptr<ByteSource> source, Damage& damage) {
    damage = Damage{};
    if (!source) {
        malformed(damage, "no file to read", -1);
        return nullptr;
    }
    std::shared_ptr<CfbReader> reader(new CfbReader(std::move(source)));
    if (!reader->load()) {
        damage = reader->damage_;
        return nullptr;
    }
    return reader;
}

bool CfbReader::load() {
    HeaderFields header;
    return readHeader(header) && loadFat(header) && loadDirectory(header) &&
           loadMiniStream(header) && checkTrees();
}

bool CfbReader::readHeader(HeaderFields& header) {
    Bytes bytes(kHeaderSize);
    if (!source_->readAt(0, bytes.data(), kHeaderSize))
        return malformed(damage_, "the file is shorter than the 512-byte header", 0);
    if (!std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin()))
        return malformed(damage_, "no compound-file signature", 0);
    ByteReader reader(bytes, kMajorVersionOffset);
    header.majorVersion = reader.readU16();
    header.byteOrder = reader.readU16();
    header.sectorShift = reader.readU16();
    header.miniSectorShift = reader.readU16();
    reader.skip(kFatSectorCountOffset - reader.position());  // directory sector count
    header.fatSectorCount = reader.readU32();
    header.firstDirectorySector = reader.readU32();
    reader.skip(kMiniStreamCutoffOffset - reader.position());  // transaction signature
    header.miniStreamCutoff = reader.readU32();
    header.firstMiniFatSector = reader.readU32();
    reader.skip(kFirstDifatSectorOffset - reader.position());  // mini FAT sector count
    header.firstDifatSector = reader.readU32();
    header.difatSectorCount = reader.readU32();
    for (std::uint32_t& slot : header.difat) slot = reader.readU32();
    if (!reader.ok()) return malformed(damage_, "the header cannot be decoded", 0);

    if (header.byteOrder != kByteOrderMark)
        return malformed(damage_, "the byte order mark is not FE FF", kByteOrderOffset);
    majorVersion_ = header.majorVersion;
    if (majorVersion_ != 3 && majorVersion_ != 4)
        return malformed(damage_, "unknown major version " + number(majorVersion_),
                         kMajorVersionOffset);
    if (header.sectorShift != (majorVersion_ == 3 ? 9 : 12))
        return malformed(damage_,
                         "sector shift " + number(header.sectorShift) + " in a version " +
                             number(majorVersion_) + " file",
                         kSectorShiftOffset);
    if (header.miniSectorShift != kMiniSectorShift)
        return malformed(damage_, "mini sector shift " + number(header.miniSectorShift) + ", not 6",
                         kMiniSectorShiftOffset);
    sectorSize_ = 1u << header.sectorShift;
    miniStreamCutoff_ = header.miniStreamCutoff;
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

std::uint64_t CfbReader::sectorOffset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) * sectorSize_;
}

std::int64_t CfbReader::tableWordOffset(bool mini, std::uint32_t index) const {
    // Callers pass an index below the table's size, which is the holders' count times
    // the words per sector.
    const std::vector<std::uint32_t>& holders = mini ? miniFatChain_ : fatSectors_;
    const std::size_t wordsPerSector = sectorSize_ / 4;
    return static_cast<std::int64_t>(sectorOffset(holders[index / wordsPerSector]) +
                                     4 * (index % wordsPerSector));
}

std::int64_t CfbReader::entryOffset(std::uint32_t index) const {
    const std::size_t entriesPerSector = sectorSize_ / kEntrySize;
    return static_cast<std::int64_t>(sectorOffset(directoryChain_[index / entriesPerSector]) +
                                     kEntrySize * (index % entriesPerSector));
}

std::string CfbReader::describeEntry(std::uint32_t index) const {
    std::string text = "entry " + number(index);
    if (!entries_[index].name.empty()) text += " '" + utf16ToUtf8(entries_[index].name) + "'";
    return text;
}

bool CfbReader::readSector(std::uint32_t sector, std::int64_t linkAt, Bytes& out) {
    if (sector >= sectorCount_)
        return malformed(damage_,
                         "sector " + number(sector) + " lies beyond the last of " +
                             number(sectorCount_) + " sectors",
                         linkAt);
    out.resize(sectorSize_);
    if (!source_->readAt(sectorOffset(sector), out.data(), sectorSize_))
        return malformed(damage_, "sector " + number(sector) + " runs past the end of the file",
                         static_cast<std::int64_t>(sectorOffset(sector)));
    return true;
}

bool CfbReader::loadTable(const std::vector<std::uint32_t>& sectors,
                          const std::vector<std::int64_t>& links,
                          std::vector<std::uint32_t>& table) {
    const std::size_t wordsPerSector = sectorSize_ / 4;
    table.reserve(sectors.size() * wordsPerSector);
    Bytes block;
    for (std::size_t k = 0; k < sectors.size(); ++k) {
        if (!readSector(sectors[k], links[k], block)) return false;
        ByteReader reader(block);
        for (std::size_t i = 0; i < wordsPerSector; ++i) table.push_back(reader.readU32());
    }
    return true;
}

bool CfbReader::loadFat(const HeaderFields& header) {
    const std::uint32_t fatSectorCount = header.fatSectorCount;
    // Every FAT sector is a sector of the file, so a count beyond that is damage and
    // must not size an allocation.
    if (fatSectorCount > sectorCount_)
        return malformed(damage_,
                         "the header claims " + number(fatSectorCount) +
                             " FAT sectors, the file holds " + number(sectorCount_) + " sectors",
                         kFatSectorCountOffset);
    std::vector<std::int64_t> slots;  // where each FAT sector's number was read
    fatSectors_.reserve(fatSectorCount);
    slots.reserve(fatSectorCount);
    for (std::size_t i = 0; i < kHeaderDifatSlots && fatSectors_.size() < fatSectorCount; ++i) {
        fatSectors_.push_back(header.difat[i]);
        slots.push_back(static_cast<std::int64_t>(kHeaderDifatOffset + 4 * i));
    }

    std::uint32_t difatSector = header.firstDifatSector;
    std::int64_t linkAt = kFirstDifatSectorOffset;
    std::uint32_t difatSectorsLeft = header.difatSectorCount;
    // Sector numbers are 32-bit, so no more marks than that are ever needed (and a
    // 32-bit size_t holds them all).
    std::vector<bool> seen(
        static_cast<std::size_t>(std::min<std::uint64_t>(sectorCount_, kMaxRegularSector + 1ull)),
        false);
    const std::size_t slotsPerDifatSector = sectorSize_ / 4 - 1;
    Bytes block;
    while (fatSectors_.size() < fatSectorCount) {
        if (difatSectorsLeft == 0)
            return malformed(damage_,
                             "the DIFAT ends after " + number(fatSectors_.size()) + " of " +
                                 number(fatSectorCount) + " FAT sectors",
                             kDifatSectorCountOffset);
        if (difatSector >= seen.size())
            return malformed(damage_,
                             "DIFAT sector " + number(difatSector) + " lies beyond the last of " +
                                 number(seen.size()) + " sectors",
                             linkAt);
        if (seen[difatSector])
            return malformed(damage_, "the DIFAT chain loops back to sector " + number(difatSector),
                             linkAt);
        seen[difatSector] = true;
        --difatSectorsLeft;
        if (!readSector(difatSector, linkAt, block)) return false;
        ByteReader reader(block);
        for (std::size_t i = 0; i < slotsPerDifatSector && fatSectors_.size() < fatSectorCount;
             ++i) {
            slots.push_back(static_cast<std::int64_t>(sectorOffset(difatSector) + 4 * i));
            fatSectors_.push_back(reader.readU32());
        }
        reader.skip(4 * slotsPerDifatSector - reader.position());
        linkAt = static_cast<std::int64_t>(sectorOffset(difatSector) + reader.position());
        difatSector = reader.readU32();
    }
    return loadTable(fatSectors_, slots, fat_);
}

bool CfbReader::walkChain(bool mini, const ChainStart& start, std::vector<std::uint32_t>& out,
                          Damage& damage) const {
    const std::vector<std::uint32_t>& table = mini ? miniFat_ : fat_;
    const std::uint64_t limit = mini ? miniSectorLimit() : sectorLimit();
    const std::string unit = mini ? "mini sector" : "sector";
    out.clear();
    // A chain longer than the sectors that exist must revisit one; refusing the wanted
    // count up front keeps a forged size from reserving memory.
    if (start.wanted > limit)
        return malformed(damage,
                         start.what + " needs " + number(start.wanted) + " " + unit + "s, only " +
                             number(limit) + " exist",
                         start.sizeField);
    std::vector<bool> seen(static_cast<std::size_t>(limit), false);  // limit <= a table's size
    std::uint32_t sector = start.sector;
    std::int64_t linkAt = start.startField;
    while (start.wanted == 0 || out.size() < start.wanted) {
        if (sector == kEndOfChain) {
            if (start.wanted == 0) return true;
            return malformed(damage,
                             start.what + " ends after " + number(out.size()) + " of " +
                                 number(start.wanted) + " " + unit + "s",
                             linkAt);
        }
        if (sector >= limit)
            return malformed(damage,
                             start.what + " links to " + unit + " " + number(sector) +
                                 ", beyond the last of " + number(limit),
                             linkAt);
        if (seen[sector])
            return malformed(damage, start.what + " loops back to " + unit + " " + number(sector),
                             linkAt);
        seen[sector] = true;
        out.push_back(sector);
        linkAt = tableWordOffset(mini, sector);
        sector = table[sector];
    }
    return true;
}

bool CfbReader::loadDirectory(const HeaderFields& header) {
    ChainStart start{"the directory chain", header.firstDirectorySector,
                     kFirstDirectorySectorOffset, 0};
    if (!walkChain(false, start, directoryChain_, damage_)) return false;
    if (directoryChain_.empty())
        return malformed(damage_, "the header names no directory sector",
                         kFirstDirectorySectorOffset);
    const std::size_t entriesPerSector = sectorSize_ / kEntrySize;
    entries_.reserve(directoryChain_.size() * entriesPerSector);
    Bytes block;
    for (std::uint32_t sector : directoryChain_) {
        // The chain walk kept every sector inside the file.
        if (!readSector(sector, -1, block)) return false;
        for (std::size_t i = 0; i < entriesPerSector; ++i)
            entries_.push_back(
                decodeEntry(ByteSpan(block).subspan(i * kEntrySize, kEntrySize), majorVersion_));
    }
    if (entries_[kRootIndex].type != EntryType::kRoot)
        return malformed(damage_, "entry 0 is not the root",
                         entryOffset(kRootIndex) + static_cast<std::int64_t>(kEntryTypeOffset));
    return true;
}

bool CfbReader::loadMiniStream(const HeaderFields& header) {
    const DirectoryEntry& root = entries_[kRootIndex];
    const std::int64_t rootAt = entryOffset(kRootIndex);
    miniStreamSize_ = root.size;
    if (miniStreamSize_ > 0) {
        ChainStart start{"the mini stream", root.startSector,
                         rootAt + static_cast<std::int64_t>(kEntryStartSectorOffset),
                         (miniStreamSize_ + sectorSize_ - 1) / sectorSize_,
                         rootAt + static_cast<std::int64_t>(kEntrySizeOffset)};
        if (!walkChain(false, start, miniStreamChain_, damage_)) return false;
    }
    const std::uint32_t first = header.firstMiniFatSector;
    if (first == kEndOfChain || first == kFreeSector) return true;
    ChainStart start{"the mini FAT chain", first, kFirstMiniFatSectorOffset, 0};
    if (!walkChain(false, start, miniFatChain_, damage_)) return false;
    // The chain walk kept every sector inside the file, so no link is ever named.
    return loadTable(miniFatChain_, std::vector<std::int64_t>(miniFatChain_.size(), -1), miniFat_);
}

bool CfbReader::checkTrees() {
    // Every element is reachable from the root along exactly one path: a second visit is a
    // cycle or a shared subtree, an unused slot in a tree a dangling link. Since each entry
    // is pushed at most once, the walk ends after entryCount() steps.
    std::vector<bool> seen(entries_.size(), false);
    std::vector<std::uint32_t> pending;
    seen[kRootIndex] = true;
    auto visit = [&](std::uint32_t from, std::size_t field, std::uint32_t index) {
        if (index == kNoEntry) return true;
        const std::int64_t linkAt = entryOffset(from) + static_cast<std::int64_t>(field);
        const std::string link = describeEntry(from) + " links to entry " + number(index);
        if (index >= entries_.size())
            return malformed(damage_, link + ", beyond the directory's " + number(entries_.size()),
                             linkAt);
        if (seen[index])
            return malformed(damage_, link + " a second time (a loop or a shared subtree)", linkAt);
        EntryType type = entries_[index].type;
        if (type != EntryType::kStorage && type != EntryType::kStream)
            return malformed(damage_, link + ", which is no storage or stream", linkAt);
        seen[index] = true;
        pending.push_back(index);
        return true;
    };
    if (!visit(kRootIndex, kEntryChildOffset, entries_[kRootIndex].child)) return false;
    while (!pending.empty()) {
        const std::uint32_t index = pending.back();
        pending.pop_back();
        const DirectoryEntry& entry = entries_[index];
        if (!visit(index, kEntryLeftOffset, entry.left) ||
            !visit(index, kEntryRightOffset, entry.right))
            return false;
        if (entry.type == EntryType::kStorage && !visit(index, kEntryChildOffset, entry.child))
            return false;
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

std::vector<std::uint32_t> CfbReader::children(std::uint32_t storageIndex) const {
    std::vector<std::uint32_t> found;
    if (storageIndex >= entries_.size()) return found;
    const DirectoryEntry& storage = entries_[storageIndex];
    if (storage.type != EntryType::kStorage && storage.type != EntryType::kRoot) return found;
    // In order, left subtree first; checkTrees proved the tree acyclic, so every entry
    // is pushed once and the walk ends within entryCount() steps.
    std::vector<std::uint32_t> pending;
    std::uint32_t index = storage.child;
    while (index != kNoEntry || !pending.empty()) {
        for (; index != kNoEntry; index = entries_[index].left) pending.push_back(index);
        index = pending.back();
        pending.pop_back();
        found.push_back(index);
        index = entries_[index].right;
    }
    return found;
}

bool CfbReader::readStreamBytes(bool inMiniStream, const std::vector<std::uint32_t>& chain,
                                std::uint64_t position, std::uint8_t* out, std::size_t count,
                                const std::string& what, Damage& damage) const {
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
            if (host >= miniStreamChain_.size())
                return malformed(damage,
                                 what + " reaches mini sector " + number(sector) +
                                     ", past the end of the mini stream",
                                 -1);
            fileOffset = (miniStreamChain_[static_cast<std::size_t>(host)] + 1ull) * sectorSize_ +
                         miniOffset % sectorSize_;
        } else {
            fileOffset = (sector + 1) * sectorSize_ + within;
        }
        if (!source_->readAt(fileOffset, out, piece))
            return malformed(damage, what + " runs past the end of the file",
                             static_cast<std::int64_t>(fileOffset));
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
    if (damage_.found()) return false;
    if (!resolved_) {
        resolved_ = true;
        what_ = "stream " + reader_->describeEntry(entryIndex_);
        const DirectoryEntry& entry = reader_->entry(entryIndex_);
        size_ = entry.size;
        inMiniStream_ = size_ < reader_->miniStreamCutoff_;
        if (size_ > 0) {
            const std::uint64_t unit = inMiniStream_ ? kMiniSectorSize : reader_->sectorSize_;
            const std::int64_t entryAt = reader_->entryOffset(entryIndex_);
            ChainStart start{what_, entry.startSector,
                             entryAt + static_cast<std::int64_t>(kEntryStartSectorOffset),
                             (size_ + unit - 1) / unit,
                             entryAt + static_cast<std::int64_t>(kEntrySizeOffset)};
            if (!reader_->walkChain(inMiniStream_, start, chain_, damage_)) return false;
        }
    }
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
    if (piece == 0) return true;
    if (!reader_->readStreamBytes(inMiniStream_, chain_, position_, out, piece, what_, damage_))
        return false;
    position_ += piece;
    bytesRead = piece;
    return true;
}

}  // namespace keldrin::cfb
