// The application that the sources of some libraries make (src/script), read one way for
// objects, tree, refs and site: the libraries in the order given, each one's sources in
// name order, so that the first library holding a name wins as in PowerBuilder's
// library list.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pbltool/commands.h"
#include "pbltool/scan.h"
#include "script/application.h"
#include "script/script_model.h"

namespace keldrin::tool {

struct LoadedApplication {
    script::Application app;
    std::vector<std::unique_ptr<LibraryScan>> scans;  // still open, in the order given
    std::vector<const EntryRecord*> records;          // per object: its entry in its scan
    bool troubled = false;                            // something could not be read
};

struct LoadOptions {
    // What a source's model keeps of the names its code uses, before it joins the
    // application: a large application stays small when each command keeps only what
    // it shows.
    std::function<void(script::ObjectModel&)> trim;
    // When set, a library that cannot be opened ends the load (ToolFailure: its name,
    // "cannot be read; " and this); otherwise it is noted and the rest read.
    const char* unreadableLibrary = nullptr;
    // "read N objects" on the error stream as each library is done.
    bool progress = false;
};

LoadedApplication loadApplication(ToolContext& context, std::span<const std::u16string> libraries,
                                  const LoadOptions& options);

}  // namespace keldrin::tool
