#include "pbltool/library.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "base/bytes.h"
#include "base/file.h"
#include "base/text.h"
#include "pbl/bulk_reader.h"
#include "pbl/journal.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

[[noreturn]] void fail(int code, const std::string& context) {
    throw ToolFailure{context + ": " +
                      (code == pbl::kPblIoError ? writeFailureText(pbl::resultText(code))
                                                : std::string(pbl::resultText(code)))};
}

std::int64_t sizeOfFile(const std::u16string& path) {
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return -1;
    std::int64_t size = fs::fileSize(file);
    std::fclose(file);
    return size;
}

class EntryCollector : public pbl::PblEntryVisitor {
  public:
    int visit(pbl::PblEntryInfo& info) override {
        EntryRecord record;
        record.name = decodeUtf16Le(
            ByteSpan(reinterpret_cast<const std::uint8_t*>(info.name.data()), info.name.size()));
        // The name comes without terminator; a converter that keeps one must not add it.
        while (!record.name.empty() && record.name.back() == u'\0') record.name.pop_back();
        record.info = info;
        record.info.name.clear();
        entries.push_back(std::move(record));
        return 1;
    }
    std::vector<EntryRecord> entries;
};

}  // namespace

void check(int code, const std::string& context) {
    if (code != pbl::kPblOk) fail(code, context);
}

namespace {
// A change that could not write its journal beside the library says so: the usual
// reason is a directory this user may not write, which the library's own permissions
// do not show.
[[noreturn]] void journalFailed(const std::u16string& path) {
    const std::string journal = displayPath(pbl::journal::pathFor(path));
    if (fs::lastFailureWasDiskFull())
        throw ToolFailure{displayPath(path) + ": cannot write " + journal +
                          " beside the library, which a change needs: " + writeFailureText("") +
                          "; the library is unchanged"};
    throw ToolFailure{displayPath(path) + ": cannot write " + journal +
                      " beside the library, which a change needs (is the directory writable, "
                      "and is there space?); the library is unchanged"};
}
}  // namespace

void OpenLibrary::check(int code, const std::string& context) const {
    if (code != pbl::kPblOk && library && library->file().journalFailed()) journalFailed(path);
    if (code == pbl::kPblDamaged && library) {
        const Damage& damage = library->lastDamage();
        if (!damage.what.empty())
            throw ToolFailure{context + ": " + pbl::resultText(code) + ": " +
                              escapeControls(describe(damage))};
    }
    tool::check(code, context);
}

void OpenLibrary::close() {
    if (library) {
        if (library->commitChange() != 0) {
            if (library->file().journalFailed()) journalFailed(path);
            throw ToolFailure{displayPath(path) + ": cannot write the library; it is unchanged"};
        }
        library.reset();
    }
}

pbl::PblManagerHandle newManager(int lockWaitMs) {
    pbl::PblManagerHandle manager(pbl::createPblManager());
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
        if (why == pbl::kPblBusy) fail(why, displayPath(path));
        // Damage at no place in the file lies beside it: a journal left by an
        // interrupted change that could not be played back. It says why itself; the
        // library was not touched.
        const Damage& damage = open.manager->lastDamage();
        if (why == pbl::kPblDamaged && damage.offset < 0 && !damage.what.empty())
            throw ToolFailure{displayPath(path) + ": " + escapeControls(damage.what)};
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

std::optional<OpenLibrary> holdLibraryToReplace(const std::u16string& target, int lockWaitMs) {
    std::optional<OpenLibrary> held;
    if (!fs::fileExists(target)) return held;
    if (fs::isWriteProtected(target))
        throw ToolFailure{displayPath(target) + ": the file is write-protected"};
    pbl::PblManagerHandle probe = newManager(lockWaitMs);
    pbl::PblLibrary* library = fs::canReplaceOpenFile() ? probe->openLibrary(target, 0) : nullptr;
    if (library != nullptr) {
        held.emplace();
        held->manager = std::move(probe);
        held->library.reset(library);
        held->path = target;
    } else if (probe->lastResult() == pbl::kPblBusy) {
        throw ToolFailure{displayPath(target) + ": " + pbl::resultText(pbl::kPblBusy)};
    }
    return held;
}

void requireEntryName(const std::u16string& name, bool allowEmpty) {
    if (name.empty() && !allowEmpty) throw UsageFailure{"an entry name must not be empty"};
}

void requireNameFits(const OpenLibrary& lib, const std::u16string& name) {
    const bool unicode = lib->isUnicode() != 0;
    std::optional<Bytes> stored = pbl::encodeStoredText(unicode, name);
    if (!stored) {
        if (unicode) throw ToolFailure{"entry name " + displayPath(name) + " is not valid UTF-8"};
        throw ToolFailure{"entry name " + displayPath(name) +
                          " cannot be written exactly in the ANSI code page"};
    }
    const std::size_t limitBytes = lib->maxNameBytes();
    if (stored->size() > limitBytes)
        throw ToolFailure{
            displayPath(name) + ": the name is too long: at most " +
            std::to_string(unicode ? limitBytes / 2 : limitBytes) +
            (unicode ? " UTF-16 characters in a Unicode library" : " bytes in an ANSI library")};
}

void refuseHosted(const OpenLibrary& lib) {
    if (!lib->hosted()) return;
    throw ToolFailure{displayPath(lib.path) +
                      ": the library sits inside an executable and is read-only; rebuild it "
                      "into a .pbl file (keldrin-pbl rebuild " +
                      displayPath(lib.path) + " OUT.pbl)"};
}

std::vector<EntryRecord> listEntries(OpenLibrary& lib) {
    std::vector<EntryRecord> entries;
    lib.check(collectEntries(lib, entries), displayPath(lib.path));
    return entries;
}

int collectEntries(OpenLibrary& lib, std::vector<EntryRecord>& entries) {
    EntryCollector collector;
    int code = lib->forEachEntry(collector);
    entries = std::move(collector.entries);
    return code;
}

std::vector<std::uint8_t> readEntry(OpenLibrary& lib, const pbl::PblEntryInfo& info,
                                    const std::string& context) {
    if (info.dataSize < 0 || info.commentSize < 0 || info.commentSize > info.dataSize ||
        info.dataSize > lib->maxDataBytes())
        fail(pbl::kPblDamaged, context);
    // Two spare bytes, as the library's own callers provide.
    std::vector<std::uint8_t> data(static_cast<std::size_t>(info.dataSize) + 2);
    lib.check(lib->readEntryData(info, data.data()), context);
    data.resize(static_cast<std::size_t>(info.dataSize));
    return data;
}

void forEachEntryData(OpenLibrary& lib, const std::vector<EntryRecord>& entries,
                      const std::function<void(std::size_t index, ByteSpan data)>& visit) {
    std::vector<pbl::PblEntryInfo> infos;
    infos.reserve(entries.size());
    for (const EntryRecord& entry : entries) {
        const pbl::PblEntryInfo& info = entry.info;
        if (info.commentSize < 0 || info.commentSize > info.dataSize)
            fail(pbl::kPblDamaged, escapeControls(utf16ToUtf8(entry.name)));
        infos.push_back(info);
    }
    pbl::BulkReader reader(*lib.library);
    reader.read(infos, [&](std::size_t index, int result, ByteSpan data) {
        lib.check(result, escapeControls(utf16ToUtf8(entries[index].name)));
        visit(index, data);
        return true;
    });
}

std::u16string readComment(OpenLibrary& lib) {
    int size = 0;
    lib.check(lib->getComment(nullptr, size), displayPath(lib.path));
    // The size counts the terminator.
    const std::size_t capacity =
        lib->maxLibraryCommentBytes() + static_cast<std::size_t>(lib->variant().charSize);
    if (size < 0 || static_cast<std::size_t>(size) > capacity)
        fail(pbl::kPblDamaged, displayPath(lib.path));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 2, 0);
    lib.check(lib->getComment(buffer.data(), size), displayPath(lib.path));
    std::size_t n = std::min(static_cast<std::size_t>(std::max(size, 0)), buffer.size());
    return pbl::decodeStoredText(lib->isUnicode() != 0, ByteSpan(buffer.data(), n))
        .value_or(std::u16string());
}

std::vector<std::uint8_t> readLibraryBytes(OpenLibrary& lib) {
    int size = 0;
    lib.check(lib->readLibraryData(nullptr, size), displayPath(lib.path));
    if (size < 0 || size > lib->maxDataBytes()) fail(pbl::kPblDamaged, displayPath(lib.path));
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size) + 2);
    lib.check(lib->readLibraryData(data.data(), size), displayPath(lib.path));
    data.resize(static_cast<std::size_t>(size));
    return data;
}

std::string libraryText(pbl::PblLibrary& library, const std::u16string& text,
                        const std::string& what) {
    if (hasUnpairedSurrogate(text)) throw ToolFailure{what + " is not valid UTF-8"};
    std::optional<Bytes> stored = pbl::encodeStoredText(library.isUnicode() != 0, text);
    if (!stored) throw ToolFailure{what + " cannot be written exactly in the ANSI code page"};
    return std::string(stored->begin(), stored->end());
}

}  // namespace keldrin::tool
