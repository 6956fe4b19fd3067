#include "pbl/journal.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/text.h"

namespace keldrin::pbl::journal {

namespace {

// Header fields.
constexpr std::size_t kVersionField = 8;                       // u32, 1
constexpr std::size_t kRecordCountField = 12;                  // u32
constexpr std::size_t kOriginalLengthField = 16;               // u64
constexpr std::size_t kNonceField = 24;                        // u32
constexpr std::size_t kNameLengthField = 28;                   // u16
constexpr std::size_t kNameField = 30;                         // UTF-8, kMaxNameBytes at most
constexpr std::size_t kHeaderChecksumField = kHeaderSize - 8;  // u64 over what comes before
static_assert(kNameField + kMaxNameBytes <= kHeaderChecksumField);
constexpr std::uint32_t kVersion = 1;

void storeU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// FNV-1a, 64 bits, seeded by the journal's nonce: a record left over from an earlier
// journal of the same name cannot pass as one of this journal's.
std::uint64_t checksum(std::uint64_t seed, const std::uint8_t* data, std::size_t length) {
    std::uint64_t h = 14695981039346656037ull ^ seed;
    for (std::size_t i = 0; i < length; ++i) {
        h ^= data[i];
        h *= 1099511628211ull;
    }
    return h;
}

std::string nameBytes(const std::u16string& libraryName) {
    std::string name = utf16ToUtf8(path::fileName(libraryName));
    if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
    return name;
}

}  // namespace

std::u16string pathFor(const std::u16string& libraryPath) {
    return libraryPath + u".journal";
}

Bytes encode(const std::u16string& libraryName, std::int64_t originalLength,
             const std::map<std::int64_t, std::vector<std::uint8_t>>& oldBlocks) {
    Bytes out(kHeaderSize, 0);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    storeU32(out.data() + kVersionField, kVersion);
    storeU32(out.data() + kRecordCountField, static_cast<std::uint32_t>(oldBlocks.size()));
    storeU64(out.data() + kOriginalLengthField, static_cast<std::uint64_t>(originalLength));
    const auto nonce = static_cast<std::uint32_t>(std::time(nullptr) ^ (originalLength << 7) ^
                                                  static_cast<std::int64_t>(oldBlocks.size()));
    storeU32(out.data() + kNonceField, nonce);
    const std::string name = nameBytes(libraryName);
    storeU16(out.data() + kNameLengthField, static_cast<std::uint16_t>(name.size()));
    std::memcpy(out.data() + kNameField, name.data(), name.size());
    storeU64(out.data() + kHeaderChecksumField, checksum(0, out.data(), kHeaderChecksumField));
    for (const auto& [offset, bytes] : oldBlocks) {
        std::uint8_t head[kRecordHeaderSize] = {};
        storeU64(head, static_cast<std::uint64_t>(offset));
        storeU32(head + 8, static_cast<std::uint32_t>(bytes.size()));
        // The checksum covers the record's place and length as well as its bytes.
        std::uint64_t sum = checksum(nonce, head, 12);
        sum = checksum(sum, bytes.data(), bytes.size());
        storeU32(head + 12, static_cast<std::uint32_t>(sum));
        out.insert(out.end(), head, head + kRecordHeaderSize);
        out.insert(out.end(), bytes.begin(), bytes.end());
        out.resize(out.size() + (kMaxRecordBytes - bytes.size()), 0);
    }
    return out;
}

Recovery recover(std::FILE* library, const std::u16string& libraryPath) {
    Recovery result;
    const std::u16string path = pathFor(libraryPath);
    if (!fs::fileExists(path)) return result;
    result.found = true;
    const std::string shown = utf16ToUtf8(path::fileName(path));
    auto refuse = [&](const std::string& why) {
        result.refusal = shown + " " + why +
                         "; it was left in place and the library was not touched (move the "
                         "journal away only if the library is known to be whole)";
        return result;
    };
    fs::FileHandle journal(fs::openFile(path, "rb"));
    if (!journal) return refuse("cannot be read");
    std::FILE* file = journal.get();
    const std::int64_t size = fs::fileSize(file);
    std::uint8_t header[kHeaderSize] = {};
    const auto present = static_cast<std::size_t>(
        std::clamp<std::int64_t>(size, 0, static_cast<std::int64_t>(kHeaderSize)));
    const bool read = size >= 0 && fs::readFileAt(file, header, present, 0);
    const bool wholeHeader = read && present == kHeaderSize;
    // A header that never reached the disk: the journal was being written when the
    // process stopped, and the library is written only once the whole journal is on
    // disk, so not one old byte of it was overwritten. What is there of it is then
    // nothing at all, zeros, or the start of our own header; anything else is some
    // other file, and stays.
    const bool zeros = std::all_of(header, header + present, [](std::uint8_t b) { return b == 0; });
    const bool ourStart =
        std::memcmp(header, kMagic, std::min(present, sizeof kMagic)) == 0 && !wholeHeader;
    if (read && (zeros || ourStart)) {
        journal.reset();
        if (!fs::removeFile(path)) return refuse("is empty but cannot be removed");
        return result;
    }
    if (!wholeHeader || std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return refuse("is not a library journal");
    if (checksum(0, header, kHeaderChecksumField) != loadU64(header + kHeaderChecksumField) ||
        loadU32(header + kVersionField) != kVersion)
        return refuse("is damaged (its header does not match its checksum)");
    const std::size_t nameLength = loadU16(header + kNameLengthField);
    const std::string name(reinterpret_cast<const char*>(header + kNameField),
                           std::min(nameLength, kMaxNameBytes));
    if (name != nameBytes(libraryPath))
        return refuse("belongs to another library ('" + name + "')");
    const auto originalLength = static_cast<std::int64_t>(loadU64(header + kOriginalLengthField));
    const std::int64_t libraryLength = fs::fileSize(library);
    // A change only ever adds to the library's length; a shorter library is not the one
    // this journal was written for.
    if (originalLength < 0 || libraryLength < 0 || libraryLength < originalLength)
        return refuse("names a library longer than this one");
    const std::uint32_t nonce = loadU32(header + kNonceField);
    const std::uint32_t records = loadU32(header + kRecordCountField);
    // Records are played back up to the first one that is not whole: the library is
    // written only after every record is on disk, so a torn tail belongs to a change
    // that never reached the library, and its blocks still hold their old bytes.
    bool ok = true;
    std::uint8_t record[kRecordHeaderSize + kMaxRecordBytes];
    for (std::uint32_t i = 0; i < records; ++i) {
        const std::int64_t at =
            static_cast<std::int64_t>(kHeaderSize) +
            static_cast<std::int64_t>(i) * (kRecordHeaderSize + kMaxRecordBytes);
        if (size - at < static_cast<std::int64_t>(sizeof record) ||
            !fs::readFileAt(file, record, sizeof record, at))
            break;
        const auto offset = static_cast<std::int64_t>(loadU64(record));
        const std::uint32_t length = loadU32(record + 8);
        if (length > kMaxRecordBytes || offset < 0 || offset > originalLength ||
            length > originalLength - offset)
            break;
        std::uint64_t sum = checksum(nonce, record, 12);
        sum = checksum(sum, record + kRecordHeaderSize, length);
        if (static_cast<std::uint32_t>(sum) != loadU32(record + 12)) break;
        ok = fs::writeFileAt(library, record + kRecordHeaderSize, length, offset) && ok;
    }
    journal.reset();
    if (ok && libraryLength != originalLength) ok = fs::truncateFile(library, originalLength);
    ok = ok && fs::syncFile(library);
    if (!ok) return refuse("could not be played back (a write to the library failed)");
    if (!fs::removeFile(path)) return refuse("was played back but cannot be removed");
    result.rolledBack = true;
    return result;
}

bool writeAndSync(const std::u16string& libraryPath, const Bytes& image, Durability durability) {
    const std::u16string path = pathFor(libraryPath);
    std::FILE* file = durability == Durability::kReplaceSynced ? fs::openFile(path, "rb+")
                                                               : fs::createExclusive(path);
    if (file == nullptr) return false;
    bool ok = fs::writeFileAt(file, image.data(), image.size(), 0);
    if (durability == Durability::kWritten) {
        ok = std::fclose(file) == 0 && ok;
        if (!ok) (void)fs::removeFile(path);
        return ok;
    }
    ok = ok && fs::syncFile(file);
    ok = std::fclose(file) == 0 && ok;
    // The journal's name must be on disk too, or a power cut could lose the journal
    // while the library's new bytes survive.
    ok = ok && fs::syncDirectory(path::parent(path));
    if (!ok) (void)fs::removeFile(path);
    return ok;
}

bool remove(const std::u16string& libraryPath) {
    const std::u16string path = pathFor(libraryPath);
    if (fs::removeFile(path)) return true;
    // A journal that cannot go must at least stop being one: an empty journal asks the
    // next opener for nothing.
    std::FILE* file = fs::openFile(path, "rb+");
    if (file == nullptr) return false;
    bool ok = fs::truncateFile(file, 0) && fs::syncFile(file);
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace keldrin::pbl::journal
