// The search behind the salvage. The format is in pbl_layout.h; what is read and why
// in salvage_scan.h.
//
// Steps:
//  1. The header: at the start of the file or through a trailer. Without one, the
//     variant is told by the first directory node that holds a record (an ANSI record's
//     entry version is four ASCII digits, a Unicode one's UTF-16), and the library's
//     comment and library data are lost.
//  2. The directory walk from the root, as far as links lead to nodes. A node that
//     lacks its signature but holds records anyway (a damaged root, say) gives up what
//     it holds; its links are not followed, since nothing vouches for them.
//  3. The scan: every block of the file that the walk did not cover and that starts
//     with "NOD*" is read as a node. Such orphans are what a broken link, a lost node or
//     a split cut short leaves behind; their parent fields tell which broken link each
//     one stood behind, so a broken link is a loss only where no orphan accounts for it.
//  4. Within every node the records are read one after another; a damaged record is
//     passed over by looking for the next "ENT*", so one bad record costs one entry.
//  5. Every record's chain must be whole and hold exactly its data size. A name found
//     twice keeps the copy with the newest time (the directory's copy on a tie); an
//     identical second copy is merged, any other reported lost.
#include "pbl/salvage_scan.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <set>

#include "base/file.h"
#include "base/text.h"
#include "pbl/node_records.h"

namespace keldrin::pbl {

using namespace layout;

namespace {

// Blocks read at once while scanning or walking chains: one read for a run of blocks
// rather than one per block.
constexpr std::int64_t kWindowBlocks = 128;
// No 32-bit link reaches past this: blocks beyond it cannot belong to the library.
constexpr std::int64_t kMaxLinkedBytes = INT32_MAX;
// Notes past this many are summed up in one: a badly damaged file would list every block.
constexpr std::size_t kMaxNotes = 200;
// Who holds the library data's blocks (entries hold theirs by their candidate's place + 1).
constexpr std::uint32_t kLibraryDataHolder = UINT32_MAX;
// The largest comment a library write takes (its 16-bit signed byte count).
constexpr std::int64_t kMaxWritableCommentBytes = SHRT_MAX;

std::string at(std::int64_t offset) {
    return "offset " + std::to_string(offset);
}

// A node's bytes as far as the file holds them, zero beyond.
struct NodeImage {
    Bytes bytes = Bytes(static_cast<std::size_t>(kNodeSize), 0);
    int available = 0;
};

// A record found whole inside a node.
struct RecordFound {
    std::int32_t offset = 0;
    EntryRecordHeader header;
    Bytes name;  // without terminator
};

// A walk link that led nowhere usable: the node holding it and what was wrong.
struct BrokenLink {
    std::int32_t holder = kNoLink;  // the node whose field it is
    std::int64_t field = -1;        // offset of the link field
    std::string detail;
};

class Planner {
  public:
    Planner(SalvageSource& source, SalvagePlan& plan, SalvageReport& report)
        : src_(source), plan_(plan), report_(report) {
        const std::int64_t reach = std::min(src_.size(), kMaxLinkedBytes);
        covered_.assign(static_cast<std::size_t>(reach / kBlockSize + 1), false);
        scanEnd_ = reach;
    }

    int run() {
        readHeader();
        if (v_ == nullptr) guessVariant();
        if (v_ == nullptr) return kPblDamaged;
        plan_.unicode = v_->unicode;
        if (!plan_.headerFound)
            plan_.createVersion = v_->unicode ? kUnicodeVersion : kCurrentAnsiVersion;
        walkDirectory();
        scanBlocks();
        settleBrokenLinks();
        if (!plan_.headerFound && candidates_.empty()) return kPblDamaged;
        settleEntries();
        readLibraryData();
        if (droppedNotes_ > 0)
            report_.notes.push_back(
                {"more", -1, {}, std::to_string(droppedNotes_) + " more notes left out"});
        return kPblOk;
    }

  private:
    struct Candidate {
        RecordFound record;
        bool scanned = false;
    };

    void lost(const char* kind, std::int64_t offset, std::string detail, std::string entry = {}) {
        report_.lost.push_back({kind, offset, std::move(entry), std::move(detail)});
    }
    void note(const char* kind, std::int64_t offset, std::string detail, std::string entry = {}) {
        if (report_.notes.size() >= kMaxNotes) {
            ++droppedNotes_;
            return;
        }
        report_.notes.push_back({kind, offset, std::move(entry), std::move(detail)});
    }
    // Where the findings and candidates stand, to take back what a block that proves to
    // be no node added.
    struct Mark {
        std::size_t lost, notes, dropped, candidates;
    };
    Mark mark() const {
        return {report_.lost.size(), report_.notes.size(), droppedNotes_, candidates_.size()};
    }
    void rollBack(const Mark& m) {
        report_.lost.resize(m.lost);
        report_.notes.resize(m.notes);
        droppedNotes_ = m.dropped;
        candidates_.resize(m.candidates);
    }
    std::string shown(const Bytes& name) const { return displayStoredName(v_->unicode, name); }

    // ---- 1. the header -------------------------------------------------------------
    void readHeader() {
        std::uint8_t sig[kTrailerHeadBytes] = {};
        std::int64_t header = -1;
        if (src_.read(0, sig, kSignatureBytes) && hasSignature(sig, kHeaderSignature)) {
            header = 0;
        } else if (src_.size() >= std::int64_t{2} * kBlockSize &&
                   src_.read(src_.size() - kBlockSize, sig, sizeof sig) &&
                   hasSignature(sig, kTrailerSignature)) {
            const std::int32_t named = loadI32(sig + kTrailerHeaderOffsetField);
            std::uint8_t headerSig[kSignatureBytes] = {};
            if (named > 0 && named % kBlockSize == 0 &&
                src_.read(named, headerSig, sizeof headerSig) &&
                hasSignature(headerSig, kHeaderSignature)) {
                header = named;
                // A host file's trailer is its last block, never part of the library.
                scanEnd_ = std::min(scanEnd_, src_.size() - kBlockSize);
            }
        }
        if (header < 0) {
            lost("header", 0,
                 "no library header at the start of the file, nor a trailer naming one; the "
                 "library comment and library data are lost");
            return;
        }
        headerOffset_ = header;
        std::uint8_t kind[kHeaderKindBytes] = {};
        const HeaderKind recognised = src_.read(header + kHeaderKindField, kind, sizeof kind)
                                          ? recogniseHeader(kind)
                                          : HeaderKind::kNotALibrary;
        if (recognised == HeaderKind::kNotALibrary) {
            lost("header", header,
                 "library header names neither variant; the library comment and library data "
                 "are lost");
            return;
        }
        v_ = &variantFor(recognised == HeaderKind::kUnicodeHeader);
        Bytes fields(static_cast<std::size_t>(v_->headerFieldBytes));
        if (!src_.read(header, fields.data(), fields.size())) {
            lost("header", header,
                 "library header is cut short; the library comment and library data are lost");
            return;
        }
        plan_.headerFound = true;
        plan_.created = loadI32(fields.data() + v_->timeField);
        plan_.headerWord = loadU16(fields.data() + v_->wordField);
        readVersion(fields);
        readComment(fields);
        plan_.libraryDataFirst = headerLibraryDataFirst(*v_, fields);
        plan_.libraryDataLength = headerLibraryDataLength(*v_, fields);
    }

    // The version digits as stored, when they are digits; the new library is created as
    // the nearest version the writer makes, and then carries these.
    void readVersion(const Bytes& fields) {
        const ByteSpan digits =
            ByteSpan(fields).subspan(static_cast<std::size_t>(v_->versionField),
                                     static_cast<std::size_t>(v_->versionFieldBytes));
        bool numeric = true;
        for (std::size_t i = 0; i < digits.size(); i += static_cast<std::size_t>(v_->charSize)) {
            const std::uint16_t c = v_->charSize == 1 ? digits[i] : loadU16(digits.data() + i);
            numeric = numeric && c >= '0' && c <= '9';
        }
        if (v_->unicode) {
            plan_.createVersion = kUnicodeVersion;
        } else {
            const std::uint8_t second = fields[static_cast<std::size_t>(v_->versionDigitField)];
            plan_.createVersion =
                second == '0' + kFirstAnsiVersion ? kFirstAnsiVersion : kCurrentAnsiVersion;
        }
        if (numeric) {
            plan_.headerVersion.assign(digits.begin(), digits.end());
        } else {
            lost("header", headerOffset_ + v_->versionField,
                 "library header's version is not a number; the new library carries its own");
        }
    }

    void readComment(const Bytes& fields) {
        const ByteSpan field =
            ByteSpan(fields).subspan(static_cast<std::size_t>(v_->commentField),
                                     static_cast<std::size_t>(v_->commentCapacity));
        const auto unit = static_cast<std::size_t>(v_->charSize);
        for (std::size_t i = 0; i + unit <= field.size(); i += unit) {
            const bool terminator = unit == 1 ? field[i] == 0 : loadU16(field.data() + i) == 0;
            if (!terminator) continue;
            plan_.comment = true;
            plan_.commentText.assign(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
        lost("comment", headerOffset_ + v_->commentField,
             "library comment has no terminator inside its field");
    }

    // Without a header: the first record of the first node that holds one tells the
    // variant by its entry version, "0600" in ASCII or in UTF-16 (a zero byte at +5).
    void guessVariant() {
        for (std::int64_t offset = 0; offset + kNodeHeaderSize + 8 <= scanEnd_;
             offset += kBlockSize) {
            std::uint8_t head[kNodeHeaderSize + 8] = {};
            if (!src_.read(offset, head, sizeof head) || !hasSignature(head, kNodeSignature) ||
                !hasSignature(head + kNodeHeaderSize, kEntrySignature))
                continue;
            const std::uint8_t secondDigit = head[kNodeHeaderSize + kAnsi.entryVersionField + 1];
            v_ = &variantFor(secondDigit == 0);
            note("header", offset,
                 std::string("the variant is taken from the directory node here: ") +
                     (v_->unicode ? "Unicode" : "ANSI"));
            return;
        }
    }

    // ---- 2. the walk -----------------------------------------------------------------
    bool readNode(std::int32_t node, NodeImage& image) {
        const std::int64_t left = src_.size() - node;
        image.available = static_cast<int>(std::min<std::int64_t>(left, kNodeSize));
        return src_.read(node, image.bytes.data(), static_cast<std::size_t>(image.available));
    }

    void cover(std::int32_t node) {
        for (int i = 0; i < kNodeBlocks; ++i) {
            const auto block = static_cast<std::size_t>(std::int64_t{node} / kBlockSize + i);
            if (block < covered_.size()) covered_[block] = true;
        }
    }

    void walkDirectory() {
        struct Step {
            std::int32_t node;
            std::int32_t parent;  // the node whose link led here; kNoLink for the root
            std::int64_t field;   // offset of that link field
        };
        const auto root = static_cast<std::int32_t>(headerOffset_ + v_->rootOffset);
        std::vector<Step> pending{{root, kNoLink, -1}};
        std::vector<bool> walked(covered_.size(), false);
        while (!pending.empty()) {
            const Step step = pending.back();
            pending.pop_back();
            const std::int32_t node = step.node;
            // The root has no link to blame: what it held is lost, and the scan finds
            // what hangs below it.
            auto broken = [&](const std::string& detail) {
                if (step.parent == kNoLink)
                    lost("node", node,
                         "the root node at " + at(node) + " " + detail +
                             "; the entries it held are lost");
                else
                    brokenLinks_.push_back(
                        {step.parent, step.field,
                         "directory link leads to " + at(node) + ", which " + detail});
            };
            if (node <= 0 || node % kBlockSize != 0 || node > src_.size() - kNodeHeaderSize) {
                broken(node % kBlockSize != 0 ? "is not on a block boundary"
                                              : "lies outside the file");
                continue;
            }
            const auto block = static_cast<std::size_t>(node / kBlockSize);
            if (walked[block]) {
                broken("was read already (a loop)");
                continue;
            }
            if (covered_[block]) {
                broken("lies inside a node already read");
                continue;
            }
            walked[block] = true;
            NodeImage image;
            if (!readNode(node, image)) {
                broken("cannot be read");
                continue;
            }
            NodeHeader header;
            const bool signed_ = hasSignature(image.bytes.data(), kNodeSignature) &&
                                 NodeHeader::decode(image.bytes, header);
            if (!signed_) {
                // Nothing vouches for its header or links: its records, if any, are all
                // it gives. A block without any is no node, and what its bytes are not
                // is no finding.
                const Mark mark = this->mark();
                const int found = readRecords(node, image, nullptr, false);
                if (found == 0) {
                    rollBack(mark);
                    broken("lacks the node signature and holds no readable record");
                    continue;
                }
                cover(node);
                lost("node", node,
                     "directory node lacks its signature; " + std::to_string(found) +
                         " records were read from it, others it held may be lost");
                continue;
            }
            cover(node);
            if (header.parent != step.parent)
                note("node", node + kNodeParentField,
                     "node names " + at(header.parent) + " as its parent, but was reached from " +
                         at(step.parent));
            readRecords(node, image, &header, false);
            if (header.right != kNoLink)
                pending.push_back({header.right, node, node + kNodeRightField});
            if (header.left != kNoLink)
                pending.push_back({header.left, node, node + kNodeLeftField});
        }
    }

    // ---- 3. the scan -----------------------------------------------------------------
    void scanBlocks() {
        const std::int64_t first = headerOffset_ > 0 ? headerOffset_ : 0;
        for (std::int64_t offset = first; offset + kNodeHeaderSize <= scanEnd_;
             offset += kBlockSize) {
            if (covered_[static_cast<std::size_t>(offset / kBlockSize)]) continue;
            std::uint8_t sig[kSignatureBytes] = {};
            const std::uint8_t* whole = src_.block(offset);
            if (whole != nullptr)
                std::memcpy(sig, whole, sizeof sig);
            else if (!src_.read(offset, sig, sizeof sig))
                continue;
            if (!hasSignature(sig, kNodeSignature)) continue;
            const auto node = static_cast<std::int32_t>(offset);
            NodeImage image;
            NodeHeader header;
            if (!readNode(node, image) || !NodeHeader::decode(image.bytes, header)) continue;
            const Mark mark = this->mark();
            const int found = readRecords(node, image, &header, true);
            // An empty node outside the tree is one a deletion emptied and let go.
            if (found == 0 && header.count == 0) {
                rollBack(mark);
                continue;
            }
            cover(node);
            ++orphansBehind_[header.parent];
        }
    }

    // A broken link is a loss unless the scan found a node that names the link's holder
    // as its parent for it: that node is the one the link should lead to.
    void settleBrokenLinks() {
        std::map<std::int32_t, int> broken;
        for (const BrokenLink& link : brokenLinks_) ++broken[link.holder];
        for (const BrokenLink& link : brokenLinks_) {
            const auto orphans = orphansBehind_.find(link.holder);
            const bool found =
                orphans != orphansBehind_.end() && orphans->second >= broken[link.holder];
            if (found)
                note("link", link.field,
                     link.detail + "; the node it should lead to was found by scanning");
            else
                lost("link", link.field, link.detail + "; the entries below it may be lost");
        }
    }

    // ---- 4. records --------------------------------------------------------------------
    // Reads the records of one node, as far as the file holds it: with a sound header,
    // within the used part of its data area, else through the whole data area. Returns
    // how many were read whole; each becomes a candidate.
    int readRecords(std::int32_t node, const NodeImage& image, const NodeHeader* header,
                    bool scanned) {
        const ByteSpan bytes(image.bytes);
        const bool sane =
            header != nullptr && header->freeBytes >= 0 && header->freeBytes <= kNodeDataSize;
        if (header != nullptr && !sane)
            note("node", node + kNodeFreeField,
                 "node's free byte count " + std::to_string(header->freeBytes) +
                     " is out of range; its whole data area was read");
        const int limit = sane ? kNodeHeaderSize + kNodeDataSize - header->freeBytes : kNodeSize;
        const int end = std::min(limit, image.available);
        int found = 0;
        int bad = 0;
        int pos = kNodeHeaderSize;
        while (pos < end) {
            if (hasSignature(bytes.subspan(static_cast<std::size_t>(pos)), kEntrySignature)) {
                RecordFound record;
                const char* fault = decodeRecord(bytes, pos, end, record);
                if (fault == nullptr) {
                    record.offset = node + pos;
                    const int size = v_->entryHeaderSize + record.header.nameLength;
                    // A block read as a node that overlaps another may meet its records
                    // again: each record is one candidate.
                    if (recordsSeen_.insert(record.offset).second)
                        candidates_.push_back({std::move(record), scanned});
                    ++found;
                    pos += size;
                    continue;
                }
                ++bad;
                lost("record", node + pos, std::string(fault) + "; its entry is lost");
                pos = nextRecord(bytes, pos + kSignatureBytes, end);
                continue;
            }
            // Zeros to the end are the unused part of a data area; anything else is damage
            // over records.
            const auto rest =
                bytes.subspan(static_cast<std::size_t>(pos), static_cast<std::size_t>(end - pos));
            if (std::all_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b == 0; })) break;
            const int next = nextRecord(bytes, pos + 1, end);
            lost("node", node + pos,
                 "bytes where an entry record should start are none; whatever records they "
                 "held are lost");
            pos = next;
        }
        if (sane && image.available < limit)
            lost("node", node,
                 "directory node is cut short by the end of the file at " + at(src_.size()) +
                     "; the records past it are lost");
        if (sane && header->count != found + bad) {
            const std::string counts = "node counts " + std::to_string(header->count) +
                                       " records; " + std::to_string(found) + " were read whole";
            if (header->count > found + bad)
                lost("node", node + kNodeCountField, counts);
            else
                note("node", node + kNodeCountField, counts);
        }
        return found;
    }

    // Why the record at `pos` is not whole, or nullptr with `out` filled.
    const char* decodeRecord(ByteSpan node, int pos, int end, RecordFound& out) const {
        const ByteSpan rest =
            node.subspan(static_cast<std::size_t>(pos), static_cast<std::size_t>(end - pos));
        if (!EntryRecordHeader::decode(*v_, rest, out.header))
            return "entry record runs past the node's used bytes";
        const int length = out.header.nameLength;
        if (length < v_->charSize || length > kMaxNameLength || length % v_->charSize != 0)
            return "entry record has a bad name length";
        if (length > static_cast<int>(rest.size()) - v_->entryHeaderSize)
            return "entry name runs past the node's used bytes";
        const ByteSpan name = rest.subspan(static_cast<std::size_t>(v_->entryHeaderSize),
                                           static_cast<std::size_t>(length));
        const auto unit = static_cast<std::size_t>(v_->charSize);
        for (std::size_t i = 0; i < name.size(); i += unit) {
            const bool zero = unit == 1 ? name[i] == 0 : loadU16(name.data() + i) == 0;
            // The terminator must be the last character, and the only one.
            if (zero != (i + unit == name.size()))
                return "entry name is not terminated where its length says";
        }
        out.name.assign(name.begin(), name.end() - static_cast<std::ptrdiff_t>(unit));
        return nullptr;
    }

    // The next position at or after `from` where "ENT*" starts, or `end`.
    static int nextRecord(ByteSpan node, int from, int end) {
        for (int p = from; p + kSignatureBytes <= end; ++p)
            if (hasSignature(node.subspan(static_cast<std::size_t>(p)), kEntrySignature)) return p;
        return end;
    }

    // ---- 5. entries ---------------------------------------------------------------------
    // Why the candidate's data cannot be carried over, or "" when it can.
    std::string entryFault(const Candidate& c) {
        const EntryRecordHeader& h = c.record.header;
        const std::int64_t commentBytes = static_cast<std::int64_t>(h.commentLength) * v_->charSize;
        if (h.dataSize < 0) return "data size " + std::to_string(h.dataSize) + " is negative";
        if (commentBytes > h.dataSize) return "comment is longer than the entry's data";
        if (commentBytes > kMaxWritableCommentBytes)
            return "comment is longer than a library write takes (" +
                   std::to_string(kMaxWritableCommentBytes) + " bytes)";
        ChainFault fault;
        if (!src_.chainHolds(h.firstBlock, h.dataSize, c.record.offset, fault))
            return std::string(fault.reason) + " at " + at(fault.offset);
        return {};
    }

    // Two chains found whole share no block unless they are one chain, which two records
    // may both lead to only when they are copies of one entry (a split cut short leaves
    // the same record in two nodes); any other sharing makes all but the first a fault.
    std::string claimFault(std::size_t index) {
        const Candidate& c = candidates_[index];
        std::int64_t shared = -1;
        const std::uint32_t holder = src_.claimChain(c.record.header.firstBlock,
                                                     static_cast<std::uint32_t>(index + 1), shared);
        if (holder == 0) return {};
        const Candidate& other = candidates_[holder - 1];
        if (shared == c.record.header.firstBlock &&
            other.record.header.firstBlock == c.record.header.firstBlock && compare(other, c) == 0)
            return {};
        return "data chain runs into the chain of the record at " + at(other.record.offset) +
               " at " + at(shared);
    }

    // Whether `other` holds what `keep`, whose data is `kept`, holds.
    bool sameContent(const Candidate& other, const Candidate& keep, const Bytes& kept) {
        const EntryRecordHeader& x = other.record.header;
        const EntryRecordHeader& y = keep.record.header;
        if (other.record.name != keep.record.name || x.dataSize != y.dataSize ||
            x.commentLength != y.commentLength)
            return false;
        if (x.firstBlock == y.firstBlock) return true;
        Bytes data(static_cast<std::size_t>(x.dataSize));
        return src_.readChain(x.firstBlock, x.dataSize, data.data()) && data == kept;
    }

    int compare(const Candidate& a, const Candidate& b) const {
        return compareNames(a.record.name.data(), a.record.name.size(), b.record.name.data(),
                            b.record.name.size(), v_->charSize);
    }

    void settleEntries() {
        std::vector<std::size_t> sound;
        std::vector<std::pair<std::size_t, std::string>> unreadable;
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            std::string fault = entryFault(candidates_[i]);
            if (fault.empty()) fault = claimFault(i);
            if (fault.empty())
                sound.push_back(i);
            else
                unreadable.emplace_back(i, std::move(fault));
        }
        // In the directory's order; within one name, in the order found.
        std::stable_sort(sound.begin(), sound.end(), [&](std::size_t a, std::size_t b) {
            return compare(candidates_[a], candidates_[b]) < 0;
        });
        std::vector<std::size_t> kept;
        for (std::size_t first = 0; first < sound.size();) {
            std::size_t last = first + 1;
            while (last < sound.size() &&
                   compare(candidates_[sound[first]], candidates_[sound[last]]) == 0)
                ++last;
            std::size_t best = sound[first];
            for (std::size_t i = first + 1; i < last; ++i)
                if (candidates_[sound[i]].record.header.time > candidates_[best].record.header.time)
                    best = sound[i];
            kept.push_back(best);
            // The kept copy's data, read once for all the others: their chains are their
            // own (claimFault), so comparing them all reads each block once at most.
            Bytes keptData;
            bool keptRead = false;
            for (std::size_t i = first; i < last; ++i) {
                if (sound[i] == best) continue;
                const Candidate& keep = candidates_[best];
                if (!keptRead) {
                    keptData.resize(static_cast<std::size_t>(keep.record.header.dataSize));
                    keptRead = true;
                    if (!src_.readChain(keep.record.header.firstBlock, keep.record.header.dataSize,
                                        keptData.data()))
                        keptData.clear();
                }
                settleDuplicate(candidates_[sound[i]], keep, keptData);
            }
            first = last;
        }
        for (const auto& [index, fault] : unreadable)
            settleUnreadable(candidates_[index], fault, kept);
        for (std::size_t index : kept) {
            Candidate& c = candidates_[index];
            plan_.entries.push_back(
                {std::move(c.record.name), c.record.offset, c.record.header, c.scanned});
        }
    }

    void settleDuplicate(const Candidate& other, const Candidate& keep, const Bytes& keptData) {
        const std::string name = shown(other.record.name);
        const std::string kept = "the copy at " + at(keep.record.offset);
        if (sameContent(other, keep, keptData)) {
            note("entry", other.record.offset,
                 "a second copy of the entry, the same as " + kept + ", which is kept", name);
        } else if (other.record.header.time < keep.record.header.time) {
            lost("entry", other.record.offset,
                 "an older copy of the entry (time " + std::to_string(other.record.header.time) +
                     "); " + kept + " (time " + std::to_string(keep.record.header.time) +
                     ") is kept",
                 name);
        } else {
            lost("entry", other.record.offset,
                 "another copy of the entry with the same time and other content; " + kept +
                     " is kept",
                 name);
        }
    }

    // A copy that cannot be read costs nothing when a copy of the name no newer than the
    // one kept is all it was.
    void settleUnreadable(const Candidate& c, const std::string& fault,
                          const std::vector<std::size_t>& kept) {
        const std::string name = shown(c.record.name);
        auto same = std::lower_bound(
            kept.begin(), kept.end(), c,
            [&](std::size_t k, const Candidate& x) { return compare(candidates_[k], x) < 0; });
        if (same != kept.end() && compare(candidates_[*same], c) == 0 &&
            c.record.header.time <= candidates_[*same].record.header.time) {
            note("entry", c.record.offset,
                 fault + "; the copy at " + at(candidates_[*same].record.offset) + " is kept",
                 name);
            return;
        }
        lost("entry", c.record.offset, fault, name);
    }

    void readLibraryData() {
        if (!plan_.headerFound) return;
        const std::int64_t field = headerOffset_ + v_->libraryDataFirstField;
        const std::int32_t length = plan_.libraryDataLength;
        plan_.libraryDataLength = 0;
        if (length == 0) return;
        if (length < 0) {
            lost("library-data", headerOffset_ + v_->libraryDataLengthField,
                 "library data length " + std::to_string(length) + " is negative");
            return;
        }
        ChainFault fault;
        if (!src_.chainHolds(plan_.libraryDataFirst, length, field, fault)) {
            lost("library-data", fault.offset,
                 "library data (" + std::to_string(length) + " bytes): " + fault.reason);
            return;
        }
        std::int64_t shared = -1;
        const std::uint32_t holder =
            src_.claimChain(plan_.libraryDataFirst, kLibraryDataHolder, shared);
        if (holder != 0) {
            lost("library-data", shared,
                 "library data (" + std::to_string(length) +
                     " bytes): its chain runs into the "
                     "chain of the record at " +
                     at(candidates_[holder - 1].record.offset));
            return;
        }
        plan_.libraryDataLength = length;
    }

    SalvageSource& src_;
    SalvagePlan& plan_;
    SalvageReport& report_;
    const Variant* v_ = nullptr;
    std::int64_t headerOffset_ = 0;
    std::int64_t scanEnd_ = 0;
    std::vector<bool> covered_;  // blocks inside a node already read
    std::vector<Candidate> candidates_;
    std::set<std::int32_t> recordsSeen_;  // offsets of the records taken as candidates
    std::vector<BrokenLink> brokenLinks_;
    std::map<std::int32_t, int> orphansBehind_;  // scanned nodes by the parent they name
    std::size_t droppedNotes_ = 0;
};

}  // namespace

SalvageSource::SalvageSource(std::FILE* file, std::int64_t size)
    : file_(file), size_(size), blockCount_(std::min(size, kMaxLinkedBytes) / kBlockSize) {}

bool SalvageSource::read(std::int64_t offset, std::uint8_t* buffer, std::size_t length) {
    if (offset < 0 || offset > size_ || static_cast<std::int64_t>(length) > size_ - offset)
        return false;
    return length == 0 || fs::readFileAt(file_, buffer, length, offset);
}

const std::uint8_t* SalvageSource::block(std::int64_t offset) {
    if (offset < 0 || offset % kBlockSize != 0 || offset > size_ - kBlockSize) return nullptr;
    if (offset >= windowStart_ && offset + kBlockSize <= windowStart_ + windowBytes_)
        return window_.data() + (offset - windowStart_);
    const std::int64_t blocks = std::min(kWindowBlocks, (size_ - offset) / kBlockSize);
    window_.resize(static_cast<std::size_t>(blocks * kBlockSize));
    windowStart_ = offset;
    windowBytes_ = blocks * kBlockSize;
    if (read(offset, window_.data(), window_.size())) return window_.data();
    // A read of the whole window may fail for one bad block further on: this one alone.
    windowBytes_ = kBlockSize;
    if (read(offset, window_.data(), kBlockSize)) return window_.data();
    windowBytes_ = 0;
    return nullptr;
}

namespace {
// Marks in SalvageSource::tail_ for blocks whose tail is not (yet) a byte count.
constexpr std::int64_t kTailUnknown = -1;
constexpr std::int64_t kTailWalking = -2;  // on the walk under way: reaching it again is a loop
constexpr std::int64_t kTailFailed = -3;   // see failed_
}  // namespace

void SalvageSource::prepareBlocks() {
    if (!tail_.empty()) return;
    const auto blocks = static_cast<std::size_t>(blockCount_ + 1);
    tail_.assign(blocks, kTailUnknown);
    next_.assign(blocks, kNoLink);
    holder_.assign(blocks, 0);
}

bool SalvageSource::chainHolds(std::int32_t first, std::int64_t length, std::int64_t owner,
                               ChainFault& fault) {
    if (length < 0 || length > blockCount_ * kDataCapacity) {
        fault = {"data size exceeds what the file can hold", owner};
        return false;
    }
    prepareBlocks();
    // The blocks this walk reads for the first time, with their used counts.
    std::vector<std::pair<std::size_t, std::uint16_t>> path;
    auto fail = [&](const char* reason, std::int64_t offset) {
        fault = {reason, offset};
        for (const auto& step : path) {
            tail_[step.first] = kTailFailed;
            failed_[static_cast<std::int64_t>(step.first)] = fault;
        }
        return false;
    };
    std::int64_t tail = 0;
    std::int64_t from = owner;
    for (std::int32_t link = first; link != kNoLink;) {
        if (link < 0 || link % kBlockSize != 0 || link / kBlockSize >= blockCount_)
            return fail("data chain link leaves the file", from);
        const auto index = static_cast<std::size_t>(link / kBlockSize);
        if (tail_[index] >= 0) {
            tail = tail_[index];
            break;
        }
        if (tail_[index] == kTailWalking) return fail("data chain loops back", link);
        if (tail_[index] == kTailFailed) {
            const ChainFault known = failed_[static_cast<std::int64_t>(index)];
            return fail(known.reason, known.offset);
        }
        const std::uint8_t* bytes = block(link);
        DataBlockHeader h;
        path.emplace_back(index, 0);
        if (bytes == nullptr) return fail("data block cannot be read", link);
        if (!hasSignature(bytes, kDataSignature) ||
            !DataBlockHeader::decode(ByteSpan(bytes, kBlockSize), h))
            return fail("data block lacks its signature", link);
        if (h.used > kDataCapacity)
            return fail("data block's used count is above its capacity", link);
        path.back().second = h.used;
        tail_[index] = kTailWalking;
        next_[index] = h.next;
        from = link;
        link = h.next;
    }
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        tail += step->second;
        tail_[step->first] = tail;
    }
    const std::int64_t at = first != kNoLink ? first : owner;
    if (tail > length) {
        fault = {"data chain holds more bytes than its size", at};
        return false;
    }
    if (tail < length) {
        fault = {"data chain holds fewer bytes than its size", at};
        return false;
    }
    return true;
}

std::uint32_t SalvageSource::claimChain(std::int32_t first, std::uint32_t holder,
                                        std::int64_t& shared) {
    prepareBlocks();
    // chainHolds walked this chain whole: every link is a block whose next link it kept,
    // and the chain ends; the count only guards against a caller that did not ask.
    std::int64_t steps = 0;
    for (std::int32_t link = first; link > 0 && steps++ <= blockCount_;) {
        const auto index = static_cast<std::size_t>(link / kBlockSize);
        if (index >= holder_.size() || tail_[index] < 0) break;
        if (holder_[index] != 0 && holder_[index] != holder) {
            shared = link;
            return holder_[index];
        }
        holder_[index] = holder;
        link = next_[index];
    }
    return 0;
}

bool SalvageSource::readChain(std::int32_t first, std::int64_t length, std::uint8_t* out) {
    std::int64_t copied = 0;
    std::int64_t steps = 0;
    for (std::int32_t link = first; link != kNoLink;) {
        // The chain was found whole, so this holds for every block but where the file
        // changed since, which its lock rules out; the checks keep even that bounded.
        if (steps++ > blockCount_) return false;
        const std::uint8_t* bytes = block(link);
        DataBlockHeader h;
        if (bytes == nullptr || !hasSignature(bytes, kDataSignature) ||
            !DataBlockHeader::decode(ByteSpan(bytes, kBlockSize), h) || h.used > kDataCapacity ||
            h.used > length - copied)
            return false;
        if (h.used > 0) std::memcpy(out + copied, bytes + kDataHeaderSize, h.used);
        copied += h.used;
        link = h.next;
    }
    return copied == length;
}

int planSalvage(SalvageSource& source, SalvagePlan& plan, SalvageReport& report) {
    return Planner(source, plan, report).run();
}

}  // namespace keldrin::pbl
