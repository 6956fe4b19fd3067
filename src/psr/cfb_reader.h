// A read-only reader of the Compound File Binary format (the OLE structured-storage
// file), portable C++ with no platform calls: it reads through a ByteSource, so the same
// code serves files on disk, buffers in tests and fuzz inputs.
//
// CfbReader::open reads and checks everything that locates data before any stream is
// opened: the header, the DIFAT (the header's 109 slots and its sector chain beyond),
// the FAT, the mini FAT, the directory and the shape of every storage's sibling tree.
// Any damage there makes open fail. A stream's own sector chain is checked when the
// stream is first read, so damage inside one stream fails only the reads of that
// stream. Every chain walk is bounded by the number of sectors the file can hold and
// stops at the first sector seen twice; nothing is allocated beyond what the file holds.
// Every failure records what is wrong and the file offset of the bytes that say so: for
// open, in the Damage the caller passes; for a stream, in its cursor.
//
// Element names are compared as the format orders them: a shorter name sorts first,
// names of equal length compare code unit by code unit after upper-casing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "psr/report_damage.h"

namespace keldrin::cfb {

// Random access to the bytes of one compound file.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they are not all there.
    virtual bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) = 0;
};

// A source over bytes held in memory (tests, fuzzing).
class MemorySource : public ByteSource {
  public:
    explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

  private:
    Bytes bytes_;
};

// A source over an open stdio file; takes ownership of it and closes it.
class FileSource : public ByteSource {
  public:
    // nullptr when the file's size cannot be taken.
    static std::unique_ptr<FileSource> adopt(std::FILE* file);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    std::uint64_t size() const override { return size_; }
    bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override;

  private:
    FileSource(std::FILE* file, std::uint64_t size) : file_(file), size_(size) {}
    std::FILE* file_;
    std::uint64_t size_;
};

enum class EntryType : std::uint8_t { kUnused = 0, kStorage = 1, kStream = 2, kRoot = 5 };

inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;

struct DirectoryEntry {
    std::u16string name;
    EntryType type = EntryType::kUnused;
    std::uint32_t left = kNoEntry;
    std::uint32_t right = kNoEntry;
    std::uint32_t child = kNoEntry;
    std::uint32_t startSector = 0;
    std::uint64_t size = 0;
};

// The format's order of element names: negative, zero or positive.
int compareNames(std::u16string_view a, std::u16string_view b);

class CfbReader {
  public:
    // nullptr when the file is no compound file or its structure is damaged; `damage`
    // then says why.
    static std::shared_ptr<CfbReader> open(std::unique_ptr<ByteSource> source);
    static std::shared_ptr<CfbReader> open(std::unique_ptr<ByteSource> source, Damage& damage);

    static constexpr std::uint32_t kRootIndex = 0;

    std::uint16_t majorVersion() const { return majorVersion_; }
    std::uint32_t sectorSize() const { return sectorSize_; }
    std::size_t entryCount() const { return entries_.size(); }
    const DirectoryEntry& entry(std::uint32_t index) const { return entries_[index]; }

    // The element named `name` inside the storage (or root) at `storageIndex`.
    std::optional<std::uint32_t> findChild(std::uint32_t storageIndex,
                                           std::u16string_view name) const;

    // The elements inside the storage (or root) at `storageIndex`, in the order of its
    // sibling tree (the format's name order where the writer kept it).
    std::vector<std::uint32_t> children(std::uint32_t storageIndex) const;

    // Sequential reads of one stream entry.
    class StreamCursor {
      public:
        StreamCursor(std::shared_ptr<CfbReader> reader, std::uint32_t entryIndex);
        // Reads up to `count` bytes; 0 bytes read marks the end. False when the stream's
        // chain is damaged or its bytes are not in the file.
        bool read(std::uint8_t* out, std::size_t count, std::size_t& bytesRead);
        // Why the last read failed; every later read fails the same way.
        const Damage& lastProblem() const { return damage_; }

      private:
        std::shared_ptr<CfbReader> reader_;
        std::uint32_t entryIndex_;
        bool resolved_ = false;
        std::string what_;  // names the stream in its damage
        Damage damage_;
        bool inMiniStream_ = false;
        std::vector<std::uint32_t> chain_;
        std::uint64_t size_ = 0;
        std::uint64_t position_ = 0;
    };

  private:
    struct HeaderFields;

    // A chain to walk and the words of the file that ask for it, to name its damage.
    struct ChainStart {
        std::string what;             // "directory chain", "stream 'x'"
        std::uint32_t sector;         // the first sector
        std::int64_t startField;      // file offset of the field holding `sector`
        std::uint64_t wanted;         // sectors needed; 0 walks to the end-of-chain mark
        std::int64_t sizeField = -1;  // file offset of the size that asks for `wanted`
    };

    explicit CfbReader(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {}

    bool load();
    bool readHeader(HeaderFields& header);
    bool loadFat(const HeaderFields& header);
    bool loadDirectory(const HeaderFields& header);
    bool loadMiniStream(const HeaderFields& header);
    // Reads the words of `sectors` into `table`; links[k] is where sectors[k] was named.
    bool loadTable(const std::vector<std::uint32_t>& sectors,
                   const std::vector<std::int64_t>& links, std::vector<std::uint32_t>& table);
    bool checkTrees();
    bool readSector(std::uint32_t sector, std::int64_t linkAt, Bytes& out);
    // Chains through the FAT, or through the mini FAT when `mini`.
    bool walkChain(bool mini, const ChainStart& start, std::vector<std::uint32_t>& out,
                   Damage& damage) const;
    std::uint64_t sectorLimit() const;
    std::uint64_t miniSectorLimit() const;
    std::uint64_t sectorOffset(std::uint32_t sector) const;
    // File offsets of the FAT (or mini FAT) word for `index` and of directory entry `index`.
    std::int64_t tableWordOffset(bool mini, std::uint32_t index) const;
    std::int64_t entryOffset(std::uint32_t index) const;
    std::string describeEntry(std::uint32_t index) const;
    bool readStreamBytes(bool inMiniStream, const std::vector<std::uint32_t>& chain,
                         std::uint64_t position, std::uint8_t* out, std::size_t count,
                         const std::string& what, Damage& damage) const;

    std::unique_ptr<ByteSource> source_;
    std::uint16_t majorVersion_ = 0;
    std::uint32_t sectorSize_ = 0;
    std::uint32_t miniStreamCutoff_ = 0;
    std::uint64_t sectorCount_ = 0;
    std::vector<std::uint32_t> fatSectors_;  // the sectors holding the FAT, in order
    std::vector<std::uint32_t> fat_;
    std::vector<std::uint32_t> miniFatChain_;  // the sectors holding the mini FAT
    std::vector<std::uint32_t> miniFat_;
    std::vector<std::uint32_t> miniStreamChain_;
    std::uint64_t miniStreamSize_ = 0;
    std::vector<std::uint32_t> directoryChain_;
    std::vector<DirectoryEntry> entries_;
    Damage damage_;  // what made load() fail
};

}  // namespace keldrin::cfb
