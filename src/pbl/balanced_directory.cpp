// The names, sorted, are cut into runs that each fill at most one node's data area
// (3040 bytes of records); the runs are laid out as a balanced tree (the middle run in
// the root, the middle runs of each half in its children, and so on), every node
// written whole with exactly its run.
//
// The tree is written directly rather than grown through findEntry: a lookup that
// meets an empty link puts a new name into the node above when that has room left,
// which would push names of a lower run into an upper node and split it, and the tree
// would come out deeper than the runs call for. Node blocks are taken before any data
// block, so every data chain the caller writes afterwards lies behind the directory.
#include "pbl/balanced_directory.h"

#include <cstring>

namespace keldrin::pbl {
namespace {

using layout::kNodeDataSize;
using layout::kNoLink;

class TreeWriter {
  public:
    TreeWriter(PblLibrary& target, const std::vector<Bytes>& names,
               std::vector<std::int32_t>& records)
        : target_(target), names_(names), records_(records) {}

    int run() {
        const layout::Variant& v = target_.variant();
        records_.assign(names_.size(), kNoLink);
        int total = 0;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            const int size = directoryRecordSize(v, names_[i].size());
            if (size > kNodeDataSize) return kPblInvalidArgument;
            if (i == 0 || total + size > kNodeDataSize) {
                runs_.push_back(i);
                total = 0;
            }
            total += size;
        }
        std::int32_t root = kNoLink;
        int rc = buildNodes(0, runs_.size(), kNoLink, root);
        if (rc != kPblOk) return rc;
        // The caller updates each record in its node: with the nodes in the cache, those
        // updates need no read of the file.
        for (std::int32_t node : nodes_)
            if (target_.file().readNode(node) == nullptr) return kPblWriteFailed;
        return kPblOk;
    }

  private:
    // Runs [first, last) become a subtree: the middle run fills its top node (the root
    // for the whole range), the halves its left and right subtrees. The depth of this
    // recursion is the logarithm of the number of runs.
    int buildNodes(std::size_t first, std::size_t last, std::int32_t parent, std::int32_t& node) {
        node = kNoLink;
        if (first >= last) return kPblOk;
        const std::size_t mid = (first + last - 1) / 2;
        if (parent == kNoLink) {
            node = target_.rootNodeOffset();
        } else {
            std::vector<std::int32_t> blocks;
            int rc = target_.allocator().allocate(layout::kNodeBlocks, blocks, true);
            if (rc != kPblOk) return rc;
            node = blocks.front();
        }
        nodes_.push_back(node);
        // The node is written before its subtrees take further blocks, so that the file
        // covers every block handed out.
        int rc = writeNode(node, parent, kNoLink, kNoLink, mid);
        if (rc != kPblOk) return rc;
        std::int32_t left = kNoLink;
        std::int32_t right = kNoLink;
        rc = buildNodes(first, mid, node, left);
        if (rc != kPblOk) return rc;
        rc = buildNodes(mid + 1, last, node, right);
        if (rc != kPblOk) return rc;
        if (left == kNoLink && right == kNoLink) return kPblOk;
        return writeNode(node, parent, left, right, mid);
    }

    int writeNode(std::int32_t node, std::int32_t parent, std::int32_t left, std::int32_t right,
                  std::size_t run) {
        const layout::Variant& v = target_.variant();
        const std::size_t begin = runs_[run];
        const std::size_t end = run + 1 < runs_.size() ? runs_[run + 1] : names_.size();
        Bytes image(static_cast<std::size_t>(layout::kNodeSize), 0);
        layout::NodeHeader header;
        header.left = left;
        header.parent = parent;
        header.right = right;
        int used = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const Bytes& name = names_[i];
            std::uint8_t* record = image.data() + layout::kNodeHeaderSize + used;
            records_[i] = node + layout::kNodeHeaderSize + used;
            layout::EntryRecordHeader entry;
            entry.nameLength =
                static_cast<std::uint16_t>(name.size() + static_cast<std::size_t>(v.charSize));
            entry.encode(v, record);
            // A nameless entry has no bytes to copy (and maybe no buffer at all).
            if (!name.empty()) std::memcpy(record + v.entryHeaderSize, name.data(), name.size());
            const auto position =
                static_cast<std::uint16_t>(layout::kNodeHeaderSize + used + v.entryHeaderSize);
            // Names come in the directory's order: the first is the smallest.
            if (i == begin) header.firstPos = position;
            header.lastPos = position;
            used += directoryRecordSize(v, name.size());
        }
        header.count = static_cast<std::int16_t>(end - begin);
        header.freeBytes = static_cast<std::int16_t>(kNodeDataSize - used);
        header.encode(image.data());
        return target_.file().writeAt(image.data(), image.size(), node) ? kPblOk : kPblWriteFailed;
    }

    PblLibrary& target_;
    const std::vector<Bytes>& names_;
    std::vector<std::int32_t>& records_;
    std::vector<std::size_t> runs_;  // index of each run's first name
    std::vector<std::int32_t> nodes_;
};

}  // namespace

int writeBalancedDirectory(PblLibrary& target, const std::vector<Bytes>& names,
                           std::vector<std::int32_t>& records) {
    return TreeWriter(target, names, records).run();
}

}  // namespace keldrin::pbl
