#include "pbltool/application_load.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "base/text.h"
#include "pbl/export_file.h"
#include "pbltool/text.h"

namespace keldrin::tool {

LoadedApplication loadApplication(ToolContext& context, std::span<const std::u16string> libraries,
                                  const LoadOptions& options) {
    LoadedApplication loaded;
    for (const std::u16string& path : libraries) {
        auto scan = std::make_unique<LibraryScan>(context, path);
        if (!scan->opened() && options.unreadableLibrary != nullptr)
            throw ToolFailure{displayPath(path) + ": cannot be read; " + options.unreadableLibrary};
        const std::size_t library = loaded.app.addLibrary(escapeControls(displayPath(path)));
        std::vector<const EntryRecord*> sources;
        for (const EntryRecord& entry : scan->entries())
            if (pbl::isSourceEntryName(entry.name)) sources.push_back(&entry);
        std::sort(sources.begin(), sources.end(),
                  [](const EntryRecord* x, const EntryRecord* y) { return x->name < y->name; });
        for (const EntryRecord* entry : sources) {
            std::optional<std::string> text = scan->sourceText(*entry);
            if (!text) continue;
            script::ObjectModel model = script::readSource(utf16ToUtf8(entry->name), *text);
            if (options.trim) options.trim(model);
            loaded.app.add(library, std::move(model));
            loaded.records.push_back(entry);
        }
        if (options.progress)
            std::fprintf(context.io.err, "\rread %zu objects", loaded.records.size());
        loaded.troubled = loaded.troubled || scan->troubled();
        loaded.scans.push_back(std::move(scan));
    }
    loaded.app.finish();
    return loaded;
}

}  // namespace keldrin::tool
