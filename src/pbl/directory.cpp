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
#include <optional>
#include <unordered_set>
#include <utility>

#include "base/stamp_clock.h"
#include "base/text.h"
#include "pbl/library.h"
#include "pbl/node_records.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

using namespace layout;

namespace {

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
        : lib_(lib),
          file_(lib.file()),
          v_(lib.variant()),
          maxNodes_(file_.blockCount() / kNodeBlocks + 2) {}

    int search(const Bytes& name, PblEntryInfo& info, int create, std::int32_t node, int depth);
    // Removes the entry `info` describes; `chain` is its data chain, collected while the
    // record was still in place.
    int deleteEntry(PblEntryInfo& info, const std::vector<std::int32_t>& chain);
    bool splitHappened() const { return splits_ > 0; }

  private:
    int insertIntoNode(const Bytes& name, PblEntryInfo& info, bool asFirst, bool asLast,
                       std::int32_t node, NodeHeader header);
    int split(const Bytes& name, PblEntryInfo& info, std::int32_t node, int depth);
    // The record a descriptor stands for: its header from `info`, then `name` and its
    // terminator, at `out` (room for recordSize(name) bytes). insertIntoNode and split
    // both build new records through here.
    void encodeRecord(const Bytes& name, const PblEntryInfo& info, std::uint8_t* out) const;
    int recordSize(const Bytes& name) const {
        return v_.entryHeaderSize + static_cast<int>(name.size()) + v_.charSize;
    }
    // A copy of the node at `node` with its header and records (which point into the
    // copy); kPblDamaged (reported) when it cannot be read or is damaged.
    int copyNode(std::int32_t node, Bytes& image, NodeHeader& h, std::vector<RecordRef>& records);
    int allocateNode(std::int32_t parent, std::int32_t& newOffset);
    int attachLeftmost(std::int32_t subtree, std::int32_t start);
    int readNodeHeader(std::int32_t node, NodeHeader& header);
    int writeNodeHeader(std::int32_t node, const NodeHeader& header);
    int checkLink(std::int32_t link, std::int32_t from, const char* reason) {
        return file_.validLink(link, kNodeSize) ? kPblOk : damaged(reason, from);
    }
    int freeNodeBlocks(std::int32_t node);

    // deleteEntry's steps.
    void removeRecord(Bytes& image, NodeHeader& h, std::size_t position, int size) const;
    void recomputeBounds(NodeHeader& h, const std::vector<RecordRef>& records) const;
    int unlinkEmptyNode(std::int32_t node, const NodeHeader& h);
    int takeOverSubtreeTop(std::int32_t root, std::int32_t top);

    int damaged(const char* reason, std::int64_t offset, const Bytes* name = nullptr) {
        return lib_.damaged(reason, offset, name != nullptr ? lib_.displayName(*name) : "");
    }
    // `fault`'s offset counts from the node's first byte.
    int damagedNode(std::int32_t node, const Damage& fault) {
        return lib_.damaged(fault.what, std::int64_t{node} + fault.offset);
    }

    PblLibrary& lib_;
    BlockFile& file_;
    const Variant& v_;
    std::int64_t maxNodes_;
    int splits_ = 0;
};

int DirectoryOps::readNodeHeader(std::int32_t node, NodeHeader& header) {
    const std::uint8_t* p = file_.readNode(node);
    if (p == nullptr) return damaged("node lies outside the file", node);
    Damage fault;
    if (!decodeNodeHeader(nodeSpan(p), header, &fault)) return damagedNode(node, fault);
    return kPblOk;
}

int DirectoryOps::writeNodeHeader(std::int32_t node, const NodeHeader& header) {
    std::uint8_t buf[kNodeHeaderSize];
    header.encode(buf);
    return file_.writeAt(buf, sizeof buf, node) ? kPblOk : kPblIoError;
}

int DirectoryOps::copyNode(std::int32_t node, Bytes& image, NodeHeader& h,
                           std::vector<RecordRef>& records) {
    const std::uint8_t* cached = file_.readNode(node);
    if (cached == nullptr) return damaged("node lies outside the file", node);
    image.assign(cached, cached + kNodeSize);
    Damage fault;
    if (!decodeNodeHeader(image, h, &fault) || !listRecords(v_, image, h, records, &fault))
        return damagedNode(node, fault);
    return kPblOk;
}

int DirectoryOps::search(const Bytes& name, PblEntryInfo& info, int create, std::int32_t node,
                         int depth) {
    if (recordSize(name) > kNodeDataSize) return kPblNotFound;
    std::vector<RecordRef> records;
    // Each step goes one level down; more steps than the file has nodes means a cycle.
    for (std::int64_t steps = 0;; ++steps) {
        if (node == kNoLink) return kPblNotFound;
        if (steps > maxNodes_) return damaged("directory loops back", node, &name);
        const std::uint8_t* p = file_.readNode(node);
        if (p == nullptr) return damaged("node lies outside the file", node);
        const ByteSpan image = nodeSpan(p);
        NodeHeader h;
        Damage fault;
        if (!decodeNodeHeader(image, h, &fault)) return damagedNode(node, fault);

        bool descend = false;
        bool asFirst = false;
        if (h.count > 0) {
            const std::uint8_t* first = nullptr;
            const std::uint8_t* last = nullptr;
            int firstLen = 0;
            int lastLen = 0;
            if (!nameAtPosition(image, h.firstPos, first, firstLen))
                return damaged("node's first name position is bad", node + kNodeFirstPosField);
            if (compareNames(first, static_cast<std::size_t>(firstLen), name.data(), name.size(),
                             v_.charSize) > 0) {
                descend = true;
                asFirst = true;
            } else {
                if (!nameAtPosition(image, h.lastPos, last, lastLen))
                    return damaged("node's last name position is bad", node + kNodeLastPosField);
                if (compareNames(last, static_cast<std::size_t>(lastLen), name.data(), name.size(),
                                 v_.charSize) < 0) {
                    descend = true;
                }
            }
        }

        if (descend) {
            const std::int32_t link = asFirst ? h.left : h.right;
            const int linkField = asFirst ? kNodeLeftField : kNodeRightField;
            if (link != kNoLink) {
                int rc = checkLink(link, node + linkField, "child link leaves the file");
                if (rc != kPblOk) return rc;
                node = link;
                continue;
            }
            if (create == 0) return kPblNotFound;
            if (h.freeBytes >= recordSize(name)) {
                return insertIntoNode(name, info, asFirst, !asFirst, node, h);
            }
            std::int32_t child = kNoLink;
            int rc = allocateNode(node, child);
            if (rc != kPblOk) return rc;
            std::uint8_t linkBytes[sizeof(std::int32_t)];
            storeI32(linkBytes, child);
            if (!file_.writeAt(linkBytes, sizeof linkBytes, node + linkField)) return kPblIoError;
            node = child;
            continue;
        }

        // The name lies within this node's range: look for it among the records.
        if (!listRecords(v_, image, h, records, &fault)) return damagedNode(node, fault);
        for (const RecordRef& r : records) {
            if (compareNames(r.name, static_cast<std::size_t>(r.nameBytesWithTerminator),
                             name.data(), name.size(), v_.charSize) == 0) {
                fillFromRecord(info, r.header, v_);
                info.nodeOffset = node;
                info.entryOffset = node + kNodeHeaderSize + r.position;
                // Callers size buffers from these: a size the file cannot hold is damage.
                // The descriptor stays filled so a caller can still tell which entry
                // (and which time) the damage belongs to.
                if (!lib_.plausibleSizes(r.header))
                    return damaged("entry sizes exceed what the file can hold", info.entryOffset,
                                   &name);
                return kPblOk;
            }
        }
        if (create == 0) return kPblNotFound;
        if (h.freeBytes >= recordSize(name))
            return insertIntoNode(name, info, false, false, node, h);
        return split(name, info, node, depth);
    }
}

void DirectoryOps::encodeRecord(const Bytes& name, const PblEntryInfo& info,
                                std::uint8_t* out) const {
    EntryRecordHeader rec;
    rec.firstBlock = info.firstBlock;
    rec.dataSize = info.dataSize;
    rec.time = info.time;
    rec.commentLength =
        static_cast<std::uint16_t>(v_.unicode ? (info.commentSize & 0xFFFF) / 2 : info.commentSize);
    rec.nameLength =
        static_cast<std::uint16_t>(name.size() + static_cast<std::size_t>(v_.charSize));
    rec.encode(v_, out);
    std::uint8_t* namePart = out + v_.entryHeaderSize;
    if (!name.empty()) std::memcpy(namePart, name.data(), name.size());
    std::memset(namePart + name.size(), 0, static_cast<std::size_t>(v_.charSize));
}

int DirectoryOps::insertIntoNode(const Bytes& name, PblEntryInfo& info, bool asFirst, bool asLast,
                                 std::int32_t node, NodeHeader h) {
    if (info.time == 0) info.time = stamp::now();
    const int used = kNodeSize - h.freeBytes;
    const auto namePos = static_cast<std::uint16_t>(used + v_.entryHeaderSize);
    if (h.count == 0) {
        h.firstPos = namePos;
        h.lastPos = namePos;
    } else if (asFirst) {
        h.firstPos = namePos;
    } else if (asLast) {
        h.lastPos = namePos;
    }
    const int size = recordSize(name);
    h.count = static_cast<std::int16_t>(h.count + 1);
    h.freeBytes = static_cast<std::int16_t>(h.freeBytes - size);
    info.entryOffset = node + used;
    info.nodeOffset = node;

    Bytes buf(static_cast<std::size_t>(size));
    encodeRecord(name, info, buf.data());
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

int DirectoryOps::split(const Bytes& name, PblEntryInfo& info, std::int32_t node, int depth) {
    if (depth >= kMaxSplitDepth) return damaged("node splits nest too deep", node, &name);
    ++splits_;
    // Our own copy: the moves below read and write other nodes.
    Bytes image;
    NodeHeader h;
    std::vector<RecordRef> records;
    int rc = copyNode(node, image, h, records);
    if (rc != kPblOk) return rc;

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
    const int need = recordSize(name);
    items.push_back({name.data(), name.size(), -1, need, false});
    int freeBytes = h.freeBytes - need;
    int count = h.count + 1;

    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        return compareNames(a.name, a.nameBytes, b.name, b.nameBytes, v_.charSize) > 0;
    });

    if (h.right == kNoLink) {
        rc = allocateNode(node, h.right);
        if (rc != kPblOk) return rc;
    } else {
        rc = checkLink(h.right, node + kNodeRightField, "child link leaves the file");
        if (rc != kPblOk) return rc;
    }

    for (Item& item : items) {
        if (freeBytes >= 0) break;
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

    // Rewrite the node in ascending name order with the records that stayed; the rest
    // of the data area goes out as zeros, so the node is written whole.
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
            encodeRecord(name, info, out);
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
    const std::size_t written = static_cast<std::size_t>(p) + static_cast<std::size_t>(freeBytes);
    if (!file_.writeAt(data.data(), written, node + kNodeHeaderSize)) return kPblIoError;
    return writeNodeHeader(node, h);
}

int DirectoryOps::attachLeftmost(std::int32_t subtree, std::int32_t start) {
    std::int32_t node = start;
    NodeHeader h;
    for (std::int64_t steps = 0;; ++steps) {
        if (steps > maxNodes_) return damaged("directory loops back", node);
        int rc = readNodeHeader(node, h);
        if (rc != kPblOk) return rc;
        if (h.left == kNoLink) break;
        rc = checkLink(h.left, node + kNodeLeftField, "child link leaves the file");
        if (rc != kPblOk) return rc;
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

int DirectoryOps::freeNodeBlocks(std::int32_t node) {
    std::vector<std::int32_t> blocks(kNodeBlocks);
    for (int i = 0; i < kNodeBlocks; ++i)
        blocks[static_cast<std::size_t>(i)] = node + i * kBlockSize;
    return lib_.allocator().release(blocks, 0, -1);
}

void DirectoryOps::removeRecord(Bytes& image, NodeHeader& h, std::size_t position, int size) const {
    std::uint8_t* data = image.data() + kNodeHeaderSize;
    const auto n = static_cast<std::size_t>(size);
    std::memmove(data + position, data + position + n, kNodeDataSize - position - n);
    std::memset(data + kNodeDataSize - n, 0, n);
    h.freeBytes = static_cast<std::int16_t>(h.freeBytes + size);
    h.count = static_cast<std::int16_t>(h.count - 1);
}

void DirectoryOps::recomputeBounds(NodeHeader& h, const std::vector<RecordRef>& records) const {
    h.firstPos = 0;
    h.lastPos = 0;
    const RecordRef* firstRec = nullptr;
    const RecordRef* lastRec = nullptr;
    auto compare = [&](const RecordRef& a, const RecordRef& b) {
        return compareNames(a.name, static_cast<std::size_t>(a.nameBytesWithTerminator), b.name,
                            static_cast<std::size_t>(b.nameBytesWithTerminator), v_.charSize);
    };
    // On equal names the later record wins, as the stored order has it.
    for (const RecordRef& r : records) {
        if (firstRec == nullptr || compare(r, *firstRec) <= 0) firstRec = &r;
        if (lastRec == nullptr || compare(r, *lastRec) >= 0) lastRec = &r;
    }
    if (firstRec == nullptr) return;
    h.firstPos =
        static_cast<std::uint16_t>(kNodeHeaderSize + firstRec->position + v_.entryHeaderSize);
    h.lastPos =
        static_cast<std::uint16_t>(kNodeHeaderSize + lastRec->position + v_.entryHeaderSize);
}

// An emptied node that is not a lone root leaves the tree: its right child (or else its
// left one) takes its place, with the left subtree hung under the right one's leftmost
// node when there are both.
int DirectoryOps::unlinkEmptyNode(std::int32_t node, const NodeHeader& h) {
    const std::pair<std::int32_t, int> links[] = {
        {h.left, kNodeLeftField}, {h.right, kNodeRightField}, {h.parent, kNodeParentField}};
    for (const auto& [link, field] : links) {
        if (link == kNoLink) continue;
        int rc = checkLink(link, node + field, "node link leaves the file");
        if (rc != kPblOk) return rc;
    }
    const std::int32_t replacement = h.right != kNoLink ? h.right : h.left;
    if (h.left != kNoLink && h.right != kNoLink) {
        int rc = attachLeftmost(h.left, h.right);
        if (rc != kPblOk) return rc;
    }
    if (replacement != kNoLink) {
        NodeHeader rh;
        int rc = readNodeHeader(replacement, rh);
        if (rc != kPblOk) return rc;
        rh.parent = h.parent;
        rc = writeNodeHeader(replacement, rh);
        if (rc != kPblOk) return rc;
    }
    if (h.parent == kNoLink) return takeOverSubtreeTop(node, replacement);

    NodeHeader ph;
    int rc = readNodeHeader(h.parent, ph);
    if (rc != kPblOk) return rc;
    if (ph.left == node) {
        ph.left = replacement;
    } else if (ph.right == node) {
        ph.right = replacement;
    } else {
        return damaged("parent node does not link back to its child", h.parent);
    }
    rc = writeNodeHeader(h.parent, ph);
    if (rc != kPblOk) return rc;
    return freeNodeBlocks(node);
}

// The root keeps its place and takes over its only subtree's top node.
int DirectoryOps::takeOverSubtreeTop(std::int32_t root, std::int32_t top) {
    Bytes image;
    NodeHeader th;
    const std::uint8_t* cached = file_.readNode(top);
    if (cached == nullptr) return damaged("node lies outside the file", top);
    image.assign(cached, cached + kNodeSize);
    Damage fault;
    if (!decodeNodeHeader(image, th, &fault)) return damagedNode(top, fault);
    for (std::int32_t child : {th.left, th.right}) {
        if (child == kNoLink) continue;
        NodeHeader ch;
        int rc = readNodeHeader(child, ch);
        if (rc != kPblOk) return rc;
        ch.parent = root;
        rc = writeNodeHeader(child, ch);
        if (rc != kPblOk) return rc;
    }
    th.parent = kNoLink;
    th.encode(image.data());
    if (!file_.writeAt(image.data(), image.size(), root)) return kPblIoError;
    return freeNodeBlocks(top);
}

int DirectoryOps::deleteEntry(PblEntryInfo& info, const std::vector<std::int32_t>& chain) {
    if (info.nodeOffset == kNoLink || info.entryOffset == kNoLink) return kPblInvalidArgument;
    const std::int32_t node = info.nodeOffset;
    Bytes image;
    NodeHeader h;
    std::vector<RecordRef> records;
    int rc = copyNode(node, image, h, records);
    if (rc != kPblOk) return rc;
    // The descriptor must name the start of one of the node's records; anything else
    // is a stale or forged descriptor, and shifting bytes by it would wreck the node.
    const std::int64_t p = static_cast<std::int64_t>(info.entryOffset) - node - kNodeHeaderSize;
    auto hit = std::find_if(records.begin(), records.end(),
                            [&](const RecordRef& r) { return r.position == p; });
    if (hit == records.end())
        return damaged("descriptor names no entry record of its node", info.entryOffset);
    removeRecord(image, h, static_cast<std::size_t>(p), hit->size());
    Damage fault;
    if (!listRecords(v_, image, h, records, &fault)) return damagedNode(node, fault);
    recomputeBounds(h, records);

    if (h.count > 0 || (h.parent == kNoLink && h.left == kNoLink && h.right == kNoLink)) {
        h.encode(image.data());
        if (!file_.writeAt(image.data(), image.size(), node)) return kPblIoError;
    } else {
        rc = unlinkEmptyNode(node, h);
        if (rc != kPblOk) return rc;
    }
    if (chain.empty()) return kPblOk;
    return lib_.allocator().release(chain, 0, -1);
}

int PblLibrary::findEntry(const char* name, PblEntryInfo& info, int create) {
    info.name.clear();
    if (name == nullptr) return kPblInvalidArgument;
    if (unicode_) return findEntry(ansiToWide(name), info, create);
    const std::size_t n = std::strlen(name);
    return findByKey(Bytes(reinterpret_cast<const std::uint8_t*>(name),
                           reinterpret_cast<const std::uint8_t*>(name) + n),
                     info, create);
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
    rc = collectChain(info.firstBlock, chain, info.entryOffset);
    if (rc != kPblOk) return rc;
    DirectoryOps ops(*this);
    return ops.deleteEntry(info, chain);
}

int PblLibrary::findEntry(const std::u16string& name, PblEntryInfo& info, int create) {
    info.name.clear();
    std::optional<Bytes> key = encodeStoredText(unicode_, name);
    if (!key) return kPblInvalidArgument;
    return findByKey(*key, info, create);
}

}  // namespace keldrin::pbl
