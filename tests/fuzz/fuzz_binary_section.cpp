// Fuzz target: the binary data section codec over any text. A section it reads must
// write back and read again to the same entry; one it refuses carries a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "pbl/binary_section.h"

namespace keldrin::fuzz_binary_section {

void run(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // An export file's section, or the input as one.
    const std::size_t at = text.find(pbl::kBinarySectionStart);
    if (at != std::string_view::npos) text.remove_prefix(at);
    const pbl::DecodedBinarySection read = pbl::decodeBinarySection(text, 1);
    if (!read.error.empty()) return;
    const std::optional<std::string> again = pbl::encodeBinarySection(read.entry);
    if (!again) std::abort();
    const pbl::DecodedBinarySection back = pbl::decodeBinarySection(*again, 1);
    if (!back.error.empty() || back.entry.name != read.entry.name ||
        back.entry.data != read.entry.data)
        std::abort();
}

}  // namespace keldrin::fuzz_binary_section

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_binary_section::run(data, size);
    return 0;
}
