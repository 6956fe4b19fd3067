// The rebuild: a fresh copy of an open library with a balanced directory, compact data
// chains in ascending blocks, the same entries, times, comment and library data.
//
// Steps: settle the version; collect every entry; sort the names in the target
// directory's own order; cut the sorted list into runs that each fill at most one
// node's data area (3040 bytes of records, counted in the target's record sizes); lay
// the runs out as a balanced tree (the middle run in the root, the middle runs of each
// half in its children, and so on), every node written whole with exactly its run;
// then copy each entry's data and time, the comment and the library data.
//
// The tree is written directly rather than grown through findEntry: a lookup that
// meets an empty link puts a new name into the node above when that has room left,
// which would push names of a lower run into an upper node and split it, and the tree
// would come out deeper than the runs call for. Node blocks are taken before any data
// block, so every data chain lies in ascending blocks behind the directory.
//
// The new library is written under a temporary name beside the target and takes the
// target's name in one atomic step only when it is complete; on any failure the
// temporary file goes and an existing target is untouched. Writing onto the source
// file itself (by any name) is refused: it would truncate what is being read.
//
// Into the other variant (ANSI <-> Unicode) names and comments, which the library
// knows as text, are converted through the ANSI code page; entry bodies and library
// data, which it does not interpret, go over byte for byte (docs/rebuild.md). A name
// that would not come back unchanged from the conversion is refused rather than
// renamed, since two entries could then fall together.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/file_identity.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "pbl/bulk_reader.h"
#include "pbl/pbl_library_impl.h"
#include "pbl/rebuild.h"

namespace keldrin::pbl {
namespace {

using layout::kNodeDataSize;
using layout::kNoLink;

using layout::kCurrentAnsiVersion;
using layout::kFirstAnsiVersion;
using layout::kLastAnsiVersion;
using layout::kUnicodeVersion;
// Temporary names tried beside the target before giving up.
constexpr int kTemporaryNameAttempts = 100;

int settleVersion(int requested, int sourceVersion) {
    int v = requested > 0 ? requested : sourceVersion;
    if (v >= kUnicodeVersion) return kUnicodeVersion;
    if (v >= kCurrentAnsiVersion && v <= kLastAnsiVersion) return kCurrentAnsiVersion;
    return v;
}

struct Item {
    std::string name;  // ANSI form, the form findEntry takes
    Bytes targetName;  // as the target stores it, without terminator
    PblEntryInfo source;
    int targetRecordSize = 0;
    std::int32_t targetRecord = kNoLink;  // where writeNode put its record
};

// Takes every entry as forEachEntry hands it out; the names are read again from the
// records themselves, so the manager's name form plays no part.
class EntryCollector : public PblEntryVisitor {
  public:
    std::vector<PblEntryInfo> entries;
    int visit(PblEntryInfo& info) override {
        entries.push_back(info);
        entries.back().name.clear();
        return 1;
    }
};

// A stored UTF-16 text up to its terminator (or its end).
std::u16string utf16FromBytes(ByteSpan bytes) {
    std::u16string text = decodeUtf16Le(bytes);
    return text.substr(0, text.find(u'\0'));
}

// A text stored in one variant, in the form the other stores it. Characters the ANSI
// code page cannot carry become "?", as everywhere text enters an ANSI library.
Bytes convertText(const Bytes& text, bool fromUnicode) {
    if (!fromUnicode) {
        if (text.empty()) return {};
        std::u16string wide = narrowToWide(reinterpret_cast<const char*>(text.data()),
                                           static_cast<int>(text.size()), CP_ACP);
        return encodeUtf16Le(wide);
    }
    std::string narrow = wideToAnsi(utf16FromBytes(text));
    return Bytes(narrow.begin(), narrow.end());
}

class Rebuild {
  public:
    Rebuild(PblLibrary& source, PblLibrary& target) : source_(source), target_(target) {}

    int run() {
        int rc = collect();
        if (rc != kPblOk) return rc;
        formRuns();
        std::int32_t root = 0;
        rc = buildNodes(0, runs_.size(), kNoLink, root);
        if (rc != kPblOk) return rc;
        // Each entry's record is updated in its node: with the nodes in the cache, those
        // updates need no read of the file.
        for (std::int32_t node : nodes_)
            if (target_.file().readNode(node) == nullptr) return kPblWriteFailed;
        rc = copyEntries();
        if (rc != kPblOk) return rc;
        rc = copyComment();
        if (rc != kPblOk) return rc;
        return copyLibraryData();
    }

  private:
    bool crossing() const { return target_.isUnicode() != source_.isUnicode(); }

    int collect() {
        EntryCollector collector;
        int rc = source_.forEachEntry(collector);
        if (rc != kPblOk) return rc;
        const layout::Variant& to = target_.variant();
        items_.reserve(collector.entries.size());
        for (PblEntryInfo& info : collector.entries) {
            Item item;
            rc = storedName(info, item.name);
            if (rc != kPblOk) return rc;
            if (to.unicode) {
                std::u16string wide = ansiToWide(item.name);
                // The name reaches the target through the ANSI code page: it must come
                // back as it was stored, or the entry would be renamed.
                if (wideToAnsi(wide) != item.name) return kPblInvalidArgument;
                item.targetName = encodeUtf16Le(wide);
            } else {
                item.targetName.assign(item.name.begin(), item.name.end());
            }
            item.targetRecordSize =
                to.entryHeaderSize + static_cast<int>(item.targetName.size()) + to.charSize;
            // A name the target's nodes cannot hold. An empty name is an entry like any
            // other: PowerBuilder itself wrote libraries that hold one.
            if (item.targetRecordSize > kNodeDataSize) return kPblInvalidArgument;
            if (info.commentSize < 0 || info.commentSize > info.dataSize)
                return source_.damaged("entry's comment is longer than its data", info.entryOffset,
                                       source_.entryNameAt(info.entryOffset));
            item.source = info;
            items_.push_back(std::move(item));
        }
        // The directory's own order in the target (ASCII letters folded), so that each
        // run holds names that sort together there.
        auto compare = [&](const Item& a, const Item& b) {
            return layout::compareNames(a.targetName.data(), a.targetName.size(),
                                        b.targetName.data(), b.targetName.size(), to.charSize);
        };
        std::sort(items_.begin(), items_.end(), [&](const Item& a, const Item& b) {
            int order = compare(a, b);
            return order != 0 ? order < 0 : a.name < b.name;
        });
        // Two names the directory cannot tell apart would make one entry of two.
        for (std::size_t i = 1; i < items_.size(); ++i) {
            if (compare(items_[i - 1], items_[i]) == 0) {
                if (crossing()) return kPblInvalidArgument;
                return source_.damaged("two entries share one name", items_[i].source.entryOffset,
                                       source_.entryNameAt(items_[i].source.entryOffset));
            }
        }
        return kPblOk;
    }

    // The entry's stored name, in ANSI form, read from its record.
    int storedName(const PblEntryInfo& info, std::string& name) {
        const layout::Variant& v = source_.variant();
        const int nameBytes = info.recordSize - v.entryHeaderSize;
        if (nameBytes <= 0 || nameBytes > layout::kMaxNameLength)
            return source_.damaged("entry record has a bad name length", info.entryOffset);
        Bytes stored(static_cast<std::size_t>(nameBytes));
        if (!source_.file().readAt(stored.data(), stored.size(),
                                   static_cast<std::int64_t>(info.entryOffset) + v.entryHeaderSize))
            return kPblIoError;
        if (!v.unicode) {
            auto n = static_cast<std::size_t>(std::find(stored.begin(), stored.end(), 0) -
                                              stored.begin());
            name.assign(reinterpret_cast<const char*>(stored.data()), n);
            return kPblOk;
        }
        std::u16string wide = utf16FromBytes(stored);
        name = wideToAnsi(wide);
        // A character the ANSI code page cannot carry would rename the entry.
        if (ansiToWide(name) != wide) return kPblInvalidArgument;
        return kPblOk;
    }

    void formRuns() {
        int total = 0;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (i == 0 || total + items_[i].targetRecordSize > kNodeDataSize) {
                runs_.push_back(i);
                total = 0;
            }
            total += items_[i].targetRecordSize;
        }
    }

    // Runs [first, last) become a subtree: the middle run fills its top node (the root
    // for the whole range), the halves its left and right subtrees. Nodes are written
    // whole and directly, each holding exactly its run, so the tree has the least depth
    // that runs of this size allow; the depth of this recursion is its logarithm.
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
        const std::size_t end = run + 1 < runs_.size() ? runs_[run + 1] : items_.size();
        Bytes image(static_cast<std::size_t>(layout::kNodeSize), 0);
        layout::NodeHeader header;
        header.left = left;
        header.parent = parent;
        header.right = right;
        int used = 0;
        for (std::size_t i = begin; i < end; ++i) {
            Item& item = items_[i];
            std::uint8_t* record = image.data() + layout::kNodeHeaderSize + used;
            item.targetRecord = node + layout::kNodeHeaderSize + used;
            layout::EntryRecordHeader entry;
            entry.nameLength = static_cast<std::uint16_t>(item.targetName.size() +
                                                          static_cast<std::size_t>(v.charSize));
            entry.encode(v, record);
            // A nameless entry has no bytes to copy (and maybe no buffer at all).
            if (!item.targetName.empty())
                std::memcpy(record + v.entryHeaderSize, item.targetName.data(),
                            item.targetName.size());
            const auto position =
                static_cast<std::uint16_t>(layout::kNodeHeaderSize + used + v.entryHeaderSize);
            // Items come in the directory's order: the first is the smallest name.
            if (i == begin) header.firstPos = position;
            header.lastPos = position;
            used += item.targetRecordSize;
        }
        header.count = static_cast<std::int16_t>(end - begin);
        header.freeBytes = static_cast<std::int16_t>(kNodeDataSize - used);
        header.encode(image.data());
        return target_.file().writeAt(image.data(), image.size(), node) ? kPblOk : kPblWriteFailed;
    }

    // The data is read in the order it lies in the source (a few large reads rather than
    // one per entry in name order), and written in that order too.
    int copyEntries() {
        std::vector<PblEntryInfo> sources;
        sources.reserve(items_.size());
        for (const Item& item : items_) sources.push_back(item.source);
        BulkReader reader(source_);
        int rc = kPblOk;
        int read = reader.read(sources, [&](std::size_t index, int result, ByteSpan data) {
            rc = result == kPblOk ? copyEntry(items_[index], data) : result;
            return rc == kPblOk;
        });
        return rc != kPblOk ? rc : read;
    }

    int copyEntry(const Item& item, ByteSpan data) {
        // The record is where writeNode put it; it has no data yet.
        PblEntryInfo target{};
        target.entryOffset = item.targetRecord;
        int rc = kPblOk;
        const PblEntryInfo& from = item.source;
        const auto commentBytes = static_cast<std::size_t>(from.commentSize);
        ByteSpan comment = data.first(commentBytes);
        const ByteSpan body = data.subspan(commentBytes);
        Bytes joined;
        if (crossing()) {
            joined = convertText(Bytes(comment.begin(), comment.end()), source_.isUnicode() != 0);
            comment = joined;
        }
        // The descriptor carries the comment size as a 16-bit count.
        if (comment.size() > static_cast<std::size_t>(SHRT_MAX)) return kPblInvalidArgument;
        const auto newCommentBytes = static_cast<short>(comment.size());
        // Within one variant the data goes over as it was read, without another copy.
        if (crossing()) joined.insert(joined.end(), body.begin(), body.end());
        const std::uint8_t* bytes = crossing() ? joined.data() : data.data();
        // The record takes the time with the data; only a time of 0, which asks for the
        // current time there, needs a write of its own.
        target.time = from.time;
        rc = target_.writeEntryData(target, bytes, static_cast<int>(body.size()), newCommentBytes);
        if (rc != kPblOk || from.time != 0) return rc;
        return target_.writeEntryTime(target);
    }
    int copyComment() {
        int size = 0;
        int rc = source_.getComment(nullptr, size);
        if (rc != kPblOk) return rc;
        Bytes text(static_cast<std::size_t>(size) + 2);
        rc = source_.getComment(text.data(), size);
        if (rc != kPblOk) return rc;
        if (crossing()) {
            const int charSize = source_.isUnicode() != 0 ? 2 : 1;
            text.resize(static_cast<std::size_t>(std::max(size - charSize, 0)));
            text = convertText(text, source_.isUnicode() != 0);
            text.resize(text.size() + 2, 0);
        }
        return target_.setComment(text.data());
    }

    int copyLibraryData() {
        int length = 0;
        int rc = source_.readLibraryData(nullptr, length);
        if (rc != kPblOk) return rc;
        if (length == 0) return kPblOk;
        Bytes data(static_cast<std::size_t>(length) + 2);
        int size = static_cast<int>(data.size());
        rc = source_.readLibraryData(data.data(), size);
        if (rc != kPblOk) return rc;
        return target_.writeLibraryData(data.data(), length);
    }

    PblLibrary& source_;
    PblLibrary& target_;
    std::vector<Item> items_;
    std::vector<std::size_t> runs_;  // index of each run's first item
    std::vector<std::int32_t> nodes_;
};

// A name beside `path` that did not exist and now does (empty), or "" when none could
// be made.
std::u16string reserveTemporaryName(const std::u16string& path) {
    return fs::createUniqueFile(
        [&](int attempt) { return path + u".rebuild" + numberToText(attempt) + u".tmp"; },
        kTemporaryNameAttempts);
}

}  // namespace

int PblLibrary::copyTo(const char* path, int version) {
    if (path == nullptr) return kPblInvalidArgument;
    return copyLibrary(*this, ansiToWide(path), version);
}

int copyLibrary(PblLibraryInterface& sourceInterface, const std::u16string& path, int version) {
    auto* source = dynamic_cast<PblLibrary*>(&sourceInterface);
    if (source == nullptr || path.empty()) return kPblInvalidArgument;
    const int v = settleVersion(version, source->version());
    // Old "0300" and "0400" libraries keep their version only when asked for 5 or above.
    if (v < kFirstAnsiVersion) return kPblInvalidArgument;
    if (fs::isOpenFile(source->file().stream(), path)) return kPblInvalidArgument;

    std::u16string temporary;
    interrupt::WatchedFile watched;
    {
        // An interrupt removes the temporary file from the moment it exists.
        interrupt::HoldOff hold;
        temporary = reserveTemporaryName(path);
        if (!temporary.empty()) watched.watch(temporary);
    }
    if (temporary.empty()) return kPblIoError;
    PblManagerHandle ownManager;
    PblManager* manager = source->manager();
    if (manager == nullptr) {
        ownManager.reset(createPblManager());
        manager = ownManager.get();
    }
    int rc = manager != nullptr ? manager->createLibrary(temporary, v) : kPblFailed;
    if (rc == kPblOk) {
        PblLibraryHandle target(manager->openLibrary(temporary, 1));
        if (!target) {
            rc = kPblFailed;
        } else {
            auto* fresh = dynamic_cast<PblLibrary*>(target.get());
            // Nobody reads the new library before it takes its name: its writes are held
            // back and go out in long runs (the flush below reports any that failed).
            if (fresh != nullptr) fresh->file().deferWrites();
            rc = fresh != nullptr ? Rebuild(*source, *fresh).run() : kPblFailed;
            // The bitmap goes out with the flush; its failure leaves the copy incomplete.
            int flushed = target->flush();
            if (rc == kPblOk && flushed != 0) rc = kPblWriteFailed;
        }
    }
    // A library put in the place of another keeps its permissions and owner.
    if (rc == kPblOk && !fs::keepAttributes(path, temporary)) rc = kPblIoError;
    if (rc == kPblOk) {
        // Moved and forgotten in one step: an interrupt never removes a name that
        // another run may have taken since.
        interrupt::HoldOff hold;
        if (fs::replaceFile(temporary, path))
            watched.forget();
        else
            rc = kPblIoError;
    }
    if (rc != kPblOk) watched.remove();
    return rc;
}

}  // namespace keldrin::pbl
