// Reader of the platform-independent PSR format; the layout is in portable_layout.h.
//
// Every count and length comes from the file, so each is checked before it moves the
// position or sizes a buffer: a negative one is a format error (the walk only moves
// forward, so it can never loop), and one that reaches past the end of the file is a
// short read, found before any memory is set aside for it.
#include "psr/portable_psr_container.h"

#include <algorithm>

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

std::u16string PortablePsrContainer::formatDescription() const {
    return std::u16string(u"Platform independent PSR File Format: ") +
           (unicode_ ? u"Unicode" : u"ANSI");
}

void PortablePsrContainer::open(const std::u16string& fileName) {
    std::FILE* file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw NotFoundException();
    std::fclose(file);

    file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw IOException();
    std::uint8_t start[portable::kStartBytes] = {};
    std::size_t got = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
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
        if (fileSize_ < 0) throw IOException();
        position_ = 0;
        readDirectory();
    } catch (...) {
        closeHandle();
        throw;
    }
    closeHandle();
}

Bytes PortablePsrContainer::readBytes(std::int32_t n) {
    if (n < 0 || n > portable::kMaxStringBytes) throw NotSupportedFormatException();
    Bytes block;
    if (n == 0) return block;
    if (position_ > fileSize_ || n > fileSize_ - position_) throw IOException();
    block.resize(static_cast<std::size_t>(n));
    if (std::fread(block.data(), 1, block.size(), handle_) != block.size()) throw IOException();
    position_ += n;
    return block;
}

std::int32_t PortablePsrContainer::readInt32() {
    Bytes raw = readBytes(4);
    return loadI32(raw.data());
}

std::u16string PortablePsrContainer::readString() {
    Bytes raw = readBytes(readInt32());
    if (!unicode_) return ansiToWide(std::string(raw.begin(), raw.end()));
    // An odd count leaves a last byte that is no whole code unit; it is dropped.
    std::u16string text;
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(loadU16(raw.data() + i));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

void PortablePsrContainer::readDirectory() {
    std::u16string signature = readString();
    if (signature != portable::kSignature) throw NotSupportedFormatException();
    while (readRecord() == RecordResult::kMore) {
    }
}

PortablePsrContainer::RecordResult PortablePsrContainer::readRecord() {
    std::uint32_t type = static_cast<std::uint32_t>(readInt32());
    switch (type) {
        case portable::kEndMarker:
            return RecordResult::kEnd;
        case portable::kStorageRecord:
            storagePrefix_ = currentName_ + u"/";
            return RecordResult::kMore;
        case portable::kNameRecord:
            currentName_ = readString();
            return RecordResult::kMore;
        case portable::kStreamRecord: {
            std::u16string name = readString();
            std::int32_t length = readInt32();
            if (length < 0) throw NotSupportedFormatException();
            PsrStreamEntry entry{storagePrefix_ + name, position_, length};
            // Data running past the end is found by the next record's read.
            position_ += length;
            if (!fs::seekTo(handle_, position_)) throw IOException();
            entries_.push_back(std::move(entry));
            return RecordResult::kMore;
        }
        case portable::kEmptyRecord:
            return RecordResult::kMore;
        default:
            throw NotSupportedFormatException();
    }
}

void PortablePsrContainer::readStream(const std::u16string& path, Bytes& data) {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const PsrStreamEntry& entry) { return entry.path == path; });
    if (found == entries_.end()) throw NotFoundException();
    data.resize(static_cast<std::size_t>(found->length));
    if (found->length == 0) return;
    std::FILE* file = fs::openFile(fileName_, "rb");
    if (file == nullptr) throw IOException();
    bool ok = fs::seekTo(file, found->offset) &&
              std::fread(data.data(), 1, data.size(), file) == data.size();
    std::fclose(file);
    if (!ok) throw IOException();
}

}  // namespace keldrin
