// Reader of the platform-independent PSR format; the layout is in portable_layout.h.
//
// Every count and length comes from the file, so each is checked before it moves the
// position or sizes a buffer: a negative one is a format error (the walk only moves
// forward, so it can never loop), and one that reaches past the end of the file is a
// short read, found before any memory is set aside for it.
#include "psr/portable_psr_container.h"

#include <algorithm>
#include <string>

#include "base/exceptions.h"
#include "base/file.h"
#include "base/text.h"
#include "psr/portable_layout.h"

namespace keldrin {

PortablePsrContainer::~PortablePsrContainer() {
    closeHandle();
}

void PortablePsrContainer::closeHandle() {
    if (handle_ != nullptr) std::fclose(handle_);
    handle_ = nullptr;
}

// The one way a failure leaves: the exception carries nothing, so the reason stays here.
template <typename Exception>
void PortablePsrContainer::fail(std::string reason, std::int64_t offset) {
    malformed(damage_, std::move(reason), offset);
    throw Exception();
}

std::u16string PortablePsrContainer::formatDescription() const {
    return std::u16string(u"Platform independent PSR File Format: ") +
           (unicode_ ? u"Unicode" : u"ANSI");
}

std::vector<PsrStreamInfo> PortablePsrContainer::listStreams() {
    std::vector<PsrStreamInfo> streams;
    streams.reserve(entries_.size());
    for (const PsrStreamEntry& entry : entries_)
        streams.push_back({entry.path, static_cast<std::uint64_t>(entry.length)});
    return streams;
}

void PortablePsrContainer::open(const std::u16string& fileName) {
    damage_ = Damage{};
    std::FILE* file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw NotFoundException();
    std::fclose(file);

    file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw IOException();
    std::uint8_t start[portable::kStartBytes] = {};
    std::size_t got = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
    // Another format's file is no damage: the factory goes on to the next container.
    if (got != sizeof start) throw NotSupportedFormatException();
    if (std::equal(start, start + sizeof start, portable::kUnicodeStart))
        unicode_ = true;
    else if (std::equal(start, start + sizeof start, portable::kAnsiStart))
        unicode_ = false;
    else
        throw NotSupportedFormatException();

    fileName_ = fileName;
    handle_ = fs::openFile(fileName, "rb");
    if (handle_ == nullptr) throw IOException();
    try {
        fileSize_ = fs::fileSize(handle_);
        if (fileSize_ < 0) fail<IOException>("the file's size cannot be taken", -1);
        position_ = 0;
        readDirectory();
    } catch (...) {
        closeHandle();
        throw;
    }
    closeHandle();
}

// `n` is 4 or a string's count, which readString has already held to the format's range.
Bytes PortablePsrContainer::readBytes(std::int32_t n, const char* what) {
    Bytes block;
    if (n == 0) return block;
    if (position_ > fileSize_ || n > fileSize_ - position_)
        fail<IOException>(std::to_string(n) + " bytes of " + what +
                              " run past the end of the file at " + std::to_string(fileSize_),
                          position_);
    block.resize(static_cast<std::size_t>(n));
    if (std::fread(block.data(), 1, block.size(), handle_) != block.size())
        fail<IOException>(std::string("cannot read the ") + what, position_);
    position_ += n;
    return block;
}

std::int32_t PortablePsrContainer::readInt32(const char* what) {
    Bytes raw = readBytes(4, what);
    return ByteReader(raw).readI32();
}

std::u16string PortablePsrContainer::readString(const char* what) {
    const std::int64_t countAt = position_;
    std::int32_t count = readInt32(what);
    if (count < 0 || count > portable::kMaxStringBytes)
        fail<NotSupportedFormatException>(
            std::string(what) + " claims " + std::to_string(count) + " bytes", countAt);
    Bytes raw = readBytes(count, what);
    if (!unicode_) return ansiToWide(std::string(raw.begin(), raw.end()));
    // An odd count leaves a last byte that is no whole code unit; it is dropped.
    std::u16string text = decodeUtf16Le(raw);
    text.erase(std::min(text.find(u'\0'), text.size()));
    return text;
}

void PortablePsrContainer::readDirectory() {
    std::u16string signature = readString("signature");
    if (signature != portable::kSignature)
        fail<NotSupportedFormatException>("the signature string is not the format's", 0);
    while (readRecord() == RecordResult::kMore) {
    }
}

PortablePsrContainer::RecordResult PortablePsrContainer::readRecord() {
    const std::int64_t recordAt = position_;
    std::uint32_t type = static_cast<std::uint32_t>(readInt32("record type"));
    switch (type) {
        case portable::kEndMarker:
            return RecordResult::kEnd;
        case portable::kStorageRecord:
            storagePrefix_ = currentName_ + u"/";
            return RecordResult::kMore;
        case portable::kNameRecord:
            currentName_ = readString("name");
            return RecordResult::kMore;
        case portable::kStreamRecord: {
            std::u16string name = readString("stream name");
            const std::int64_t lengthAt = position_;
            std::int32_t length = readInt32("stream length");
            if (length < 0)
                fail<NotSupportedFormatException>(
                    "stream length " + std::to_string(length) + " is negative", lengthAt);
            PsrStreamEntry entry{storagePrefix_ + name, position_, length};
            // Data running past the end is found by the next record's read.
            position_ += length;
            if (!fs::seekTo(handle_, position_))
                fail<IOException>("cannot seek past the stream's data", lengthAt);
            entries_.push_back(std::move(entry));
            return RecordResult::kMore;
        }
        case portable::kEmptyRecord:
            return RecordResult::kMore;
        default:
            fail<NotSupportedFormatException>("unknown record type " + std::to_string(type),
                                              recordAt);
    }
}

const PsrStreamEntry* PortablePsrContainer::streamEntry(const std::u16string& path) {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const PsrStreamEntry& entry) { return entry.path == path; });
    damage_ = Damage{};
    if (found == entries_.end()) throw NotFoundException();
    return &*found;
}

void PortablePsrContainer::readStream(const std::u16string& path, Bytes& data) {
    const PsrStreamEntry* found = streamEntry(path);
    data.resize(static_cast<std::size_t>(found->length));
    if (found->length == 0) return;
    std::FILE* file = fs::openFile(fileName_, "rb");
    if (file == nullptr) throw IOException();
    bool ok = fs::seekTo(file, found->offset) &&
              std::fread(data.data(), 1, data.size(), file) == data.size();
    std::fclose(file);
    if (!ok)
        fail<IOException>(
            "the " + std::to_string(found->length) + " bytes of a stream cannot be read whole",
            found->offset);
}

void PortablePsrContainer::readStreamInto(const std::u16string& path, const StreamPlace& place) {
    const PsrStreamEntry* found = streamEntry(path);
    const std::span<const fs::ReadPiece> pieces = place(static_cast<std::uint64_t>(found->length));
    std::size_t wanted = 0;
    for (const fs::ReadPiece& piece : pieces) wanted += piece.size;
    if (wanted > static_cast<std::size_t>(found->length)) throw IOException();
    if (wanted == 0) return;
    std::FILE* file = fs::openFile(fileName_, "rb");
    if (file == nullptr) throw IOException();
    // One scattered read, past the stream's buffer, straight into the pieces.
    const bool ok = fs::readFileAtScattered(file, pieces.data(), pieces.size(), found->offset);
    std::fclose(file);
    if (!ok)
        fail<IOException>(
            "the " + std::to_string(found->length) + " bytes of a stream cannot be read whole",
            found->offset);
}

}  // namespace keldrin
