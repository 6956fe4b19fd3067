// Fuzz target: the export file reader over any bytes. What it reads must write back in
// its own encoding and read again to the same texts; a file it refuses carries a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/bytes.h"
#include "fuzz_support.h"
#include "pbl/export_file.h"

namespace keldrin::fuzz_export_file {

template <class Texts>
bool sameTexts(const Texts& a, const Texts& b) {
    return a.name == b.name && a.comment == b.comment && a.source == b.source;
}

void run(const std::uint8_t* data, std::size_t size) {
    const pbl::ReadExportFile read = pbl::readExportFile(ByteSpan(data, size));
    if (!read.error.empty()) return;
    // A header line with a line break in it cannot come out of a file; a comment that
    // was an empty line reads as none, which writes back the same way.
    pbl::WrittenExportFile again;
    if (read.encoding == pbl::ExportEncoding::kAnsi)
        again = pbl::writeAnsiExportFile(read.ansi);
    else
        again = pbl::writeExportFile(read.encoding, read.wide);
    if (!again.error.empty()) return;  // a lone surrogate read from HEXASCII has no UTF-8
    const pbl::ReadExportFile back = pbl::readExportFile(again.bytes);
    if (!back.error.empty() || back.encoding != read.encoding) std::abort();
    if (read.encoding == pbl::ExportEncoding::kAnsi ? !sameTexts(back.ansi, read.ansi)
                                                    : !sameTexts(back.wide, read.wide))
        std::abort();
}

}  // namespace keldrin::fuzz_export_file

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_export_file::run(data, size);
    return 0;
}
