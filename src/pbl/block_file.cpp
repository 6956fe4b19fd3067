#include "pbl/block_file.h"

#include <algorithm>
#include <cstring>

#include "base/file.h"
#include "pbl/journal.h"

namespace keldrin::pbl {

namespace {
// Enough for the directory of a very large library; past it the cache starts over
// rather than growing without bound.
constexpr std::size_t kMaxCachedNodes = 8192;
}  // namespace

BlockFile::~BlockFile() {
    close();
}

void BlockFile::attach(std::FILE* file, bool writable) {
    close();
    file_ = file;
    writable_ = writable;
    std::int64_t n = fs::fileSize(file_);
    size_ = n < 0 ? 0 : n;
}

bool BlockFile::close() {
    bool ok = file_ == nullptr || flushDeferred();
    nodes_.clear();
    deferring_ = false;
    deferredFailed_ = false;
    if (file_ == nullptr) return true;
    ok = std::fflush(file_) == 0 && ok;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    size_ = 0;
    return ok;
}

bool BlockFile::readAt(void* buffer, std::size_t length, std::int64_t offset) {
    if (file_ == nullptr || offset < 0) return false;
    if (length == 0) return true;
    std::int64_t start = 0;
    if (const std::uint8_t* node = cachedNodeHolding(offset, length, start)) {
        std::memcpy(buffer, node + (offset - start), length);
        return true;
    }
    if (!flushDeferred()) return false;
    // Reads and writes bypass the stream: a seek on a buffered stream costs a system
    // call and a buffer refill each time, and a library hops between nodes and chains.
    if (!fs::readFileAt(file_, buffer, length, offset)) return false;
    if (holding_) overlayHeld(static_cast<std::uint8_t*>(buffer), length, offset);
    return true;
}

bool BlockFile::writeAt(const void* buffer, std::size_t length, std::int64_t offset) {
    // A stream opened for reading refuses writes; checking first keeps the cache
    // equal to the file.
    if (file_ == nullptr || !writable_ || offset < 0) return false;
    if (length == 0) return true;
    // A write whose old bytes could not be saved would be one that cannot be undone.
    if (journaling_ && !journalBefore(offset, length)) return false;
    // The cache follows what we asked to write even if the write fails part way: the
    // caller reports the failure, and a half-written node is damage either way.
    updateCache(static_cast<const std::uint8_t*>(buffer), length, offset);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (holding_) {
        const std::size_t taken = hold(bytes, length, offset);
        if (taken == length) return true;
        bytes += taken;
        length -= taken;
        offset += static_cast<std::int64_t>(taken);
        if (!startJournal()) return false;
    }
    if (deferring_) {
        if (deferredFailed_) return false;
        const std::int64_t end = offset + static_cast<std::int64_t>(length);
        std::int64_t start = 0;
        if (cachedNodeHolding(offset, length, start) != nullptr) {
            dirtyNodes_.insert(start);
            size_ = std::max(size_, end);
            return true;
        }
        if (!holdBack(offset, length)) return false;
        if (length <= kDeferredBytes) {
            pending_.insert(pending_.end(), bytes, bytes + length);
            size_ = std::max(size_, end);
            return true;
        }
    }
    if (!fs::writeFileAt(file_, bytes, length, offset)) return false;
    wrote(offset, length);
    return true;
}

std::size_t BlockFile::hold(const std::uint8_t* data, std::size_t length, std::int64_t offset) {
    if (offset >= journalSize_) return 0;
    const auto taken = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(length), journalSize_ - offset));
    std::size_t done = 0;
    while (done < taken) {
        const std::int64_t at = offset + static_cast<std::int64_t>(done);
        const std::int64_t block = at - at % layout::kBlockSize;
        auto it = held_.find(block);
        if (it == held_.end()) {
            // journalBefore saved the block's old bytes: its new image starts from them.
            auto old = saved_.find(block);
            if (old == saved_.end()) break;
            it = held_.emplace(block, old->second).first;
        }
        const auto from = static_cast<std::size_t>(at - block);
        if (from >= it->second.size()) break;
        const std::size_t n = std::min(taken - done, it->second.size() - from);
        std::memcpy(it->second.data() + from, data + done, n);
        done += n;
    }
    return done;
}

void BlockFile::overlayHeld(std::uint8_t* buffer, std::size_t length, std::int64_t offset) const {
    if (held_.empty() || offset >= journalSize_) return;
    const std::int64_t end = offset + static_cast<std::int64_t>(length);
    auto it = held_.upper_bound(offset);
    if (it != held_.begin()) --it;
    for (; it != held_.end() && it->first < end; ++it) {
        const std::int64_t blockStart = it->first;
        const std::int64_t blockEnd = blockStart + static_cast<std::int64_t>(it->second.size());
        const std::int64_t from = std::max(blockStart, offset);
        const std::int64_t to = std::min(blockEnd, end);
        if (from < to)
            std::memcpy(buffer + (from - offset), it->second.data() + (from - blockStart),
                        static_cast<std::size_t>(to - from));
    }
}

bool BlockFile::writeHeld() {
    constexpr std::size_t kRunBlocks = 256;
    std::vector<fs::WritePiece> pieces;
    pieces.reserve(kRunBlocks);
    for (auto it = held_.begin(); it != held_.end();) {
        const std::int64_t start = it->first;
        std::int64_t next = start;
        pieces.clear();
        while (it != held_.end() && it->first == next && pieces.size() < kRunBlocks) {
            pieces.push_back({it->second.data(), it->second.size()});
            next += static_cast<std::int64_t>(it->second.size());
            ++it;
        }
        if (!fs::writeFileAtGathered(file_, pieces.data(), pieces.size(), start)) return false;
    }
    return true;
}

std::uint8_t* BlockFile::cachedNodeHolding(std::int64_t offset, std::size_t length,
                                           std::int64_t& start) {
    auto it = nodes_.upper_bound(offset);
    if (it == nodes_.begin()) return nullptr;
    --it;
    if (offset + static_cast<std::int64_t>(length) > it->first + layout::kNodeSize) return nullptr;
    start = it->first;
    return it->second->data();
}

bool BlockFile::holdBack(std::int64_t offset, std::size_t length) {
    const bool continues = !pending_.empty() &&
                           offset == pendingOffset_ + static_cast<std::int64_t>(pending_.size()) &&
                           pending_.size() + length <= kDeferredBytes;
    if (!continues && !flushPending()) return false;
    if (pending_.empty()) pendingOffset_ = offset;
    return true;
}

bool BlockFile::flushPending() {
    if (pending_.empty()) return !deferredFailed_;
    const bool ok = fs::writeFileAt(file_, pending_.data(), pending_.size(), pendingOffset_);
    if (ok) wrote(pendingOffset_, pending_.size());
    pending_.clear();
    if (!ok) deferredFailed_ = true;
    return ok;
}

bool BlockFile::flushDeferred() {
    if (!deferring_) return !deferredFailed_;
    bool ok = flushPending();
    for (std::int64_t start : dirtyNodes_) {
        auto it = nodes_.find(start);
        if (it == nodes_.end()) continue;
        if (fs::writeFileAt(file_, it->second->data(), it->second->size(), start))
            wrote(start, it->second->size());
        else
            ok = false;
    }
    dirtyNodes_.clear();
    if (!ok) deferredFailed_ = true;
    return ok && !deferredFailed_;
}

bool BlockFile::writeAtGathered(const fs::WritePiece* pieces, std::size_t count,
                                std::int64_t offset) {
    if (file_ == nullptr || !writable_ || offset < 0) return false;
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) length += pieces[i].size;
    if (length == 0) return true;
    if (holding_ && offset < journalSize_) {
        // Part of it waits for the commit: one buffer is simpler to split than pieces.
        Bytes flat;
        flat.reserve(length);
        for (std::size_t i = 0; i < count; ++i) {
            const auto* bytes = static_cast<const std::uint8_t*>(pieces[i].data);
            flat.insert(flat.end(), bytes, bytes + pieces[i].size);
        }
        return writeAt(flat.data(), flat.size(), offset);
    }
    if (journaling_ && !journalBefore(offset, length)) return false;
    if (holding_ && !startJournal()) return false;
    std::int64_t at = offset;
    for (std::size_t i = 0; i < count; ++i) {
        updateCache(static_cast<const std::uint8_t*>(pieces[i].data), pieces[i].size, at);
        at += static_cast<std::int64_t>(pieces[i].size);
    }
    if (deferring_) {
        if (deferredFailed_) return false;
        if (!holdBack(offset, length)) return false;
        if (length <= kDeferredBytes) {
            for (std::size_t i = 0; i < count; ++i) {
                const auto* bytes = static_cast<const std::uint8_t*>(pieces[i].data);
                pending_.insert(pending_.end(), bytes, bytes + pieces[i].size);
            }
            size_ = std::max(size_, offset + static_cast<std::int64_t>(length));
            return true;
        }
    }
    if (!fs::writeFileAtGathered(file_, pieces, count, offset)) return false;
    wrote(offset, length);
    return true;
}

void BlockFile::wrote(std::int64_t offset, std::size_t length) {
    size_ = std::max(size_, offset + static_cast<std::int64_t>(length));
    // A large library (a conversion of big reports) is synced before it is put in
    // place; starting the writeback as we go lets the disk work while we still write,
    // instead of all of it in the final wait.
    writtenSinceWriteback_ += length;
    if (writtenSinceWriteback_ >= kWritebackBytes) {
        writtenSinceWriteback_ = 0;
        fs::startWriteback(file_);
    }
}

bool BlockFile::truncate(std::int64_t length) {
    if (file_ == nullptr || !writable_ || length < 0) return false;
    if (!flushDeferred()) return false;
    // Cutting below the journal's length would lose bytes it has not saved.
    if (journaling_ && length < journalSize_) return false;
    if (!fs::truncateFile(file_, length)) return false;
    size_ = length;
    return true;
}

void BlockFile::updateCache(const std::uint8_t* data, std::size_t length, std::int64_t offset) {
    if (nodes_.empty()) return;
    std::int64_t end = offset + static_cast<std::int64_t>(length);
    // Cached nodes that start before `end` and end after `offset`.
    auto it = nodes_.lower_bound(offset - layout::kNodeSize + 1);
    for (; it != nodes_.end() && it->first < end; ++it) {
        std::int64_t nodeStart = it->first;
        std::int64_t from = std::max(nodeStart, offset);
        std::int64_t to = std::min(nodeStart + layout::kNodeSize, end);
        std::memcpy(it->second->data() + (from - nodeStart), data + (from - offset),
                    static_cast<std::size_t>(to - from));
    }
}

const std::uint8_t* BlockFile::readNode(std::int32_t offset) {
    if (!validLink(offset, layout::kNodeSize)) return nullptr;
    auto it = nodes_.find(offset);
    if (it != nodes_.end()) return it->second->data();
    if (nodes_.size() >= kMaxCachedNodes) {
        // Nodes changed only in the cache go to the file before the cache forgets them.
        if (!flushDeferred()) return nullptr;
        nodes_.clear();
    }
    auto image = std::make_unique<NodeImage>();
    if (!readAt(image->data(), image->size(), offset)) return nullptr;
    const std::uint8_t* p = image->data();
    nodes_.emplace(offset, std::move(image));
    return p;
}

void BlockFile::beginJournal() {
    (void)flushDeferred();
    deferring_ = false;
    saved_.clear();
    held_.clear();
    journalSize_ = size_;
    journaling_ = true;
    holding_ = writable_ && !journalPath_.empty();
    journalStarted_ = false;
    journalFailed_ = false;
}

bool BlockFile::startJournal() {
    if (journalStarted_) return true;
    // Before the file grows: a process killed now leaves a journal that tells the next
    // opener the old length, so it cuts off what this change added. Not synced: after
    // a power cut the added blocks may stay, unreferenced, as free space.
    if (!journal::writeAndSync(journalPath_, journal::encode(journalPath_, journalSize_, {}),
                               journal::Durability::kWritten)) {
        journalFailed_ = true;
        return false;
    }
    journalStarted_ = true;
    return true;
}

void BlockFile::endJournal() {
    journaling_ = false;
    holding_ = false;
    saved_.clear();
    held_.clear();
}

bool BlockFile::commitJournal() {
    if (!journaling_) return true;
    if (!holding_) {
        endJournal();
        return true;
    }
    // Only blocks whose bytes really change are journaled and written (a bitmap block
    // is often written back as it was).
    std::map<std::int64_t, std::vector<std::uint8_t>> old;
    for (auto it = held_.begin(); it != held_.end();) {
        const std::vector<std::uint8_t>& before = saved_.at(it->first);
        if (before == it->second) {
            it = held_.erase(it);
            continue;
        }
        old.emplace(it->first, before);
        ++it;
    }
    // Nothing of the old file changes: what went past its old end is reached by nothing.
    if (old.empty()) {
        const bool removed = !journalStarted_ || journal::remove(journalPath_);
        endJournal();
        return removed;
    }
    if (!journal::writeAndSync(
            journalPath_, journal::encode(journalPath_, journalSize_, old),
            journalStarted_ ? journal::Durability::kReplaceSynced : journal::Durability::kSynced)) {
        journalFailed_ = true;
        (void)rollback();
        return false;
    }
    if (!writeHeld() || !fs::syncFile(file_)) {
        // Some held blocks may have reached the file: the old bytes go back as an undo
        // in memory puts them back. When even that fails, the journal stays on disk and
        // the next opener plays it back.
        holding_ = false;
        const bool restored = rollback() && fs::syncFile(file_);
        if (restored) (void)journal::remove(journalPath_);
        endJournal();
        return false;
    }
    const bool committed = journal::remove(journalPath_);
    endJournal();
    return committed;
}

bool BlockFile::journalBefore(std::int64_t offset, std::size_t length) {
    const std::int64_t first = offset - offset % layout::kBlockSize;
    // Whole blocks: a later write to another part of a saved block finds it saved.
    const std::int64_t last = offset + static_cast<std::int64_t>(length);
    const std::int64_t end = std::min(
        (last + layout::kBlockSize - 1) / layout::kBlockSize * layout::kBlockSize, journalSize_);
    if (first >= end) return true;
    // One read for the whole range (a chain's run of blocks arrives as one write), then
    // a copy of each block that no earlier write of this change has saved.
    std::vector<std::uint8_t> old(static_cast<std::size_t>(end - first));
    if (!fs::readFileAt(file_, old.data(), old.size(), first)) return false;
    for (std::int64_t block = first; block < end; block += layout::kBlockSize) {
        if (saved_.count(block) != 0) continue;
        const auto from = static_cast<std::size_t>(block - first);
        const auto to = static_cast<std::size_t>(std::min(block + layout::kBlockSize, end) - first);
        saved_.emplace(block, std::vector<std::uint8_t>(old.data() + from, old.data() + to));
    }
    return true;
}

bool BlockFile::rollback() {
    if (!journaling_) return true;
    journaling_ = false;
    // The cache may hold what the failed change wrote.
    nodes_.clear();
    if (holding_) {
        // Nothing of the old file was written; only what went past its end is cut off.
        holding_ = false;
        held_.clear();
        saved_.clear();
        const std::int64_t actual = fs::fileSize(file_);
        size_ = journalSize_;
        const bool cut = actual == journalSize_ || fs::truncateFile(file_, journalSize_);
        // The journal goes only once the file is back at its old length.
        const bool removed = !journalStarted_ || (cut && journal::remove(journalPath_));
        journalStarted_ = false;
        return cut && removed;
    }
    bool ok = true;
    for (const auto& [block, old] : saved_)
        ok = fs::writeFileAt(file_, old.data(), old.size(), block) && ok;
    saved_.clear();
    if (size_ != journalSize_) {
        ok = fs::truncateFile(file_, journalSize_) && ok;
        size_ = journalSize_;
    }
    return ok;
}

int BlockFile::flush() {
    if (file_ == nullptr) return 0;
    const bool held = flushDeferred();
    return std::fflush(file_) == 0 && held ? 0 : -1;
}

}  // namespace keldrin::pbl
