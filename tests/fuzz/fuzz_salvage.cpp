// Fuzz target: a library file of any content, salvaged. Whatever the input, the salvage
// answers with a result code, leaves the input as it was, and a new library it writes is
// sound: the structural check finds no problem in it, it opens, and it holds exactly the
// entries the report says were recovered, each of which reads back whole. A crash, a
// hang, an unbounded allocation or a read past a buffer is a finding too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"
#include "fuzz_support.h"
#include "pbl/library.h"
#include "pbl/library_check.h"
#include "pbl/salvage.h"
#include "pbltool/tool.h"
#include "support/entry_list.h"

namespace keldrin::fuzz_salvage {

using fuzz::fileBytes;

void run(const std::uint8_t* data, std::size_t size) {
    const std::u16string input = fuzz::writeInput(data, size, "salvage-in.pbl");
    const std::u16string output = fuzz::workFile("salvage-out.pbl");
    fs::removeFile(output);
    pbl::SalvageReport report;
    const int rc = pbl::salvageLibrary(input, output, 0, report);
    const std::vector<std::uint8_t> after = fileBytes(input);
    if (after.size() != size || (size != 0 && !std::equal(after.begin(), after.end(), data)))
        std::abort();
    if (rc != pbl::kPblOk) {
        if (fs::fileExists(output)) std::abort();
        return;
    }
    for (const pbl::CheckFinding& finding : pbl::checkLibrary(output))
        if (finding.problem) std::abort();
    pbl::PblManagerHandle manager(pbl::createPblManager());
    if (!manager) return;
    pbl::PblLibraryHandle library(manager->openLibrary(output, 0));
    if (!library) std::abort();
    const test::EntryList list = test::listEntries(*library);
    if (list.rc != pbl::kPblOk) std::abort();
    if (list.entries.size() != report.recovered.size()) std::abort();
    std::vector<std::uint8_t> buffer;
    for (const pbl::PblEntryInfo& info : list.entries) {
        buffer.assign(static_cast<std::size_t>(info.dataSize) + 1, 0);
        if (library->readEntryData(info, buffer.data()) != pbl::kPblOk) std::abort();
    }
    library.reset();

    // The companion tool over the same file, its output thrown away.
    std::FILE* sink = fs::openFile(u"/dev/null", "wb");
    if (sink == nullptr) return;
    PblToolStreams streams{nullptr, sink, sink};
    (void)runPblTool({u"salvage", input, output, u"--json"}, streams);
    std::fclose(sink);
}

}  // namespace keldrin::fuzz_salvage

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_salvage::run(data, size);
    return 0;
}
