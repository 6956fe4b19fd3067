// The entry directory: a search tree of nodes with at most two children each.
//
// Invariants of a sound tree:
//  - every name in a node's left subtree sorts before the node's first name, every name
//    in its right subtree after its last name (compareNames, pbl_layout.h);
//  - a node's first and last positions name its smallest and largest record;
//  - a child's parent link names its parent; the root (header offset + 1024 or 1536)
//    never moves and has parent 0.
// The tree only deepens: a full node either hangs a new child off an empty link or is
// split, moving its largest names into its right subtree. An emptied node leaves the
// tree; an emptied root takes over its only subtree's top node.
//
// Lookups descend without recursion; the only recursion is a split moving records into
// the right subtree, and in a sound tree the moved names all sort before that subtree's
// names, so they never split again there. Its nesting is bounded all the same.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "base/text.h"
#include "pbl/node_records.h"
#include "pbl/pbl_library_impl.h"

namespace keldrin::pbl {

using namespace layout;

bool decodeNodeHeader(const std::uint8_t* node, NodeHeader& header) {
    if (!hasSignature(node, kNodeSignature)) return false;
    header = NodeHeader::decode(node);
    return header.freeBytes >= 0 && header.freeBytes <= kNodeDataSize && header.count >= 0;
}

bool listRecords(const Variant& v, const std::uint8_t* node, const NodeHeader& header,
                 std::vector<RecordRef>& out) {
    out.clear();
    const int used = kNodeDataSize - header.freeBytes;
    // Each record takes more than a header, so a count above this cannot be true.
    if (header.count > used / (v.entryHeaderSize + 1)) return false;
    const std::uint8_t* data = node + kNodeHeaderSize;
    int p = 0;
    for (int i = 0; i < header.count; ++i) {
        if (v.entryHeaderSize > used - p) return false;
        const std::uint8_t* rec = data + p;
        if (!hasSignature(rec, kEntrySignature)) return false;
        RecordRef r;
        r.position = p;
        r.header = EntryRecordHeader::decode(v, rec);
        r.entryHeaderSize = v.entryHeaderSize;
        int nameLength = r.header.nameLength;
        if (nameLength == 0 || nameLength > kMaxNameLength) return false;
        if (nameLength > used - p - v.entryHeaderSize) return false;
        r.nameBytesWithTerminator = nameLength;
        r.name = rec + v.entryHeaderSize;
        r.nameBytes = nameLength >= v.charSize ? nameLength - v.charSize : 0;
        out.push_back(r);
        p += v.entryHeaderSize + nameLength;
    }
    return true;
}

bool nameAtPosition(const std::uint8_t* node, int position, const std::uint8_t*& name,
                    int& nameBytesWithTerminator) {
    if (position < kNodeHeaderSize + 2 || position > kNodeSize) return false;
    int length = loadU16(node + position - 2);
    if (length == 0 || length > kMaxNameLength || length > kNodeSize - position) return false;
    name = node + position;
    nameBytesWithTerminator = length;
    return true;
}

namespace {
std::int32_t now() {
    return static_cast<std::int32_t>(std::time(nullptr));
}

// A nested split deeper than this cannot come from a sound tree (see the top comment).
constexpr int kMaxSplitDepth = 64;

void fillFromRecord(PblEntryInfo& info, const EntryRecordHeader& h, const Variant& v) {
    info.time = h.time;
    info.firstBlock = h.firstBlock;
    info.dataSize = h.dataSize;
    info.commentSize = h.commentLength * v.charSize;
    info.nameSize = h.nameLength - v.charSize;
}
}  // namespace

// The directory's steps, with access to the library's file and allocator.
class DirectoryOps {
  public:
    explicit DirectoryOps(PblLibrary& lib)
        : lib_(lib), file_(lib.file_), v_(lib.variant()), maxNodes_(file_.blockCount() / 6 + 2) {}

    int search(const Bytes& name, PblEntryInfo& info, int create, std::int32_t node, int depth);
    int deleteEntry(PblEntryInfo& info);
    bool splitHappened() const { return splits_ > 0; }

  private:
    int insertIntoNode(const Bytes& name, PblEntryInfo& info, bool asFirst, bool asLast,
                       std::int32_t node, NodeHeader header);
    int split(const Bytes& name, PblEntryInfo& info, std::int32_t node, int depth);
    // A copy of the node at `node` with its header and records (which point into the
    // copy); false when it cannot be read or is damaged.
    bool copyNode(std::int32_t node, Bytes& image, NodeHeader& h, std::vector<RecordRef>& records);
    int allocateNode(std::int32_t parent, std::int32_t& newOffset);
    int attachLeftmost(std::int32_t subtree, std::int32_t start);
    int readNodeHeader(std::int32_t node, NodeHeader& header);
    int writeNodeHeader(std::int32_t node, const NodeHeader& header);
    int needed(std::size_t nameBytes) const {
        return v_.charSize + v_.entryHeaderSize + static_cast<int>(nameBytes);
    }
    bool damagedName(const std::uint8_t* node, int position, const std::uint8_t*& name,
                     int& length) const {
        return !nameAtPosition(node, position, name, length);
    }

    PblLibrary& lib_;
    BlockFile& file_;
    const Variant& v_;
    std::int64_t maxNodes_;
    int splits_ = 0;
};

int DirectoryOps::readNodeHeader(std::int32_t node, NodeHeader& header) {
    const std::uint8_t* p = file_.readNode(node);
    if (p == nullptr || !decodeNodeHeader(p, header)) return PblLibrary::damaged();
    return kPblOk;
}

int DirectoryOps::writeNodeHeader(std::int32_t node, const NodeHeader& header) {
    std::uint8_t buf[kNodeHeaderSize];
    header.encode(buf);
    return file_.writeAt(buf, sizeof buf, node) ? kPblOk : kPblIoError;
}

int DirectoryOps::search(const Bytes& name, PblEntryInfo& info, int create, std::int32_t node,
                         int depth) {
    const int need = needed(name.size());
    if (need > kNodeDataSize) return kPblNotFound;
    std::vector<RecordRef> records;
    // Each step goes one level down; more steps than the file has nodes means a cycle.
    for (std::int64_t steps = 0;; ++steps) {
        if (node == kNoLink) return kPblNotFound;
        if (steps > maxNodes_) return PblLibrary::damaged();
        const std::uint8_t* p = file_.readNode(node);
        NodeHeader h;
        if (p == nullptr || !decodeNodeHeader(p, h)) return PblLibrary::damaged();

        bool descend = false;
        bool asFirst = false;
        if (h.count > 0) {
            const std::uint8_t* first = nullptr;
            const std::uint8_t* last = nullptr;
            int firstLen = 0;
            int lastLen = 0;
            if (damagedName(p, h.firstPos, first, firstLen)) return PblLibrary::damaged();
            if (compareNames(first, static_cast<std::size_t>(firstLen), name.data(), name.size(),
                             v_.charSize) > 0) {
                descend = true;
                asFirst = true;
            } else {
                if (damagedName(p, h.lastPos, last, lastLen)) return PblLibrary::damaged();
                if (compareNames(last, static_cast<std::size_t>(lastLen), name.data(), name.size(),
                                 v_.charSize) < 0) {
                    descend = true;
                }
            }
        }

        if (descend) {
            std::int32_t link = asFirst ? h.left : h.right;
            if (link != kNoLink) {
                if (!file_.validLink(link, kNodeSize)) return PblLibrary::damaged();
                node = link;
                continue;
            }
            if (create == 0) return kPblNotFound;
            if (h.freeBytes >= need) {
                return insertIntoNode(name, info, asFirst, !asFirst, node, h);
            }
            std::int32_t child = kNoLink;
            int rc = allocateNode(node, child);
            if (rc != kPblOk) return rc;
            std::uint8_t linkBytes[4];
            storeI32(linkBytes, child);
            if (!file_.writeAt(linkBytes, 4, node + (asFirst ? kNodeLeftField : kNodeRightField))) {
                return kPblIoError;
            }
            node = child;
            continue;
        }

        // The name lies within this node's range: look for it among the records.
        if (!listRecords(v_, p, h, records)) return PblLibrary::damaged();
        for (const RecordRef& r : records) {
            if (compareNames(r.name, static_cast<std::size_t>(r.nameBytesWithTerminator),
                             name.data(), name.size(), v_.charSize) == 0) {
                fillFromRecord(info, r.header, v_);
                info.nodeOffset = node;
                info.entryOffset = node + kNodeHeaderSize + r.position;
                // Callers size buffers from these: a size the file cannot hold is damage.
                // The descriptor stays filled so a caller can still tell which entry
                // (and which time) the damage belongs to.
                if (!lib_.plausibleSizes(r.header)) return PblLibrary::damaged();
                return kPblOk;
            }
        }
        if (create == 0) return kPblNotFound;
        if (h.freeBytes >= need) return insertIntoNode(name, info, false, false, node, h);
        return split(name, info, node, depth);
    }
}

int DirectoryOps::insertIntoNode(const Bytes& name, PblEntryInfo& info, bool asFirst, bool asLast,
                                 std::int32_t node, NodeHeader h) {
    if (info.time == 0) info.time = now();
    EntryRecordHeader rec;
    rec.firstBlock = info.firstBlock;
    rec.dataSize = info.dataSize;
    rec.time = info.time;
    rec.commentLength =
        static_cast<std::uint16_t>(v_.unicode ? (info.commentSize & 0xFFFF) / 2 : info.commentSize);
    rec.nameLength =
        static_cast<std::uint16_t>(name.size() + static_cast<std::size_t>(v_.charSize));

    const int used = kNodeSize - h.freeBytes;
    const int namePos = used + v_.entryHeaderSize;
    if (h.count == 0) {
        h.firstPos = static_cast<std::uint16_t>(namePos);
        h.lastPos = static_cast<std::uint16_t>(namePos);
    } else if (asFirst) {
        h.firstPos = static_cast<std::uint16_t>(namePos);
    } else if (asLast) {
        h.lastPos = static_cast<std::uint16_t>(namePos);
    }
    const int size = v_.entryHeaderSize + rec.nameLength;
    h.count = static_cast<std::int16_t>(h.count + 1);
    h.freeBytes = static_cast<std::int16_t>(h.freeBytes - size);
    info.entryOffset = node + used;
    info.nodeOffset = node;

    Bytes buf(static_cast<std::size_t>(size), 0);
    rec.encode(v_, buf.data());
    std::memcpy(buf.data() + v_.entryHeaderSize, name.data(), name.size());
    if (!file_.writeAt(buf.data(), buf.size(), node + used)) return kPblIoError;
    return writeNodeHeader(node, h);
}

int DirectoryOps::allocateNode(std::int32_t parent, std::int32_t& newOffset) {
    std::vector<std::int32_t> list;
    int rc = lib_.allocator().allocate(kNodeBlocks, list, true);
    if (rc != kPblOk) return rc;
    newOffset = list[0];
    NodeHeader h;
    h.parent = parent;
    rc = writeNodeHeader(newOffset, h);
    if (rc != kPblOk) return rc;
    // The file must cover the whole node; the data area is not cleared: with a count of
    // 0 nobody reads it.
    std::uint8_t zero = 0;
    return file_.writeAt(&zero, 1, newOffset + kNodeSize - 1) ? kPblOk : kPblIoError;
}

bool DirectoryOps::copyNode(std::int32_t node, Bytes& image, NodeHeader& h,
                            std::vector<RecordRef>& records) {
    const std::uint8_t* cached = file_.readNode(node);
    if (cached == nullptr) return false;
    image.assign(cached, cached + kNodeSize);
    return decodeNodeHeader(image.data(), h) && listRecords(v_, image.data(), h, records);
}

int DirectoryOps::split(const Bytes& name, PblEntryInfo& info, std::int32_t node, int depth) {
    if (depth >= kMaxSplitDepth) return PblLibrary::damaged();
    ++splits_;
    // Our own copy: the moves below read and write other nodes.
    Bytes image;
    NodeHeader h;
    std::vector<RecordRef> records;
    if (!copyNode(node, image, h, records)) return PblLibrary::damaged();

    struct Item {
        const std::uint8_t* name;
        std::size_t nameBytes;  // bytes to compare (terminator included for stored ones)
        int index;              // into records, -1 for the new entry
        int size;
        bool moved;
    };
    std::vector<Item> items;
    items.reserve(records.size() + 1);
    for (std::size_t i = 0; i < records.size(); ++i) {
        items.push_back({records[i].name,
                         static_cast<std::size_t>(records[i].nameBytesWithTerminator),
                         static_cast<int>(i), records[i].size(), false});
    }
    const int need = needed(name.size());
    items.push_back({name.data(), name.size(), -1, need, false});
    int freeBytes = h.freeBytes - need;
    int count = h.count + 1;

    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        return compareNames(a.name, a.nameBytes, b.name, b.nameBytes, v_.charSize) > 0;
    });

    if (h.right == kNoLink) {
        int rc = allocateNode(node, h.right);
        if (rc != kPblOk) return rc;
    } else if (!file_.validLink(h.right, kNodeSize)) {
        return PblLibrary::damaged();
    }

    for (Item& item : items) {
        if (freeBytes >= 0) break;
        int rc;
        if (item.index < 0) {
            rc = search(name, info, 1, h.right, depth + 1);
        } else {
            const RecordRef& r = records[static_cast<std::size_t>(item.index)];
            PblEntryInfo moved;
            fillFromRecord(moved, r.header, v_);
            Bytes storedName(r.name, r.name + r.nameBytes);
            moved.nameSize = r.nameBytes;
            rc = search(storedName, moved, 1, h.right, depth + 1);
        }
        if (rc != kPblOk) return rc;
        freeBytes += item.size;
        item.moved = true;
        --count;
    }

    // Rewrite the node in ascending name order with the records that stayed.
    Bytes data(static_cast<std::size_t>(kNodeDataSize), 0);
    int p = 0;
    h.firstPos = 0;
    h.lastPos = 0;
    bool first = true;
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (it->moved) continue;
        std::uint8_t* out = data.data() + p;
        if (it->index < 0) {
            info.nodeOffset = node;
            info.entryOffset = node + kNodeHeaderSize + p;
            EntryRecordHeader rec;
            rec.firstBlock = info.firstBlock;
            rec.dataSize = info.dataSize;
            rec.time = info.time;
            rec.commentLength = static_cast<std::uint16_t>(
                v_.unicode ? (info.commentSize & 0xFFFF) / 2 : info.commentSize);
            rec.nameLength =
                static_cast<std::uint16_t>(name.size() + static_cast<std::size_t>(v_.charSize));
            rec.encode(v_, out);
            std::memcpy(out + v_.entryHeaderSize, name.data(), name.size());
        } else {
            const RecordRef& r = records[static_cast<std::size_t>(it->index)];
            std::memcpy(out, image.data() + kNodeHeaderSize + r.position,
                        static_cast<std::size_t>(r.size()));
        }
        auto pos = static_cast<std::uint16_t>(kNodeHeaderSize + p + v_.entryHeaderSize);
        h.lastPos = pos;
        if (first) h.firstPos = pos;
        first = false;
        p += it->size;
    }
    h.freeBytes = static_cast<std::int16_t>(freeBytes);
    h.count = static_cast<std::int16_t>(count);
    if (!file_.writeAt(data.data(), static_cast<std::size_t>(p), node + kNodeHeaderSize)) {
        return kPblIoError;
    }
    // The rest of the data area is written as zeros, so the node is written whole.
    if (freeBytes > 0 && !file_.writeAt(data.data() + p, static_cast<std::size_t>(freeBytes),
                                        node + kNodeHeaderSize + p)) {
        return kPblWriteFailed;
    }
    return writeNodeHeader(node, h);
}

int DirectoryOps::attachLeftmost(std::int32_t subtree, std::int32_t start) {
    std::int32_t node = start;
    NodeHeader h;
    for (std::int64_t steps = 0;; ++steps) {
        if (steps > maxNodes_) return PblLibrary::damaged();
        int rc = readNodeHeader(node, h);
        if (rc != kPblOk) return rc;
        if (h.left == kNoLink) break;
        if (!file_.validLink(h.left, kNodeSize)) return PblLibrary::damaged();
        node = h.left;
    }
    NodeHeader sub;
    int rc = readNodeHeader(subtree, sub);
    if (rc != kPblOk) return rc;
    h.left = subtree;
    sub.parent = node;
    rc = writeNodeHeader(node, h);
    if (rc != kPblOk) return rc;
    return writeNodeHeader(subtree, sub);
}

int DirectoryOps::deleteEntry(PblEntryInfo& info) {
    if (info.nodeOffset == kNoLink || info.entryOffset == kNoLink) return kPblInvalidArgument;
    const std::int32_t node = info.nodeOffset;
    Bytes image;
    NodeHeader h;
    std::vector<RecordRef> records;
    if (!copyNode(node, image, h, records)) return PblLibrary::damaged();
    // The descriptor must name the start of one of the node's records; anything else
    // is a stale or forged descriptor, and shifting bytes by it would wreck the node.
    std::int64_t p = static_cast<std::int64_t>(info.entryOffset) - node - kNodeHeaderSize;
    auto hit = std::find_if(records.begin(), records.end(),
                            [&](const RecordRef& r) { return r.position == p; });
    if (hit == records.end()) return PblLibrary::damaged();
    const int size = hit->size();
    std::uint8_t* data = image.data() + kNodeHeaderSize;
    const auto pos = static_cast<std::size_t>(p);
    std::memmove(data + pos, data + pos + static_cast<std::size_t>(size),
                 static_cast<std::size_t>(kNodeDataSize) - pos - static_cast<std::size_t>(size));
    std::memset(data + kNodeDataSize - size, 0, static_cast<std::size_t>(size));
    h.freeBytes = static_cast<std::int16_t>(h.freeBytes + size);
    h.count = static_cast<std::int16_t>(h.count - 1);

    if (!listRecords(v_, image.data(), h, records)) return PblLibrary::damaged();
    h.firstPos = 0;
    h.lastPos = 0;
    const RecordRef* firstRec = nullptr;
    const RecordRef* lastRec = nullptr;
    for (const RecordRef& r : records) {
        auto nameLen = static_cast<std::size_t>(r.nameBytesWithTerminator);
        if (firstRec == nullptr ||
            compareNames(r.name, nameLen, firstRec->name,
                         static_cast<std::size_t>(firstRec->nameBytesWithTerminator),
                         v_.charSize) <= 0) {
            firstRec = &r;
        }
        if (lastRec == nullptr ||
            compareNames(r.name, nameLen, lastRec->name,
                         static_cast<std::size_t>(lastRec->nameBytesWithTerminator),
                         v_.charSize) >= 0) {
            lastRec = &r;
        }
    }
    if (firstRec != nullptr) {
        h.firstPos =
            static_cast<std::uint16_t>(kNodeHeaderSize + firstRec->position + v_.entryHeaderSize);
        h.lastPos =
            static_cast<std::uint16_t>(kNodeHeaderSize + lastRec->position + v_.entryHeaderSize);
    }

    int rc = kPblOk;
    if (h.count > 0 || (h.parent == kNoLink && h.left == kNoLink && h.right == kNoLink)) {
        h.encode(image.data());
        if (!file_.writeAt(image.data(), image.size(), node)) return kPblIoError;
    } else {
        rc = [&]() -> int {
            for (std::int32_t link : {h.left, h.right, h.parent}) {
                if (link != kNoLink && !file_.validLink(link, kNodeSize)) {
                    return PblLibrary::damaged();
                }
            }
            std::int32_t replacement = h.right != kNoLink ? h.right : h.left;
            if (h.left != kNoLink && h.right != kNoLink) {
                int r = attachLeftmost(h.left, h.right);
                if (r != kPblOk) return r;
            }
            if (replacement != kNoLink) {
                NodeHeader rh;
                int r = readNodeHeader(replacement, rh);
                if (r != kPblOk) return r;
                rh.parent = h.parent;
                r = writeNodeHeader(replacement, rh);
                if (r != kPblOk) return r;
            }
            if (h.parent != kNoLink) {
                NodeHeader ph;
                int r = readNodeHeader(h.parent, ph);
                if (r != kPblOk) return r;
                if (ph.left == node) {
                    ph.left = replacement;
                } else if (ph.right == node) {
                    ph.right = replacement;
                } else {
                    return PblLibrary::damaged();
                }
                r = writeNodeHeader(h.parent, ph);
                if (r != kPblOk) return r;
                std::vector<std::int32_t> blocks;
                for (int i = 0; i < kNodeBlocks; ++i) blocks.push_back(node + i * kBlockSize);
                return lib_.allocator().release(blocks, 0, -1);
            }
            // The root keeps its place and takes over its only subtree's top node.
            const std::uint8_t* rc2 = file_.readNode(replacement);
            if (rc2 == nullptr) return PblLibrary::damaged();
            Bytes top(rc2, rc2 + kNodeSize);
            NodeHeader th;
            if (!decodeNodeHeader(top.data(), th)) return PblLibrary::damaged();
            for (std::int32_t child : {th.left, th.right}) {
                if (child == kNoLink) continue;
                NodeHeader ch;
                int r = readNodeHeader(child, ch);
                if (r != kPblOk) return r;
                ch.parent = node;
                r = writeNodeHeader(child, ch);
                if (r != kPblOk) return r;
            }
            th.parent = kNoLink;
            th.encode(top.data());
            if (!file_.writeAt(top.data(), top.size(), node)) return kPblIoError;
            std::vector<std::int32_t> blocks;
            for (int i = 0; i < kNodeBlocks; ++i) blocks.push_back(replacement + i * kBlockSize);
            return lib_.allocator().release(blocks, 0, -1);
        }();
        if (rc != kPblOk) return rc;
    }

    if (info.firstBlock != kNoLink) {
        std::vector<std::int32_t> chain;
        rc = lib_.collectChain(info.firstBlock, chain);
        if (rc != kPblOk) return rc;
        rc = lib_.allocator().release(chain, 0, -1);
    }
    return rc;
}

int PblLibrary::findEntry(const char* name, PblEntryInfo& info, int create) {
    info.name.clear();
    if (name == nullptr) return kPblInvalidArgument;
    Bytes key;
    if (unicode_) {
        std::u16string wide = ansiToWide(name);
        key.resize(wide.size() * 2);
        for (std::size_t i = 0; i < wide.size(); ++i) {
            storeU16(key.data() + 2 * i, static_cast<std::uint16_t>(wide[i]));
        }
    } else {
        std::size_t n = std::strlen(name);
        key.assign(reinterpret_cast<const std::uint8_t*>(name),
                   reinterpret_cast<const std::uint8_t*>(name) + n);
    }
    return findByKey(key, info, create);
}

int PblLibrary::findByKey(const Bytes& key, PblEntryInfo& info, int create) {
    // A read-only or hosted library finds what it holds and creates nothing.
    if (create != 0 && !writable_) {
        const int found = findByKey(key, info, 0);
        return found == kPblNotFound ? readOnly() : found;
    }
    if (create != 0) {
        // A new record is only worth writing if its data can follow: a bitmap chain that
        // cannot be read must fail the call before the directory changes.
        int rc = allocator_->load();
        if (rc != kPblOk) return rc;
    }
    if (key.size() > static_cast<std::size_t>(kNodeDataSize)) return kPblNotFound;
    info.nameSize = static_cast<std::int32_t>(key.size());
    DirectoryOps ops(*this);
    int rc = ops.search(key, info, create, rootNodeOffset(), 0);
    if (rc == kPblOk && ops.splitHappened()) {
        // A split moves records between nodes, and a nested one may move the new entry
        // after its offsets were recorded: look it up again so the descriptor names
        // where it really is.
        PblEntryInfo fresh;
        rc = ops.search(key, fresh, 0, rootNodeOffset(), 0);
        if (rc == kPblOk) {
            info.nodeOffset = fresh.nodeOffset;
            info.entryOffset = fresh.entryOffset;
        }
    }
    return rc;
}

int PblLibrary::deleteEntry(PblEntryInfo& info) {
    if (!writable_) return kPblIoError;
    // Everything the delete will free is read first: a damaged data chain or bitmap must
    // fail the call while the record is still in place.
    int rc = allocator_->load();
    if (rc != kPblOk) return rc;
    std::vector<std::int32_t> chain;
    rc = collectChain(info.firstBlock, chain);
    if (rc != kPblOk) return rc;
    DirectoryOps ops(*this);
    return ops.deleteEntry(info);
}

int PblLibrary::findEntry(const std::u16string& name, PblEntryInfo& info, int create) {
    info.name.clear();
    if (!unicode_) {
        std::string ansi = wideToAnsi(name);
        if (ansiToWide(ansi) != name) return kPblInvalidArgument;
        return findEntry(ansi.c_str(), info, create);
    }
    if (name.find(u'\0') != std::u16string::npos) return kPblInvalidArgument;
    Bytes key(name.size() * 2);
    for (std::size_t i = 0; i < name.size(); ++i)
        storeU16(key.data() + 2 * i, static_cast<std::uint16_t>(name[i]));
    return findByKey(key, info, create);
}

}  // namespace keldrin::pbl
