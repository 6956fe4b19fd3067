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
#include "pbl/node_records.h"
#include "pbl/pbl_library_impl.h"

namespace keldrin::pbl {

using namespace layout;

namespace {
std::int32_t now() {
    return static_cast<std::int32_t>(std::time(nullptr));
}
}  // namespace

const char* resultText(int code) {
    switch (code) {
        case kPblOk:
            return "success";
        case kPblFailed:
            return "operation failed";
        case kPblDamaged:
            return "damaged library";
        case kPblStopped:
            return "stopped by the caller";
        case kPblNotFound:
            return "no such entry";
        case kPblWriteFailed:
            return "write failed";
        case kPblInvalidArgument:
            return "invalid argument";
        case kPblIoError:
            return "read or write failed, or library is read-only";
        case kPblBusy:
            return "library is in use by another program";
        default:
            return "unknown result";
    }
}

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
    if (writable_) file_.beginJournal();
}

int PblLibrary::commitChange() {
    int rc = flush();
    // A failed flush leaves the journal running, so the change can still be undone.
    if (rc == kPblOk) file_.endJournal();
    return rc;
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
    std::uint8_t start[4];
    if (!fs::readFileAt(stream, start, sizeof start, 0) || !hasSignature(start, kHeaderSignature))
        writable_ = false;
    file_.attach(stream, writable_);
    const std::int64_t size = file_.size();
    std::uint8_t sig[8];
    std::int64_t headerOffset = -1;
    if (file_.fits(0, 4) && file_.readAt(sig, 4, 0) && hasSignature(sig, kHeaderSignature)) {
        headerOffset = 0;
    } else if (size >= kBlockSize && file_.readAt(sig, 8, size - kBlockSize) &&
               hasSignature(sig, kTrailerSignature)) {
        std::int32_t at = loadI32(sig + kTrailerHeaderOffsetField);
        if (at > 0 && at % kBlockSize == 0 && file_.fits(at, 4) && file_.readAt(sig, 4, at) &&
            hasSignature(sig, kHeaderSignature)) {
            headerOffset = at;
        }
    }
    if (headerOffset < 0) return false;
    if (!file_.fits(headerOffset + 4, 4) || !file_.readAt(sig, 4, headerOffset + 4)) return false;
    HeaderKind kind = recogniseHeader(sig);
    if (kind == HeaderKind::kNotALibrary) return false;
    unicode_ = kind == HeaderKind::kUnicodeHeader;
    const Variant& v = variant();
    if (unicode_) {
        versionNumber_ = 10;
    } else {
        std::uint8_t digit = 0;
        if (!file_.readAt(&digit, 1, headerOffset + 19) || digit < '0' || digit > '9') return false;
        versionNumber_ = digit - '0';
    }
    // The header fields, the first bitmap block and the root node must all be there:
    // a truncated file is not a library we can work on.
    if (headerOffset > INT32_MAX - v.rootOffset - kNodeSize) return false;
    // Inside a host file the first bitmap block follows the library's own header, as
    // real host files lay it out; at the start of a file that is the same offset.
    if (!file_.fits(headerOffset, v.headerFieldBytes) ||
        !file_.fits(headerOffset + v.firstBitmapOffset, kBlockSize) ||
        !file_.fits(headerOffset + v.rootOffset, kNodeSize)) {
        return false;
    }
    headerOffset_ = static_cast<std::int32_t>(headerOffset);
    // A hosted library's bitmap counts blocks from its header block, which the allocator
    // does not know how to address: it only ever reads that bitmap (writable_ is false).
    allocator_ =
        std::make_unique<BitmapAllocator>(file_, headerOffset_ + v.firstBitmapOffset, headerOffset_,
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
        if (!file_.readAt(sig, sizeof sig, allocator_->bitmapBlockOffset(j)) ||
            !hasSignature(sig, kBitmapSignature))
            return damaged();
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

int PblLibrary::collectChain(std::int32_t first, std::vector<std::int32_t>& list) {
    list.clear();
    const std::int64_t maxBlocks = file_.blockCount();
    std::uint8_t head[kDataHeaderSize];
    for (std::int32_t link = first; link != kNoLink;) {
        // A chain longer than the file has blocks loops.
        if (static_cast<std::int64_t>(list.size()) >= maxBlocks) return damaged();
        if (!file_.validLink(link, kBlockSize)) return damaged();
        if (!file_.readAt(head, sizeof head, link)) return kPblIoError;
        if (!hasSignature(head, kDataSignature)) return damaged();
        list.push_back(link);
        link = DataBlockHeader::decode(head).next;
    }
    return kPblOk;
}

int PblLibrary::readChain(std::int32_t first, std::int64_t length, std::uint8_t* buffer) {
    if (length < 0 || length > maxDataBytes()) return damaged();
    std::int64_t copied = 0;
    std::int64_t blocks = 0;
    const std::int64_t maxBlocks = file_.blockCount();
    // Chains mostly run through adjacent blocks, so blocks are read in windows of up to
    // kWindowBlocks (never more than the rest of the entry needs, never past the file's
    // end): one seek and one read for a run instead of one per block.
    // The window's buffer is kept from call to call: reading every entry of a library
    // is many small reads, and a fresh zeroed buffer each time costs as much as the read.
    constexpr std::int64_t kWindowBlocks = 128;
    Bytes& window = chainWindow_;
    std::int64_t windowStart = 0;
    std::int64_t windowBytes = 0;
    for (std::int32_t link = first; link != kNoLink;) {
        if (blocks++ >= maxBlocks) return damaged();
        if (!file_.validLink(link, kBlockSize)) return damaged();
        if (link < windowStart || link - windowStart >= windowBytes) {
            std::int64_t wanted = std::max<std::int64_t>(1, dataBlocksFor(length - copied));
            wanted = std::min({wanted, kWindowBlocks, (file_.size() - link) / kBlockSize});
            windowBytes = wanted * kBlockSize;
            if (window.size() < static_cast<std::size_t>(windowBytes))
                window.resize(static_cast<std::size_t>(windowBytes));
            if (!file_.readAt(window.data(), static_cast<std::size_t>(windowBytes), link)) {
                return kPblIoError;
            }
            windowStart = link;
        }
        const std::uint8_t* block = window.data() + (link - windowStart);
        if (!hasSignature(block, kDataSignature)) return damaged();
        DataBlockHeader h = DataBlockHeader::decode(block);
        if (h.used > kDataCapacity) return damaged();
        // More bytes than the entry says it has: never write past the caller's buffer.
        if (h.used > length - copied) return damaged();
        // An empty entry may come with no buffer at all.
        if (h.used > 0) std::memcpy(buffer + copied, block + kDataHeaderSize, h.used);
        copied += h.used;
        link = h.next;
    }
    return copied == length ? kPblOk : damaged();
}

int PblLibrary::writeChain(std::int32_t& firstBlock, const std::uint8_t* data, std::int64_t length,
                           bool atLeastOne) {
    std::vector<std::int32_t> list;
    int rc = collectChain(firstBlock, list);
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
    // Blocks that follow each other in the file go out in one write: one system call per
    // run rather than thousands for one large entry.
    constexpr std::size_t kRunBlocks = 256;
    Bytes run(std::min(list.size(), kRunBlocks) * kBlockSize);
    auto writeBlocks = [&](std::size_t from, std::size_t to) {
        std::int64_t written = static_cast<std::int64_t>(from) * kDataCapacity;
        std::size_t i = from;
        while (i < to) {
            // The longest stretch of blocks that lie next to each other in the file.
            std::size_t count = 1;
            while (i + count < to && count < kRunBlocks &&
                   std::int64_t{list[i + count]} == std::int64_t{list[i + count - 1]} + kBlockSize)
                ++count;
            std::uint8_t* block = run.data();
            for (std::size_t k = 0; k < count; ++k, block += kBlockSize) {
                const std::size_t index = i + k;
                const std::int64_t chunk = std::min<std::int64_t>(length - written, kDataCapacity);
                DataBlockHeader h;
                h.next = index + 1 < list.size() ? list[index + 1] : kNoLink;
                h.used = static_cast<std::uint16_t>(chunk);
                h.encode(block);
                if (chunk > 0)
                    std::memcpy(block + kDataHeaderSize, data + written,
                                static_cast<std::size_t>(chunk));
                // Only a chain's last block is partly used; the rest of it is zero.
                if (chunk < kDataCapacity)
                    std::memset(block + kDataHeaderSize + chunk, 0,
                                static_cast<std::size_t>(kDataCapacity - chunk));
                written += chunk;
            }
            if (!file_.writeAt(run.data(), count * kBlockSize, list[i])) return false;
            i += count;
        }
        return true;
    };
    // The blocks new to the chain go out first: they are the ones that can make the file
    // grow, and when the disk is full that must fail while the old blocks still hold
    // the entry's old data (its record still points at them). The bytes written are the
    // same either way.
    const auto reused = static_cast<std::size_t>(std::min(needed, have));
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

// ---- entries -------------------------------------------------------------------------

bool PblLibrary::validEntryOffset(std::int32_t entryOffset) const {
    return entryOffset > 0 && file_.fits(entryOffset, variant().entryHeaderSize);
}

int PblLibrary::readEntryData(const PblEntryInfo& info, void* buffer) {
    if (buffer == nullptr && info.dataSize != 0) return kPblFailed;
    return readChain(info.firstBlock, info.dataSize, static_cast<std::uint8_t*>(buffer));
}

int PblLibrary::writeEntryData(PblEntryInfo& info, const void* data, int size, short commentSize) {
    if (!writable_) return readOnly();
    const Variant& v = variant();
    if (unicode_ && (commentSize % 2) != 0) return kPblInvalidArgument;
    if (size < 0 || commentSize < 0) return kPblInvalidArgument;
    const std::int64_t total = static_cast<std::int64_t>(size) + commentSize;
    if (total > INT32_MAX) return kPblInvalidArgument;
    if (data == nullptr && total > 0) return kPblInvalidArgument;
    if (info.entryOffset == kNoLink) return kPblInvalidArgument;
    // The record is checked before any block moves: a descriptor that names no entry
    // record must not cost the library its data.
    std::uint8_t rec[32];
    if (!validEntryOffset(info.entryOffset)) return damaged();
    if (!file_.readAt(rec, static_cast<std::size_t>(v.entryHeaderSize), info.entryOffset)) {
        return kPblIoError;
    }
    if (!hasSignature(rec, kEntrySignature)) return damaged();

    int rc = writeChain(info.firstBlock, static_cast<const std::uint8_t*>(data), total, true);
    if (rc != kPblOk) return rc;
    info.commentSize = static_cast<std::uint16_t>(commentSize);
    info.dataSize = static_cast<std::int32_t>(total);

    EntryRecordHeader h = EntryRecordHeader::decode(v, rec);
    h.firstBlock = info.firstBlock;
    h.dataSize = info.dataSize;
    h.commentLength = static_cast<std::uint16_t>(unicode_ ? commentSize / 2 : commentSize);
    h.time = info.time != 0 ? info.time : now();
    storeI32(rec + v.entryFirstBlockField, h.firstBlock);
    storeI32(rec + v.entryDataSizeField, h.dataSize);
    storeI32(rec + v.entryTimeField, h.time);
    storeU16(rec + v.entryCommentLengthField, h.commentLength);
    return file_.writeAt(rec, static_cast<std::size_t>(v.entryHeaderSize), info.entryOffset)
               ? kPblOk
               : kPblIoError;
}

int PblLibrary::writeEntryTime(const PblEntryInfo& info) {
    if (!writable_) return readOnly();
    if (info.entryOffset == kNoLink) return kPblInvalidArgument;
    if (!validEntryOffset(info.entryOffset)) return damaged();
    std::uint8_t bytes[4];
    storeI32(bytes, info.time);
    return file_.writeAt(bytes, 4, info.entryOffset + variant().entryTimeField) ? kPblOk
                                                                                : kPblFailed;
}

int PblLibrary::forEachEntry(PblEntryVisitor& visitor) {
    const Variant& v = variant();
    const std::int64_t maxNodes = file_.blockCount() / kNodeBlocks + 1;
    std::vector<std::int32_t> stack{rootNodeOffset()};
    std::unordered_set<std::int32_t> seen;
    std::vector<RecordRef> records;
    Bytes image(kNodeSize);
    while (!stack.empty()) {
        std::int32_t node = stack.back();
        stack.pop_back();
        if (node == kNoLink) continue;
        // A node reached twice means the links form a cycle or share a subtree.
        if (static_cast<std::int64_t>(seen.size()) >= maxNodes || !seen.insert(node).second) {
            return damaged();
        }
        const std::uint8_t* cached = file_.readNode(node);
        if (cached == nullptr) return damaged();
        // The visitor may read through this library, which may evict the cached node.
        std::memcpy(image.data(), cached, kNodeSize);
        NodeHeader h;
        if (!decodeNodeHeader(image.data(), h) || !listRecords(v, image.data(), h, records)) {
            return damaged();
        }
        for (const RecordRef& r : records) {
            if (!plausibleSizes(r.header)) return damaged();
            PblEntryInfo info;
            info.name = manager_->convertName(r.name, r.nameBytesWithTerminator, unicode_);
            info.dataSize = r.header.dataSize;
            info.commentSize = r.header.commentLength * v.charSize;
            info.firstBlock = r.header.firstBlock;
            info.time = r.header.time;
            info.nodeOffset = node;
            info.entryOffset = node + kNodeHeaderSize + r.position;
            info.nameSize = r.nameBytes;
            info.recordSize = r.size();
            if (visitor.visit(info) == 0) return kPblStopped;
        }
        stack.push_back(h.right);
        stack.push_back(h.left);
    }
    return kPblOk;
}

// ---- comment and library data -------------------------------------------------------

int PblLibrary::getComment(void* buffer, int& size) {
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    const std::uint8_t* field = header.data() + v.commentField;
    int chars = 0;
    const int capacityChars = v.commentCapacity / v.charSize;
    while (chars < capacityChars) {
        unsigned c =
            v.charSize == 1 ? field[chars] : loadU16(field + 2 * static_cast<std::size_t>(chars));
        if (c == 0) break;
        ++chars;
    }
    // A field without terminator (damage) yields its whole content, terminated here.
    const int needed = (chars + 1) * v.charSize;
    if (size == 0) {
        size = needed;
        return kPblOk;
    }
    if (size < needed || buffer == nullptr) return kPblInvalidArgument;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out, field, static_cast<std::size_t>(chars) * static_cast<std::size_t>(v.charSize));
    std::memset(out + static_cast<std::size_t>(chars) * static_cast<std::size_t>(v.charSize), 0,
                static_cast<std::size_t>(v.charSize));
    size = needed;
    return kPblOk;
}

int PblLibrary::setComment(const void* text) {
    if (!writable_) return readOnly();
    if (text == nullptr) return kPblInvalidArgument;
    const Variant& v = variant();
    const auto* in = static_cast<const std::uint8_t*>(text);
    // Count characters without reading past the first one that cannot fit.
    int chars = 0;
    const int capacityChars = v.commentCapacity / v.charSize;
    while (chars < capacityChars) {
        unsigned c =
            v.charSize == 1 ? in[chars] : loadU16(in + 2 * static_cast<std::size_t>(chars));
        if (c == 0) break;
        ++chars;
    }
    if (chars >= capacityChars) return kPblInvalidArgument;  // no room for the terminator
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    std::uint8_t* field = header.data() + v.commentField;
    std::memset(field, 0, static_cast<std::size_t>(v.commentCapacity));
    std::memcpy(field, in, static_cast<std::size_t>(chars) * static_cast<std::size_t>(v.charSize));
    return writeHeader(header);
}

int PblLibrary::readLibraryData(void* buffer, int& size) {
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    std::int32_t length = headerLibraryDataLength(v, header.data());
    if (length < 0 || length > maxDataBytes()) return damaged();
    if (size == 0) {
        size = length;
        return kPblOk;
    }
    if (size < length || buffer == nullptr) return kPblInvalidArgument;
    size = length;
    return readChain(headerLibraryDataFirst(v, header.data()), length,
                     static_cast<std::uint8_t*>(buffer));
}

int PblLibrary::writeLibraryData(const void* data, int size) {
    if (!writable_) return readOnly();
    if (size < 0 || (data == nullptr && size > 0)) return kPblInvalidArgument;
    Bytes header;
    int rc = readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = variant();
    std::int32_t first = headerLibraryDataFirst(v, header.data());
    rc = writeChain(first, static_cast<const std::uint8_t*>(data), size, false);
    if (rc != kPblOk) return rc;
    setHeaderLibraryData(v, header.data(), first, size);
    return writeHeader(header);
}

}  // namespace keldrin::pbl
