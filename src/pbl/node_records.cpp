#include "pbl/node_records.h"

namespace keldrin::pbl {

using namespace layout;

namespace {
bool fail(Damage* fault, const char* reason, int position) {
    if (fault != nullptr) *fault = Damage{reason, position, {}};
    return false;
}
}  // namespace

bool decodeNodeHeader(ByteSpan node, NodeHeader& header, Damage* fault) {
    if (!hasSignature(node, kNodeSignature)) return fail(fault, "node lacks its signature", 0);
    if (!NodeHeader::decode(node, header)) return fail(fault, "node is cut short", 0);
    if (header.freeBytes < 0 || header.freeBytes > kNodeDataSize)
        return fail(fault, "node's free byte count is out of range", kNodeFreeField);
    if (header.count < 0) return fail(fault, "node's record count is negative", kNodeCountField);
    return true;
}

bool listRecords(const Variant& v, ByteSpan node, const NodeHeader& header,
                 std::vector<RecordRef>& out, Damage* fault) {
    out.clear();
    if (node.size() < static_cast<std::size_t>(kNodeSize))
        return fail(fault, "node is cut short", 0);
    const int used = kNodeDataSize - header.freeBytes;
    // Each record takes more than a header, so a count above this cannot be true.
    if (header.count > used / (v.entryHeaderSize + 1))
        return fail(fault, "node counts more records than its used bytes hold", kNodeCountField);
    const ByteSpan data = node.subspan(kNodeHeaderSize, static_cast<std::size_t>(used));
    int p = 0;
    for (int i = 0; i < header.count; ++i) {
        const int at = kNodeHeaderSize + p;
        if (v.entryHeaderSize > used - p)
            return fail(fault, "entry record runs past the node's used bytes", at);
        const ByteSpan rec = data.subspan(static_cast<std::size_t>(p));
        if (!hasSignature(rec, kEntrySignature))
            return fail(fault, "entry record lacks its signature", at);
        RecordRef r;
        r.position = p;
        if (!EntryRecordHeader::decode(v, rec, r.header))
            return fail(fault, "entry record is cut short", at);
        r.entryHeaderSize = v.entryHeaderSize;
        const int nameLength = r.header.nameLength;
        if (nameLength == 0 || nameLength > kMaxNameLength)
            return fail(fault, "entry record has a bad name length", at);
        if (nameLength > used - p - v.entryHeaderSize)
            return fail(fault, "entry name runs past the node's used bytes", at);
        r.nameBytesWithTerminator = nameLength;
        r.name = rec.data() + v.entryHeaderSize;
        r.nameBytes = nameLength >= v.charSize ? nameLength - v.charSize : 0;
        out.push_back(r);
        p += v.entryHeaderSize + nameLength;
    }
    return true;
}

bool nameAtPosition(ByteSpan node, int position, const std::uint8_t*& name,
                    int& nameBytesWithTerminator) {
    if (position < kNodeHeaderSize + 2 || static_cast<std::size_t>(position) > node.size())
        return false;
    std::uint16_t length = 0;
    if (!readU16(node, static_cast<std::size_t>(position) - 2, length)) return false;
    if (length == 0 || length > kMaxNameLength ||
        length > node.size() - static_cast<std::size_t>(position))
        return false;
    name = node.data() + position;
    nameBytesWithTerminator = length;
    return true;
}

}  // namespace keldrin::pbl
