// Encoders and decoders of the structures described in pbl_layout.h.
#include "pbl/pbl_layout.h"

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
constexpr char kEntryVersion[] = "0600";

unsigned foldAscii(unsigned c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
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

void expandBitmapBits(const std::uint8_t* block, std::uint8_t* flags) {
    for (int i = 0; i < kBlocksPerBitmap; ++i) {
        flags[i] = (block[kBitmapBitsField + i / 8] & (0x80u >> (i % 8))) != 0 ? 1 : 0;
    }
}

NodeHeader NodeHeader::decode(const std::uint8_t* p) {
    NodeHeader h;
    h.left = loadI32(p + kNodeLeftField);
    h.parent = loadI32(p + kNodeParentField);
    h.right = loadI32(p + kNodeRightField);
    h.freeBytes = loadI16(p + kNodeFreeField);
    h.lastPos = loadU16(p + kNodeLastPosField);
    h.count = loadI16(p + kNodeCountField);
    h.firstPos = loadU16(p + kNodeFirstPosField);
    return h;
}

void NodeHeader::encode(std::uint8_t* p) const {
    putSignature(p, kNodeSignature);
    storeI32(p + kNodeLeftField, left);
    storeI32(p + kNodeParentField, parent);
    storeI32(p + kNodeRightField, right);
    storeI16(p + kNodeFreeField, freeBytes);
    storeU16(p + kNodeLastPosField, lastPos);
    storeI16(p + kNodeCountField, count);
    storeU16(p + kNodeFirstPosField, firstPos);
    std::memset(p + kNodeReservedField, 0, kNodeHeaderSize - kNodeReservedField);
}

DataBlockHeader DataBlockHeader::decode(const std::uint8_t* p) {
    DataBlockHeader h;
    h.next = loadI32(p + kDataNextField);
    h.used = loadU16(p + kDataUsedField);
    return h;
}

void DataBlockHeader::encode(std::uint8_t* p) const {
    putSignature(p, kDataSignature);
    storeI32(p + kDataNextField, next);
    storeU16(p + kDataUsedField, used);
}

HeaderKind recogniseHeader(const std::uint8_t* p) {
    if (p[0] == 'P' && p[1] == 'o' && p[2] == 'w' && p[3] == 'e') return HeaderKind::kAnsiHeader;
    if (p[0] == 'P' && p[1] == 0 && p[2] == 'o' && p[3] == 0) return HeaderKind::kUnicodeHeader;
    return HeaderKind::kNotALibrary;
}

EntryRecordHeader EntryRecordHeader::decode(const Variant& v, const std::uint8_t* p) {
    EntryRecordHeader h;
    h.firstBlock = loadI32(p + v.entryFirstBlockField);
    h.dataSize = loadI32(p + v.entryDataSizeField);
    h.time = loadI32(p + v.entryTimeField);
    h.commentLength = loadU16(p + v.entryCommentLengthField);
    h.nameLength = loadU16(p + v.entryNameLengthField);
    return h;
}

void EntryRecordHeader::encode(const Variant& v, std::uint8_t* p) const {
    std::memset(p, 0, static_cast<std::size_t>(v.entryHeaderSize));
    putSignature(p, kEntrySignature);
    putText(p + v.entryVersionField, kEntryVersion, v.charSize);
    storeI32(p + v.entryFirstBlockField, firstBlock);
    storeI32(p + v.entryDataSizeField, dataSize);
    storeI32(p + v.entryTimeField, time);
    storeU16(p + v.entryCommentLengthField, commentLength);
    storeU16(p + v.entryNameLengthField, nameLength);
}

std::int32_t headerLibraryDataFirst(const Variant& v, const std::uint8_t* header) {
    return loadI32(header + v.libraryDataFirstField);
}

std::int32_t headerLibraryDataLength(const Variant& v, const std::uint8_t* header) {
    return loadI32(header + v.libraryDataLengthField);
}

void setHeaderLibraryData(const Variant& v, std::uint8_t* header, std::int32_t first,
                          std::int32_t length) {
    storeI32(header + v.libraryDataFirstField, first);
    storeI32(header + v.libraryDataLengthField, length);
}

Bytes newLibraryImage(int version, std::int32_t creationTime) {
    const Variant& v = variantFor(version >= 10);
    Bytes image(static_cast<std::size_t>(v.rootOffset + kNodeSize), 0);
    std::uint8_t* h = image.data();
    putSignature(h, kHeaderSignature);
    putText(h + 4, kPowerBuilder, v.charSize);  // the two zero characters follow as zeros
    putText(h + v.versionField, version == 5 ? "0500" : "0600", v.charSize);
    storeI32(h + v.timeField, creationTime);
    storeU16(h + v.wordField, v.unicode ? 1 : 0);

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
    std::size_t step = static_cast<std::size_t>(charSize);
    for (std::size_t i = 0;; i += step) {
        unsigned ca = 0;
        unsigned cb = 0;
        if (step <= aBytes && i <= aBytes - step) {
            ca = step == 1 ? a[i] : loadU16(a + i);
        }
        if (step <= bBytes && i <= bBytes - step) {
            cb = step == 1 ? b[i] : loadU16(b + i);
        }
        ca = foldAscii(ca);
        cb = foldAscii(cb);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

}  // namespace keldrin::pbl::layout
