#include "pbl/block_file.h"

#include <algorithm>
#include <cstring>

#include "base/file.h"

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
    return fs::readFileAt(file_, buffer, length, offset);
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
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            pending_.insert(pending_.end(), bytes, bytes + length);
            size_ = std::max(size_, end);
            return true;
        }
    }
    if (!fs::writeFileAt(file_, buffer, length, offset)) return false;
    wrote(offset, length);
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
    if (journaling_ && !journalBefore(offset, length)) return false;
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
    journalSize_ = size_;
    journaling_ = true;
}

void BlockFile::endJournal() {
    journaling_ = false;
    saved_.clear();
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
