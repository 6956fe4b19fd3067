// PblManager: creates library files, opens them, and turns stored names into the form
// callers asked for (setNameEncoding).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>

#include "base/bytes.h"
#include "base/file.h"
#include "base/file_identity.h"
#include "base/file_lock.h"
#include "base/stamp_clock.h"
#include "base/text.h"
#include "pbl/journal.h"
#include "pbl/library.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

PblManager* createPblManager() {
    return new (std::nothrow) PblManager();
}

void PblManager::release() {
    delete this;
}

void PblLibraryReleaser::operator()(PblLibrary* library) const {
    if (library != nullptr) library->release();
}

int PblManager::setNameEncoding(int mode) {
    mode_ = mode;
    return 0;
}

int PblManager::nameEncoding() {
    return mode_;
}

int PblManager::createLibrary(const char* path, int version) {
    if (path == nullptr) return kPblInvalidArgument;
    return createLibrary(ansiToWide(path), version);
}

int PblManager::createLibrary(const std::u16string& path, int version) {
    // Refused before the file is touched: an existing file must survive a bad request.
    if (version < layout::kFirstAnsiVersion) return kPblInvalidArgument;
    std::FILE* file = openLocked(path, true, true);
    if (file == nullptr) return lastResult_;
    Bytes image = layout::newLibraryImage(version, stamp::now());
    // Cut short only now, under the lock: a holder of the old file finishes first.
    bool ok = std::fflush(file) == 0 && fs::truncateFile(file, 0) &&
              fs::writeFileAt(file, image.data(), image.size(), 0);
    ok = std::fclose(file) == 0 && ok;
    return ok ? kPblOk : kPblWriteFailed;
}

PblLibrary* PblManager::openLibrary(const char* path, int writable) {
    if (path == nullptr) return nullptr;
    return openLibrary(ansiToWide(path), writable);
}

PblLibrary* PblManager::openLibrary(const std::u16string& path, int writable) {
    // One rule for every writer, whoever runs it (root included): a file whose permission
    // bits grant write access to nobody is not to be changed.
    if (writable != 0 && fs::isWriteProtected(path)) {
        lastResult_ = kPblIoError;
        return nullptr;
    }
    auto* library = new (std::nothrow) PblLibrary(this, writable != 0);
    if (library == nullptr) {
        lastResult_ = kPblFailed;
        return nullptr;
    }
    std::FILE* file = openJournaled(path, writable != 0);
    if (file == nullptr) {
        delete library;
        return nullptr;
    }
    if (!library->open(file)) {
        damage_.set(library->lastDamage());
        delete library;  // closes the file, which nothing has written to
        lastResult_ = kPblDamaged;
        return nullptr;
    }
    library->setJournalPath(path);
    lastResult_ = kPblOk;
    return library;
}

std::FILE* PblManager::openJournaled(const std::u16string& path, bool writable) {
    const std::u16string journalPath = journal::pathFor(path);
    auto refuse = [this](std::string reason) -> std::FILE* {
        damage_.set(Damage{std::move(reason), -1, {}});
        lastResult_ = kPblDamaged;
        return nullptr;
    };
    // A reader that finds a journal rolls it back first, under the writers' lock, and
    // looks again once it holds its own lock: a writer that crashed in between leaves
    // another. The rounds only bound a peer that keeps crashing.
    constexpr int kMaxRounds = 8;
    for (int round = 0; round < kMaxRounds; ++round) {
        if (!writable && fs::fileExists(journalPath)) {
            // Only a process that may write the library may put it back; a reader
            // without that right must not read a library that is half changed.
            if (fs::isWriteProtected(path))
                return refuse(utf16ToUtf8(journalPath) +
                              ": an interrupted change left this journal, and the library is "
                              "write-protected; open it once with write access to roll the "
                              "change back");
            std::FILE* writer = openLocked(path, true, false);
            if (writer == nullptr) {
                if (lastResult_ == kPblBusy) return nullptr;
                return refuse(utf16ToUtf8(journalPath) +
                              ": an interrupted change left this journal, and the library "
                              "cannot be opened for writing to roll it back");
            }
            journal::Recovery recovery = journal::recover(writer, path);
            std::fclose(writer);
            if (!recovery.refusal.empty()) return refuse(recovery.refusal);
        }
        std::FILE* file = openLocked(path, writable, false);
        if (file == nullptr) return nullptr;
        if (writable) {
            journal::Recovery recovery = journal::recover(file, path);
            if (recovery.refusal.empty()) return file;
            std::fclose(file);
            return refuse(recovery.refusal);
        }
        if (!fs::fileExists(journalPath)) return file;
        std::fclose(file);
    }
    lastResult_ = kPblBusy;
    return nullptr;
}

std::FILE* PblManager::openLocked(const std::u16string& path, bool writable, bool create) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(lockWaitMs_);
    // The name may be given to another file while we wait for the lock (optimize puts a
    // new library in the old one's place): the lock we got is then on a file nobody will
    // read again, so open the name anew. Each round means someone replaced the file, so
    // the rounds are few; the bound only keeps a pathological peer from holding us.
    constexpr int kMaxRounds = 100;
    for (int round = 0; round < kMaxRounds; ++round) {
        std::FILE* file =
            create ? fs::openOrCreate(path) : fs::openFile(path, writable ? "rb+" : "rb");
        if (file == nullptr) {
            lastResult_ = kPblIoError;
            return nullptr;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        fs::LockResult locked =
            fs::lockFile(file, writable, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (locked != fs::LockResult::kLocked) {
            std::fclose(file);
            lastResult_ = locked == fs::LockResult::kBusy ? kPblBusy : kPblIoError;
            return nullptr;
        }
        if (fs::isOpenFile(file, path)) {
            lastResult_ = kPblOk;
            return file;
        }
        std::fclose(file);
    }
    lastResult_ = kPblBusy;
    return nullptr;
}

namespace {
std::string utf16Bytes(std::u16string_view text) {
    std::string out;
    appendUtf16Le(out, text);
    return out;
}
}  // namespace

std::string PblManager::convertName(const std::uint8_t* storedName, int storedLength,
                                    bool unicodeLibrary) {
    if (storedName == nullptr || storedLength <= 0) return std::string();
    const ByteSpan stored(storedName, static_cast<std::size_t>(storedLength));
    // An ANSI library's own bytes go out as they are stored.
    if (!unicodeLibrary && mode_ != kNameUtf16 && mode_ != kNameOem && mode_ != kNameUtf8) {
        const ByteSpan text = stored.first(storedTextBytes(false, stored));
        return std::string(text.begin(), text.end());
    }
    const std::u16string wide = decodeStoredText(unicodeLibrary, stored).value_or(std::u16string());
    if (mode_ == kNameUtf16) return utf16Bytes(wide);
    if (wide.empty()) return std::string();
    unsigned codePage = mode_ == kNameOem ? CP_OEMCP : mode_ == kNameUtf8 ? CP_UTF8 : CP_ACP;
    return wideToNarrow(wide.data(), static_cast<int>(wide.size() * 2), codePage);
}

}  // namespace keldrin::pbl
