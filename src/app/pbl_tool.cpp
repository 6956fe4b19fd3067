// keldrin-pbl: one function per command over the PBL library interface (pbl/pbl_library.h).
//
// Names on the command line arrive as wide text and enter the library through the ANSI
// code page; a name that the code page cannot carry exactly is refused rather than
// turned into "?", which would address (or create) a different entry. Names leave the
// library as UTF-16 (name-encoding mode 0) and are printed as UTF-8.
//
// Every file is untrusted: sizes read from a library are checked against what the file
// could hold before they size a buffer. `info` takes its header and block facts from the
// library itself, so a library inside a larger file is read by the same rules everywhere.
//
// Commands that replace files (create, export, rebuild, optimize) write under a
// temporary name and move the result into place only when it is complete.
#include "app/pbl_tool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/pbl_tool_text.h"
#include "base/bytes.h"
#include "base/file.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "pbl/pbl_library.h"
#include "pbl/pbl_library_impl.h"

namespace keldrin {
namespace {

using pbl::PblEntryInfo;
using pbl::PblLibraryHandle;
using pbl::PblLibraryInterface;
using pbl::PblManagerHandle;
using tool::ansiBytesToWide;
using tool::displayPath;
using tool::escapeControls;
using tool::exactAnsi;
using tool::exportFileName;
using tool::foldedFileName;
using tool::hasUnpairedSurrogate;
using tool::isoTime;
using tool::joinPath;
using tool::jsonString;
using tool::parseInt32;
using tool::ToolFailure;
using tool::UsageFailure;
using tool::utf16FromLittleEndian;
using tool::utf16LittleEndianBytes;
using tool::wideToAnsiBytes;

constexpr char kUsage[] =
    "usage: keldrin-pbl [--wait SECONDS] COMMAND ARGUMENTS\n"
    "  create LIB VERSION                 new empty library (5: ANSI 0500, 6-9: ANSI 0600,\n"
    "                                     10 and above: Unicode)\n"
    "  info LIB [--json]                  variant, versions, comment, sizes, block use\n"
    "  ls LIB [--json]                    one line per entry: name, data size, comment size,\n"
    "                                     modification time (UTC)\n"
    "  cat LIB NAME [--comment]           the entry's body (or its comment) to standard output\n"
    "  put LIB NAME [FILE|-] [--comment TEXT] [--time UNIXSECONDS]\n"
    "                                     create or replace an entry from FILE or standard input\n"
    "  rm LIB NAME                        delete an entry\n"
    "  comment LIB [TEXT]                 print or set the library comment\n"
    "  export LIB DIR [--raw]             every entry into DIR, one file each (text as UTF-8)\n"
    "  rebuild LIB OUT [--version N]      a fresh, balanced copy of LIB in OUT\n"
    "  optimize LIB [--version N] [--force]\n"
    "                                     rebuild LIB in place, keeping the old file as LIB.bak\n"
    "                                     (an existing LIB.bak is replaced only with --force)\n"
    "--wait SECONDS: how long to wait for a library another program is using (default 10)\n"
    "Put -- before a NAME or TEXT that begins with --.\n";

// Layout facts that size the tool's buffers; the library keeps its own copy of them.
constexpr std::int64_t kBlockSize = 512;
constexpr std::int64_t kDataBytesPerBlock = 502;
constexpr std::size_t kAnsiCommentCapacity = 256;
constexpr std::size_t kUnicodeCommentCapacity = 512;
// writeEntryData takes the comment length as a signed 16-bit byte count.
constexpr std::size_t kMaxCommentBytes = 32767;
constexpr std::size_t kMaxEntryBytes =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// ---------------------------------------------------------------------------------------
// Command line

struct OptionSpec {
    const char* name;
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::u16string> positional;
    std::vector<std::pair<std::string, std::optional<std::u16string>>> options;

    bool has(const char* name) const {
        return std::any_of(options.begin(), options.end(),
                           [&](const auto& o) { return o.first == name; });
    }
    std::optional<std::u16string> value(const char* name) const {
        for (const auto& o : options)
            if (o.first == name) return o.second;
        return std::nullopt;
    }
};

ParsedArgs parseArgs(std::span<const std::u16string> args, std::initializer_list<OptionSpec> specs,
                     std::size_t minPositional, std::size_t maxPositional) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (!optionsEnded && arg == u"--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 2 && arg.compare(0, 2, u"--") == 0) {
            std::string name = utf16ToUtf8(arg);
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& s : specs)
                if (name == s.name) spec = &s;
            if (spec == nullptr) throw UsageFailure{"unknown option " + displayPath(arg)};
            if (parsed.has(spec->name)) throw UsageFailure{"option " + name + " given twice"};
            if (spec->takesValue) {
                if (i + 1 == args.size()) throw UsageFailure{"option " + name + " needs a value"};
                parsed.options.emplace_back(name, args[++i]);
            } else {
                parsed.options.emplace_back(name, std::nullopt);
            }
            continue;
        }
        parsed.positional.push_back(arg);
    }
    if (parsed.positional.size() < minPositional) throw UsageFailure{"missing arguments"};
    if (parsed.positional.size() > maxPositional)
        throw UsageFailure{"unexpected argument " + displayPath(parsed.positional[maxPositional])};
    return parsed;
}

// ---------------------------------------------------------------------------------------
// Output

class Output {
  public:
    explicit Output(std::FILE* file) : file_(file) {}

    void write(std::string_view bytes) {
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
            failed_ = true;
    }
    void line(std::string_view text) {
        write(text);
        write("\n");
    }
    // Everything reached the stream, or a failure naming standard output.
    void finish() {
        if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
        if (failed_) throw ToolFailure{"cannot write to standard output"};
    }

  private:
    std::FILE* file_;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------------------
// Libraries

std::string codeText(int code) {
    return pbl::resultText(code);
}

void check(int code, const std::string& context) {
    if (code != pbl::kPblOk) throw ToolFailure{context + ": " + codeText(code)};
}

std::int64_t sizeOfFile(const std::u16string& path) {
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return -1;
    std::int64_t size = fs::fileSize(file);
    std::fclose(file);
    return size;
}

// An open library with its manager; the library is released first.
//
// A writable library holds its file's exclusive lock from open to close. Changes run
// as one unit (PblLibrary::beginChange): unless close() commits them, releasing the
// library puts the file back byte for byte, so a command that fails part way, for
// whatever reason, leaves the library as it found it.
struct OpenLibrary {
    PblManagerHandle manager;
    PblLibraryHandle library;
    std::u16string path;
    std::int64_t fileSize = 0;

    PblLibraryInterface* operator->() const { return library.get(); }
    // The library behind the interface: the manager only ever opens PblLibrary objects.
    pbl::PblLibrary& concrete() const { return static_cast<pbl::PblLibrary&>(*library); }

    // Writes what the library keeps in memory and reports a failed flush.
    void flush() {
        if (library->flush() != 0)
            throw ToolFailure{displayPath(path) + ": cannot write the library"};
    }
    void beginChange() { concrete().beginChange(); }
    void close() {
        if (library) {
            if (concrete().commitChange() != 0)
                throw ToolFailure{displayPath(path) +
                                  ": cannot write the library; it is unchanged"};
            library.reset();
        }
    }
};

PblManagerHandle newManager(int lockWaitMs) {
    PblManagerHandle manager(pbl::createPblManager());
    if (!manager) throw ToolFailure{"out of memory"};
    // Names leave the library as UTF-16; the tool turns them into UTF-8 itself.
    manager->setNameEncoding(pbl::kNameUtf16);
    manager->setLockWait(lockWaitMs);
    return manager;
}

OpenLibrary openLibrary(const std::u16string& path, bool writable, int lockWaitMs) {
    OpenLibrary open;
    open.path = path;
    open.manager = newManager(lockWaitMs);
    if (!fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": no such file"};
    open.library.reset(open.manager->openLibrary(path, writable ? 1 : 0));
    if (!open.library) {
        int why = open.manager->lastResult();
        if (why == pbl::kPblBusy) throw ToolFailure{displayPath(path) + ": " + codeText(why)};
        if (writable) {
            if (fs::isWriteProtected(path))
                throw ToolFailure{displayPath(path) + ": the file is write-protected"};
            std::FILE* probe = fs::openFile(path, "rb+");
            if (probe == nullptr)
                throw ToolFailure{displayPath(path) + ": cannot open the library for writing"};
            std::fclose(probe);
        }
        throw ToolFailure{displayPath(path) + ": not a library, or it cannot be read"};
    }
    open.fileSize = sizeOfFile(path);
    if (open.fileSize < 0) throw ToolFailure{displayPath(path) + ": cannot read the file size"};
    if (writable) open.beginChange();
    return open;
}

// An entry name from the command line in the form findEntry takes. Libraries written
// by PowerBuilder itself can hold an entry with an empty name, so commands that only
// address existing entries may accept one (`allowEmpty`); none may create one.
std::string entryName(const std::u16string& name, bool allowEmpty = false) {
    if (name.empty()) {
        if (allowEmpty) return std::string();
        throw UsageFailure{"an entry name must not be empty"};
    }
    return exactAnsi(name, "entry name " + displayPath(name));
}

// A name longer than a directory node can hold is refused with the limit, rather than
// reported as an entry that does not exist.
void requireNameFits(const OpenLibrary& lib, const std::string& ansiName,
                     const std::u16string& shown) {
    const pbl::layout::Variant& v = lib.concrete().variant();
    const std::size_t limitBytes =
        static_cast<std::size_t>(pbl::layout::kNodeDataSize - v.entryHeaderSize - v.charSize);
    if (v.unicode) {
        if (ansiToWide(ansiName).size() * 2 > limitBytes)
            throw ToolFailure{displayPath(shown) + ": the name is too long: at most " +
                              std::to_string(limitBytes / 2) +
                              " UTF-16 characters in a Unicode library"};
    } else if (ansiName.size() > limitBytes) {
        throw ToolFailure{displayPath(shown) + ": the name is too long: at most " +
                          std::to_string(limitBytes) + " bytes in an ANSI library"};
    }
}

pbl::PblLibrary& libraryOf(const OpenLibrary& lib) {
    return lib.concrete();
}

// A library inside a larger file (an executable) is read-only: writing it would grow
// the file and move the trailer that finds the library off the file's last block. A
// changing command stops before it changes anything and says what to do instead.
void refuseHosted(const OpenLibrary& lib) {
    if (!libraryOf(lib).hosted()) return;
    throw ToolFailure{displayPath(lib.path) +
                      ": the library sits inside an executable and is read-only; rebuild it "
                      "into a .pbl file (keldrin-pbl rebuild " +
                      displayPath(lib.path) + " OUT.pbl)"};
}

// A size read from the library, checked against what the file could hold before it
// sizes a buffer: a damaged record must not drive a huge allocation.
void checkEntrySizes(const OpenLibrary& lib, const PblEntryInfo& info, const std::string& context) {
    std::int64_t mostData = lib.fileSize / kBlockSize * kDataBytesPerBlock;
    if (info.dataSize < 0 || info.commentSize < 0 || info.commentSize > info.dataSize ||
        info.dataSize > mostData)
        throw ToolFailure{context + ": " + codeText(pbl::kPblDamaged)};
}

std::vector<std::uint8_t> readEntry(OpenLibrary& lib, const PblEntryInfo& info,
                                    const std::string& context) {
    checkEntrySizes(lib, info, context);
    // Two spare bytes, as the library's own callers provide.
    std::vector<std::uint8_t> data(static_cast<std::size_t>(info.dataSize) + 2);
    check(lib->readEntryData(info, data.data()), context);
    data.resize(static_cast<std::size_t>(info.dataSize));
    return data;
}

// One entry as forEachEntry hands it out, its name in wide form.
struct EntryRecord {
    std::u16string name;
    PblEntryInfo info;
};

class EntryCollector : public pbl::PblEntryVisitor {
  public:
    int visit(PblEntryInfo& info) override {
        EntryRecord record;
        record.name = utf16FromLittleEndian(reinterpret_cast<const std::uint8_t*>(info.name.data()),
                                            info.name.size());
        // The name comes without terminator; a converter that keeps one must not add it.
        while (!record.name.empty() && record.name.back() == u'\0') record.name.pop_back();
        record.info = info;
        record.info.name.clear();
        entries.push_back(std::move(record));
        return 1;
    }
    std::vector<EntryRecord> entries;
};

std::vector<EntryRecord> listEntries(OpenLibrary& lib) {
    EntryCollector collector;
    check(lib->forEachEntry(collector), displayPath(lib.path));
    return std::move(collector.entries);
}

// The library comment as wide text.
std::u16string readComment(OpenLibrary& lib) {
    int size = 0;
    check(lib->getComment(nullptr, size), displayPath(lib.path));
    std::size_t capacity = lib->isUnicode() ? kUnicodeCommentCapacity : kAnsiCommentCapacity;
    if (size < 0 || static_cast<std::size_t>(size) > capacity)
        throw ToolFailure{displayPath(lib.path) + ": " + codeText(pbl::kPblDamaged)};
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 2, 0);
    check(lib->getComment(buffer.data(), size), displayPath(lib.path));
    std::size_t n = std::min(static_cast<std::size_t>(std::max(size, 0)), buffer.size());
    if (lib->isUnicode()) {
        std::u16string text = utf16FromLittleEndian(buffer.data(), n);
        return text.substr(0, text.find(u'\0'));
    }
    n = std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n), 0) -
        buffer.begin();
    return ansiBytesToWide(buffer.data(), n).value_or(std::u16string());
}

// The library data, its length checked against the file before it sizes a buffer.
std::vector<std::uint8_t> readLibraryBytes(OpenLibrary& lib) {
    int size = 0;
    check(lib->readLibraryData(nullptr, size), displayPath(lib.path));
    if (size < 0 || size > lib.fileSize / kBlockSize * kDataBytesPerBlock)
        throw ToolFailure{displayPath(lib.path) + ": " + codeText(pbl::kPblDamaged)};
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size) + 2);
    check(lib->readLibraryData(data.data(), size), displayPath(lib.path));
    data.resize(static_cast<std::size_t>(size));
    return data;
}

// Text given on the command line in the library's text encoding: ANSI bytes, or UTF-16LE.
std::string libraryText(PblLibraryInterface& library, const std::u16string& text,
                        const std::string& what) {
    if (hasUnpairedSurrogate(text)) throw ToolFailure{what + " is not valid UTF-8"};
    if (library.isUnicode()) return utf16LittleEndianBytes(text);
    return exactAnsi(text, what);
}

// ---------------------------------------------------------------------------------------
// Header and block facts for `info`, read through the library.

struct HeaderFacts {
    std::string versionText;  // UTF-8
    std::int64_t created = 0;
    std::int64_t libraryBlocks = 0;  // from the header block to the end of the file
    std::int64_t blocksInUse = 0;
    std::int64_t blocksFree = 0;
};

HeaderFacts readHeaderFacts(OpenLibrary& lib, bool withBlocks) {
    pbl::PblLibrary& library = libraryOf(lib);
    Bytes header;
    check(library.readHeader(header), displayPath(lib.path));
    const pbl::layout::Variant& v = library.variant();
    HeaderFacts facts;
    const std::uint8_t* version = header.data() + v.versionField;
    if (v.unicode)
        facts.versionText = utf16ToUtf8(
            utf16FromLittleEndian(version, static_cast<std::size_t>(v.versionFieldBytes)));
    else
        facts.versionText =
            utf16ToUtf8(ansiBytesToWide(version, static_cast<std::size_t>(v.versionFieldBytes))
                            .value_or(u"????"));
    facts.created = loadI32(header.data() + v.timeField);
    if (withBlocks) {
        facts.libraryBlocks = library.libraryBlocks();
        check(library.blockUsage(facts.blocksInUse, facts.blocksFree), displayPath(lib.path));
    }
    return facts;
}

// ---------------------------------------------------------------------------------------
// File output beside a target: a temporary name, then one atomic move.

// Removes a temporary file unless it was moved into place, also when the user
// interrupts the program.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::u16string path) : path_(std::move(path)) { watched_.watch(path_); }
    ~TemporaryFile() {
        if (!path_.empty()) watched_.remove();
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::u16string& path() const { return path_; }
    void keep() {
        watched_.forget();
        path_.clear();
    }

  private:
    std::u16string path_;
    interrupt::WatchedFile watched_;
};

// Creates a new, empty file with a name that did not exist, beside `target`. It is
// watched from the moment it exists, so an interrupt never leaves it behind.
TemporaryFile reserveTemporary(const std::u16string& target, std::u16string_view tag) {
    interrupt::HoldOff hold;
    std::u16string name = fs::createUniqueFile(
        [&](int n) {
            return target + u"." + std::u16string(tag) + utf8ToUtf16(std::to_string(n)) + u".tmp";
        },
        1000);
    if (name.empty())
        throw ToolFailure{displayPath(target) + ": cannot create a temporary file beside it"};
    return TemporaryFile(std::move(name));
}

void writeWholeFile(const std::u16string& path, std::span<const std::uint8_t> bytes) {
    std::FILE* file = fs::openFile(path, "wb");
    if (file == nullptr) throw ToolFailure{displayPath(path) + ": cannot write the file"};
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fs::syncFile(file) && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) throw ToolFailure{displayPath(path) + ": cannot write the file"};
}

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path) {
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok) return std::nullopt;
    return bytes;
}

// ---------------------------------------------------------------------------------------
// Commands

class PblTool {
  public:
    explicit PblTool(const PblToolStreams& streams) : io_(streams), out_(streams.out) {}

    int run(const std::vector<std::u16string>& args);

  private:
    void create(std::span<const std::u16string> args);
    void info(std::span<const std::u16string> args);
    void list(std::span<const std::u16string> args);
    void cat(std::span<const std::u16string> args);
    void put(std::span<const std::u16string> args);
    void removeEntry(std::span<const std::u16string> args);
    void comment(std::span<const std::u16string> args);
    void exportAll(std::span<const std::u16string> args);
    void rebuild(std::span<const std::u16string> args);
    void optimize(std::span<const std::u16string> args);

    std::vector<std::uint8_t> readInput(const std::optional<std::u16string>& path,
                                        std::size_t limit);
    void note(const std::string& text) {
        std::fprintf(io_.err, "keldrin-pbl: %s\n", text.c_str());
        std::fflush(io_.err);
    }
    void copyLibrary(OpenLibrary& source, const std::u16string& target, int version,
                     const std::string& context);
    OpenLibrary open(const std::u16string& path, bool writable) const {
        return openLibrary(path, writable, lockWaitMs_);
    }

    PblToolStreams io_;
    Output out_;
    // How long to wait for a library that another program is changing (--wait).
    int lockWaitMs_ = 10000;
};

int PblTool::run(const std::vector<std::u16string>& args) {
    try {
        std::size_t first = 0;
        if (!args.empty() && args[0] == u"--wait") {
            if (args.size() < 2) throw UsageFailure{"option --wait needs a value"};
            std::int32_t seconds = parseInt32(args[1], "--wait");
            constexpr std::int32_t kMaxWaitSeconds = 24 * 3600;
            if (seconds < 0 || seconds > kMaxWaitSeconds)
                throw UsageFailure{"--wait takes 0 to " + std::to_string(kMaxWaitSeconds) +
                                   " seconds"};
            lockWaitMs_ = seconds * 1000;
            first = 2;
        }
        if (args.size() <= first) throw UsageFailure{"no command given"};
        std::string command = utf16ToUtf8(args[first]);
        std::span<const std::u16string> rest(args.data() + first + 1, args.size() - first - 1);
        if (command == "create")
            create(rest);
        else if (command == "info")
            info(rest);
        else if (command == "ls")
            list(rest);
        else if (command == "cat")
            cat(rest);
        else if (command == "put")
            put(rest);
        else if (command == "rm")
            removeEntry(rest);
        else if (command == "comment")
            comment(rest);
        else if (command == "export")
            exportAll(rest);
        else if (command == "rebuild")
            rebuild(rest);
        else if (command == "optimize")
            optimize(rest);
        else if (command == "help" || command == "--help" || command == "-h") {
            out_.write(kUsage);
        } else {
            throw UsageFailure{"unknown command " + displayPath(args[0])};
        }
        out_.finish();
        return kPblToolOk;
    } catch (const UsageFailure& failure) {
        std::fprintf(io_.err, "keldrin-pbl: %s\n%s", failure.message.c_str(), kUsage);
        std::fflush(io_.err);
        return kPblToolUsage;
    } catch (const ToolFailure& failure) {
        note(failure.message);
        return kPblToolFailed;
    } catch (const std::bad_alloc&) {
        note("out of memory");
        return kPblToolFailed;
    }
}

void PblTool::create(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {}, 2, 2);
    const std::u16string& path = parsed.positional[0];
    std::int32_t version = parseInt32(parsed.positional[1], "VERSION");
    if (version < 5) throw UsageFailure{"VERSION must be 5 or higher"};
    // Never over an existing file: it may be someone's library.
    if (fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": already exists"};
    PblManagerHandle manager = newManager(lockWaitMs_);
    TemporaryFile temporary(reserveTemporary(path, u"create"));
    check(manager->createLibrary(temporary.path(), version), displayPath(path));
    if (!fs::renameNoReplace(temporary.path(), path)) {
        if (fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": already exists"};
        throw ToolFailure{displayPath(path) + ": cannot create the file"};
    }
    temporary.keep();
}

void PblTool::info(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--json", false}}, 1, 1);
    const std::u16string& path = parsed.positional[0];
    OpenLibrary lib = open(path, false);
    HeaderFacts facts = readHeaderFacts(lib, true);
    const bool hosted = libraryOf(lib).hosted();
    std::u16string comment = readComment(lib);
    int libraryDataLength = 0;
    check(lib->readLibraryData(nullptr, libraryDataLength), displayPath(path));
    std::size_t entries = listEntries(lib).size();
    bool unicode = lib->isUnicode() != 0;
    std::string commentText = utf16ToUtf8(comment);

    if (parsed.has("--json")) {
        std::string json = "{";
        json += "\"variant\": " + jsonString(unicode ? "Unicode" : "ANSI");
        json += ", \"header_version\": " + jsonString(facts.versionText);
        json += ", \"version\": " + std::to_string(lib->version());
        json += ", \"created\": " + std::to_string(facts.created);
        json += ", \"comment\": " + jsonString(commentText);
        json += ", \"library_data_length\": " + std::to_string(libraryDataLength);
        json += ", \"entries\": " + std::to_string(entries);
        json += ", \"file_blocks\": " + std::to_string(facts.libraryBlocks);
        json += ", \"blocks_in_use\": " + std::to_string(facts.blocksInUse);
        json += ", \"blocks_free\": " + std::to_string(facts.blocksFree);
        if (hosted) json += ", \"header_offset\": " + std::to_string(libraryOf(lib).headerOffset());
        json += "}";
        out_.line(json);
        return;
    }
    out_.line(std::string("variant: ") + (unicode ? "Unicode" : "ANSI"));
    out_.line("header version: " + escapeControls(facts.versionText));
    out_.line("version: " + std::to_string(lib->version()));
    out_.line("created: " + isoTime(facts.created));
    out_.line("comment: " + escapeControls(commentText));
    out_.line("library data: " + std::to_string(libraryDataLength) + " bytes");
    out_.line("entries: " + std::to_string(entries));
    out_.line("blocks: " + std::to_string(facts.libraryBlocks) +
              (hosted ? " in library, " : " in file, ") + std::to_string(facts.blocksInUse) +
              " in use, " + std::to_string(facts.blocksFree) + " free");
    if (hosted)
        out_.line("inside a larger file: header at byte " +
                  std::to_string(libraryOf(lib).headerOffset()) + ", read-only");
}

void PblTool::list(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--json", false}}, 1, 1);
    OpenLibrary lib = open(parsed.positional[0], false);
    std::vector<EntryRecord> entries = listEntries(lib);
    if (parsed.has("--json")) {
        if (entries.empty()) {
            out_.line("[]");
            return;
        }
        out_.line("[");
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const EntryRecord& e = entries[i];
            out_.line("  {\"name\": " + jsonString(utf16ToUtf8(e.name)) +
                      ", \"data_size\": " + std::to_string(e.info.dataSize) +
                      ", \"comment_size\": " + std::to_string(e.info.commentSize) + ", \"time\": " +
                      std::to_string(e.info.time) + "}" + (i + 1 < entries.size() ? "," : ""));
        }
        out_.line("]");
        return;
    }
    for (const EntryRecord& e : entries)
        out_.line(escapeControls(utf16ToUtf8(e.name)) + "\t" + std::to_string(e.info.dataSize) +
                  "\t" + std::to_string(e.info.commentSize) + "\t" + isoTime(e.info.time));
}

void PblTool::cat(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--comment", false}}, 2, 2);
    const std::u16string& name = parsed.positional[1];
    std::string ansiName = entryName(name, true);
    OpenLibrary lib = open(parsed.positional[0], false);
    requireNameFits(lib, ansiName, name);
    PblEntryInfo info{};
    int code = lib->findEntry(ansiName.c_str(), info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    check(code, displayPath(name));
    std::vector<std::uint8_t> data = readEntry(lib, info, displayPath(name));
    auto split = data.begin() + info.commentSize;
    std::string bytes =
        parsed.has("--comment") ? std::string(data.begin(), split) : std::string(split, data.end());
    out_.write(bytes);
}

std::vector<std::uint8_t> PblTool::readInput(const std::optional<std::u16string>& path,
                                             std::size_t limit) {
    bool fromStdin = !path || *path == u"-";
    std::FILE* file = fromStdin ? io_.in : fs::openFile(*path, "rb");
    if (file == nullptr) throw ToolFailure{displayPath(*path) + ": cannot open the file"};
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    bool ok = true;
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (n > limit - bytes.size()) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    bool readFailed = std::ferror(file) != 0;
    if (!fromStdin) std::fclose(file);
    std::string source = fromStdin ? std::string("standard input") : displayPath(*path);
    if (!ok) throw ToolFailure{source + ": too large for a library entry"};
    if (readFailed) throw ToolFailure{source + ": cannot read"};
    return bytes;
}

void PblTool::put(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--comment", true}, {"--time", true}}, 2, 3);
    const std::u16string& path = parsed.positional[0];
    const std::u16string& name = parsed.positional[1];
    std::string ansiName = entryName(name);
    std::optional<std::int32_t> time;
    if (auto text = parsed.value("--time")) time = parseInt32(*text, "--time");
    std::optional<std::u16string> source;
    if (parsed.positional.size() == 3) source = parsed.positional[2];

    OpenLibrary lib = open(path, true);
    refuseHosted(lib);
    requireNameFits(lib, ansiName, name);
    std::string comment;
    if (auto text = parsed.value("--comment"))
        comment = libraryText(*lib.library, *text, "the comment");
    // A Unicode comment is whole UTF-16 characters, so its limit is the even one below.
    const std::size_t commentLimit =
        lib->isUnicode() != 0 ? kMaxCommentBytes / 2 * 2 : kMaxCommentBytes;
    if (comment.size() > commentLimit)
        throw ToolFailure{"the comment is too long: at most " + std::to_string(commentLimit) +
                          " bytes"};
    // The whole input is read before the library changes, so a failed read changes nothing.
    std::vector<std::uint8_t> data(comment.begin(), comment.end());
    std::vector<std::uint8_t> body = readInput(source, kMaxEntryBytes - comment.size());
    data.insert(data.end(), body.begin(), body.end());
    std::uint8_t none = 0;

    PblEntryInfo info{};
    check(lib->findEntry(ansiName.c_str(), info, 1), displayPath(name));
    info.time = time.value_or(0);
    check(lib->writeEntryData(info, data.empty() ? &none : data.data(),
                              static_cast<int>(body.size()), static_cast<short>(comment.size())),
          displayPath(name));
    if (time) {
        info.time = *time;
        check(lib->writeEntryTime(info), displayPath(name));
    }
    lib.close();
}

void PblTool::removeEntry(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {}, 2, 2);
    const std::u16string& name = parsed.positional[1];
    std::string ansiName = entryName(name, true);
    OpenLibrary lib = open(parsed.positional[0], true);
    refuseHosted(lib);
    requireNameFits(lib, ansiName, name);
    PblEntryInfo info{};
    int code = lib->findEntry(ansiName.c_str(), info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    check(code, displayPath(name));
    check(lib->deleteEntry(info), displayPath(name));
    lib.close();
}

void PblTool::comment(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {}, 1, 2);
    bool setting = parsed.positional.size() == 2;
    OpenLibrary lib = open(parsed.positional[0], setting);
    if (!setting) {
        out_.line(escapeControls(utf16ToUtf8(readComment(lib))));
        return;
    }
    refuseHosted(lib);
    const std::u16string& text = parsed.positional[1];
    std::string stored = libraryText(*lib.library, text, "the comment");
    bool unicode = lib->isUnicode() != 0;
    std::size_t capacity = unicode ? kUnicodeCommentCapacity : kAnsiCommentCapacity;
    if (stored.size() + (unicode ? 2 : 1) > capacity)
        throw ToolFailure{
            unicode ? "the comment is too long: at most 255 UTF-16 characters in a Unicode library"
                    : "the comment is too long: at most 255 bytes in an ANSI library"};
    if (unicode)
        check(lib->setComment(text.c_str()), displayPath(lib.path));
    else
        check(lib->setComment(stored.c_str()), displayPath(lib.path));
    lib.close();
}

// ---------------------------------------------------------------------------------------
// export

// The entry's data as the file's content: UTF-8 text, or the stored bytes when asked for
// them or when the bytes are not text in the library's encoding (a conversion that would
// not give them back exactly would lose data).
std::optional<std::string> entryAsUtf8(bool unicodeLibrary, const std::uint8_t* body,
                                       std::size_t size) {
    if (unicodeLibrary) {
        if (size % 2 != 0) return std::nullopt;
        std::u16string text = utf16FromLittleEndian(body, size);
        if (hasUnpairedSurrogate(text)) return std::nullopt;
        return utf16ToUtf8(text);
    }
    std::optional<std::u16string> wide = ansiBytesToWide(body, size);
    if (!wide || hasUnpairedSurrogate(*wide)) return std::nullopt;
    std::optional<std::string> back = wideToAnsiBytes(*wide);
    if (!back || back->size() != size || (size != 0 && std::memcmp(back->data(), body, size) != 0))
        return std::nullopt;
    return utf16ToUtf8(*wide);
}

void PblTool::exportAll(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--raw", false}}, 2, 2);
    const std::u16string& directory = parsed.positional[1];
    bool raw = parsed.has("--raw");
    OpenLibrary lib = open(parsed.positional[0], false);
    std::vector<EntryRecord> entries = listEntries(lib);
    bool unicode = lib->isUnicode() != 0;
    if (!fs::makeDirectory(directory))
        throw ToolFailure{displayPath(directory) + ": cannot create the directory"};

    std::set<std::u16string> taken;
    for (const EntryRecord& entry : entries) {
        std::string shown = escapeControls(utf16ToUtf8(entry.name));
        std::u16string fileName = exportFileName(entry.name);
        // Two entries must never share a file: the second one would replace the first.
        if (!taken.insert(foldedFileName(fileName)).second) {
            std::size_t dot = fileName.find(u'.', 1);
            std::u16string stem = fileName.substr(0, dot);
            std::u16string extension =
                dot == std::u16string::npos ? std::u16string() : fileName.substr(dot);
            for (int n = 2;; ++n) {
                std::u16string candidate = stem;
                candidate += u'~';
                candidate += utf8ToUtf16(std::to_string(n));
                candidate += extension;
                if (taken.insert(foldedFileName(candidate)).second) {
                    fileName = candidate;
                    break;
                }
            }
        }
        if (fileName != entry.name) note(shown + ": exported as " + utf16ToUtf8(fileName));

        std::vector<std::uint8_t> data = readEntry(lib, entry.info, shown);
        const std::uint8_t* body = data.data() + entry.info.commentSize;
        std::size_t bodySize = data.size() - static_cast<std::size_t>(entry.info.commentSize);
        std::string content;
        std::optional<std::string> text = raw ? std::nullopt : entryAsUtf8(unicode, body, bodySize);
        if (text) {
            content = std::move(*text);
        } else {
            if (!raw)
                note(shown + ": not text in the library's encoding; exported its stored bytes");
            content.assign(reinterpret_cast<const char*>(body), bodySize);
        }

        std::u16string target = joinPath(directory, fileName);
        TemporaryFile temporary(reserveTemporary(joinPath(directory, u".keldrin-export"), u""));
        writeWholeFile(temporary.path(),
                       std::span<const std::uint8_t>(
                           reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
        // A rename replaces whatever stands at the name (a link included) instead of
        // writing through it.
        if (!fs::replaceFile(temporary.path(), target))
            throw ToolFailure{displayPath(target) + ": cannot write the file"};
        temporary.keep();
        if (!fs::setModificationTime(target, entry.info.time))
            throw ToolFailure{displayPath(target) + ": cannot set the modification time"};
    }
}

// ---------------------------------------------------------------------------------------
// rebuild and optimize

void PblTool::copyLibrary(OpenLibrary& source, const std::u16string& target, int version,
                          const std::string& context) {
    std::string ansiTarget = exactAnsi(target, displayPath(target));
    // The rebuild creates the entries through findEntry, which takes narrow names, so it
    // needs the names handed out in the ANSI form while it runs.
    source.manager->setNameEncoding(pbl::kNameAnsi);
    int code = source->copyTo(ansiTarget.c_str(), version);
    source.manager->setNameEncoding(pbl::kNameUtf16);
    if (code == pbl::kPblInvalidArgument && version <= 0 && source->version() < 5) {
        std::string headerVersion = "0" + std::to_string(source->version()) + "00";
        try {
            headerVersion = readHeaderFacts(source, false).versionText;
        } catch (const ToolFailure&) {
            // The number the library recognised is shown instead.
        }
        throw ToolFailure{displayPath(source.path) + ": a library with header version " +
                          escapeControls(headerVersion) +
                          " cannot be rebuilt in its own version; give --version 5 or higher"};
    }
    check(code, context);
}

// The --version option of rebuild and optimize: 0 when absent (keep the version).
int versionOption(const ParsedArgs& parsed) {
    auto text = parsed.value("--version");
    if (!text) return 0;
    std::int32_t version = parseInt32(*text, "--version");
    if (version < 5) throw UsageFailure{"--version must be 5 or higher"};
    return version;
}

// The directory a file would be made in, for a message that names it when it is missing.
std::u16string parentDirectory(const std::u16string& path) {
#if defined(_WIN32)
    std::size_t end = path.find_last_of(u"/\\:");
#else
    std::size_t end = path.rfind(u'/');
#endif
    if (end == std::u16string::npos) return u".";
    return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

void requireDirectoryOf(const std::u16string& path) {
    std::u16string directory = parentDirectory(path);
    if (!fs::fileExists(directory))
        throw ToolFailure{displayPath(path) + ": the directory " + displayPath(directory) +
                          " does not exist"};
}

void PblTool::rebuild(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--version", true}}, 2, 2);
    const std::u16string& path = parsed.positional[0];
    const std::u16string& target = parsed.positional[1];
    int version = versionOption(parsed);
    if (fs::sameFile(path, target))
        throw ToolFailure{displayPath(target) +
                          ": is the library itself; use optimize to rebuild in place"};
    requireDirectoryOf(target);
    OpenLibrary lib = open(path, false);
    // A library that OUT already holds is replaced whole: hold its lock meanwhile, so no
    // other program's change to it is lost in the replacement.
    std::optional<OpenLibrary> previous;
    if (fs::fileExists(target)) {
        if (fs::isWriteProtected(target))
            throw ToolFailure{displayPath(target) + ": the file is write-protected"};
        PblManagerHandle probe = newManager(lockWaitMs_);
        PblLibraryInterface* held =
            fs::canReplaceOpenFile() ? probe->openLibrary(target, 0) : nullptr;
        if (held != nullptr) {
            previous.emplace();
            previous->manager = std::move(probe);
            previous->library.reset(held);
            previous->path = target;
        } else if (probe->lastResult() == pbl::kPblBusy) {
            throw ToolFailure{displayPath(target) + ": " + codeText(pbl::kPblBusy)};
        }
    }
    copyLibrary(lib, target, version, displayPath(target));
}

// Entry by entry, the rebuilt library holds what the original held. Into the other
// variant the comments are converted text, so there only the bodies are compared.
void verifyCopy(OpenLibrary& original, OpenLibrary& copy) {
    std::vector<EntryRecord> before = listEntries(original);
    std::vector<EntryRecord> after = listEntries(copy);
    std::string differs =
        displayPath(copy.path) + ": the rebuilt library differs from the original";
    const bool sameVariant = original->isUnicode() == copy->isUnicode();
    if (before.size() != after.size()) throw ToolFailure{differs};
    auto byName = [](const EntryRecord& a, const EntryRecord& b) { return a.name < b.name; };
    std::sort(before.begin(), before.end(), byName);
    std::sort(after.begin(), after.end(), byName);
    for (std::size_t i = 0; i < before.size(); ++i) {
        const PblEntryInfo& a = before[i].info;
        const PblEntryInfo& b = after[i].info;
        if (before[i].name != after[i].name || a.time != b.time ||
            a.dataSize - a.commentSize != b.dataSize - b.commentSize ||
            (sameVariant && a.commentSize != b.commentSize))
            throw ToolFailure{differs};
        std::string shown = escapeControls(utf16ToUtf8(before[i].name));
        std::vector<std::uint8_t> was = readEntry(original, a, shown);
        std::vector<std::uint8_t> is = readEntry(copy, b, shown);
        if (!sameVariant) {
            was.erase(was.begin(), was.begin() + a.commentSize);
            is.erase(is.begin(), is.begin() + b.commentSize);
        }
        if (was != is) throw ToolFailure{differs};
    }
    if ((sameVariant && readComment(original) != readComment(copy)) ||
        readLibraryBytes(original) != readLibraryBytes(copy))
        throw ToolFailure{differs};
}

void PblTool::optimize(std::span<const std::u16string> args) {
    ParsedArgs parsed = parseArgs(args, {{"--version", true}, {"--force", false}}, 1, 1);
    const std::u16string& path = parsed.positional[0];
    int version = versionOption(parsed);
    const bool force = parsed.has("--force");
    std::u16string backupPath = path + u".bak";
    // The exclusive lock is held to the end: a change another program made between our
    // reading and the replacement would be lost. Writers that waited meanwhile find the
    // name leads to the new file when they get the lock, and open that one.
    OpenLibrary lib = open(path, true);
    refuseHosted(lib);
    if (!force && fs::fileExists(backupPath))
        throw ToolFailure{displayPath(backupPath) +
                          ": already exists; remove it, or give --force to replace it"};

    // The new library is built and checked beside the original; the original is only
    // replaced, in one step, once the copy and the backup are both complete.
    TemporaryFile rebuilt(reserveTemporary(path, u"optimize"));
    copyLibrary(lib, rebuilt.path(), version, displayPath(path));
    {
        OpenLibrary copy = open(rebuilt.path(), false);
        verifyCopy(lib, copy);
    }

    std::optional<std::vector<std::uint8_t>> original = readWholeFile(path);
    if (!original) throw ToolFailure{displayPath(path) + ": cannot read the file"};
    TemporaryFile backup(reserveTemporary(backupPath, u""));
    writeWholeFile(backup.path(), *original);
    if (readWholeFile(backup.path()) != original)
        throw ToolFailure{displayPath(backupPath) + ": cannot write the backup"};
    // Both files stand in for the original: they keep its owner and permissions, so a
    // private library stays private.
    if (!fs::keepAttributes(path, backup.path()) || !fs::keepAttributes(path, rebuilt.path()))
        throw ToolFailure{displayPath(path) +
                          ": cannot give the new files the library's permissions"};
    {
        interrupt::HoldOff hold;  // moved into place and no longer a temporary, together
        const bool backedUp = force ? fs::replaceFile(backup.path(), backupPath)
                                    : fs::renameNoReplace(backup.path(), backupPath);
        if (!backedUp) {
            if (!force && fs::fileExists(backupPath))
                throw ToolFailure{displayPath(backupPath) +
                                  ": already exists; remove it, or give --force to replace it"};
            throw ToolFailure{displayPath(backupPath) + ": cannot write the backup"};
        }
        backup.keep();
    }
    // Where an open file cannot be replaced, the lock goes a moment early.
    if (!fs::canReplaceOpenFile()) lib.library.reset();
    {
        interrupt::HoldOff hold;
        if (!fs::replaceFile(rebuilt.path(), path))
            throw ToolFailure{displayPath(path) + ": cannot replace the library; it is unchanged"};
        rebuilt.keep();
    }
    lib.close();
}

}  // namespace

int runPblTool(const std::vector<std::u16string>& args, const PblToolStreams& streams) {
    PblTool tool(streams);
    return tool.run(args);
}

int runPblTool(const std::vector<std::u16string>& args) {
    return runPblTool(args, PblToolStreams{});
}

}  // namespace keldrin
