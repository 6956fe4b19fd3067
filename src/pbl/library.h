// PblLibrary: one open library file, as PblManager hands it out; the project's own code
// works with this class, and PblLibraryInterface is only its abstract face for programs
// that load this module. The format is in pbl_layout.h; block allocation in
// bitmap_allocator.h; the directory tree (findEntry, the node split, deleteEntry) in
// directory.cpp; entry data, comment, library data and enumeration in pbl_library.cpp;
// the rebuild (copyTo) in rebuild.cpp.
//
// Every value taken from the file is checked before it becomes an offset, a length or
// a loop bound; damage is reported as kPblDamaged through damaged(), which records what
// is wrong and where (lastDamage()) and is the one place to break on. Walks over links are bounded
// by the number of blocks the file spans, and the directory is walked without recursion except for
// the node split, whose nesting is bounded too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pbl/bitmap_allocator.h"
#include "pbl/block_file.h"
#include "pbl/chain_image.h"
#include "pbl/node_records.h"
#include "pbl/pbl_layout.h"
#include "pbl/pbl_library.h"

namespace keldrin::pbl {

class PblLibrary : public PblLibraryInterface {
  public:
    PblLibrary(PblManager* manager, bool writable);
    ~PblLibrary() override;

    // Takes over `file` and recognises the library; false when it is none (the file is
    // then closed).
    bool open(std::FILE* file);
    bool opened() const { return opened_; }

    int copyTo(const char* path, int version) override;
    int forEachEntry(PblEntryVisitor& visitor) override;
    int findEntry(const char* name, PblEntryInfo& info, int create) override;
    // The same with the exact wide name: a Unicode library takes it as it stands, an
    // ANSI library takes its ANSI form, and a name that form cannot carry exactly is
    // kPblInvalidArgument instead of a lookup under another name.
    int findEntry(const std::u16string& name, PblEntryInfo& info, int create);
    int deleteEntry(PblEntryInfo& info) override;
    int readEntryData(const PblEntryInfo& info, void* buffer) override;
    int readLibraryData(void* buffer, int& size) override;
    int writeLibraryData(const void* data, int size) override;
    int writeEntryTime(const PblEntryInfo& info) override;
    int writeEntryData(PblEntryInfo& info, const void* data, int size, short commentSize) override;
    void release() override;
    int isUnicode() override { return unicode_ ? 1 : 0; }
    int version() override { return versionNumber_; }
    void reserved() override {}
    int flush() override;
    int getComment(void* buffer, int& size) override;
    int setComment(const void* text) override;

    // Beyond the interface, for the companion tool, the converter, the rebuild and tests.

    // Writes the entry `name` (created when missing, as findEntry with the wide name
    // takes it) with `comment` and `body`, stamped with `time`, or the current time when
    // none is given. Sizes past the limits below are kPblInvalidArgument, before anything
    // changes.
    int putEntry(const std::u16string& name, ByteSpan comment, ByteSpan body,
                 std::optional<std::int32_t> time = std::nullopt);
    // The same without a comment, stamped with the current time, for a body already laid
    // out as its chain's blocks: the library writes the block headers into `body` and the
    // blocks from there, without another copy of the data.
    int putEntry(const std::u16string& name, ChainImage& body);
    // The limits of what an entry can hold in this library, in stored bytes: a name (no
    // terminator) must fit one directory node with its record; the comment's length is
    // kept in 16 bits, in whole characters; comment and body together (and the library
    // data) in 31 bits.
    std::size_t maxNameBytes() const {
        return static_cast<std::size_t>(layout::kNodeDataSize - variant().entryHeaderSize -
                                        variant().charSize);
    }
    std::size_t maxCommentBytes() const { return unicode_ ? 32766 : 32767; }
    static constexpr std::size_t maxEntryBytes() { return 0x7FFFFFFF; }
    // The longest library comment (setComment), in stored bytes without its terminator.
    std::size_t maxLibraryCommentBytes() const {
        return static_cast<std::size_t>(variant().commentCapacity - variant().charSize);
    }

    std::int32_t headerOffset() const { return headerOffset_; }
    // The library sits inside a larger file (found through its trailer) and is read-only
    // however it was opened: every changing operation returns kPblIoError and writes
    // nothing, since growing the file would move the trailer off its last block.
    bool hosted() const { return headerOffset_ != 0; }
    // Blocks from the header block to the end of the file: the blocks the bitmap counts.
    std::int64_t libraryBlocks() const {
        return (file_.size() - headerOffset_ + layout::kBlockSize - 1) / layout::kBlockSize;
    }
    std::int32_t rootNodeOffset() const { return headerOffset_ + variant().rootOffset; }
    const layout::Variant& variant() const { return layout::variantFor(unicode_); }
    PblManager* manager() const { return manager_; }
    BitmapAllocator& allocator() { return *allocator_; }
    BlockFile& file() { return file_; }
    // Upper bound of any byte string the file can hold in data blocks: no entry or
    // library data can be larger, whatever its record says.
    std::int64_t maxDataBytes() const {
        return file_.blockCount() * static_cast<std::int64_t>(layout::kDataCapacity);
    }
    // Loads the bitmap (if needed) and counts the blocks it marks in use (wherever they
    // lie) and the library's blocks (libraryBlocks()) that it leaves free, those past its
    // reach included. Every bitmap block must carry its signature here.
    int blockUsage(std::int64_t& used, std::int64_t& free);
    // The raw header field bytes (292 or 566).
    int readHeader(Bytes& header);

    // Why and where the last kPblDamaged of this library arose.
    const Damage& lastDamage() const { return damage_.last(); }
    // Records damage (the reason, the file offset of the structure at fault, the UTF-8
    // name of the entry it belongs to) and returns kPblDamaged. Every damage result of
    // the library, its allocator, directory and rebuild goes through here.
    [[nodiscard]] int damaged(std::string reason, std::int64_t offset, std::string entry = {}) {
        return damage_.report(std::move(reason), offset, std::move(entry));
    }
    // A stored name (library width, terminator optional) as UTF-8, for reports.
    std::string displayName(ByteSpan stored) const;
    // The UTF-8 name of the entry record at `entryOffset`; "" when it cannot be read.
    std::string entryNameAt(std::int32_t entryOffset);

    // One change that must happen whole or not at all (a command of the companion tool:
    // create an entry and write its data, delete an entry and free its blocks). After
    // beginChange, commitChange writes what is pending (the bitmap) and keeps it all;
    // abandonChange, or releasing the library before commitChange, puts every byte of
    // the file back as it was at beginChange.
    void beginChange();
    int commitChange();
    // The library's path, beside which a change keeps its journal on disk, so that it
    // also survives a crash (journal.h); without one a change is undone in memory only.
    void setJournalPath(std::u16string path) {
        if (writable_ && !hosted()) file_.setJournalPath(std::move(path));
    }
    int abandonChange();

  private:
    friend class DirectoryOps;

    // findEntry by the name's stored bytes (ANSI, or UTF-16LE), without terminator.
    int findByKey(const Bytes& key, PblEntryInfo& info, int create);
    // The refusal of every changing operation on a library opened read-only or hosted.
    static int readOnly() { return kPblIoError; }

    // Data chains shared by entry data and library data. `owner` is the offset of the
    // entry record whose chain it is, or kNoLink for the library data: damage reports
    // name it.
    int collectChain(std::int32_t first, std::vector<std::int32_t>& list, std::int32_t owner);
    // Damage unless the bitmap marks every block that the header area, the bitmap, the
    // directory and the data chains use: a block in use but marked free would be handed
    // out and overwritten (a crash of another program can leave one).
    int requireBitmapCoversUse();
    // Every node of the directory, from the root, with its records, each node once (a
    // node reached twice is damage); stops at the first result `visit` gives that is not
    // kPblOk and returns it.
    int walkDirectory(
        const std::function<int(std::int32_t node, const std::vector<RecordRef>& records)>& visit);
    int writeChain(std::int32_t& firstBlock, const std::uint8_t* data, std::int64_t length,
                   bool atLeastOne, std::int32_t owner);
    // The same for a body laid out in an image (at least one block, as for an entry).
    int writeChain(std::int32_t& firstBlock, ChainImage& image, std::int32_t owner);
    // What both share: the chain's blocks for `length` bytes, old ones kept or freed and
    // new ones allocated (`reused` of `list` were the chain's before), and the writing of
    // them, new blocks first, with the new ones handed back when that fails.
    int prepareChain(std::int32_t firstBlock, std::int64_t length, bool atLeastOne,
                     std::int32_t owner, std::vector<std::int32_t>& list, std::size_t& reused);
    int fillChain(std::int32_t& firstBlock, const std::vector<std::int32_t>& list,
                  std::size_t reused,
                  const std::function<bool(std::size_t from, std::size_t to)>& writeBlocks);
    // An entry's data (comment and body, `total` bytes) through `chain`, which writes the
    // chain from the record's first block and gives its new first block, then the record.
    int writeEntry(PblEntryInfo& info, std::int64_t total, short commentSize,
                   const std::function<int(std::int32_t& firstBlock)>& chain);
    // Where walkChain's window lies in the file (its bytes are chainWindow_); a walk of
    // many chains that writes nothing in between may share one.
    struct ChainWindow {
        std::int64_t start = 0;
        std::int64_t bytes = 0;
    };
    // Follows a data chain, bounded and checked link by link, through a window of the
    // file; `blocksAhead` says how many blocks the rest of the walk will want, `visit`
    // sees each block (and stops the walk with a result other than kPblOk); `last`
    // gets the last block's offset.
    int walkChain(std::int32_t first, std::int32_t owner,
                  const std::function<std::int64_t()>& blocksAhead,
                  const std::function<int(std::int32_t link, ByteSpan block,
                                          const layout::DataBlockHeader& header)>& visit,
                  std::int64_t* last = nullptr, ChainWindow* shared = nullptr);
    int readChain(std::int32_t first, std::int64_t length, std::uint8_t* buffer,
                  std::int32_t owner);
    int chainDamaged(const char* reason, std::int64_t offset, std::int32_t owner);
    int writeHeader(const Bytes& header);
    // An entry record's header at `entryOffset`, checked: inside a node-sized area of
    // the file and carrying "ENT*".
    bool validEntryOffset(std::int32_t entryOffset) const;
    // A record's data size lies between 0 and what the file can hold, and its comment
    // fits inside the data.
    bool plausibleSizes(const layout::EntryRecordHeader& h) const {
        return h.dataSize >= 0 && h.dataSize <= maxDataBytes() &&
               static_cast<std::int64_t>(h.commentLength) * variant().charSize <= h.dataSize;
    }

    PblManager* manager_;
    bool writable_;
    bool opened_ = false;
    bool unicode_ = false;
    std::int32_t headerOffset_ = 0;
    int versionNumber_ = 0;
    BlockFile file_;
    Bytes chainWindow_;  // readChain's buffer, kept to save an allocation per entry
    DamageLog damage_;
    std::unique_ptr<BitmapAllocator> allocator_;
};

}  // namespace keldrin::pbl
