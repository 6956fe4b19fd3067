// Positioned access to an open library file: every structure moves as one positioned
// read or write of the whole structure, past the stream's buffer (which stays empty).
//
// Nodes are read far more often than anything else (every lookup walks from the root),
// so whole nodes are kept in a small write-through cache. Every write passes through
// writeAt, which updates the cached copies it overlaps, so the cache never differs
// from the file as this object sees it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "pbl/pbl_layout.h"

namespace keldrin::pbl {

class BlockFile {
  public:
    BlockFile() = default;
    ~BlockFile();
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    // Takes over an open stream; `writable` when it was opened for writing.
    void attach(std::FILE* file, bool writable);
    bool isOpen() const { return file_ != nullptr; }
    // The open stream, for asking the system which file it is.
    std::FILE* stream() const { return file_; }
    // Closes the stream; false when the final flush or close failed.
    bool close();

    // The file's current length in bytes (what this object wrote included).
    std::int64_t size() const { return size_; }
    // Blocks the file spans: the bound of every walk over links.
    std::int64_t blockCount() const { return size_ / layout::kBlockSize; }

    // True when [offset, offset + length) lies inside the file.
    bool fits(std::int64_t offset, std::int64_t length) const {
        return offset >= 0 && length >= 0 && offset <= size_ && length <= size_ - offset;
    }
    // True when `link` is a usable link to a structure of `length` bytes: nonzero, a
    // multiple of the block size, the structure inside the file.
    bool validLink(std::int64_t link, std::int64_t length) const {
        return link > 0 && link % layout::kBlockSize == 0 && fits(link, length);
    }

    // Both return true when the whole item was transferred. A read that lies inside a
    // cached node comes from the cache, which holds what the file holds.
    bool readAt(void* buffer, std::size_t length, std::int64_t offset);
    bool writeAt(const void* buffer, std::size_t length, std::int64_t offset);
    // The same for bytes that lie in several pieces, written one after another from
    // `offset` in as few system calls as the platform allows (a data chain's block
    // headers and the caller's data, without first copying them into one buffer).
    bool writeAtGathered(const fs::WritePiece* pieces, std::size_t count, std::int64_t offset);
    // Cuts the file back to `length` bytes (after a write that grew it failed part way,
    // so no torn block is left at its end).
    bool truncate(std::int64_t length);

    // The node at `offset` (kNodeSize bytes), or nullptr when it does not lie inside the
    // file or cannot be read. The pointer stays valid until the next writeAt or readNode.
    const std::uint8_t* readNode(std::int32_t offset);

    // Flushes the stream (and the writes deferWrites held back): 0, or -1 on failure.
    int flush();

    // Holds writes back, for a new file that nobody reads before it is complete (the
    // rebuild's new library, which only takes its name when whole): a write that
    // continues the one before gathers in memory (up to kDeferredBytes), and a write
    // inside a cached node changes only the cached node. They reach the file at flush(),
    // close(), truncate(), a read outside the cached nodes, or a write elsewhere; a
    // failure of any of them fails that call and every later write and flush, so the
    // caller learns of it at the latest when it flushes. Not for journaled changes:
    // beginJournal() first writes what is held and ends the deferral.
    void deferWrites() { deferring_ = true; }

    // An undo journal for one change made of many writes. While it runs, the first write
    // to each block of the file as it was saves that block's old bytes; rollback() puts
    // them back and cuts the file to its old length, so a change that fails part way
    // leaves the file byte for byte as it found it. It costs at most one copy of the
    // blocks the change overwrites, which the file itself bounds.
    //
    // With a library path (setJournalPath), the change also survives a crash: writes
    // into the file as it was are held in memory (reads see them) and reach the file
    // only at commitJournal(), after the old bytes went into the journal on disk
    // (journal.h); writes past the old end go straight to the file, since nothing old
    // lies there. A rollback then has nothing to restore but the old length.
    void beginJournal();
    // Restores what the journal saved and ends it; false when a restoring write failed.
    bool rollback();
    // Keeps what was written and ends the journal. With a journal path: writes the
    // journal, the held writes and syncs, and commits by removing the journal; false
    // (and the file as it was, or a journal the next opener plays back) on failure.
    bool commitJournal();
    bool journaling() const { return journaling_; }
    // Whether the last change failed because its journal could not be written beside
    // the library (a directory that may not be written, a full disk).
    bool journalFailed() const { return journalFailed_; }
    // The library's path, whose journal a change writes; empty: changes are undone in
    // memory only (a new file that takes its name only when whole needs no more).
    void setJournalPath(std::u16string libraryPath) { journalPath_ = std::move(libraryPath); }

  private:
    // What every write does after the bytes went out: the file's length and writeback.
    void wrote(std::int64_t offset, std::size_t length);
    // The cached node that holds all of [offset, offset + length), or nullptr; `start`
    // gets its offset.
    std::uint8_t* cachedNodeHolding(std::int64_t offset, std::size_t length, std::int64_t& start);
    // Writes what deferWrites held back: the gathered run, then the changed nodes (whose
    // cached images hold the latest bytes of their range, whatever came before).
    bool flushDeferred();
    bool flushPending();
    // Makes room for a held-back write at `offset`: the held run goes out first unless
    // the write continues it and fits beside it.
    bool holdBack(std::int64_t offset, std::size_t length);
    // Saves the old bytes of the blocks [offset, offset + length) touches, once each.
    bool journalBefore(std::int64_t offset, std::size_t length);

    void updateCache(const std::uint8_t* data, std::size_t length, std::int64_t offset);
    // Keeps the part of a write that falls in the file as it was (below journalSize_)
    // in held_; returns how many of the leading bytes it took.
    std::size_t hold(const std::uint8_t* data, std::size_t length, std::int64_t offset);
    // Lays the held bytes over what a read took from the file.
    void overlayHeld(std::uint8_t* buffer, std::size_t length, std::int64_t offset) const;
    // Writes the held blocks into the file, adjacent ones in one call.
    bool writeHeld();
    // Writes the journal's header (the old length, no records yet) before the first
    // write past the old end.
    bool startJournal();
    void endJournal();

    std::FILE* file_ = nullptr;
    bool writable_ = false;
    std::int64_t size_ = 0;
    // Bytes written since writeback was last started (see writeAt).
    static constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;
    std::size_t writtenSinceWriteback_ = 0;
    using NodeImage = std::array<std::uint8_t, layout::kNodeSize>;
    std::map<std::int64_t, std::unique_ptr<NodeImage>> nodes_;
    static constexpr std::size_t kDeferredBytes = std::size_t{8} << 20;
    bool deferring_ = false;
    bool deferredFailed_ = false;
    Bytes pending_;  // bytes held back, for the file from pendingOffset_ on
    std::int64_t pendingOffset_ = 0;
    std::set<std::int64_t> dirtyNodes_;  // cached nodes changed only in the cache
    bool journaling_ = false;
    std::int64_t journalSize_ = 0;                             // the file's length at beginJournal
    std::map<std::int64_t, std::vector<std::uint8_t>> saved_;  // block offset -> old bytes
    std::u16string journalPath_;
    bool holding_ = false;         // writes below journalSize_ wait
    bool journalStarted_ = false;  // the journal's file exists
    bool journalFailed_ = false;
    std::map<std::int64_t, std::vector<std::uint8_t>> held_;  // block offset -> new bytes
};

}  // namespace keldrin::pbl
