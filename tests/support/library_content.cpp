#include "support/library_content.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "pbl/library.h"
#include "support/entry_list.h"

namespace keldrin::test {
LibraryContent readLibraryContent(const std::u16string& path) {
    LibraryContent content;
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle library(manager->openLibrary(path, 0));
    if (!library) return content;
    content.opened = true;
    content.unicode = library->isUnicode() != 0;
    content.version = library->version();
    const EntryList list = listEntries(*library);
    EXPECT_EQ(list.rc, 0);
    for (const pbl::PblEntryInfo& info : list.entries) {
        // One spare byte keeps the buffer a real one for empty entries.
        Bytes buffer(static_cast<std::size_t>(info.dataSize) + 1);
        EXPECT_EQ(library->readEntryData(info, buffer.data()), 0) << info.name;
        buffer.pop_back();
        LibraryEntry entry{std::move(buffer), info.commentSize, info.time};
        EXPECT_TRUE(content.entries.emplace(info.name, std::move(entry)).second)
            << "duplicate " << info.name;
    }
    return content;
}

}  // namespace keldrin::test
