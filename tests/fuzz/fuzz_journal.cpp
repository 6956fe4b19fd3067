// Fuzz target: a journal of any content beside a sound library, found by the next
// opener. The input's first byte picks the journal: the input itself as it stands, or a
// well-formed journal for this library whose records (places, lengths and bytes) come
// from the input. Whatever the journal, opening the library ends in one of two ways:
// the journal is refused and both files stay byte for byte as they were, or it is
// played back and removed, the library no longer than the journal's old length and,
// for a well-formed journal, holding every record's bytes. A crash, a hang, an
// unbounded allocation or a read past a buffer is a finding too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "base/file.h"
#include "fuzz_support.h"
#include "pbl/journal.h"
#include "pbl/library.h"

namespace keldrin::fuzz_journal {

using fuzz::fileBytes;

// A small sound library with a few entries, made once per process.
const std::vector<std::uint8_t>& libraryImage() {
    static const std::vector<std::uint8_t> image = [] {
        const std::u16string path = fuzz::workFile("journal-base.pbl");
        fs::removeFile(path);
        pbl::PblManagerHandle manager(pbl::createPblManager());
        if (!manager || manager->createLibrary(path, 10) != pbl::kPblOk) std::abort();
        pbl::PblLibraryHandle lib(manager->openLibrary(path, 1));
        if (!lib) std::abort();
        for (int i = 0; i < 4; ++i) {
            pbl::PblEntryInfo info;
            const std::string name = "entry" + std::to_string(i) + ".srd";
            if (lib->findEntry(name.c_str(), info, 1) != pbl::kPblOk) std::abort();
            const std::vector<std::uint8_t> body(static_cast<std::size_t>(300 + 700 * i),
                                                 static_cast<std::uint8_t>('a' + i));
            if (lib->writeEntryData(info, body.data(), static_cast<int>(body.size()), 0) !=
                pbl::kPblOk)
                std::abort();
        }
        lib.reset();
        return fileBytes(path);
    }();
    return image;
}

void writeFile(const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = fs::openFile(path, "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    if (std::fclose(f) != 0) std::abort();
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t>& image = libraryImage();
    const std::u16string library = fuzz::workFile("journal-lib.pbl");
    const std::u16string journalPath = pbl::journal::pathFor(library);
    writeFile(library, image);

    const bool wellFormed = size > 0 && (data[0] & 1) != 0;
    std::vector<std::uint8_t> journal;
    std::map<std::int64_t, std::vector<std::uint8_t>> records;
    std::int64_t oldLength = static_cast<std::int64_t>(image.size());
    if (wellFormed) {
        // [1] old length in blocks, then records: offset in blocks (1 byte), length
        // (1 byte, times 2), bytes.
        std::size_t at = 1;
        if (at < size) oldLength = std::min<std::int64_t>(oldLength, data[at++] * 512);
        while (at + 2 <= size && records.size() < 64) {
            const std::int64_t offset = std::int64_t{data[at]} * 512;
            const std::size_t length = std::min<std::size_t>(data[at + 1] * 2u, 512);
            at += 2;
            const std::size_t take = std::min(length, size - at);
            records[offset].assign(data + at, data + at + take);
            at += take;
        }
        journal = pbl::journal::encode(library, oldLength, records);
    } else {
        journal.assign(data, data + size);
    }
    writeFile(journalPath, journal);

    pbl::PblManagerHandle manager(pbl::createPblManager());
    if (!manager) return;
    manager->setLockWait(0);
    pbl::PblLibraryHandle lib(manager->openLibrary(library, 0));
    const std::vector<std::uint8_t> after = fileBytes(library);
    if (fs::fileExists(journalPath)) {
        // Refused: nothing was touched.
        if (lib) std::abort();
        if (after != image || fileBytes(journalPath) != journal) std::abort();
        return;
    }
    if (static_cast<std::int64_t>(after.size()) > static_cast<std::int64_t>(image.size()))
        std::abort();
    if (!wellFormed) return;
    // A well-formed journal is played back whole: the old length, and every record that
    // lies inside it holds its bytes (a later record for the same place wins, as the map
    // keeps one per place).
    if (static_cast<std::int64_t>(after.size()) != oldLength) std::abort();
    for (const auto& [offset, bytes] : records) {
        if (offset + static_cast<std::int64_t>(bytes.size()) > oldLength) continue;
        if (!std::equal(bytes.begin(), bytes.end(), after.begin() + offset)) std::abort();
    }
}

}  // namespace keldrin::fuzz_journal

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_journal::run(data, size);
    return 0;
}
