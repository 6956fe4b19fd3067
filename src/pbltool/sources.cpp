// keldrin-pbl's commands that move sources between a library and PowerBuilder's export
// files: export (one file per entry) and import (files back into a library).
//
// Export writes each file under a temporary name beside its target and renames it into
// place, so a target is either what it was or complete; nothing is synced unless asked
// (--sync: each file before its rename, the directory's names once at the end): a
// directory of exports is cheap to write again.
//
// Import reads and parses every file before it opens the library (a slow file holds no
// lock), checks them all before the library changes, and makes all its changes as one:
// a bad file names itself and leaves the library as it was.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/replacement_file.h"
#include "base/text.h"
#include "pbl/export_file.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/line_ends.h"
#include "pbltool/sources.h"
#include "pbltool/text.h"
#include "pbltool/workspace.h"

namespace keldrin::tool {

namespace {

using pbl::ExportEncoding;

std::string shownName(const std::u16string& name) {
    return escapeControls(utf16ToUtf8(name));
}

// ANSI code page bytes as wide text, only when the conversion gives the same bytes back.
std::optional<std::u16string> exactWide(std::string_view bytes) {
    std::optional<std::u16string> wide =
        ansiBytesToWide(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (!wide || hasUnpairedSurrogate(*wide) || wideToAnsiBytes(*wide) != bytes)
        return std::nullopt;
    return wide;
}

// Wide text as ANSI code page bytes, only when every character has its exact form. The
// text goes there and back a piece at a time (never between the halves of a surrogate
// pair; a code page maps each character on its own), so that a large source is not held
// in two more wide copies while it is checked.
std::optional<std::string> exactAnsiBytes(std::u16string_view wide) {
    if (hasUnpairedSurrogate(wide)) return std::nullopt;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::string bytes;
    bytes.reserve(wide.size());
    while (!wide.empty()) {
        std::size_t n = std::min(kPiece, wide.size());
        if (n < wide.size() && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) --n;
        const std::u16string_view piece = wide.substr(0, n);
        std::optional<std::string> ansi = wideToAnsiBytes(piece);
        if (!ansi || ansiBytesToWide(reinterpret_cast<const std::uint8_t*>(ansi->data()),
                                     ansi->size()) != piece)
            return std::nullopt;
        bytes += *ansi;
        wide.remove_prefix(n);
    }
    return bytes;
}

std::string_view asChars(ByteSpan bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The export file of one source entry (its comment and body as stored), or why it
// cannot be written in `encoding`.
pbl::WrittenExportFile exportFileOf(bool unicodeLibrary, ExportEncoding encoding,
                                    const std::u16string& name, ByteSpan comment, ByteSpan body,
                                    const std::optional<pbl::BinaryEntry>& binary) {
    pbl::WrittenExportFile failed;
    if (unicodeLibrary) {
        if (comment.size() % 2 != 0 || body.size() % 2 != 0) {
            failed.error = "not UTF-16 text (an odd number of bytes)";
            return failed;
        }
        pbl::WideExportTexts texts{name, *pbl::decodeStoredField(true, comment),
                                   *pbl::decodeStoredField(true, body), binary};
        if (encoding != ExportEncoding::kAnsi) return pbl::writeExportFile(encoding, texts);
        std::optional<std::string> ansiName = exactAnsiBytes(texts.name);
        std::optional<std::string> ansiComment = exactAnsiBytes(texts.comment);
        std::optional<std::string> ansiSource = exactAnsiBytes(texts.source);
        if (!ansiName || !ansiComment || !ansiSource) {
            failed.error =
                "has characters the ANSI code page cannot hold; export it as hexascii, utf8 "
                "or utf16le";
            return failed;
        }
        return pbl::writeAnsiExportFile({*ansiName, *ansiComment, *ansiSource, binary});
    }
    std::optional<std::string> ansiName = exactAnsiBytes(name);
    if (!ansiName) {
        failed.error = "the name cannot be written exactly in the ANSI code page";
        return failed;
    }
    if (encoding == ExportEncoding::kAnsi)
        return pbl::writeAnsiExportFile(
            {*ansiName, std::string(asChars(comment)), std::string(asChars(body)), binary});
    std::optional<std::u16string> wideComment = exactWide(asChars(comment));
    std::optional<std::u16string> wideSource = exactWide(asChars(body));
    if (!wideComment || !wideSource) {
        failed.error = "not text in the ANSI code page; export it as ansi";
        return failed;
    }
    return pbl::writeExportFile(encoding, {name, *wideComment, *wideSource, binary});
}

// The entry's file name in the export directory, never one that an earlier entry took
// (`taken` holds them as a case-insensitive file system compares them): the second
// file would replace the first.
std::u16string distinctFileName(const std::u16string& entryName, std::set<std::u16string>& taken) {
    std::u16string fileName = exportFileName(entryName);
    if (taken.insert(foldedFileName(fileName)).second) return fileName;
    std::size_t dot = fileName.find(u'.', 1);
    std::u16string stem = fileName.substr(0, dot);
    std::u16string extension =
        dot == std::u16string::npos ? std::u16string() : fileName.substr(dot);
    for (int n = 2;; ++n) {
        std::u16string candidate = stem;
        candidate += u'~';
        candidate += utf8ToUtf16(std::to_string(n));
        candidate += extension;
        if (taken.insert(foldedFileName(candidate)).second) return candidate;
    }
}

// Puts `content` at `target` in one rename, with the entry's time; its data on disk
// first when `durability` asks.
void writeExportedFile(const std::u16string& directory, const std::u16string& target,
                       ByteSpan content, std::int32_t time, fs::Durability durability) {
    fs::ReplacementFile file;
    const auto nameFor = [&](int n) {
        return path::join(directory, u".keldrin-export." + numberToText(n) + u".tmp");
    };
    if (!file.create(target, nameFor))
        throw ToolFailure{displayPath(target) + ": cannot create a temporary file beside it"};
    writeReplacement(file, content);
    // The time is set by name, which a file still open for writing may refuse.
    if (!file.letGo() || !fs::setModificationTime(file.path(), time))
        throw ToolFailure{displayPath(target) + ": cannot set the modification time"};
    // A rename replaces whatever stands at the name (a link included) instead of
    // writing through it.
    commitReplacement(file, fs::Replace::kYes, durability, "cannot write the file");
}

// The files an export created, removed again unless it finishes (keep()).
class CreatedFiles {
  public:
    CreatedFiles() = default;
    ~CreatedFiles() {
        if (!kept_)
            for (const std::u16string& file : paths_) (void)fs::removeFile(file);
    }
    CreatedFiles(const CreatedFiles&) = delete;
    CreatedFiles& operator=(const CreatedFiles&) = delete;
    void add(std::u16string file) { paths_.push_back(std::move(file)); }
    void keep() { kept_ = true; }

  private:
    std::vector<std::u16string> paths_;
    bool kept_ = false;
};

// "done/total" on one terminal line, redrawn only when the percentage moves.
class Progress {
  public:
    Progress(std::FILE* stream, bool shown, std::size_t total)
        : stream_(shown ? stream : nullptr), total_(total) {}
    ~Progress() {
        if (stream_ != nullptr && drawn_) std::fputs("\n", stream_);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void step(std::size_t done) {
        if (stream_ == nullptr || total_ == 0) return;
        const std::size_t percent = done * 100 / total_;
        if (drawn_ && percent == percent_ && done != total_) return;
        percent_ = percent;
        drawn_ = true;
        std::fprintf(stream_, "\rexported %zu/%zu", done, total_);
        std::fflush(stream_);
    }

  private:
    std::FILE* stream_;
    std::size_t total_;
    std::size_t percent_ = 0;
    bool drawn_ = false;
};

ExportEncoding encodingOption(const ParsedArgs& args, bool unicodeLibrary) {
    std::optional<std::u16string> name = args.value("--encoding");
    // What PowerBuilder of the library's generation writes: ANSI libraries come from 9
    // and earlier; a Unicode library's header does not tell 10-2017 (HEXASCII) from
    // 2019 and later (UTF-8), and HEXASCII is what every Unicode release imports.
    if (!name) return unicodeLibrary ? ExportEncoding::kHexAscii : ExportEncoding::kAnsi;
    std::optional<ExportEncoding> encoding = pbl::exportEncodingFromName(utf16ToUtf8(*name));
    if (!encoding)
        throw UsageFailure{"unknown encoding " + displayPath(*name) +
                           " (ansi, hexascii, utf8 or utf16le)"};
    return *encoding;
}

}  // namespace

void runExport(ToolContext& context, const ParsedArgs& args) {
    if (args.has("--layout")) {
        runWorkspaceExport(context, args);
        return;
    }
    if (args.positional.size() != 2)
        throw UsageFailure{"export takes one LIB and a DIR; several libraries take --layout"};
    const std::u16string& directory = args.positional[1];
    const bool raw = args.has("--raw");
    const bool all = args.has("--all");
    const bool sync = args.has("--sync");
    if (raw && args.has("--encoding"))
        throw UsageFailure{"--raw writes the stored bytes; it takes no --encoding"};
    OpenLibrary lib = context.open(args.positional[0], false);
    const bool unicode = lib->isUnicode() != 0;
    const ExportEncoding encoding = encodingOption(args, unicode);
    std::vector<EntryRecord> entries = listEntries(lib);
    // PowerBuilder's export of an object with binary data carries its ".bin" entry (an
    // OLE control's state) in a section after the source; such an entry is then no file
    // of its own. One a section cannot carry exactly stays out, and a note says so.
    std::map<std::u16string, pbl::BinaryEntry> binaryOf;  // source name key -> its entry
    std::set<std::u16string> carried;                     // name keys of those entries
    if (!raw) {
        std::map<std::u16string, const EntryRecord*> byName;
        for (const EntryRecord& entry : entries) byName[pbl::entryNameKey(entry.name)] = &entry;
        for (const EntryRecord& entry : entries) {
            if (!pbl::isSourceEntryName(entry.name)) continue;
            const std::u16string binName = pbl::binaryEntryName(entry.name);
            auto bin = byName.find(pbl::entryNameKey(binName));
            if (bin == byName.end()) continue;
            const EntryRecord& binary = *bin->second;
            std::vector<std::uint8_t> stored = readEntry(lib, binary.info, shownName(binary.name));
            pbl::BinaryEntry carriedEntry{utf16ToUtf8(binary.name), {}};
            carriedEntry.data.assign(
                stored.begin() + static_cast<std::ptrdiff_t>(binary.info.commentSize),
                stored.end());
            // The section has no place for a comment.
            if (binary.info.commentSize != 0 || !pbl::encodeBinarySection(carriedEntry)) {
                context.note(shownName(entry.name) + ": its binary data (" +
                             shownName(binary.name) +
                             ", an OLE control's state) is not in the layout PowerBuilder's "
                             "binary data section carries, so it stays out of the file; "
                             "export --all writes that entry as stored");
                continue;
            }
            carried.insert(pbl::entryNameKey(binary.name));
            binaryOf.emplace(pbl::entryNameKey(entry.name), std::move(carriedEntry));
        }
    }
    std::erase_if(entries, [&](const EntryRecord& entry) {
        return (!all && !pbl::isSourceEntryName(entry.name)) ||
               carried.count(pbl::entryNameKey(entry.name)) != 0;
    });

    const bool workspace = args.has(kWorkspaceExport);
    auto exportSource = [&](const EntryRecord& entry, ByteSpan stored) {
        const auto commentSize = static_cast<std::size_t>(entry.info.commentSize);
        auto binary = binaryOf.find(pbl::entryNameKey(entry.name));
        ByteSpan body = stored.subspan(commentSize);
        if (workspace)
            body = body.first(body.size() - workspaceOmittedTail(unicode, entry.name, body));
        pbl::WrittenExportFile file = exportFileOf(
            unicode, encoding, entry.name, stored.first(commentSize), body,
            binary == binaryOf.end() ? std::nullopt : std::make_optional(binary->second));
        if (!file.error.empty())
            throw ToolFailure{shownName(entry.name) + ": cannot be exported as " +
                              std::string(pbl::exportEncodingName(encoding)) + ": " + file.error};
        return file;
    };
    // Every entry is read, and every source's file made, before the first file is
    // written: in any encoding a text may be one no file carries (a line break in a
    // comment), and an entry may be unreadable, and either leaves the directory as it was.
    forEachEntryData(lib, entries, [&](std::size_t i, ByteSpan stored) {
        const EntryRecord& entry = entries[i];
        if (!raw && pbl::isSourceEntryName(entry.name)) (void)exportSource(entry, stored);
    });

    if (args.has(kWorkspaceCheckOnly)) return;
    // A directory that does not exist yet holds nobody's files: the export is written
    // into a new directory beside it, file by file under their own names, and put in
    // place with one rename, so DIR appears whole or not at all. Into an existing
    // directory each file replaces its namesake on its own.
    const std::u16string target = withoutTrailingSeparators(directory);
    std::u16string parent = path::parent(target);
    if (parent.empty()) parent = u".";
    std::optional<TemporaryDirectory> fresh;
    if (!fs::fileExists(target)) {
        if (!fs::makeDirectories(parent))
            throw ToolFailure{displayPath(parent) + ": cannot create the directory"};
        fresh.emplace(target, u"export");
    } else if (!fs::isDirectory(target)) {
        throw ToolFailure{displayPath(directory) + ": cannot create the directory"};
    }
    const fs::Durability durability = sync ? fs::Durability::kFileData : fs::Durability::kNone;
    Progress progress(context.io.err, !args.has("--quiet") && fs::isTerminal(context.io.err),
                      entries.size());
    // File names are given in name order, so that which entry gets a "~2" does not
    // depend on where its data lies; the data is then read the way the file lies.
    std::set<std::u16string> taken;
    std::vector<std::u16string> fileNames;
    fileNames.reserve(entries.size());
    for (const EntryRecord& entry : entries) {
        fileNames.push_back(distinctFileName(entry.name, taken));
        if (fileNames.back() != entry.name)
            context.note(shownName(entry.name) + ": exported as " + utf16ToUtf8(fileNames.back()));
    }
    // What still fails part-way (a full disk, an entry that changed since the check)
    // takes back the files this export created; one it replaced cannot be had back.
    CreatedFiles created;
    std::size_t done = 0;
    forEachEntryData(lib, entries, [&](std::size_t i, ByteSpan stored) {
        const EntryRecord& entry = entries[i];
        const auto commentSize = static_cast<std::size_t>(entry.info.commentSize);
        // Compiled objects are binary: written as stored, never transcoded.
        pbl::WrittenExportFile file;
        if (raw || !pbl::isSourceEntryName(entry.name)) {
            file.bytes.assign(stored.begin() + static_cast<std::ptrdiff_t>(commentSize),
                              stored.end());
        } else {
            file = exportSource(entry, stored);
        }
        if (fresh) {
            writeNewFile(path::join(fresh->path(), fileNames[i]), file.bytes, durability,
                         entry.info.time);
        } else {
            std::u16string name = path::join(target, fileNames[i]);
            const bool existed = fs::fileExists(name);
            writeExportedFile(target, name, file.bytes, entry.info.time, durability);
            if (!existed) created.add(std::move(name));
        }
        progress.step(++done);
    });
    if (!fresh) {
        created.keep();
        if (sync) syncDirectoryNames(target);
        return;
    }
    if (sync) syncDirectoryNames(fresh->path());
    if (!fs::renameNoReplace(fresh->path(), target)) {
        if (fs::fileExists(target))
            throw ToolFailure{displayPath(target) +
                              ": was created by someone else while the export was written; "
                              "nothing was written into it"};
        throw ToolFailure{displayPath(target) + ": cannot put the export in place"};
    }
    fresh->release();
    if (sync) syncDirectoryNames(parent);
}

// The files PATH stands for: itself, or a directory's export files (names ending in
// .sr and one letter, as export writes them; other files there are not sources).
void collectFiles(const std::u16string& path, std::vector<std::u16string>& files) {
    if (!fs::isDirectory(path)) {
        if (!fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": no such file"};
        files.push_back(path);
        return;
    }
    std::optional<std::vector<std::u16string>> names = fs::listDirectory(path);
    if (!names) throw ToolFailure{displayPath(path) + ": cannot read the directory"};
    for (const std::u16string& name : *names) {
        std::u16string file = path::join(path, name);
        if (pbl::isSourceEntryName(name) && !fs::isDirectory(file)) files.push_back(file);
    }
}

// The export file at `path`, read and decoded piece by piece, with whether it holds a
// CR; ToolFailure naming it when it cannot be read or is longer than `limit` bytes
// (checked as it is read, so a huge file sizes no buffer).
std::pair<pbl::ReadExportFile, bool> readExportFileAt(const std::u16string& path,
                                                      std::size_t limit) {
    fs::FileHandle file(fs::openFile(path, "rb"));
    if (!file) throw ToolFailure{displayPath(path) + ": cannot open the file"};
    const std::int64_t size = fs::fileSize(file.get());
    pbl::PiecewiseExportReader reader(
        size > 0 && static_cast<std::uint64_t>(size) <= limit ? static_cast<std::size_t>(size) : 0);
    CarriageReturnScan carriageReturns;
    std::vector<std::uint8_t> piece(std::size_t{1} << 20);
    std::size_t total = 0;
    std::size_t n;
    while ((n = std::fread(piece.data(), 1, piece.size(), file.get())) > 0) {
        if (n > limit - total)
            throw ToolFailure{displayPath(path) + ": longer than " + std::to_string(limit) +
                              " bytes"};
        total += n;
        const ByteSpan bytes(piece.data(), n);
        carriageReturns.add(bytes);
        reader.add(bytes);
    }
    if (std::ferror(file.get()) != 0)
        throw ToolFailure{displayPath(path) + ": cannot read the file"};
    pbl::ReadExportFile read = reader.finish();
    const bool hasCarriageReturn = carriageReturns.found(read.encoding);
    return {std::move(read), hasCarriageReturn};
}

// One export file read and parsed, before the library is open: a slow file then
// holds no lock. Its texts, a name or comment no export could carry refused, or
// ToolFailure naming it.
pbl::ReadExportFile readImportFile(const std::u16string& path) {
    const std::string where = displayPath(path);
    std::pair<pbl::ReadExportFile, bool> fileRead =
        readExportFileAt(path, pbl::PblLibrary::maxEntryBytes());
    pbl::ReadExportFile& read = fileRead.first;
    const bool hasCarriageReturn = fileRead.second;
    if (!read.error.empty()) throw ToolFailure{where + ": not an export file: " + read.error};
    // A file without a single CR is a checkout that turned PowerBuilder's CRLF into LF:
    // its lines go back as PowerBuilder stores them. Any CR keeps every byte as it is.
    if (!hasCarriageReturn) {
        if (read.encoding == ExportEncoding::kAnsi)
            read.ansi.source = lfToCrlf(read.ansi.source);
        else
            read.wide.source = lfToCrlf(read.wide.source);
    }
    const bool ansi = read.encoding == ExportEncoding::kAnsi;
    using pbl::HeaderField;
    std::string problem = ansi ? pbl::exportHeaderProblem(HeaderField::kName, read.ansi.name)
                               : pbl::exportHeaderProblem(HeaderField::kName, read.wide.name);
    if (problem.empty())
        problem = ansi ? pbl::exportHeaderProblem(HeaderField::kComment, read.ansi.comment)
                       : pbl::exportHeaderProblem(HeaderField::kComment, read.wide.comment);
    if (!problem.empty()) {
        std::optional<std::u16string> name = ansi ? exactWide(read.ansi.name) : read.wide.name;
        throw ToolFailure{where + ": the entry " +
                          (name ? shownName(*name) : escapeControls(read.ansi.name)) + ": " +
                          problem + ", so no export could carry it"};
    }
    return std::move(read);
}

// The texts of one read export file in the library's encoding, or ToolFailure naming it.
ImportedEntry prepareImport(const OpenLibrary& lib, const std::u16string& path,
                            pbl::ReadExportFile read) {
    const bool unicode = lib->isUnicode() != 0;
    const std::string where = displayPath(path);
    ImportedEntry entry;
    entry.file = path;
    std::optional<pbl::BinaryEntry>& binary =
        read.encoding == ExportEncoding::kAnsi ? read.ansi.binary : read.wide.binary;
    if (binary) {
        // The section's name is ASCII, which every library's names can hold.
        entry.binaryName = utf8ToUtf16(binary->name);
        entry.binaryData = std::move(binary->data);
    }
    // An ANSI library's comment and body as bytes, a Unicode library's as text.
    std::string comment;
    std::string body;
    std::u16string wideComment;
    std::u16string wideBody;
    entry.unicode = unicode;
    if (read.encoding == ExportEncoding::kAnsi) {
        std::optional<std::u16string> name = exactWide(read.ansi.name);
        if (!name) throw ToolFailure{where + ": the entry name is not text in the ANSI code page"};
        entry.name = std::move(*name);
        if (unicode) {
            std::optional<std::u16string> wideFileComment = exactWide(read.ansi.comment);
            std::optional<std::u16string> wideSource = exactWide(read.ansi.source);
            if (!wideFileComment || !wideSource)
                throw ToolFailure{where + ": not text in the ANSI code page"};
            std::string().swap(read.ansi.source);
            wideComment = std::move(*wideFileComment);
            wideBody = std::move(*wideSource);
        } else {
            comment = std::move(read.ansi.comment);
            body = std::move(read.ansi.source);
        }
    } else {
        entry.name = std::move(read.wide.name);
        if (unicode) {
            wideComment = std::move(read.wide.comment);
            wideBody = std::move(read.wide.source);
        } else {
            std::optional<std::string> ansiComment = exactAnsiBytes(read.wide.comment);
            std::optional<std::string> ansiSource = exactAnsiBytes(read.wide.source);
            std::u16string().swap(read.wide.source);
            if (!ansiComment || !ansiSource)
                throw ToolFailure{where +
                                  ": has characters the ANSI code page cannot hold, which an "
                                  "ANSI library cannot store"};
            comment = std::move(*ansiComment);
            body = std::move(*ansiSource);
        }
    }
    const std::size_t commentBytes = unicode ? wideComment.size() * 2 : comment.size();
    const std::size_t bodySize = unicode ? wideBody.size() * 2 : body.size();

    const std::string named = where + ": the entry " + displayPath(entry.name);
    if (!pbl::isSourceEntryName(entry.name))
        throw ToolFailure{named + " is no source (.sr and one letter); import takes sources only"};
    if (entry.name.find(u'\0') != std::u16string::npos)
        throw ToolFailure{named + ": a name holds no zero character"};
    if (!unicode && !exactAnsiBytes(entry.name))
        throw ToolFailure{named + ": the name cannot be written exactly in the ANSI code page"};
    const std::size_t limitBytes = lib->maxNameBytes();
    const std::size_t nameBytes =
        unicode ? entry.name.size() * 2 : exactAnsiBytes(entry.name)->size();
    if (nameBytes > limitBytes)
        throw ToolFailure{named + ": the name is too long for the library (" +
                          std::to_string(nameBytes) + " bytes, at most " +
                          std::to_string(limitBytes) + ")"};
    const std::size_t commentLimit = lib->maxCommentBytes();
    if (commentBytes > commentLimit)
        throw ToolFailure{where + ": the comment is too long: at most " +
                          std::to_string(unicode ? commentLimit / 2 : commentLimit) +
                          (unicode ? " UTF-16 characters" : " bytes")};
    if (bodySize > pbl::PblLibrary::maxEntryBytes() - commentBytes)
        throw ToolFailure{where + ": too large for a library entry"};
    entry.commentSize = commentBytes;
    if (unicode) {
        // The header lines the body was cut from left room in its string for the
        // comment, so this moves the text instead of copying it.
        wideBody.insert(0, wideComment);
        if constexpr (std::endian::native == std::endian::big)
            for (char16_t& unit : wideBody) unit = static_cast<char16_t>((unit >> 8) | (unit << 8));
        entry.wideData = std::move(wideBody);
    } else {
        entry.ansiData.reserve(comment.size() + body.size());
        entry.ansiData.assign(comment.begin(), comment.end());
        entry.ansiData.insert(entry.ansiData.end(), body.begin(), body.end());
    }
    return entry;
}

void runImport(ToolContext& context, const ParsedArgs& args) {
    if (args.has("--layout")) {
        runWorkspaceImport(context, args);
        return;
    }
    const bool replace = args.has("--replace");
    std::vector<std::u16string> files;
    for (std::size_t i = 1; i < args.positional.size(); ++i)
        collectFiles(args.positional[i], files);
    if (files.empty()) throw ToolFailure{"no export files to import"};
    std::vector<pbl::ReadExportFile> reads;
    reads.reserve(files.size());
    for (const std::u16string& file : files) reads.push_back(readImportFile(file));

    OpenLibrary lib = context.open(args.positional[0], true);
    refuseHosted(lib);
    pbl::PblLibrary& library = *lib.library;

    // Every file is read and checked before the library changes.
    std::vector<ImportedEntry> entries;
    std::map<std::u16string, std::u16string> fileOfName;
    std::vector<std::string> present;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::u16string& file = files[i];
        ImportedEntry entry = prepareImport(lib, file, std::move(reads[i]));
        auto [at, added] = fileOfName.emplace(pbl::entryNameKey(entry.name), file);
        if (!added)
            throw ToolFailure{displayPath(file) + ": names the entry " + displayPath(entry.name) +
                              ", as " + displayPath(at->second) + " does"};
        for (const std::u16string* name :
             {&entry.name, entry.binaryName ? &*entry.binaryName : nullptr}) {
            if (name == nullptr) continue;
            pbl::PblEntryInfo info{};
            int found = library.findEntry(*name, info, 0);
            if (found == pbl::kPblOk) {
                present.push_back(shownName(*name));
            } else if (found != pbl::kPblNotFound) {
                lib.check(found, displayPath(*name));
            }
        }
        entries.push_back(std::move(entry));
    }
    if (!present.empty() && !replace) {
        std::string list;
        for (const std::string& name : present) list += (list.empty() ? "" : ", ") + name;
        throw ToolFailure{displayPath(lib.path) + ": already holds " + list +
                          "; give --replace to replace " + (present.size() == 1 ? "it" : "them")};
    }
    if (args.has(kWorkspaceCheckOnly)) return;

    for (ImportedEntry& entry : entries) {
        const ByteSpan data = entry.data();
        lib.check(library.putEntry(entry.name, data.first(entry.commentSize),
                                   data.subspan(entry.commentSize)),
                  displayPath(entry.name));
        if (entry.binaryName)
            lib.check(library.putEntry(*entry.binaryName, {}, entry.binaryData),
                      displayPath(*entry.binaryName));
    }
    lib.close();
    const auto binaries = std::count_if(entries.begin(), entries.end(),
                                        [](const ImportedEntry& e) { return e.binaryName; });
    context.note(
        "imported " + std::to_string(entries.size()) + " source" +
        (entries.size() == 1 ? "" : "s") +
        (binaries == 0 ? std::string() : " and the binary data of " + std::to_string(binaries)) +
        "; regenerate them in PowerBuilder before their compiled objects match");
}

}  // namespace keldrin::tool
