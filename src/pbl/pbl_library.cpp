// Opening a library, entry data, the library comment and library data, and the walk
// over all entries. Formats: pbl_layout.h. The directory lives in directory.cpp.
//
// Data chains: a byte string of L bytes takes ceil(L / 502) "DAT*" blocks (an entry at
// least one). Rewriting a chain reuses its old blocks first, in chain order, frees the
// surplus or allocates what is missing, so an entry's blocks are only ever its own.
// Reading a chain never copies more than the descriptor's size into the caller's
// buffer: a chain that holds more or fewer bytes is damage.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_set>

#include "base/file.h"
#include "base/stamp_clock.h"
#include "base/text.h"
#include "pbl/library.h"
#include "pbl/node_records.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

using namespace layout;

namespace {

// How many of the blocks list[from..to) lie one after another in the file from `from`
// on, at most `most`: the blocks one write can cover.
std::size_t adjacentRun(const std::vector<std::int32_t>& list, std::size_t from, std::size_t to,
                        std::size_t most) {
    std::size_t count = 1;
    while (from + count < to && count < most &&
           std::int64_t{list[from + count]} == std::int64_t{list[from + count - 1]} + kBlockSize)
        ++count;
    return count;
}

}  // namespace

PblLibrary::PblLibrary(PblManager* manager, bool writable)
    : manager_(manager), writable_(writable) {}

PblLibrary::~PblLibrary() {
    // A change that was begun and never committed did not succeed: undo it.
    if (file_.journaling()) (void)abandonChange();
    // Nobody is left to hear about a failed bitmap write here; flush() reports it to
    // callers who ask.
    if (allocator_) (void)allocator_->flush();
    file_.close();
}

void PblLibrary::beginChange() {
    if (!writable_) return;
    file_.beginJournal();
    allocator_->setAllocationGuard([this] { return requireBitmapCoversUse(); });
}

int PblLibrary::requireBitmapCoversUse() {
    const std::vector<std::uint8_t>& flags = allocator_->flags();
    // `owner` names what uses the block; -1 the header area, 0 the library data, -2 a
    // node, otherwise the entry record's offset (named only when something is wrong).
    auto check = [&](std::int64_t offset, std::int32_t owner) -> int {
        const std::int64_t block = (offset - headerOffset_) / kBlockSize;
        // Blocks past the bitmap's reach count as free too: the allocator hands them out.
        if (block >= 0 && block < static_cast<std::int64_t>(flags.size()) &&
            flags[static_cast<std::size_t>(block)] != 0)
            return kPblOk;
        const std::string who = owner == -1   ? "the library's header area"
                                : owner == 0  ? "the library data"
                                : owner == -2 ? "a directory node"
                                              : "entry '" + entryNameAt(owner) + "'";
        return damaged("block in use by " + who +
                           " is marked free in the bitmap, so a write could overwrite it; "
                           "the library needs `keldrin-pbl salvage`",
                       offset);
    };
    const Variant& v = variant();
    for (std::int64_t at = headerOffset_; at < rootNodeOffset() + kNodeSize; at += kBlockSize) {
        int rc = check(at, -1);
        if (rc != kPblOk) return rc;
    }
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    // Nothing is written during the walk, so one window serves all chains: they mostly
    // lie one after another in the file.
    ChainWindow window;
    auto walkChainOf = [&](std::int32_t first, std::int32_t owner) {
        return walkChain(
            first, owner, [] { return std::int64_t{1} << 30; },
            [&](std::int32_t link, ByteSpan, const DataBlockHeader&) { return check(link, owner); },
            nullptr, &window);
    };
    rc = walkChainOf(headerLibraryDataFirst(v, header), 0);
    if (rc != kPblOk) return rc;
    return walkDirectory([&](std::int32_t node, const std::vector<RecordRef>& records) {
        for (int k = 0; k < kNodeBlocks; ++k) {
            const int fault = check(std::int64_t{node} + std::int64_t{k} * kBlockSize, -2);
            if (fault != kPblOk) return fault;
        }
        for (const RecordRef& r : records) {
            const int fault = walkChainOf(r.header.firstBlock, node + kNodeHeaderSize + r.position);
            if (fault != kPblOk) return fault;
        }
        return static_cast<int>(kPblOk);
    });
}

int PblLibrary::walkDirectory(
    const std::function<int(std::int32_t node, const std::vector<RecordRef>& records)>& visit) {
    const Variant& v = variant();
    const std::int64_t maxNodes = file_.blockCount() / kNodeBlocks + 1;
    std::vector<std::int32_t> stack{rootNodeOffset()};
    std::unordered_set<std::int32_t> seen;
    std::vector<RecordRef> records;
    Bytes image(kNodeSize);
    while (!stack.empty()) {
        const std::int32_t node = stack.back();
        stack.pop_back();
        if (node == kNoLink) continue;
        // A node reached twice means the links form a cycle or share a subtree.
        if (static_cast<std::int64_t>(seen.size()) >= maxNodes || !seen.insert(node).second)
            return damaged("directory loops back", node);
        const std::uint8_t* cached = file_.readNode(node);
        if (cached == nullptr) return damaged("node lies outside the file", node);
        // The visitor may read through this library, which may evict the cached node.
        std::memcpy(image.data(), cached, kNodeSize);
        NodeHeader h;
        Damage fault;
        if (!decodeNodeHeader(image, h, &fault) || !listRecords(v, image, h, records, &fault))
            return damaged(fault.what, std::int64_t{node} + fault.offset);
        const int rc = visit(node, records);
        if (rc != kPblOk) return rc;
        stack.push_back(h.right);
        stack.push_back(h.left);
    }
    return kPblOk;
}

int PblLibrary::commitChange() {
    int rc = flush();
    // A failed flush leaves the journal running, so the change can still be undone.
    if (rc != kPblOk) return rc;
    // A journal that could not be written or committed has put the file back already.
    return file_.commitJournal() ? kPblOk : kPblWriteFailed;
}

int PblLibrary::abandonChange() {
    // What the allocator holds in memory describes the abandoned change: forget it.
    if (allocator_) allocator_->unload();
    return file_.rollback() ? kPblOk : kPblIoError;
}

bool PblLibrary::open(std::FILE* stream) {
    // A file without a header at its start can only hold a library inside a host file,
    // which is never written (hosted()): it is attached read-only whatever the caller
    // asked, so no write can reach it by any path.
    std::uint8_t start[kSignatureBytes];
    if (!fs::readFileAt(stream, start, sizeof start, 0) || !hasSignature(start, kHeaderSignature))
        writable_ = false;
    file_.attach(stream, writable_);
    // Why a file is no library, kept like any damage for the caller to tell.
    auto notALibrary = [this](const char* reason, std::int64_t offset) {
        (void)damaged(reason, offset);
        return false;
    };
    const std::int64_t size = file_.size();
    std::uint8_t sig[kTrailerHeadBytes];
    std::int64_t headerOffset = -1;
    if (file_.fits(0, kSignatureBytes) && file_.readAt(sig, kSignatureBytes, 0) &&
        hasSignature(sig, kHeaderSignature)) {
        headerOffset = 0;
    } else if (size >= kBlockSize && file_.readAt(sig, sizeof sig, size - kBlockSize) &&
               hasSignature(sig, kTrailerSignature)) {
        std::int32_t at = 0;
        (void)readI32(ByteSpan(sig), kTrailerHeaderOffsetField, at);  // inside `sig`
        if (!(at > 0 && at % kBlockSize == 0 && file_.fits(at, kSignatureBytes) &&
              file_.readAt(sig, kSignatureBytes, at) && hasSignature(sig, kHeaderSignature)))
            return notALibrary("trailer names no library header", size - kBlockSize);
        headerOffset = at;
    } else {
        return notALibrary("no library header at the start and no trailer at the end", 0);
    }
    if (!file_.fits(headerOffset + kHeaderKindField, kHeaderKindBytes) ||
        !file_.readAt(sig, kHeaderKindBytes, headerOffset + kHeaderKindField))
        return notALibrary("library header is cut short", headerOffset);
    HeaderKind kind = recogniseHeader(sig);
    if (kind == HeaderKind::kNotALibrary)
        return notALibrary("library header names neither variant", headerOffset);
    unicode_ = kind == HeaderKind::kUnicodeHeader;
    const Variant& v = variant();
    if (unicode_) {
        versionNumber_ = kUnicodeVersion;
    } else {
        std::uint8_t digit = 0;
        if (!file_.readAt(&digit, 1, headerOffset + v.versionDigitField) || digit < '0' ||
            digit > '9')
            return notALibrary("library header's version is not a number",
                               headerOffset + v.versionField);
        versionNumber_ = digit - '0';
    }
    // The header fields, the first bitmap block and the root node must all be there:
    // a truncated file is not a library we can work on.
    if (headerOffset > INT32_MAX - v.rootOffset - kNodeSize)
        return notALibrary("library header lies too far into the file", headerOffset);
    // Inside a host file the first bitmap block follows the library's own header, as
    // real host files lay it out; at the start of a file that is the same offset.
    if (!file_.fits(headerOffset, v.headerFieldBytes) ||
        !file_.fits(headerOffset + v.firstBitmapOffset, kBlockSize) ||
        !file_.fits(headerOffset + v.rootOffset, kNodeSize)) {
        return notALibrary("file ends before the library's root node", headerOffset);
    }
    headerOffset_ = static_cast<std::int32_t>(headerOffset);
    // A hosted library's bitmap counts blocks from its header block, which the allocator
    // does not know how to address: it only ever reads that bitmap (writable_ is false).
    allocator_ = std::make_unique<BitmapAllocator>(
        file_, damage_, headerOffset_ + v.firstBitmapOffset, headerOffset_,
        headerOffset_ + v.rootOffset + kNodeSize, writable_);
    opened_ = true;
    return true;
}

void PblLibrary::release() {
    if (!file_.journaling()) (void)flush();
    delete this;
}

int PblLibrary::flush() {
    if (!file_.isOpen()) return 0;
    int bitmap = allocator_->flush();
    int stream = file_.flush();
    // Keep the bitmap when it could not be written: dropping it would let the next
    // allocation hand out blocks that are in use.
    if (bitmap != kPblOk) return bitmap;
    allocator_->unload();
    return stream;
}

int PblLibrary::readHeader(Bytes& header) {
    header.assign(static_cast<std::size_t>(variant().headerFieldBytes), 0);
    return file_.readAt(header.data(), header.size(), headerOffset_) ? kPblOk : kPblIoError;
}

int PblLibrary::writeHeader(const Bytes& header) {
    return file_.writeAt(header.data(), header.size(), headerOffset_) ? kPblOk : kPblIoError;
}

int PblLibrary::blockUsage(std::int64_t& used, std::int64_t& free) {
    int rc = allocator_->load();
    if (rc != kPblOk) return rc;
    // The allocator follows the chain by its links alone; a report on the library's
    // state also wants every block of it to be a bitmap block.
    for (std::size_t j = 0; j < allocator_->bitmapBlockCount(); ++j) {
        std::uint8_t sig[kSignatureBytes];
        const std::int32_t at = allocator_->bitmapBlockOffset(j);
        if (!file_.readAt(sig, sizeof sig, at) || !hasSignature(sig, kBitmapSignature))
            return damaged("bitmap block lacks its signature", at);
    }
    const auto& flags = allocator_->flags();
    // Flag n stands for block n counted from the header block (block 0 of a plain file).
    const std::int64_t blocks = libraryBlocks();
    const auto covered = static_cast<std::int64_t>(flags.size());
    const auto inLibrary = static_cast<std::ptrdiff_t>(std::min(blocks, covered));
    used = std::count(flags.begin(), flags.end(), std::uint8_t{1});
    free = std::count(flags.begin(), flags.begin() + inLibrary, std::uint8_t{0}) +
           std::max<std::int64_t>(0, blocks - covered);
    return kPblOk;
}

// ---- data chains -------------------------------------------------------------------

int PblLibrary::chainDamaged(const char* reason, std::int64_t offset, std::int32_t owner) {
    if (owner == kNoLink) return damaged(std::string("library data: ") + reason, offset);
    return damaged(reason, offset, entryNameAt(owner));
}

int PblLibrary::collectChain(std::int32_t first, std::vector<std::int32_t>& list,
                             std::int32_t owner) {
    list.clear();
    const std::int64_t maxBlocks = file_.blockCount();
    std::uint8_t head[kDataHeaderSize];
    std::int64_t from = owner;  // what holds the link being followed
    for (std::int32_t link = first; link != kNoLink;) {
        // A chain longer than the file has blocks loops.
        if (static_cast<std::int64_t>(list.size()) >= maxBlocks)
            return chainDamaged("data chain loops back", link, owner);
        if (!file_.validLink(link, kBlockSize))
            return chainDamaged("data chain link leaves the file", from, owner);
        if (!file_.readAt(head, sizeof head, link)) return kPblIoError;
        DataBlockHeader h;
        if (!hasSignature(head, kDataSignature) || !DataBlockHeader::decode(head, h))
            return chainDamaged("data block lacks its signature", link, owner);
        list.push_back(link);
        from = link;
        link = h.next;
    }
    return kPblOk;
}

int PblLibrary::walkChain(
    std::int32_t first, std::int32_t owner, const std::function<std::int64_t()>& blocksAhead,
    const std::function<int(std::int32_t, ByteSpan, const DataBlockHeader&)>& visit,
    std::int64_t* last, ChainWindow* shared) {
    std::int64_t blocks = 0;
    std::int64_t from = owner;
    const std::int64_t maxBlocks = file_.blockCount();
    // Chains mostly run through adjacent blocks, so blocks are read in windows of up to
    // kWindowBlocks (never more than the rest of the walk needs, never past the file's
    // end): one seek and one read for a run instead of one per block.
    // The window's buffer is kept from call to call: reading every entry of a library
    // is many small reads, and a fresh zeroed buffer each time costs as much as the read.
    constexpr std::int64_t kWindowBlocks = 128;
    ChainWindow own;
    ChainWindow& w = shared != nullptr ? *shared : own;
    Bytes& window = chainWindow_;
    std::int64_t& windowStart = w.start;
    std::int64_t& windowBytes = w.bytes;
    for (std::int32_t link = first; link != kNoLink;) {
        if (blocks++ >= maxBlocks) return chainDamaged("data chain loops back", link, owner);
        if (!file_.validLink(link, kBlockSize))
            return chainDamaged("data chain link leaves the file", from, owner);
        if (link < windowStart || link - windowStart >= windowBytes) {
            std::int64_t wanted = std::max<std::int64_t>(1, blocksAhead());
            wanted = std::min({wanted, kWindowBlocks, (file_.size() - link) / kBlockSize});
            windowBytes = wanted * kBlockSize;
            if (window.size() < static_cast<std::size_t>(windowBytes))
                window.resize(static_cast<std::size_t>(windowBytes));
            if (!file_.readAt(window.data(), static_cast<std::size_t>(windowBytes), link)) {
                return kPblIoError;
            }
            windowStart = link;
        }
        const ByteSpan block = ByteSpan(window).subspan(
            static_cast<std::size_t>(link - windowStart), static_cast<std::size_t>(kBlockSize));
        DataBlockHeader h;
        if (!hasSignature(block, kDataSignature) || !DataBlockHeader::decode(block, h))
            return chainDamaged("data block lacks its signature", link, owner);
        const int rc = visit(link, block, h);
        if (rc != kPblOk) return rc;
        from = link;
        link = h.next;
    }
    if (last != nullptr) *last = from;
    return kPblOk;
}

int PblLibrary::readChain(std::int32_t first, std::int64_t length, std::uint8_t* buffer,
                          std::int32_t owner) {
    if (length < 0 || length > maxDataBytes())
        return chainDamaged("data size exceeds what the file can hold", owner, owner);
    std::int64_t copied = 0;
    std::int64_t last = owner;
    int rc = walkChain(
        first, owner, [&] { return dataBlocksFor(length - copied); },
        [&](std::int32_t link, ByteSpan block, const DataBlockHeader& h) {
            if (h.used > kDataCapacity)
                return chainDamaged("data block's used count is above its capacity", link, owner);
            // More bytes than the entry says it has: never write past the caller's buffer.
            if (h.used > length - copied)
                return chainDamaged("data chain holds more bytes than its size", link, owner);
            // An empty entry may come with no buffer at all.
            if (h.used > 0) std::memcpy(buffer + copied, block.data() + kDataHeaderSize, h.used);
            copied += h.used;
            return static_cast<int>(kPblOk);
        },
        &last);
    if (rc != kPblOk) return rc;
    if (copied != length)
        return chainDamaged("data chain holds fewer bytes than its size", last, owner);
    return kPblOk;
}

int PblLibrary::prepareChain(std::int32_t firstBlock, std::int64_t length, bool atLeastOne,
                             std::int32_t owner, std::vector<std::int32_t>& list,
                             std::size_t& reused) {
    int rc = collectChain(firstBlock, list, owner);
    if (rc != kPblOk) return rc;
    std::int64_t needed = dataBlocksFor(length);
    if (needed == 0 && atLeastOne) needed = 1;
    const auto have = static_cast<std::int64_t>(list.size());
    if (needed > have) {
        rc = allocator_->allocate(static_cast<int>(needed - have), list, false);
        if (rc != kPblOk) return rc;
    } else if (needed < have) {
        rc = allocator_->release(list, static_cast<std::size_t>(needed), -1);
        if (rc != kPblOk) return rc;
        list.resize(static_cast<std::size_t>(needed));
    }
    reused = static_cast<std::size_t>(std::min(needed, have));
    return kPblOk;
}

int PblLibrary::fillChain(
    std::int32_t& firstBlock, const std::vector<std::int32_t>& list, std::size_t reused,
    const std::function<bool(std::size_t from, std::size_t to)>& writeBlocks) {
    // The blocks new to the chain go out first: they are the ones that can make the file
    // grow, and when the disk is full that must fail while the old blocks still hold
    // the entry's old data (its record still points at them). The bytes written are the
    // same either way.
    const std::int64_t sizeBefore = file_.size();
    if (!writeBlocks(reused, list.size())) {
        // Nothing points at the new blocks: hand them back rather than leak them, and
        // cut off what part of them reached the file.
        (void)allocator_->release(list, reused, -1);
        (void)file_.truncate(sizeBefore);
        return kPblIoError;
    }
    if (!writeBlocks(0, reused)) return kPblIoError;
    firstBlock = list.empty() ? kNoLink : list[0];
    return kPblOk;
}

int PblLibrary::writeChain(std::int32_t& firstBlock, const std::uint8_t* data, std::int64_t length,
                           bool atLeastOne, std::int32_t owner) {
    std::vector<std::int32_t> list;
    std::size_t reused = 0;
    int rc = prepareChain(firstBlock, length, atLeastOne, owner, list, reused);
    if (rc != kPblOk) return rc;
    // Blocks that follow each other in the file go out in one write: one system call per
    // run rather than thousands for one large entry. The write gathers each block's
    // header, its bytes where the caller holds them and, for a chain's last block, zeros
    // to its end, so the data is not first copied into a buffer of whole blocks.
    constexpr std::size_t kRunBlocks = 256;
    static constexpr std::uint8_t kZeros[kDataCapacity] = {};
    std::vector<std::uint8_t> headers(std::min(list.size(), kRunBlocks) * kDataHeaderSize);
    std::vector<fs::WritePiece> pieces;
    pieces.reserve(std::min(list.size(), kRunBlocks) * 2 + 1);
    auto writeBlocks = [&](std::size_t from, std::size_t to) {
        std::int64_t written = static_cast<std::int64_t>(from) * kDataCapacity;
        std::size_t i = from;
        while (i < to) {
            const std::size_t count = adjacentRun(list, i, to, kRunBlocks);
            pieces.clear();
            std::uint8_t* header = headers.data();
            for (std::size_t k = 0; k < count; ++k, header += kDataHeaderSize) {
                const std::size_t index = i + k;
                const std::int64_t chunk = std::min<std::int64_t>(length - written, kDataCapacity);
                DataBlockHeader h;
                h.next = index + 1 < list.size() ? list[index + 1] : kNoLink;
                h.used = static_cast<std::uint16_t>(chunk);
                h.encode(header);
                pieces.push_back({header, kDataHeaderSize});
                if (chunk > 0) pieces.push_back({data + written, static_cast<std::size_t>(chunk)});
                // Only a chain's last block is partly used; the rest of it is zero.
                if (chunk < kDataCapacity)
                    pieces.push_back({kZeros, static_cast<std::size_t>(kDataCapacity - chunk)});
                written += chunk;
            }
            if (!file_.writeAtGathered(pieces.data(), pieces.size(), list[i])) return false;
            i += count;
        }
        return true;
    };
    return fillChain(firstBlock, list, reused, writeBlocks);
}

int PblLibrary::writeChain(std::int32_t& firstBlock, ChainImage& image, std::int32_t owner) {
    std::vector<std::int32_t> list;
    std::size_t reused = 0;
    const auto length = static_cast<std::int64_t>(image.length());
    int rc = prepareChain(firstBlock, length, true, owner, list, reused);
    if (rc != kPblOk) return rc;
    if (list.size() != image.blockCount()) return kPblFailed;
    // The image already holds the data where the blocks want it: only the headers and the
    // last block's unused tail are written into it, and then runs of adjacent blocks go out
    // as they lie, in one write each.
    for (std::size_t index = 0; index < list.size(); ++index) {
        const std::int64_t chunk = std::min<std::int64_t>(
            length - static_cast<std::int64_t>(index) * kDataCapacity, kDataCapacity);
        DataBlockHeader h;
        h.next = index + 1 < list.size() ? list[index + 1] : kNoLink;
        h.used = static_cast<std::uint16_t>(chunk);
        h.encode(image.block(index));
        if (chunk < kDataCapacity)
            std::memset(image.block(index) + kDataHeaderSize + chunk, 0,
                        static_cast<std::size_t>(kDataCapacity - chunk));
    }
    // Runs are bounded so that the file's writeback starts while the entry is still
    // being written.
    constexpr std::size_t kRunBlocks = 4096;
    auto writeBlocks = [&](std::size_t from, std::size_t to) {
        std::size_t i = from;
        while (i < to) {
            const std::size_t count = adjacentRun(list, i, to, kRunBlocks);
            if (!file_.writeAt(image.block(i), count * kBlockSize, list[i])) return false;
            i += count;
        }
        return true;
    };
    return fillChain(firstBlock, list, reused, writeBlocks);
}

// ---- entries -------------------------------------------------------------------------

std::string PblLibrary::displayName(ByteSpan stored) const {
    return displayStoredName(unicode_, stored);
}

std::string PblLibrary::entryNameAt(std::int32_t entryOffset) {
    const Variant& v = variant();
    Bytes rec(static_cast<std::size_t>(v.entryHeaderSize));
    EntryRecordHeader h;
    if (!validEntryOffset(entryOffset) || !file_.readAt(rec.data(), rec.size(), entryOffset) ||
        !hasSignature(rec, kEntrySignature) || !EntryRecordHeader::decode(v, rec, h))
        return {};
    Bytes name(std::min<std::size_t>(h.nameLength, kMaxNameLength));
    if (!file_.readAt(name.data(), name.size(), std::int64_t{entryOffset} + v.entryHeaderSize))
        return {};
    return displayName(name);
}

bool PblLibrary::validEntryOffset(std::int32_t entryOffset) const {
    return entryOffset > 0 && file_.fits(entryOffset, variant().entryHeaderSize);
}

int PblLibrary::readEntryData(const PblEntryInfo& info, void* buffer) {
    if (buffer == nullptr && info.dataSize != 0) return kPblFailed;
    return readChain(info.firstBlock, info.dataSize, static_cast<std::uint8_t*>(buffer),
                     info.entryOffset);
}

int PblLibrary::writeEntryData(PblEntryInfo& info, const void* data, int size, short commentSize) {
    if (!writable_) return readOnly();
    if (unicode_ && (commentSize % 2) != 0) return kPblInvalidArgument;
    if (size < 0 || commentSize < 0) return kPblInvalidArgument;
    const std::int64_t total = static_cast<std::int64_t>(size) + commentSize;
    if (total > INT32_MAX) return kPblInvalidArgument;
    if (data == nullptr && total > 0) return kPblInvalidArgument;
    return writeEntry(info, total, commentSize, [&](std::int32_t& firstBlock) {
        return writeChain(firstBlock, static_cast<const std::uint8_t*>(data), total, true,
                          info.entryOffset);
    });
}

int PblLibrary::writeEntry(PblEntryInfo& info, std::int64_t total, short commentSize,
                           const std::function<int(std::int32_t& firstBlock)>& chain) {
    const Variant& v = variant();
    if (info.entryOffset == kNoLink) return kPblInvalidArgument;
    // The record is checked before any block moves: a descriptor that names no entry
    // record must not cost the library its data.
    std::uint8_t rec[kUnicode.entryHeaderSize];
    static_assert(kUnicode.entryHeaderSize >= kAnsi.entryHeaderSize);
    if (!validEntryOffset(info.entryOffset))
        return damaged("entry record lies outside the file", info.entryOffset);
    if (!file_.readAt(rec, static_cast<std::size_t>(v.entryHeaderSize), info.entryOffset)) {
        return kPblIoError;
    }
    if (!hasSignature(rec, kEntrySignature))
        return damaged("entry record lacks its signature", info.entryOffset);

    int rc = chain(info.firstBlock);
    if (rc != kPblOk) return rc;
    info.commentSize = static_cast<std::uint16_t>(commentSize);
    info.dataSize = static_cast<std::int32_t>(total);

    EntryRecordHeader h = EntryRecordHeader::decode(v, rec);
    h.firstBlock = info.firstBlock;
    h.dataSize = info.dataSize;
    h.commentLength = static_cast<std::uint16_t>(unicode_ ? commentSize / 2 : commentSize);
    h.time = info.time != 0 ? info.time : stamp::now();
    h.encodeFields(v, rec);  // the record keeps its own signature and entry version
    return file_.writeAt(rec, static_cast<std::size_t>(v.entryHeaderSize), info.entryOffset)
               ? kPblOk
               : kPblIoError;
}

int PblLibrary::writeEntryTime(const PblEntryInfo& info) {
    if (!writable_) return readOnly();
    if (info.entryOffset == kNoLink) return kPblInvalidArgument;
    if (!validEntryOffset(info.entryOffset))
        return damaged("entry record lies outside the file", info.entryOffset);
    std::uint8_t bytes[sizeof(std::int32_t)];
    storeI32(bytes, info.time);
    return file_.writeAt(bytes, sizeof bytes, info.entryOffset + variant().entryTimeField)
               ? kPblOk
               : kPblFailed;
}

int PblLibrary::putEntry(const std::u16string& name, ByteSpan comment, ByteSpan body,
                         std::optional<std::int32_t> time) {
    if (!writable_) return readOnly();
    if (comment.size() > maxCommentBytes() || (unicode_ && comment.size() % 2 != 0) ||
        body.size() > maxEntryBytes() - comment.size())
        return kPblInvalidArgument;
    // A name past the node's room is refused as such, not looked up and not found.
    const std::size_t nameBytes = unicode_ ? name.size() * 2 : wideToAnsi(name).size();
    if (nameBytes > maxNameBytes()) return kPblInvalidArgument;
    // The data goes to the chain in one piece; only an entry with a comment needs a copy,
    // and not when the caller holds the comment right before the body.
    Bytes joined;
    ByteSpan data = body;
    if (!comment.empty() && comment.data() + comment.size() == body.data()) {
        data = ByteSpan(comment.data(), comment.size() + body.size());
    } else if (!comment.empty()) {
        joined.reserve(comment.size() + body.size());
        joined.assign(comment.begin(), comment.end());
        joined.insert(joined.end(), body.begin(), body.end());
        data = ByteSpan(joined.data(), joined.size());
    }
    PblEntryInfo info{};
    int rc = findEntry(name, info, 1);
    if (rc != kPblOk) return rc;
    info.time = time.value_or(0);  // 0 stamps the current time
    // An empty entry still hands the chain a valid address (its copy takes none of it).
    static constexpr std::uint8_t kNothing = 0;
    rc = writeEntryData(info, data.empty() ? &kNothing : data.data(), static_cast<int>(body.size()),
                        static_cast<short>(comment.size()));
    // A time of 0 asked for is kept, not taken for "now".
    if (rc == kPblOk && time == 0) rc = writeEntryTime(info);
    return rc;
}

int PblLibrary::putEntry(const std::u16string& name, ChainImage& body) {
    if (!writable_) return readOnly();
    if (body.length() > maxEntryBytes()) return kPblInvalidArgument;
    const std::size_t nameBytes = unicode_ ? name.size() * 2 : wideToAnsi(name).size();
    if (nameBytes > maxNameBytes()) return kPblInvalidArgument;
    PblEntryInfo info{};
    int rc = findEntry(name, info, 1);
    if (rc != kPblOk) return rc;
    info.time = 0;  // stamps the current time
    return writeEntry(
        info, static_cast<std::int64_t>(body.length()), 0,
        [&](std::int32_t& firstBlock) { return writeChain(firstBlock, body, info.entryOffset); });
}

int PblLibrary::forEachEntry(PblEntryVisitor& visitor) {
    const Variant& v = variant();
    return walkDirectory([&](std::int32_t node, const std::vector<RecordRef>& records) {
        for (const RecordRef& r : records) {
            const std::int32_t entryOffset = node + kNodeHeaderSize + r.position;
            if (!plausibleSizes(r.header))
                return damaged("entry sizes exceed what the file can hold", entryOffset,
                               displayName(ByteSpan(
                                   r.name, static_cast<std::size_t>(r.nameBytesWithTerminator))));
            PblEntryInfo info;
            info.name = manager_->convertName(r.name, r.nameBytesWithTerminator, unicode_);
            info.dataSize = r.header.dataSize;
            info.commentSize = r.header.commentLength * v.charSize;
            info.firstBlock = r.header.firstBlock;
            info.time = r.header.time;
            info.nodeOffset = node;
            info.entryOffset = entryOffset;
            info.nameSize = r.nameBytes;
            info.recordSize = r.size();
            if (visitor.visit(info) == 0) return static_cast<int>(kPblStopped);
        }
        return static_cast<int>(kPblOk);
    });
}

// ---- comment and library data -------------------------------------------------------

int PblLibrary::getComment(void* buffer, int& size) {
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    const ByteSpan field = ByteSpan(header).subspan(static_cast<std::size_t>(v.commentField),
                                                    static_cast<std::size_t>(v.commentCapacity));
    // A field without terminator (damage) yields its whole content, terminated here.
    const int chars = static_cast<int>(storedTextBytes(v.unicode, field)) / v.charSize;
    const int needed = (chars + 1) * v.charSize;
    if (size == 0) {
        size = needed;
        return kPblOk;
    }
    if (size < needed || buffer == nullptr) return kPblInvalidArgument;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const auto textBytes = static_cast<std::size_t>(chars) * static_cast<std::size_t>(v.charSize);
    std::memcpy(out, field.data(), textBytes);
    std::memset(out + textBytes, 0, static_cast<std::size_t>(v.charSize));
    size = needed;
    return kPblOk;
}

int PblLibrary::setComment(const void* text) {
    if (!writable_) return readOnly();
    if (text == nullptr) return kPblInvalidArgument;
    const Variant& v = variant();
    // The caller's text ends at its terminator; counting stops there or at the first
    // character that cannot fit, so nothing past either is read.
    const int capacityChars = v.commentCapacity / v.charSize;
    const ByteSpan in(static_cast<const std::uint8_t*>(text),
                      static_cast<std::size_t>(v.commentCapacity));
    int chars = 0;
    for (; chars < capacityChars; ++chars) {
        std::uint16_t c = 0;
        if (v.charSize == 1)
            c = in[static_cast<std::size_t>(chars)];
        else
            (void)readU16(in, 2 * static_cast<std::size_t>(chars), c);  // inside `in`
        if (c == 0) break;
    }
    if (chars >= capacityChars) return kPblInvalidArgument;  // no room for the terminator
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    std::uint8_t* field = header.data() + v.commentField;
    std::memset(field, 0, static_cast<std::size_t>(v.commentCapacity));
    std::memcpy(field, in.data(),
                static_cast<std::size_t>(chars) * static_cast<std::size_t>(v.charSize));
    return writeHeader(header);
}

int PblLibrary::readLibraryData(void* buffer, int& size) {
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    std::int32_t length = headerLibraryDataLength(v, header);
    if (length < 0 || length > maxDataBytes())
        return damaged("library data length exceeds what the file can hold",
                       headerOffset_ + v.libraryDataLengthField);
    if (size == 0) {
        size = length;
        return kPblOk;
    }
    if (size < length || buffer == nullptr) return kPblInvalidArgument;
    size = length;
    return readChain(headerLibraryDataFirst(v, header), length, static_cast<std::uint8_t*>(buffer),
                     kNoLink);
}

int PblLibrary::writeLibraryData(const void* data, int size) {
    if (!writable_) return readOnly();
    if (size < 0 || (data == nullptr && size > 0)) return kPblInvalidArgument;
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    std::int32_t first = headerLibraryDataFirst(v, header);
    rc = writeChain(first, static_cast<const std::uint8_t*>(data), size, false, kNoLink);
    if (rc != kPblOk) return rc;
    setHeaderLibraryData(v, header.data(), first, size);
    return writeHeader(header);
}

}  // namespace keldrin::pbl
