// The rebuild: a fresh copy of an open library with a balanced directory, compact data
// chains in ascending blocks, the same entries, times, comment and library data.
//
// Steps: settle the version; collect every entry; sort the names in the target
// directory's own order; lay them out as a balanced tree (balanced_directory.h); then
// copy each entry's data and time, the comment and the library data. The directory's
// nodes take their blocks before any data block, so every data chain lies in ascending
// blocks behind the directory.
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
#include <optional>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/file_identity.h"
#include "base/text.h"
#include "pbl/balanced_directory.h"
#include "pbl/bulk_reader.h"
#include "pbl/library.h"
#include "pbl/rebuild.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {
namespace {

using layout::kNodeDataSize;
using layout::kNoLink;

using layout::kCurrentAnsiVersion;
using layout::kFirstAnsiVersion;
using layout::kLastAnsiVersion;
using layout::kUnicodeVersion;

int settleVersion(int requested, int sourceVersion) {
    int v = requested > 0 ? requested : sourceVersion;
    if (v >= kUnicodeVersion) return kUnicodeVersion;
    if (v >= kCurrentAnsiVersion && v <= kLastAnsiVersion) return kCurrentAnsiVersion;
    return v;
}

struct Item {
    Bytes name;            // as the source stores it, without terminator
    Bytes targetName;      // as the target stores it, without terminator
    std::string orderKey;  // storedNameOrderKey of targetName
    PblEntryInfo source;
    std::int32_t targetRecord = kNoLink;  // where the directory put its record
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

// A text stored in one variant, in the form the other stores it. Characters the ANSI
// code page cannot carry become "?", as everywhere text enters an ANSI library.
Bytes convertText(const Bytes& text, bool fromUnicode) {
    if (!fromUnicode)
        return encodeUtf16Le(decodeStoredField(false, text).value_or(std::u16string()));
    std::string narrow = wideToAnsi(decodeStoredText(true, text).value_or(std::u16string()));
    return Bytes(narrow.begin(), narrow.end());
}

// The name stored in `from`'s variant as `to` stores it. Nothing when it would not come
// back unchanged, since two entries could then fall together.
std::optional<Bytes> convertName(const Bytes& name, bool fromUnicode, bool toUnicode) {
    if (fromUnicode == toUnicode) return name;
    std::optional<std::u16string> wide = decodeStoredField(fromUnicode, name);
    if (!wide || encodeStoredText(fromUnicode, *wide) != name) return std::nullopt;
    return encodeStoredText(toUnicode, *wide);
}

class Rebuild {
  public:
    Rebuild(PblLibrary& source, PblLibrary& target) : source_(source), target_(target) {}

    int run() {
        int rc = collect();
        if (rc != kPblOk) return rc;
        rc = writeDirectory();
        if (rc != kPblOk) return rc;
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
            std::optional<Bytes> targetName =
                convertName(item.name, source_.isUnicode() != 0, to.unicode);
            if (!targetName) return kPblInvalidArgument;
            item.targetName = std::move(*targetName);
            // A name the target's nodes cannot hold. An empty name is an entry like any
            // other: PowerBuilder itself wrote libraries that hold one.
            if (directoryRecordSize(to, item.targetName.size()) > kNodeDataSize)
                return kPblInvalidArgument;
            if (info.commentSize < 0 || info.commentSize > info.dataSize)
                return source_.damaged("entry's comment is longer than its data", info.entryOffset,
                                       source_.entryNameAt(info.entryOffset));
            item.source = info;
            items_.push_back(std::move(item));
        }
        // The directory's own order in the target, so that each run holds names that
        // sort together there.
        auto compare = [&](const Item& a, const Item& b) {
            return layout::compareNames(a.targetName.data(), a.targetName.size(),
                                        b.targetName.data(), b.targetName.size(), to.charSize);
        };
        // Sorted by a key made once per name: comparing names unit by unit, folding
        // each, was a tenth of the run.
        for (Item& item : items_) item.orderKey = storedNameOrderKey(to.unicode, item.targetName);
        std::sort(items_.begin(), items_.end(), [&](const Item& a, const Item& b) {
            if (const int keys = a.orderKey.compare(b.orderKey); keys != 0) return keys < 0;
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

    // The entry's stored name, read from its record.
    int storedName(const PblEntryInfo& info, Bytes& name) {
        const layout::Variant& v = source_.variant();
        const int nameBytes = info.recordSize - v.entryHeaderSize;
        if (nameBytes <= 0 || nameBytes > layout::kMaxNameLength)
            return source_.damaged("entry record has a bad name length", info.entryOffset);
        name.resize(static_cast<std::size_t>(nameBytes));
        if (!source_.file().readAt(name.data(), name.size(),
                                   static_cast<std::int64_t>(info.entryOffset) + v.entryHeaderSize))
            return kPblIoError;
        name.resize(storedTextBytes(v.unicode, name));
        return kPblOk;
    }

    int writeDirectory() {
        std::vector<Bytes> names;
        names.reserve(items_.size());
        for (const Item& item : items_) names.push_back(item.targetName);
        std::vector<std::int32_t> records;
        int rc = writeBalancedDirectory(target_, names, records);
        if (rc != kPblOk) return rc;
        for (std::size_t i = 0; i < items_.size(); ++i) items_[i].targetRecord = records[i];
        return kPblOk;
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
        // The record is where the directory put it; it has no data yet.
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
};

}  // namespace

int PblLibrary::copyTo(const char* path, int version) {
    if (path == nullptr) return kPblInvalidArgument;
    return copyLibrary(*this, ansiToWide(path), version);
}

int copyLibrary(PblLibrary& source, const std::u16string& path, int version) {
    if (path.empty()) return kPblInvalidArgument;
    const int v = settleVersion(version, source.version());
    // Old "0300" and "0400" libraries keep their version only when asked for 5 or above.
    if (v < kFirstAnsiVersion) return kPblInvalidArgument;
    if (fs::isOpenFile(source.file().stream(), path)) return kPblInvalidArgument;

    fs::ReplacementFile replacement;
    // The library writes the file by name.
    if (!replacement.create(path, u"rebuild") || !replacement.letGo()) return kPblIoError;
    const std::u16string& temporary = replacement.path();
    PblManagerHandle ownManager;
    PblManager* manager = source.manager();
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
            // Nobody reads the new library before it takes its name: its writes are held
            // back and go out in long runs (the flush below reports any that failed).
            target->file().deferWrites();
            rc = Rebuild(source, *target).run();
            // The bitmap goes out with the flush; its failure leaves the copy incomplete.
            int flushed = target->flush();
            if (rc == kPblOk && flushed != 0) rc = kPblWriteFailed;
        }
    }
    if (rc != kPblOk) return rc;
    return commitLibrary(replacement, kPblIoError);
}

int commitLibrary(fs::ReplacementFile& replacement, int failure) {
    // Synced before the rename, or a crash just after it could leave a target whose
    // blocks never reached the disk; the directory after it, or the rename itself
    // could be lost.
    const fs::CommitResult committed = replacement.commit(fs::Replace::kYes, fs::Durability::kFull);
    return committed == fs::CommitResult::kDone ? kPblOk : failure;
}

}  // namespace keldrin::pbl
