// The structured-storage layer under the OLE report container: the few operations of
// ole32's IStorage/IStream that the container uses, with their outcomes as status
// values. The container (ole_psr_container.cpp) maps each status to its exception.
// Backends, one file each: compound_file_posix.cpp binds it to our own read-only reader
// of the Compound File Binary format (cfb_reader.h); compound_file_win32.cpp binds it
// to ole32 (StgOpenStorage, IStorage::OpenStorage/OpenStream/EnumElements, IStream::Read).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "psr/report_damage.h"

namespace keldrin::cf {

enum class Status {
    kOk,        // S_OK
    kNotFound,  // the element does not exist (or is not of the kind asked for)
    kFailed,    // anything else: damaged file, read error, sharing violation
};

class Stream {
  public:
    virtual ~Stream() = default;
    // Reads up to `count` bytes into `buffer`; `bytesRead` 0 marks the end of the stream.
    virtual Status read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead) = 0;
    // Why a read failed, where the backend can tell (ole32 does not).
    virtual Damage lastProblem() const { return {}; }
};

// One element of a storage, as its enumeration gives it.
struct Element {
    std::u16string name;
    bool storage = false;    // a storage; otherwise a stream
    std::uint64_t size = 0;  // a stream's size in bytes
};

class Storage {
  public:
    virtual ~Storage() = default;
    // Replaces `out` with the storage's elements, in the order the layer gives them.
    virtual Status list(std::vector<Element>& out) = 0;
    // One element name of this storage (no "/").
    virtual Status openStorage(const std::u16string& name, std::unique_ptr<Storage>& out) = 0;
    virtual Status openStream(const std::u16string& name, std::unique_ptr<Stream>& out) = 0;
};

// Opens the root storage of a compound file read-only, denying other writers while open.
// On kFailed, `damage` (when given) says why as far as the backend can tell.
Status openRootStorage(const std::u16string& fileName, std::unique_ptr<Storage>& out,
                       Damage* damage = nullptr);

}  // namespace keldrin::cf
