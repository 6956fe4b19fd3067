// Fuzz target: the exported reader over a library file of any content. Every entry the
// library enumerates is asked for by its name (also in other capitals), plus names that
// are not there. Where the reader answers 1, the text and the comment it hands out must
// end with a zero character inside its buffers; the address sanitizer sees every byte
// walked to find it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pbl/library.h"
#include "support/entry_list.h"

#include "keldrin/export.h"

namespace keldrin::fuzz_entry_text_reader {

constexpr std::size_t kMaxNames = 512;

// Walks a UTF-16 text the reader handed out up to its zero character.
std::size_t textLength(const unsigned char* text) {
    std::size_t n = 0;
    while (text[2 * n] != 0 || text[2 * n + 1] != 0) ++n;
    return n;
}

void ask(const std::u16string& library, const std::u16string& entry) {
    unsigned char* source = nullptr;
    unsigned char* comment = nullptr;
    std::int32_t time = 0;
    std::int32_t rc =
        RAZEV_ExportSourceEntryW(library.c_str(), entry.c_str(), &source, &comment, &time);
    if (rc == KELDRIN_EXPORT_READ) {
        if (source == nullptr || comment == nullptr) std::abort();
        (void)textLength(source);
        (void)textLength(comment);
    } else if (rc != KELDRIN_EXPORT_NO_ENTRY && rc != KELDRIN_EXPORT_NO_LIBRARY &&
               rc != KELDRIN_EXPORT_UNREADABLE && rc != KELDRIN_EXPORT_UNCONVERTIBLE &&
               rc != KELDRIN_EXPORT_NO_MANAGER) {
        std::abort();  // a result the reader does not document
    }
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::u16string name = fuzz::writeInput(data, size, "export.pbl");
    std::vector<std::string> names;
    {
        pbl::PblManagerHandle manager(pbl::createPblManager());
        if (!manager) return;
        pbl::PblLibraryHandle library(manager->openLibrary(name, 0));
        if (library)
            for (pbl::PblEntryInfo& info : test::listEntries(*library, kMaxNames).entries)
                names.push_back(std::move(info.name));
    }
    ask(name, u"d_main.srd");
    ask(name, u"");
    for (const std::string& entry : names) {
        if (entry.find('\0') != std::string::npos) continue;
        // Names are ANSI bytes here; those of the seed corpus are ASCII, and any other
        // byte simply names an entry that may not be there.
        std::u16string wide;
        std::u16string upper;
        for (unsigned char c : entry) {
            wide.push_back(static_cast<char16_t>(c));
            upper.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
        }
        ask(name, wide);
        ask(name, upper);
    }
}

}  // namespace keldrin::fuzz_entry_text_reader

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_entry_text_reader::run(data, size);
    return 0;
}
