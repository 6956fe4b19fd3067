// The rollback journal that makes a change to a library survive a crash: before the
// first byte of the library as it was is overwritten, the old bytes of every block the
// change overwrites go into "LIB.journal" beside it, and that file is synced. The
// library is then written and synced, and removing the journal commits the change. A
// crash at any point leaves either no journal (the change is whole, or never touched a
// byte of the old library) or a journal that the next opener plays back, which puts
// the library back as it was. Why this holds, and the layout: docs/journal.md.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace keldrin::pbl {

namespace journal {

// The header takes the journal's first sector, so that a power cut leaves it whole or
// not there at all; records follow it.
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr char kMagic[8] = {'K', 'L', 'D', 'J', 'R', 'N', 'L', '1'};
// Offset (8), length (4), checksum (4), then the bytes.
inline constexpr std::size_t kRecordHeaderSize = 16;
// A record holds at most one block of the library.
inline constexpr std::size_t kMaxRecordBytes = 512;
inline constexpr std::size_t kMaxNameBytes = 255;

// "dir/LIB.pbl" -> "dir/LIB.pbl.journal".
std::u16string pathFor(const std::u16string& libraryPath);

// The journal's bytes for a change to the library named `libraryName` (its last path
// component) that was `originalLength` bytes long, with the old bytes of each block
// the change overwrites.
Bytes encode(const std::u16string& libraryName, std::int64_t originalLength,
             const std::map<std::int64_t, std::vector<std::uint8_t>>& oldBlocks);

enum class Durability {
    kWritten,        // a new journal, written but not synced
    kSynced,         // a new journal, on disk with its directory entry
    kReplaceSynced,  // in place of the journal this change began, on disk
};
// Writes `image` as the journal of `libraryPath` (which must not have one, unless
// kReplaceSynced) with the durability asked; false, leaving no journal, when it could not.
bool writeAndSync(const std::u16string& libraryPath, const Bytes& image, Durability durability);
// Commits: the journal of `libraryPath` is removed, or at least emptied.
bool remove(const std::u16string& libraryPath);

// What an opener found beside the library.
struct Recovery {
    bool found = false;       // a journal was there
    bool rolledBack = false;  // ... and the library was put back as it was
    std::string refusal;      // why it was left in place (nothing was changed); empty if not
};

// Plays back a journal left beside `libraryPath`, which `library` holds open for
// reading and writing under the exclusive lock: the old bytes go back, the library is
// cut to its old length and synced, and the journal is removed. A journal that is not
// one of ours, that belongs to another library, or whose header is damaged is left in
// place with the reason, and the library is not touched. A journal whose header never
// reached the disk (empty, or cut before its first sector ended) belongs to a change
// that had not yet written a byte of the old library, so it is simply removed.
Recovery recover(std::FILE* library, const std::u16string& libraryPath);

}  // namespace journal

}  // namespace keldrin::pbl
