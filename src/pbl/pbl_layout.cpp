// Encoders and decoders of the structures described in pbl_layout.h.
#include "pbl/pbl_layout.h"

#include "pbl/stored_text.h"

namespace keldrin::pbl::layout {

namespace {
void putSignature(std::uint8_t* p, const std::array<std::uint8_t, 4>& sig) {
    std::memcpy(p, sig.data(), sig.size());
}

// ASCII text as it appears in the header: one byte per character (ANSI) or
// UTF-16LE (Unicode).
void putText(std::uint8_t* p, const char* text, int charSize) {
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
        p[i * static_cast<std::size_t>(charSize)] = static_cast<std::uint8_t>(text[i]);
    }
}

constexpr char kPowerBuilder[] = "PowerBuilder";

// Hands a decoded structure out only when every field lay inside the span.
template <typename T>
bool deliver(const ByteReader& r, const T& decoded, T& out) {
    if (!r.ok()) return false;
    out = decoded;
    return true;
}
}  // namespace

void encodeBitmapBlock(std::int32_t next, const std::uint8_t* flags, std::uint8_t* block) {
    std::memset(block, 0, kBlockSize);
    putSignature(block, kBitmapSignature);
    storeI32(block + kBitmapNextField, next);
    for (int i = 0; i < kBlocksPerBitmap; ++i) {
        if (flags[i] != 0) {
            block[kBitmapBitsField + i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
        }
    }
}

bool decodeBitmapNext(ByteSpan block, std::int32_t& next) {
    if (block.size() < static_cast<std::size_t>(kBlockSize)) return false;
    return readI32(block, kBitmapNextField, next);
}

void expandBitmapBits(const std::uint8_t* block, std::uint8_t* flags) {
    for (int i = 0; i < kBlocksPerBitmap; ++i) {
        flags[i] = (block[kBitmapBitsField + i / 8] & (0x80u >> (i % 8))) != 0 ? 1 : 0;
    }
}

// Each header's fields in file order: the one list that both decode and encode walk.
template <typename Io, typename Header>
void nodeFields(Io& io, Header& h) {
    io.field(h.left), io.field(h.parent), io.field(h.right), io.field(h.freeBytes);
    io.field(h.lastPos), io.field(h.count), io.field(h.firstPos);
    static_assert(
        kNodeParentField == kNodeLeftField + 4 && kNodeRightField == kNodeParentField + 4 &&
        kNodeFreeField == kNodeRightField + 4 && kNodeLastPosField == kNodeFreeField + 2 &&
        kNodeCountField == kNodeLastPosField + 2 && kNodeFirstPosField == kNodeCountField + 2 &&
        kNodeFirstPosField + 2 == kNodeReservedField);
}

template <typename Io, typename Header>
void dataBlockFields(Io& io, Header& h) {
    io.field(h.next), io.field(h.used);
    static_assert(kDataUsedField == kDataNextField + 4 && kDataUsedField + 2 == kDataHeaderSize);
}

template <typename Io, typename Header>
void entryRecordFields(Io& io, Header& h) {
    io.field(h.firstBlock), io.field(h.dataSize), io.field(h.time);
    io.field(h.commentLength), io.field(h.nameLength);
}

bool NodeHeader::decode(ByteSpan node, NodeHeader& out) {
    ByteReader r(node, kNodeLeftField);
    NodeHeader h;
    nodeFields(r, h);
    return deliver(r, h, out);
}

NodeHeader NodeHeader::decode(const std::uint8_t* p) {
    NodeHeader h;
    (void)decode(ByteSpan(p, kNodeHeaderSize), h);  // the caller holds a whole header
    return h;
}

void NodeHeader::encode(std::uint8_t* p) const {
    putSignature(p, kNodeSignature);
    ByteWriter w(p + kNodeLeftField);
    nodeFields(w, *this);
    std::memset(p + kNodeReservedField, 0, kNodeHeaderSize - kNodeReservedField);
}

bool DataBlockHeader::decode(ByteSpan block, DataBlockHeader& out) {
    ByteReader r(block, kDataNextField);
    DataBlockHeader h;
    dataBlockFields(r, h);
    return deliver(r, h, out);
}

void DataBlockHeader::encode(std::uint8_t* p) const {
    putSignature(p, kDataSignature);
    ByteWriter w(p + kDataNextField);
    dataBlockFields(w, *this);
}

HeaderKind recogniseHeader(const std::uint8_t* p) {
    if (p[0] == 'P' && p[1] == 'o' && p[2] == 'w' && p[3] == 'e') return HeaderKind::kAnsiHeader;
    if (p[0] == 'P' && p[1] == 0 && p[2] == 'o' && p[3] == 0) return HeaderKind::kUnicodeHeader;
    return HeaderKind::kNotALibrary;
}

bool EntryRecordHeader::decode(const Variant& v, ByteSpan record, EntryRecordHeader& out) {
    ByteReader r(record, static_cast<std::size_t>(v.entryFirstBlockField));
    EntryRecordHeader h;
    entryRecordFields(r, h);
    return deliver(r, h, out);
}

EntryRecordHeader EntryRecordHeader::decode(const Variant& v, const std::uint8_t* p) {
    EntryRecordHeader h;
    // The caller holds a whole record header.
    (void)decode(v, ByteSpan(p, static_cast<std::size_t>(v.entryHeaderSize)), h);
    return h;
}

void EntryRecordHeader::encode(const Variant& v, std::uint8_t* p) const {
    std::memset(p, 0, static_cast<std::size_t>(v.entryHeaderSize));
    putSignature(p, kEntrySignature);
    putText(p + v.entryVersionField, kEntryVersionText, v.charSize);
    encodeFields(v, p);
}

void EntryRecordHeader::encodeFields(const Variant& v, std::uint8_t* p) const {
    ByteWriter w(p + v.entryFirstBlockField);
    entryRecordFields(w, *this);
}

std::int32_t headerLibraryDataFirst(const Variant& v, ByteSpan header) {
    std::int32_t first = 0;
    return readI32(header, static_cast<std::size_t>(v.libraryDataFirstField), first) ? first : 0;
}

std::int32_t headerLibraryDataLength(const Variant& v, ByteSpan header) {
    std::int32_t length = 0;
    return readI32(header, static_cast<std::size_t>(v.libraryDataLengthField), length) ? length : 0;
}

void setHeaderLibraryData(const Variant& v, std::uint8_t* header, std::int32_t first,
                          std::int32_t length) {
    storeI32(header + v.libraryDataFirstField, first);
    storeI32(header + v.libraryDataLengthField, length);
}

Bytes newLibraryImage(int version, std::int32_t creationTime) {
    const Variant& v = variantFor(version >= kUnicodeVersion);
    Bytes image(static_cast<std::size_t>(v.rootOffset + kNodeSize), 0);
    std::uint8_t* h = image.data();
    putSignature(h, kHeaderSignature);
    putText(h + kProductNameField, kPowerBuilder,
            v.charSize);  // the two zero characters follow as zeros
    putText(h + v.versionField, version == kFirstAnsiVersion ? "0500" : "0600", v.charSize);
    storeI32(h + v.timeField, creationTime);
    storeU16(h + v.wordField, newHeaderWord(v));

    // Header area, the first bitmap block and the root's six blocks are in use.
    std::uint8_t flags[kBlocksPerBitmap] = {};
    int usedBlocks = (v.rootOffset + kNodeSize) / kBlockSize;
    for (int i = 0; i < usedBlocks; ++i) flags[i] = 1;
    encodeBitmapBlock(kNoLink, flags, h + v.firstBitmapOffset);

    NodeHeader root;
    root.encode(h + v.rootOffset);
    return image;
}

int compareNames(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                 std::size_t bBytes, int charSize) {
    return compareStoredNames(charSize == 2, ByteSpan(a, a == nullptr ? 0 : aBytes),
                              ByteSpan(b, b == nullptr ? 0 : bBytes));
}

}  // namespace keldrin::pbl::layout
