// The table of library damage the tests share: one small library (buildDamageBase in
// pbl_test_util.h) and every lie a file can tell about its links, counts, sizes and
// signatures, each with an operation that meets it, the code that operation must give,
// and what the damage leaves no reader able to get back.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {

// Where the base library keeps its root node and its two records.
inline constexpr std::int32_t kRoot = 1024;
inline constexpr std::int32_t kAlpha = 1056;
inline constexpr std::int32_t kBeta = 1086;

enum class Op {
    ReadAlpha,
    WriteAlpha,
    GrowAlpha,
    ForEach,
    FindInside,
    FindBefore,
    FindAfter,
    ReadLibData,
    DeleteAlpha,
    BulkRead,     // every entry through the bulk reader, as export reads them
    Rebuild,      // a rebuild into a new file
    ExportAlpha,  // the exported reader on alpha
};

inline const char* opName(Op op) {
    switch (op) {
        case Op::ReadAlpha:
            return "read alpha";
        case Op::WriteAlpha:
            return "rewrite alpha smaller";
        case Op::GrowAlpha:
            return "rewrite alpha larger";
        case Op::ForEach:
            return "forEachEntry";
        case Op::FindInside:
            return "find alpha2";
        case Op::FindBefore:
            return "find a";
        case Op::FindAfter:
            return "find zzz";
        case Op::ReadLibData:
            return "read library data";
        case Op::DeleteAlpha:
            return "delete alpha";
        case Op::BulkRead:
            return "bulk read";
        case Op::Rebuild:
            return "rebuild";
        case Op::ExportAlpha:
            return "exported reader on alpha";
    }
    return "";
}

struct DamageCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    Op op;
    int expected;
    // What no reader can get back from the damaged file: "alpha", "beta", "library data",
    // or "" when everything the library held is still there to be read.
    const char* destroys;
};

inline void set32(Bytes& b, std::size_t at, std::int32_t v) {
    storeI32(b.data() + at, v);
}
inline void set16(Bytes& b, std::size_t at, std::uint16_t v) {
    storeU16(b.data() + at, v);
}

inline std::vector<DamageCase> damageTable() {
    using namespace layout;
    return {
        // data chains
        {"data link past the end", [](Bytes& b) { set32(b, kAlpha + 8, 0x100000); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"data link past the end, rewrite", [](Bytes& b) { set32(b, kAlpha + 8, 0x100000); },
         Op::WriteAlpha, kPblDamaged, "alpha"},
        {"data link not a multiple of 512", [](Bytes& b) { set32(b, kAlpha + 8, 4100); },
         Op::ReadAlpha, kPblDamaged, "alpha"},
        {"data link negative", [](Bytes& b) { set32(b, kAlpha + 8, -512); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"data link into the last partial block",
         [](Bytes& b) { set32(b, kAlpha + 8, 7168 - 512 + 512); }, Op::ReadAlpha, kPblDamaged,
         "alpha"},
        {"data chain self-loop", [](Bytes& b) { set32(b, 4608 + 4, 4608); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"data chain self-loop, rewrite", [](Bytes& b) { set32(b, 4608 + 4, 4608); },
         Op::WriteAlpha, kPblDamaged, "alpha"},
        {"data chain cycle to its start", [](Bytes& b) { set32(b, 5120 + 4, 4096); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"used count above 502", [](Bytes& b) { set16(b, 4096 + 8, 600); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"data block without DAT*", [](Bytes& b) { b[4608 + 2] = 'X'; }, Op::ReadAlpha, kPblDamaged,
         "alpha"},
        {"data block without DAT*, rewrite", [](Bytes& b) { b[4608 + 2] = 'X'; }, Op::WriteAlpha,
         kPblDamaged, "alpha"},
        {"data size above what the chain holds", [](Bytes& b) { set32(b, kAlpha + 12, 1300); },
         Op::ReadAlpha, kPblDamaged, "alpha"},
        {"data size below what the chain holds", [](Bytes& b) { set32(b, kAlpha + 12, 1000); },
         Op::ReadAlpha, kPblDamaged, "alpha"},
        {"negative data size", [](Bytes& b) { set32(b, kAlpha + 12, -5); }, Op::ForEach,
         kPblDamaged, "alpha"},
        {"negative data size, read", [](Bytes& b) { set32(b, kAlpha + 12, -5); }, Op::ReadAlpha,
         kPblDamaged, "alpha"},
        {"data size beyond the file", [](Bytes& b) { set32(b, kAlpha + 12, 0x7FFFFFFF); },
         Op::ForEach, kPblDamaged, "alpha"},
        // nodes and records
        {"record count too large", [](Bytes& b) { set16(b, kRoot + 20, 500); }, Op::ForEach,
         kPblDamaged, ""},
        {"record count too large, lookup", [](Bytes& b) { set16(b, kRoot + 20, 500); },
         Op::FindInside, kPblDamaged, ""},
        {"record count negative", [](Bytes& b) { set16(b, kRoot + 20, 0xFFFF); }, Op::ForEach,
         kPblDamaged, ""},
        {"free bytes above 3040", [](Bytes& b) { set16(b, kRoot + 16, 4000); }, Op::FindInside,
         kPblDamaged, ""},
        {"free bytes negative", [](Bytes& b) { set16(b, kRoot + 16, 0xFFF0); }, Op::ForEach,
         kPblDamaged, ""},
        {"root without NOD*", [](Bytes& b) { b[kRoot + 1] = 'X'; }, Op::ForEach, kPblDamaged, ""},
        {"root without NOD*, lookup", [](Bytes& b) { b[kRoot + 1] = 'X'; }, Op::ReadAlpha,
         kPblDamaged, ""},
        {"first position outside the node", [](Bytes& b) { set16(b, kRoot + 22, 0xFFFF); },
         Op::FindInside, kPblDamaged, ""},
        {"first position inside the header", [](Bytes& b) { set16(b, kRoot + 22, 10); },
         Op::FindInside, kPblDamaged, ""},
        {"last name length overruns the node", [](Bytes& b) { set16(b, kBeta + 22, 5000); },
         Op::FindAfter, kPblDamaged, "beta"},
        {"name length zero", [](Bytes& b) { set16(b, kAlpha + 22, 0); }, Op::ForEach, kPblDamaged,
         "alpha"},
        {"name length above 16000", [](Bytes& b) { set16(b, kAlpha + 22, 16001); }, Op::FindInside,
         kPblDamaged, "alpha"},
        {"record overruns the used area", [](Bytes& b) { set16(b, kBeta + 22, 40); }, Op::ForEach,
         kPblDamaged, "beta"},
        {"record without ENT*", [](Bytes& b) { b[kBeta + 1] = 'X'; }, Op::ForEach, kPblDamaged,
         "beta"},
        {"left link to itself", [](Bytes& b) { set32(b, kRoot + 4, kRoot); }, Op::FindBefore,
         kPblDamaged, ""},
        {"left link to itself, walk", [](Bytes& b) { set32(b, kRoot + 4, kRoot); }, Op::ForEach,
         kPblDamaged, ""},
        {"right link past the end", [](Bytes& b) { set32(b, kRoot + 12, 0x200000); }, Op::FindAfter,
         kPblDamaged, ""},
        {"right link past the end, walk", [](Bytes& b) { set32(b, kRoot + 12, 0x200000); },
         Op::ForEach, kPblDamaged, ""},
        {"right link not aligned", [](Bytes& b) { set32(b, kRoot + 12, 1030); }, Op::FindAfter,
         kPblDamaged, ""},
        {"right link to a data block", [](Bytes& b) { set32(b, kRoot + 12, 4096); }, Op::FindAfter,
         kPblDamaged, ""},
        // bitmap chain
        {"bitmap chain loop", [](Bytes& b) { set32(b, 512 + 4, 512); }, Op::GrowAlpha, kPblDamaged,
         ""},
        {"bitmap link past the end", [](Bytes& b) { set32(b, 512 + 4, 0x10000000); }, Op::GrowAlpha,
         kPblDamaged, ""},
        {"bitmap link not aligned", [](Bytes& b) { set32(b, 512 + 4, 700); }, Op::GrowAlpha,
         kPblDamaged, ""},
        {"bitmap link negative", [](Bytes& b) { set32(b, 512 + 4, -1024); }, Op::GrowAlpha,
         kPblDamaged, ""},
        // library data
        {"library data length negative", [](Bytes& b) { set32(b, 288, -1); }, Op::ReadLibData,
         kPblDamaged, "library data"},
        {"library data length beyond the file", [](Bytes& b) { set32(b, 288, 0x7FFFFFF0); },
         Op::ReadLibData, kPblDamaged, "library data"},
        {"library data chain loop", [](Bytes& b) { set32(b, 6656 + 4, 6144); }, Op::ReadLibData,
         kPblDamaged, "library data"},
        {"library data link past the end", [](Bytes& b) { set32(b, 284, 0x4000000); },
         Op::ReadLibData, kPblDamaged, "library data"},
        // unchanged files read fine: the table's baseline
        {"sound", [](Bytes&) {}, Op::ReadAlpha, kPblOk, ""},
        {"sound, walk", [](Bytes&) {}, Op::ForEach, kPblOk, ""},
        {"sound, find before", [](Bytes&) {}, Op::FindBefore, kPblNotFound, ""},
    };
}

}  // namespace keldrin::pbl::test
