// The writing half of the salvage: the plan that salvage_scan.cpp made from the damaged
// file becomes a new library.
//
// The new library is created in the damaged one's variant (ANSI "0500" for a "0500"
// header, ANSI "0600" for every other ANSI one, Unicode), its directory written as a
// balanced tree of the names recovered (balanced_directory.h), each entry's data read
// again from the damaged file and written whole, then the library data; last, the
// header takes the damaged one's version digits, creation time, header word and
// comment as they were stored, so an old "0300" library stays one.
//
// As with the rebuild, the new library is written under a temporary name beside the
// target, flushed and put on disk, and takes the target's name in one atomic step; on
// any failure the temporary file goes and an existing target is untouched. The damaged
// file is opened for reading only, under a shared lock.
#include "pbl/salvage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>

#include "base/file.h"
#include "base/file_identity.h"
#include "base/file_lock.h"
#include "base/text.h"
#include "pbl/balanced_directory.h"
#include "pbl/library.h"
#include "pbl/rebuild.h"
#include "pbl/salvage_scan.h"

namespace keldrin::pbl {
namespace {

using namespace layout;

// Times the source is opened anew because its name was given to another file while we
// waited for its lock (optimize puts a new library in the old one's place).
constexpr int kMaxOpenRounds = 100;

using fs::FileHandle;

// The file `path` names, open for reading under a shared lock.
int openShared(const std::u16string& path, int lockWaitMs, FileHandle& out) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(lockWaitMs, 0));
    for (int round = 0; round < kMaxOpenRounds; ++round) {
        FileHandle file(fs::openFile(path, "rb"));
        if (!file) return kPblIoError;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const fs::LockResult locked = fs::lockFile(
            file.get(), false, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        if (locked == fs::LockResult::kBusy) return kPblBusy;
        if (locked != fs::LockResult::kLocked) return kPblIoError;
        if (fs::isOpenFile(file.get(), path)) {
            out = std::move(file);
            return kPblOk;
        }
    }
    return kPblBusy;
}

class Writer {
  public:
    Writer(SalvageSource& source, const SalvagePlan& plan, PblLibrary& target,
           SalvageReport& report)
        : src_(source), plan_(plan), target_(target), report_(report) {}

    int run() {
        std::vector<Bytes> names;
        names.reserve(plan_.entries.size());
        for (const FoundEntry& entry : plan_.entries) names.push_back(entry.name);
        std::vector<std::int32_t> records;
        int rc = writeBalancedDirectory(target_, names, records);
        if (rc != kPblOk) return rc;
        rc = writeEntries(records);
        if (rc != kPblOk) return rc;
        rc = writeLibraryData();
        if (rc != kPblOk) return rc;
        return writeHeader();
    }

  private:
    // The data is read in the order it lies in the damaged file.
    int writeEntries(const std::vector<std::int32_t>& records) {
        const std::vector<FoundEntry>& entries = plan_.entries;
        std::vector<std::size_t> order(entries.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return entries[a].header.firstBlock < entries[b].header.firstBlock;
        });
        Bytes data;
        for (std::size_t index : order) {
            const FoundEntry& entry = entries[index];
            const EntryRecordHeader& h = entry.header;
            // The plan found this chain whole at this size, so the file holds the bytes.
            data.resize(static_cast<std::size_t>(h.dataSize));
            if (!src_.readChain(h.firstBlock, h.dataSize, data.data())) return kPblIoError;
            const int commentBytes = h.commentLength * target_.variant().charSize;
            PblEntryInfo info{};
            info.entryOffset = records[index];
            info.time = h.time;
            int rc = target_.writeEntryData(info, data.data(), h.dataSize - commentBytes,
                                            static_cast<short>(commentBytes));
            // The record takes the time with the data; only a time of 0, which asks for
            // the current time there, needs a write of its own.
            if (rc == kPblOk && h.time == 0) rc = target_.writeEntryTime(info);
            if (rc != kPblOk) return rc;
        }
        report_.recovered.reserve(entries.size());
        for (const FoundEntry& entry : entries) {
            SalvagedEntry out;
            out.name = displayStoredName(plan_.unicode, entry.name);
            out.offset = entry.record;
            out.dataSize = entry.header.dataSize;
            out.commentSize = entry.header.commentLength * target_.variant().charSize;
            out.time = entry.header.time;
            out.scanned = entry.scanned;
            report_.recovered.push_back(std::move(out));
        }
        return kPblOk;
    }

    int writeLibraryData() {
        const std::int32_t length = plan_.libraryDataLength;
        if (length == 0) return kPblOk;
        Bytes data(static_cast<std::size_t>(length));
        if (!src_.readChain(plan_.libraryDataFirst, length, data.data())) return kPblIoError;
        int rc = target_.writeLibraryData(data.data(), length);
        if (rc != kPblOk) return rc;
        report_.libraryDataRecovered = true;
        report_.libraryDataBytes = length;
        return kPblOk;
    }

    // The header fields the damaged library carried, as stored.
    int writeHeader() {
        const Variant& v = target_.variant();
        Bytes header;
        int rc = target_.readHeader(header);
        if (rc != kPblOk) return rc;
        if (!plan_.headerVersion.empty() &&
            plan_.headerVersion.size() == static_cast<std::size_t>(v.versionFieldBytes))
            std::memcpy(header.data() + v.versionField, plan_.headerVersion.data(),
                        plan_.headerVersion.size());
        if (plan_.headerFound) {
            storeI32(header.data() + v.timeField, plan_.created);
            storeU16(header.data() + v.wordField, plan_.headerWord);
        }
        // The plan found the comment with its terminator inside the field.
        if (plan_.comment &&
            plan_.commentText.size() < static_cast<std::size_t>(v.commentCapacity)) {
            std::uint8_t* field = header.data() + v.commentField;
            std::memset(field, 0, static_cast<std::size_t>(v.commentCapacity));
            if (!plan_.commentText.empty())
                std::memcpy(field, plan_.commentText.data(), plan_.commentText.size());
            report_.commentRecovered = true;
            report_.commentBytes = static_cast<std::int32_t>(plan_.commentText.size());
        }
        const ByteSpan digits =
            ByteSpan(header).subspan(static_cast<std::size_t>(v.versionField),
                                     static_cast<std::size_t>(v.versionFieldBytes));
        report_.headerVersion = displayStoredName(v.unicode, digits);
        return target_.file().writeAt(header.data(), header.size(), target_.headerOffset())
                   ? kPblOk
                   : kPblWriteFailed;
    }

    SalvageSource& src_;
    const SalvagePlan& plan_;
    PblLibrary& target_;
    SalvageReport& report_;
};

// Creates the library at `path` (a fresh temporary file) and writes the plan into it,
// flushed and on disk.
int writeLibrary(SalvageSource& source, const SalvagePlan& plan, const std::u16string& path,
                 SalvageReport& report) {
    PblManagerHandle manager(createPblManager());
    if (!manager) return kPblFailed;
    int rc = manager->createLibrary(path, plan.createVersion);
    if (rc != kPblOk) return rc;
    PblLibraryHandle handle(manager->openLibrary(path, 1));
    if (!handle) return kPblFailed;
    PblLibrary& library = *handle;
    // Nobody reads the new library before it takes its name: its writes are held back
    // and go out in long runs (the flush below reports any that failed).
    library.file().deferWrites();
    rc = Writer(source, plan, library, report).run();
    // The bitmap goes out with the flush; its failure leaves the library incomplete.
    const int flushed = library.flush();
    if (rc == kPblOk && flushed != 0) rc = kPblWriteFailed;
    if (rc == kPblOk && !fs::syncFile(library.file().stream())) rc = kPblWriteFailed;
    return rc;
}

}  // namespace

int salvageLibrary(const std::u16string& source, const std::u16string& target, int lockWaitMs,
                   SalvageReport& report) {
    report = SalvageReport{};
    if (source.empty() || target.empty()) return kPblInvalidArgument;
    FileHandle file;
    int rc = openShared(source, lockWaitMs, file);
    if (rc != kPblOk) return rc;
    // Writing onto the damaged file, by any name, would lose what is being read.
    if (fs::isOpenFile(file.get(), target)) return kPblInvalidArgument;
    const std::int64_t size = fs::fileSize(file.get());
    if (size < 0) return kPblIoError;
    SalvageSource reader(file.get(), size);
    SalvagePlan plan;
    rc = planSalvage(reader, plan, report);
    report.unicode = plan.unicode;
    if (rc != kPblOk) return rc;

    fs::ReplacementFile replacement;
    // The library is written by name.
    if (!replacement.create(target, u"salvage") || !replacement.letGo()) return kPblWriteFailed;
    rc = writeLibrary(reader, plan, replacement.path(), report);
    // Every failure from here on is the new library's: the damaged file was read whole.
    if (rc != kPblOk) return kPblWriteFailed;
    return commitLibrary(replacement, kPblWriteFailed);
}

std::string describeSalvageFinding(const SalvageFinding& finding) {
    std::string text = finding.kind;
    if (finding.offset >= 0) text += " at offset " + std::to_string(finding.offset);
    if (!finding.entry.empty()) text += " ('" + finding.entry + "')";
    return text + ": " + finding.detail;
}

}  // namespace keldrin::pbl
