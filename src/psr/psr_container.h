// A PowerBuilder saved report (PSR) as a set of named byte streams, whatever its
// container: an OLE compound file (ole_psr_container.h) or the platform-independent
// flat format (portable_psr_container.h). PsrContainerFactory picks the container.
//
// Stream paths are wide strings in which "/" separates a storage from what lies in it:
//   "source", "object"                    the main DataWindow's source text and object
//   "dwstg/dwlookup"                      the table of child DataWindows
//   "dwstg/source_N", "dwstg/object_N"    child N's source and object
// readStream returns a stream's raw bytes: no terminator, no decoding. listStreams gives
// every stream the file holds, those above and whatever else the report keeps ("FSInfo",
// "data", "neststg/...", storages within storages), in the container's own order.
//
// Failures: NotFoundException (file or stream missing), IOException (cannot be read),
// NotSupportedFormatException (not this container's format / a structure not understood).
//
// Where the members live: the containers (src/psr) give only the streams; everything the
// conversion makes of them is the convert layer's and lives there, in
// src/convert/dw_extraction.cpp (version, child DataWindows, main DataWindow name) and
// src/convert/conversion_driver.cpp (convert, addEntry); what a library gets from a
// report, for the converter and every other reader, is src/convert/report_plan.h. The conversion is
// written once, here in the abstract container, so that both container kinds share it. Those
// members are deliberately not virtual: a virtual one would sit in every container's vtable and
// make the psr library need the convert library to link, the wrong way round.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "psr/report_damage.h"

namespace keldrin {

namespace pbl {
class PblLibrary;
}

// One child DataWindow of a report: its lower-case name and its stream number.
struct ChildDw {
    std::u16string name;
    int number = 0;
};

// One stream of a report: its path as readStream takes it, and its size in bytes.
struct PsrStreamInfo {
    std::u16string path;
    std::uint64_t size = 0;
};

class PsrContainer {
  public:
    virtual ~PsrContainer() = default;

    // The very name given to open().
    virtual std::u16string fileName() const = 0;
    // Checks that the file is of this container's kind and prepares it for reading.
    virtual void open(const std::u16string& fileName) = 0;
    // Replaces `data` with the whole content of the stream named by `path`.
    virtual void readStream(const std::u16string& path, Bytes& data) = 0;
    // Where readStreamInto puts a stream of `size` bytes: pieces to fill one after another
    // with its leading bytes, no more of them than `size` (a prefix is fine).
    using StreamPlace = std::function<std::span<const fs::ReadPiece>(std::uint64_t size)>;
    // Reads the stream named by `path` into the pieces `place` gives for its size. A
    // container that knows where the bytes lie reads them straight into the pieces (and
    // only as many as they hold); this one reads the whole stream and copies it.
    virtual void readStreamInto(const std::u16string& path, const StreamPlace& place);
    // Fixed text naming the container format.
    virtual std::u16string formatDescription() const = 0;
    // Every stream of the report; IOException when the file's structure cannot be walked.
    virtual std::vector<PsrStreamInfo> listStreams() = 0;
    // What made the last failed operation fail, where the container can tell; nothing
    // found for a missing element or a file of another format.
    virtual Damage lastProblem() const { return {}; }

    // ---- the conversion's members, defined in src/convert (see above) ----

    // Appends the report's child DataWindows, in the order of "dwstg/dwlookup".
    void readChildDwList(std::vector<ChildDw>& list);
    // Converts the report into a PBL library (an empty name: the report's name with
    // the extension ".pbl").
    void convert(std::u16string targetPblName);
    // The PowerBuilder version that wrote the report, e.g. "9" or "10.5".
    std::u16string powerBuilderVersion();

    // The major version as a number (selects the library version to write).
    int majorVersionNumber();
    // Base name of the main DataWindow's entries.
    std::u16string mainDwName(const std::u16string& fileName);

  protected:
    void readAnsiDwLookup(std::vector<ChildDw>& list);
    void readUnicodeDwLookup(std::vector<ChildDw>& list);
    // Writes `data` unchanged as the entry `name` (no comment, stamped with the current
    // time) into the open library; IOException when the library refuses.
    void addEntry(pbl::PblLibrary& library, const std::u16string& name, const Bytes& data);
};

}  // namespace keldrin
