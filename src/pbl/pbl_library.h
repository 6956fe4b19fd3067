// The programming interface of the PBL library: PblManager creates and opens library
// files and hands out PblLibrary (pbl/library.h), one open library with its entries,
// comment and library data. PblLibraryInterface is the abstract face of that class, the
// operations a program that loads this module reaches through its virtual table.
// Nothing here throws; every operation returns a result code (PblResult), and callers
// decide what to throw. The on-disk format is described in pbl/pbl_layout.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pbl/pbl_result.h"

namespace keldrin::pbl {

// Name forms that forEachEntry hands out (PblManager::setNameEncoding).
enum PblNameEncoding : int {
    kNameUtf16 = 0,
    kNameAnsi = 1,
    kNameOem = 2,
    kNameUtf8 = 3,
};

// One entry, as callers and the library pass it back and forth. Callers zero it (or
// value-initialise it) before first use.
struct PblEntryInfo {
    // The entry's name as forEachEntry hands it out (in the manager's name-encoding
    // form; UTF-16 names are stored as their little-endian bytes), without terminator.
    // findEntry leaves it empty.
    std::string name;
    std::int32_t dataSize = 0;     // data bytes, comment included
    std::int32_t commentSize = 0;  // comment bytes (UTF-16: twice the stored character count)
    std::int32_t time = 0;         // modification time; 0 = "now" when a record is written
    std::int32_t nodeOffset = 0;   // node holding the entry record
    std::int32_t firstBlock = 0;   // first data block, 0 if none
    std::int32_t entryOffset = 0;  // file offset of the entry record
    std::int32_t nameSize = 0;     // name bytes without terminator
    std::int32_t recordSize = 0;   // record header + name with terminator (forEachEntry only)
};

class PblEntryVisitor {
  public:
    virtual ~PblEntryVisitor() = default;
    // Nonzero to go on, 0 to stop. The visitor may take the name over (std::move).
    virtual int visit(PblEntryInfo& info) = 0;
};

class PblManager;
class PblLibrary;

class PblLibraryInterface {
  public:
    // Writes a fresh, balanced copy of this library to `path` (ANSI name); version 0
    // keeps this library's version.
    virtual int copyTo(const char* path, int version) = 0;
    virtual int forEachEntry(PblEntryVisitor& visitor) = 0;
    // `name` is zero-terminated text in the ANSI code page; with create set a missing
    // entry is created (empty, no data block yet).
    virtual int findEntry(const char* name, PblEntryInfo& info, int create) = 0;
    virtual int deleteEntry(PblEntryInfo& info) = 0;
    // Copies the entry's data (comment, then body) into `buffer`, which holds
    // info.dataSize bytes; never writes more than that.
    virtual int readEntryData(const PblEntryInfo& info, void* buffer) = 0;
    virtual int readLibraryData(void* buffer, int& size) = 0;
    virtual int writeLibraryData(const void* data, int size) = 0;
    virtual int writeEntryTime(const PblEntryInfo& info) = 0;
    // `data` holds commentSize + size bytes: the comment, then the body.
    virtual int writeEntryData(PblEntryInfo& info, const void* data, int size,
                               short commentSize) = 0;
    // Flushes, closes the file and destroys the object.
    virtual void release() = 0;
    virtual int isUnicode() = 0;
    virtual int version() = 0;
    virtual void reserved() = 0;
    virtual int flush() = 0;
    // The library comment in the library's character width, terminator included.
    virtual int getComment(void* buffer, int& size) = 0;
    virtual int setComment(const void* text) = 0;

  protected:
    virtual ~PblLibraryInterface() = default;
};

class PblManager {
  public:
    // Creates or truncates `path` (ANSI name) with a new empty library: version 5 gives
    // ANSI "0500", 6 to 9 ANSI "0600", 10 and above Unicode. Below 5: 6, nothing touched.
    virtual int createLibrary(const char* path, int version);
    // Opens `path` (ANSI name), writable when `writable` is nonzero; nullptr when the
    // file cannot be opened or is not a library (lastResult() tells why).
    //
    // The open library holds a lock on its file until it is released: an exclusive one
    // when writable, a shared one otherwise. createLibrary holds the exclusive lock
    // while it writes. Both wait for other holders at most lockWait() milliseconds, then
    // give up with kPblBusy and touch nothing.
    virtual PblLibrary* openLibrary(const char* path, int writable);
    virtual void release();
    virtual int setNameEncoding(int mode);
    virtual int nameEncoding();

    // The same with wide names, for callers whose paths the ANSI code page cannot carry.
    int createLibrary(const std::u16string& path, int version);
    PblLibrary* openLibrary(const std::u16string& path, int writable);

    // A stored name (storedLength bytes, terminator included) in this manager's
    // name-encoding form, without terminator.
    std::string convertName(const std::uint8_t* storedName, int storedLength, bool unicodeLibrary);

    // How long openLibrary and createLibrary wait for a lock another program holds.
    void setLockWait(int milliseconds) { lockWaitMs_ = milliseconds < 0 ? 0 : milliseconds; }
    int lockWait() const { return lockWaitMs_; }
    // The result of the last openLibrary: kPblOk, or why it returned nullptr (kPblBusy,
    // kPblIoError for a file that cannot be opened or is write-protected, kPblDamaged for
    // a file that is not a library).
    int lastResult() const { return lastResult_; }
    // Why the last openLibrary found no library (with lastResult() kPblDamaged).
    const Damage& lastDamage() const { return damage_.last(); }

  protected:
    friend PblManager* createPblManager();
    PblManager() = default;
    virtual ~PblManager() = default;

  private:
    // Opens and locks the file `path` names now; nullptr and lastResult_ set on failure.
    std::FILE* openLocked(const std::u16string& path, bool writable, bool create);
    // openLocked for an existing library, after a journal left beside it by an
    // interrupted change was played back (or refused: kPblDamaged with the reason).
    std::FILE* openJournaled(const std::u16string& path, bool writable);

    int mode_ = kNameAnsi;
    int lockWaitMs_ = 10000;
    int lastResult_ = kPblOk;
    DamageLog damage_;
};

// A new manager, or nullptr when memory runs out.
PblManager* createPblManager();

// Owning handles that call release().
struct PblLibraryReleaser {
    void operator()(PblLibrary* library) const;
};
struct PblManagerReleaser {
    void operator()(PblManager* manager) const {
        if (manager != nullptr) manager->release();
    }
};
using PblLibraryHandle = std::unique_ptr<PblLibrary, PblLibraryReleaser>;
using PblManagerHandle = std::unique_ptr<PblManager, PblManagerReleaser>;

}  // namespace keldrin::pbl
