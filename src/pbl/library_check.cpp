// The walk behind checkLibrary. It holds the whole file and reads every field through
// bounded reads, so no value in the file can move a read outside it; each block is
// claimed by at most one owner, which is what finds cycles, shared blocks and the
// difference between the bitmap and the blocks really in use.
#include "pbl/library_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>

#include "base/file.h"
#include "base/text.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

using namespace layout;

namespace {

// Past this many findings the rest are summed up in one note: a badly damaged file
// would otherwise list every block.
constexpr std::size_t kMaxFindings = 200;
// Files larger than this cannot be libraries: no 32-bit link reaches past it.
constexpr std::int64_t kMaxCheckedBytes = std::int64_t{1} << 32;

enum class Owner : std::uint8_t { kNone, kHeader, kTrailer, kBitmap, kNode, kData };

const char* ownerName(Owner o) {
    switch (o) {
        case Owner::kHeader:
            return "the header";
        case Owner::kTrailer:
            return "the trailer";
        case Owner::kBitmap:
            return "a bitmap block";
        case Owner::kNode:
            return "a node";
        case Owner::kData:
            return "a data chain";
        case Owner::kNone:
            break;
    }
    return "nothing";
}

// A name's stored bytes up to its terminator, ordered as the directory orders names.
using Key = Bytes;
// Every name met so far, by identity: whether a name is stored twice needs no order.
using KeySet = std::unordered_set<std::string>;

class Checker {
  public:
    explicit Checker(ByteSpan file) : f_(file) {}

    std::vector<CheckFinding> run() {
        if (!findHeader()) return std::move(out_);
        checkHeader();
        std::vector<std::uint8_t> bits;
        walkBitmap(bits);
        checkLibraryData();
        walkTree(header_ + v_->rootOffset);
        compareBitmap(bits);
        summariseNotes();
        if (dropped_ > 0)
            add(false, "more", -1, {},
                std::to_string(dropped_) + " more findings left out after the first " +
                    std::to_string(kMaxFindings));
        return std::move(out_);
    }

  private:
    void add(bool problem, const char* kind, std::int64_t offset, std::string entry,
             std::string detail) {
        if (out_.size() >= kMaxFindings) {
            ++dropped_;
            return;
        }
        out_.push_back({problem, kind, Damage{std::move(detail), offset, std::move(entry)}});
    }
    void problem(const char* kind, std::int64_t offset, std::string detail,
                 std::string entry = {}) {
        add(true, kind, offset, std::move(entry), std::move(detail));
    }
    void note(const char* kind, std::int64_t offset, std::string detail, std::string entry = {}) {
        add(false, kind, offset, std::move(entry), std::move(detail));
    }

    std::int32_t i32At(std::int64_t offset) const {
        std::int32_t v = 0;
        if (offset >= 0) (void)readI32(f_, static_cast<std::size_t>(offset), v);
        return v;
    }
    std::uint16_t u16At(std::int64_t offset) const {
        std::uint16_t v = 0;
        if (offset >= 0) (void)readU16(f_, static_cast<std::size_t>(offset), v);
        return v;
    }
    bool fits(std::int64_t offset, std::int64_t length) const {
        return offset >= 0 && length >= 0 &&
               rangeFits(f_.size(), static_cast<std::size_t>(offset),
                         static_cast<std::size_t>(length));
    }
    bool validLink(std::int64_t link, std::int64_t length) const {
        return link > 0 && link % kBlockSize == 0 && fits(link, length);
    }
    ByteSpan at(std::int64_t offset, std::int64_t length) const {
        return f_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    }
    bool signatureAt(std::int64_t offset, const std::array<std::uint8_t, 4>& sig) const {
        return fits(offset, kSignatureBytes) && hasSignature(at(offset, kSignatureBytes), sig);
    }

    // Claims `block` for `owner`; false (and a problem) when another owner has it.
    bool own(std::int64_t block, Owner owner, std::int64_t offset, const std::string& entry = {}) {
        if (block < 0 || block >= blocks_) {
            problem("link", offset, "block " + std::to_string(block) + " lies outside the file",
                    entry);
            return false;
        }
        Owner& o = owner_[static_cast<std::size_t>(block)];
        if (o != Owner::kNone) {
            problem("block-twice", block * kBlockSize,
                    "block " + std::to_string(block) + " is used twice: by " + ownerName(o) +
                        " and by " + ownerName(owner),
                    entry);
            return false;
        }
        o = owner;
        return true;
    }

    std::string nameText(ByteSpan stored) const { return displayStoredName(v_->unicode, stored); }

    Key key(ByteSpan name) const {
        const ByteSpan text = name.first(storedTextBytes(v_->unicode, name));
        return Key(text.begin(), text.end());
    }
    // The directory's order of two keys; equal keys name one entry.
    bool before(const Key& a, const Key& b) const {
        return compareStoredNames(v_->unicode, a, b) < 0;
    }

    bool findHeader() {
        const auto size = static_cast<std::int64_t>(f_.size());
        if (size % kBlockSize != 0)
            note("file-length", size,
                 "file length " + std::to_string(size) + " is not a whole number of blocks");
        blocks_ = size / kBlockSize;
        owner_.assign(static_cast<std::size_t>(blocks_), Owner::kNone);
        if (signatureAt(0, kHeaderSignature)) {
            header_ = 0;
        } else {
            const std::int64_t trailer = size - kBlockSize;
            if (size < kBlockSize || !signatureAt(trailer, kTrailerSignature)) {
                problem("not-a-library", 0,
                        "no library header at the start, no trailer at the end");
                return false;
            }
            header_ = i32At(trailer + kTrailerHeaderOffsetField);
            if (header_ <= 0 || header_ % kBlockSize != 0 ||
                !signatureAt(header_, kHeaderSignature)) {
                problem("not-a-library", trailer,
                        "trailer names no library header (offset " + std::to_string(header_) + ")");
                return false;
            }
            (void)own(trailer / kBlockSize, Owner::kTrailer, trailer);
        }
        if (!fits(header_ + kHeaderKindField, kHeaderKindBytes)) {
            problem("not-a-library", header_, "library header is cut short");
            return false;
        }
        switch (recogniseHeader(at(header_ + kHeaderKindField, kHeaderKindBytes).data())) {
            case HeaderKind::kAnsiHeader:
                v_ = &kAnsi;
                break;
            case HeaderKind::kUnicodeHeader:
                v_ = &kUnicode;
                break;
            case HeaderKind::kNotALibrary:
                problem("not-a-library", header_, "library header names neither variant");
                return false;
        }
        if (!fits(header_, v_->headerAreaBytes) || !fits(header_ + v_->rootOffset, kNodeSize)) {
            problem("not-a-library", header_, "file ends before the library's root node");
            return false;
        }
        for (std::int64_t b = header_ / kBlockSize;
             b < (header_ + v_->headerAreaBytes) / kBlockSize; ++b)
            (void)own(b, Owner::kHeader, header_);
        return true;
    }

    void checkHeader() {
        const ByteSpan digits = at(header_ + v_->versionField, v_->versionFieldBytes);
        std::string version = utf16ToUtf8(decodeStoredField(v_->unicode, digits).value_or(u"?"));
        if (version != "0600" && (v_->unicode || version != "0500"))
            note("header-version", header_ + v_->versionField,
                 "header version is '" + version + "'; Keldrin writes 0500 or 0600");
        const std::uint16_t word = u16At(header_ + v_->wordField);
        if (word != newHeaderWord(*v_))
            note("header-word", header_ + v_->wordField,
                 "header word is " + std::to_string(word) + "; Keldrin writes " +
                     std::to_string(newHeaderWord(*v_)));
        const ByteSpan comment = at(header_ + v_->commentField, v_->commentCapacity);
        bool terminated = false;
        for (std::size_t i = 0; i < comment.size(); i += static_cast<std::size_t>(v_->charSize)) {
            if (comment[i] == 0 && (v_->charSize == 1 || comment[i + 1] == 0)) {
                terminated = true;
                break;
            }
        }
        if (!terminated)
            note("comment", header_ + v_->commentField, "library comment has no terminator");
    }

    void walkBitmap(std::vector<std::uint8_t>& bits) {
        std::int64_t link = header_ + v_->firstBitmapOffset;
        std::int64_t from = header_;
        std::vector<std::uint8_t> flags(kBlocksPerBitmap);
        for (std::int64_t j = 0; link != kNoLink; ++j) {
            if (j > blocks_) {
                problem("bitmap-chain", from, "bitmap chain loops back");
                return;
            }
            if (!validLink(link, kBlockSize)) {
                problem("bitmap-chain", from,
                        "bitmap chain link " + std::to_string(link) + " leaves the file");
                return;
            }
            if (!signatureAt(link, kBitmapSignature)) {
                problem("bitmap-chain", link, "bitmap block lacks its signature");
                return;
            }
            if (!own(link / kBlockSize, Owner::kBitmap, link)) return;
            expandBitmapBits(at(link, kBlockSize).data(), flags.data());
            bits.insert(bits.end(), flags.begin(), flags.end());
            from = link;
            link = i32At(link + kBitmapNextField);
        }
    }

    void checkLibraryData() {
        const std::int64_t field = header_ + v_->libraryDataFirstField;
        const std::int32_t first = i32At(field);
        const std::int32_t length = i32At(header_ + v_->libraryDataLengthField);
        if (length < 0) {
            problem("library-data", header_ + v_->libraryDataLengthField,
                    "library data length is negative");
            return;
        }
        if (first != kNoLink || length > 0) checkChain(first, length, false, field, {});
    }

    // One data chain; `holder` is the offset of what links to its first block.
    void checkChain(std::int32_t first, std::int64_t size, bool entry, std::int64_t holder,
                    const std::string& name) {
        const char* kind = entry ? "data-chain" : "library-data";
        std::int64_t total = 0;
        std::int64_t n = 0;
        std::int64_t from = holder;
        bool ascending = true;
        for (std::int64_t link = first; link != kNoLink; ++n) {
            if (n > blocks_) return problem(kind, from, "data chain loops back", name);
            if (!validLink(link, kBlockSize))
                return problem(kind, from,
                               "data chain link " + std::to_string(link) + " leaves the file",
                               name);
            if (!signatureAt(link, kDataSignature))
                return problem(kind, link, "data block lacks its signature", name);
            if (!own(link / kBlockSize, Owner::kData, link, name)) return;
            DataBlockHeader h;
            (void)DataBlockHeader::decode(at(link, kBlockSize), h);  // a whole block
            if (h.used > kDataCapacity)
                return problem(kind, link,
                               "used count " + std::to_string(h.used) + " is above " +
                                   std::to_string(kDataCapacity),
                               name);
            if (h.next != kNoLink && h.used != kDataCapacity)
                note("chain-shape", link, "data block is not full but not the last either", name);
            const ByteSpan tail = at(link + kDataHeaderSize + h.used, kDataCapacity - h.used);
            if (std::any_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b != 0; }))
                note("chain-tail", link, "data block has bytes after its used count", name);
            if (n > 0 && link <= from) ascending = false;
            total += h.used;
            from = link;
            link = h.next;
        }
        if (total != size)
            return problem(entry ? "data-size" : "library-data", holder,
                           "data chain holds " + std::to_string(total) + " bytes, size says " +
                               std::to_string(size),
                           name);
        const std::int64_t expected = size == 0 ? (entry ? 1 : 0) : dataBlocksFor(size);
        if (n != expected)
            note("chain-shape", holder,
                 "data chain has " + std::to_string(n) + " blocks where " +
                     std::to_string(expected) + " would do",
                 name);
        if (!ascending) ++unorderedChains_;
    }

    struct Visit {
        std::int64_t node;
        std::int64_t parent;
        std::int64_t linkField;  // where the link to this node stands
        bool hasLow, hasHigh;
        Key low, high;
    };

    void walkTree(std::int64_t root) {
        std::vector<Visit> stack{{root, kNoLink, header_, false, false, {}, {}}};
        KeySet all;
        std::int64_t visited = 0;
        while (!stack.empty()) {
            Visit vis = std::move(stack.back());
            stack.pop_back();
            if (++visited > blocks_)
                return problem("directory-loop", vis.linkField, "directory loops back");
            const std::int64_t node = vis.node;
            if (!validLink(node, kNodeSize)) {
                problem("link", vis.linkField,
                        "node link " + std::to_string(node) + " leaves the file");
                continue;
            }
            if (!signatureAt(node, kNodeSignature)) {
                problem("node", node, "node lacks its signature");
                continue;
            }
            bool owned = true;
            for (int i = 0; i < kNodeBlocks && owned; ++i)
                owned = own(node / kBlockSize + i, Owner::kNode, node);
            if (!owned) continue;
            const ByteSpan image = at(node, kNodeSize);
            NodeHeader h;
            (void)NodeHeader::decode(image, h);  // a whole node
            if (h.parent != vis.parent)
                problem("parent-link", node + kNodeParentField,
                        "parent link is " + std::to_string(h.parent) + ", the parent is at " +
                            std::to_string(vis.parent));
            const ByteSpan reserved =
                image.subspan(kNodeReservedField, kNodeHeaderSize - kNodeReservedField);
            if (std::any_of(reserved.begin(), reserved.end(),
                            [](std::uint8_t b) { return b != 0; }))
                note("node-reserved", node + kNodeReservedField,
                     "node's reserved header bytes are not zero");
            Key minKey, maxKey;
            if (h.freeBytes < 0 || h.freeBytes > kNodeDataSize) {
                problem(
                    "node", node + kNodeFreeField,
                    "node's free byte count " + std::to_string(h.freeBytes) + " is out of range");
            } else if (h.count < 0) {
                problem("node", node + kNodeCountField, "node's record count is negative");
            } else {
                if (h.count == 0 && node != root)
                    note("empty-node", node, "empty node in the tree");
                checkRecords(node, image, h, vis, all, minKey, maxKey);
            }
            if ((h.left != kNoLink || h.right != kNoLink) && h.count == 0)
                problem("node", node, "empty node with children: lookups never reach them");
            if (h.right != kNoLink)
                stack.push_back(
                    {h.right, node, node + kNodeRightField, true, vis.hasHigh, maxKey, vis.high});
            if (h.left != kNoLink)
                stack.push_back(
                    {h.left, node, node + kNodeLeftField, vis.hasLow, true, vis.low, minKey});
        }
    }

    void checkRecords(std::int64_t node, ByteSpan image, const NodeHeader& h, const Visit& vis,
                      KeySet& all, Key& minKey, Key& maxKey) {
        const int ehs = v_->entryHeaderSize;
        const int cs = v_->charSize;
        int p = 0;
        bool any = false;
        int minPos = 0;
        int maxPos = 0;
        for (int i = 0; i < h.count; ++i) {
            const std::int64_t rec = node + kNodeHeaderSize + p;
            if (p + ehs > kNodeDataSize)
                return problem("record", rec, "entry record runs past the node's data area");
            const ByteSpan r = image.subspan(static_cast<std::size_t>(kNodeHeaderSize) +
                                             static_cast<std::size_t>(p));
            if (!hasSignature(r, kEntrySignature))
                return problem("record", rec, "entry record lacks its signature");
            EntryRecordHeader e;
            (void)EntryRecordHeader::decode(*v_, r, e);  // fits the data area, checked above
            const int nameLen = e.nameLength;
            if (nameLen < cs || nameLen > kMaxNameLength || p + ehs + nameLen > kNodeDataSize)
                return problem("record", rec, "entry record has a bad name length");
            const ByteSpan name =
                r.subspan(static_cast<std::size_t>(ehs), static_cast<std::size_t>(nameLen));
            const std::string display = nameText(name);
            const ByteSpan terminator = name.last(static_cast<std::size_t>(cs));
            if (std::any_of(terminator.begin(), terminator.end(),
                            [](std::uint8_t b) { return b != 0; }))
                note("name-terminator", rec, "entry name has no terminator", display);
            const Key k = key(name);
            if (static_cast<int>(k.size()) != nameLen - cs)
                note("name-zero", rec, "entry name holds a zero character", display);
            if (vis.hasLow && !before(vis.low, k))
                problem("name-order", rec, "name sorts before a name of an ancestor it must follow",
                        display);
            if (vis.hasHigh && !before(k, vis.high))
                problem("name-order", rec, "name sorts after a name of an ancestor it must precede",
                        display);
            if (!all.insert(storedNameIdentity(v_->unicode, k)).second)
                problem("name-twice", rec, "name is stored twice", display);
            const int pos = kNodeHeaderSize + p + ehs;
            if (!any || before(k, minKey)) {
                minKey = k;
                minPos = pos;
            }
            if (!any || before(maxKey, k)) {
                maxKey = k;
                maxPos = pos;
            }
            any = true;
            const ByteSpan version = r.subspan(
                static_cast<std::size_t>(v_->entryVersionField),
                static_cast<std::size_t>(v_->entryFirstBlockField - v_->entryVersionField));
            noteEntryVersion(version, rec, display);
            const std::int64_t comment = std::int64_t{e.commentLength} * cs;
            if (e.dataSize < 0) {
                problem("entry-size", rec, "entry's data size is negative", display);
            } else if (comment > e.dataSize) {
                problem("entry-size", rec, "entry's comment is longer than its data", display);
            } else if (e.firstBlock == kNoLink) {
                // Every entry is written with at least one block, an empty one too: a
                // record without one is an entry whose data never reached the file.
                problem("no-data", rec,
                        "entry has no data block; its size says " + std::to_string(e.dataSize) +
                            " bytes",
                        display);
            } else {
                checkChain(e.firstBlock, e.dataSize, true, rec, display);
            }
            p += ehs + nameLen;
        }
        if (p != kNodeDataSize - h.freeBytes)
            return problem("node", node + kNodeFreeField,
                           "records take " + std::to_string(p) + " bytes, free bytes say " +
                               std::to_string(kNodeDataSize - h.freeBytes));
        if (h.count == 0 && (h.firstPos != 0 || h.lastPos != 0))
            note("empty-positions", node, "empty node keeps name positions");
        if (h.count > 0 && h.firstPos != minPos)
            problem("node", node + kNodeFirstPosField,
                    "first name position is " + std::to_string(h.firstPos) +
                        ", the smallest name is at " + std::to_string(minPos));
        if (h.count > 0 && h.lastPos != maxPos)
            problem("node", node + kNodeLastPosField,
                    "last name position is " + std::to_string(h.lastPos) +
                        ", the largest name is at " + std::to_string(maxPos));
    }

    void noteEntryVersion(ByteSpan stored, std::int64_t rec, const std::string& name) {
        std::string version = utf16ToUtf8(decodeStoredField(v_->unicode, stored).value_or(u"?"));
        if (version == kEntryVersionText) return;
        auto& seen = entryVersions_[version];
        if (seen.count++ == 0) {
            seen.offset = rec;
            seen.entry = name;
        }
    }

    // Runs of consecutive blocks in one state, reported as one finding each.
    void compareBitmap(const std::vector<std::uint8_t>& bits) {
        const std::int64_t base = header_ / kBlockSize;
        const std::int64_t trailer = header_ > 0 ? blocks_ - 1 : -1;
        struct Run {
            std::int64_t first = -1, last = -1;
        };
        Run leaked, unmarked;
        std::int64_t beyondFile = 0;
        auto flush = [&](Run& run, bool isProblem, const char* kind, const char* what) {
            if (run.first < 0) return;
            std::string blocks = run.first == run.last ? "block " + std::to_string(run.first)
                                                       : "blocks " + std::to_string(run.first) +
                                                             " to " + std::to_string(run.last);
            add(isProblem, kind, run.first * kBlockSize, {}, blocks + " " + what);
            run = Run{};
        };
        auto extend = [](Run& run, std::int64_t b) {
            if (run.first >= 0 && run.last + 1 == b) {
                run.last = b;
                return false;
            }
            return true;
        };
        for (std::int64_t i = 0; i < static_cast<std::int64_t>(bits.size()); ++i) {
            const std::int64_t b = base + i;
            const bool marked = bits[static_cast<std::size_t>(i)] != 0;
            if (b == trailer) {
                if (marked)
                    note("trailer-marked", b * kBlockSize, "bitmap marks the trailer block in use");
                continue;
            }
            if (b >= blocks_) {
                if (marked) ++beyondFile;
                continue;
            }
            const bool used = owner_[static_cast<std::size_t>(b)] != Owner::kNone;
            if (marked && !used && extend(leaked, b)) {
                flush(leaked, false, "leaked-block", "marked in use but nothing uses them");
                leaked = {b, b};
            }
            if (!marked && used && extend(unmarked, b)) {
                flush(unmarked, true, "marked-free", "in use but marked free");
                unmarked = {b, b};
            }
        }
        flush(leaked, false, "leaked-block", "marked in use but nothing uses them");
        flush(unmarked, true, "marked-free", "in use but marked free");
        if (beyondFile > 0)
            note("marked-beyond-file", -1,
                 std::to_string(beyondFile) +
                     " blocks beyond the end of the file are marked in use");
        Run beyond;
        for (std::int64_t b = base + static_cast<std::int64_t>(bits.size()); b < blocks_; ++b) {
            if (b == trailer || owner_[static_cast<std::size_t>(b)] == Owner::kNone) continue;
            if (extend(beyond, b)) {
                flush(beyond, true, "beyond-bitmap", "in use but beyond the bitmap's reach");
                beyond = {b, b};
            }
        }
        flush(beyond, true, "beyond-bitmap", "in use but beyond the bitmap's reach");
    }

    void summariseNotes() {
        for (const auto& [version, seen] : entryVersions_)
            note("entry-version", seen.offset,
                 std::to_string(seen.count) + " entries carry entry version '" + version +
                     "'; Keldrin writes " + kEntryVersionText,
                 seen.entry);
        if (unorderedChains_ > 0)
            note("chain-order", -1,
                 std::to_string(unorderedChains_) +
                     " data chains do not run through ascending blocks");
    }

    struct VersionSeen {
        std::int64_t count = 0;
        std::int64_t offset = -1;
        std::string entry;
    };

    ByteSpan f_;
    const Variant* v_ = &kAnsi;
    std::int64_t blocks_ = 0;
    std::int64_t header_ = 0;
    std::vector<Owner> owner_;
    std::vector<CheckFinding> out_;
    std::size_t dropped_ = 0;
    std::map<std::string, VersionSeen> entryVersions_;
    std::int64_t unorderedChains_ = 0;
};

}  // namespace

std::vector<CheckFinding> checkLibrary(ByteSpan bytes) {
    return Checker(bytes).run();
}

std::vector<CheckFinding> checkLibrary(const std::u16string& path) {
    auto unreadable = [](std::string detail) {
        return std::vector<CheckFinding>{{true, "unreadable", Damage{std::move(detail), -1, {}}}};
    };
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return unreadable("cannot open the file");
    const std::int64_t size = fs::fileSize(file);
    // Not zeroed first: the read fills every byte, and zeroing would touch each page of a
    // large library once more for nothing.
    std::unique_ptr<std::uint8_t[]> bytes;
    bool ok = size >= 0 && size <= kMaxCheckedBytes;
    if (ok) {
        bytes = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size));
        ok = fs::readFileAt(file, bytes.get(), static_cast<std::size_t>(size), 0);
    }
    std::fclose(file);
    if (size > kMaxCheckedBytes) return unreadable("file is too large to be a library");
    if (!ok) return unreadable("cannot read the file");
    return checkLibrary(ByteSpan(bytes.get(), static_cast<std::size_t>(size)));
}

std::string describeFinding(const CheckFinding& finding) {
    return std::string(finding.problem ? "problem " : "note ") + finding.kind + ": " +
           describe(finding.damage);
}

}  // namespace keldrin::pbl
