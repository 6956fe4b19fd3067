// RAZEV_ExportSourceEntryW: one library entry as UTF-16 text for another program that
// loads this module (contract in include/keldrin/export.h).
//
// The results live in three process-wide buffers that grow in steps of 16 bytes and
// never shrink, so a caller can keep the pointers until its next call:
//   data     the entry's data as stored (comment, then body), then zero bytes
//   text     an ANSI library's data converted to UTF-16: comment, body, zero character
//   comment  the comment in UTF-16 and a zero character
//
// The library is opened read-only through the ordinary library operations, and
// nothing is ever written. Everything taken from the file is checked before it sizes
// a buffer: a data size that is negative or more than the file's blocks could carry,
// or a comment longer than the data, gives -4 rather than a huge allocation.
#define KELDRIN_BUILDING_EXPORT 1
#include "keldrin/export.h"

#include <cstring>
#include <string>

#include "base/growable_buffer.h"
#include "base/text.h"
#include "pbl/entry_text_reader.h"
#include "pbl/library.h"

namespace keldrin::pbl {
namespace {

constexpr std::size_t kInitialDataBytes = 10000;
constexpr std::size_t kInitialTextBytes = 20000;
constexpr std::size_t kInitialCommentBytes = 600;
// Zero bytes behind the stored data: a whole UTF-16 zero character even when the body
// of a Unicode entry has an odd length and its last unit takes the first zero.
constexpr std::size_t kDataTerminatorBytes = 4;

struct ExportBuffers {
    GrowableBuffer data{kInitialDataBytes};
    GrowableBuffer text{kInitialTextBytes};
    GrowableBuffer comment{kInitialCommentBytes};
};

ExportBuffers& buffers() {
    static ExportBuffers instance;
    return instance;
}

// Made before the first call, as callers may take the addresses of the buffers' first
// results for granted; a failure to allocate at load time ends the process anyway.
[[maybe_unused]] const bool kBuffersReady = (buffers(), true);

struct Session {
    PblManagerHandle manager;
    PblLibraryHandle library;
    ~Session() {
        library.reset();  // a library goes before the manager that opened it
        manager.reset();
    }
};

std::int32_t exportEntry(const char16_t* libraryPath, const char16_t* entryName,
                         unsigned char** source, unsigned char** comment, std::int32_t* time) {
    if (source == nullptr || comment == nullptr) return KELDRIN_EXPORT_UNREADABLE;

    Session session;
    session.manager.reset(createPblManager());
    if (!session.manager) return KELDRIN_EXPORT_NO_MANAGER;
    if (libraryPath == nullptr) return KELDRIN_EXPORT_NO_LIBRARY;
    if (entryName == nullptr) return KELDRIN_EXPORT_NO_ENTRY;

    // The file is opened by its wide name, so a path that the ANSI code page cannot
    // carry still names the right file. The entry name does pass through the ANSI code
    // page, as every name on its way into the library does.
    std::u16string path(libraryPath);
    std::size_t nameUnits = std::char_traits<char16_t>::length(entryName);
    std::string name = wideToNarrow(entryName, static_cast<int>((nameUnits + 1) * 2), CP_ACP);
    if (name.empty()) return KELDRIN_EXPORT_NO_ENTRY;

    session.library.reset(session.manager->openLibrary(path, 0));
    if (!session.library) return KELDRIN_EXPORT_NO_LIBRARY;
    const bool unicode = session.library->isUnicode() != 0;

    PblEntryInfo info{};
    int found = session.library->findEntry(name.c_str(), info, 0);
    // A record that was found but whose sizes the file cannot hold is an entry that
    // cannot be read, not a missing one.
    bool foundDamaged = found == kPblDamaged && info.entryOffset != 0;
    if (found != kPblOk && !foundDamaged) return KELDRIN_EXPORT_NO_ENTRY;
    if (time != nullptr) *time = info.time;
    if (foundDamaged) return KELDRIN_EXPORT_UNREADABLE;

    // Sizes from the file: refuse what no chain in this file could hold before any
    // buffer grows to fit it.
    if (info.dataSize < 0 || info.commentSize < 0 || info.commentSize > info.dataSize ||
        info.dataSize > session.library->maxDataBytes())
        return KELDRIN_EXPORT_UNREADABLE;

    ExportBuffers& out = buffers();
    const auto dataSize = static_cast<std::size_t>(info.dataSize);
    const auto commentBytes = static_cast<std::size_t>(info.commentSize);
    out.data.reserve(dataSize + kDataTerminatorBytes);
    // A chain shorter than the recorded size must not leave an earlier call's bytes.
    std::memset(out.data.data(), 0, dataSize + kDataTerminatorBytes);
    if (session.library->readEntryData(info, out.data.data()) != kPblOk)
        return KELDRIN_EXPORT_UNREADABLE;
    session.library.reset();
    session.manager.reset();

    std::uint8_t* data = out.data.data();
    if (unicode) {
        out.comment.reserve(commentBytes + 2);
        std::memcpy(out.comment.data(), data, commentBytes);
        out.comment.data()[commentBytes] = 0;
        out.comment.data()[commentBytes + 1] = 0;
        *comment = out.comment.data();
        *source = data + commentBytes;
        return KELDRIN_EXPORT_READ;
    }

    // ANSI: the comment and the body are converted apiece, so that the body starts
    // right behind the comment's UTF-16 form even where a double-byte code page turns
    // two stored bytes into one character.
    const char* bytes = reinterpret_cast<const char*>(data);
    std::u16string commentText = narrowToWide(bytes, static_cast<int>(commentBytes), CP_ACP);
    std::u16string bodyText =
        narrowToWide(bytes + commentBytes, static_cast<int>(dataSize - commentBytes + 1), CP_ACP);
    if (bodyText.empty()) return KELDRIN_EXPORT_UNCONVERTIBLE;
    if (bodyText.back() != u'\0') bodyText.push_back(u'\0');

    const std::size_t commentTextBytes = commentText.size() * 2;
    out.comment.reserve(commentTextBytes + 2);
    std::memcpy(out.comment.data(), commentText.data(), commentTextBytes);
    out.comment.data()[commentTextBytes] = 0;
    out.comment.data()[commentTextBytes + 1] = 0;

    out.text.reserve(commentTextBytes + bodyText.size() * 2);
    std::memcpy(out.text.data(), commentText.data(), commentTextBytes);
    std::memcpy(out.text.data() + commentTextBytes, bodyText.data(), bodyText.size() * 2);
    *comment = out.comment.data();
    *source = out.text.data() + commentTextBytes;
    return KELDRIN_EXPORT_READ;
}

}  // namespace

ReaderBufferSizes readerBufferSizes() {
    ExportBuffers& b = buffers();
    return {b.data.capacity(), b.text.capacity(), b.comment.capacity()};
}

}  // namespace keldrin::pbl

extern "C" KELDRIN_EXPORT_API std::int32_t KELDRIN_CALL
RAZEV_ExportSourceEntryW(const char16_t* libraryPath, const char16_t* entryName,
                         unsigned char** source, unsigned char** comment, std::int32_t* time) {
    // Nothing may escape into a caller that knows no C++; running out of memory reads
    // as an entry that cannot be read.
    try {
        return keldrin::pbl::exportEntry(libraryPath, entryName, source, comment, time);
    } catch (...) {
        return KELDRIN_EXPORT_UNREADABLE;
    }
}
