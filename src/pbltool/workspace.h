// The workspace layout PowerBuilder 2019 and later keep under source control:
// ws_objects/<library>.pbl.src/<entry>, UTF-8 with a BOM and CRLF, one folder per
// library, with the library's object list (<library>.pbg) beside the sources.
//
// export --layout ws_objects and import --layout ws_objects run export and import once
// per library on that library's folder; status compares libraries with such folders.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "pbltool/commands.h"

namespace keldrin::tool {

// The option runWorkspaceExport gives the export of each library: no command line can
// carry it (it does not start with "--").
inline constexpr const char* kWorkspaceExport = "workspace layout";
// The option that stops an export or import of one library after its checks, before it
// writes anything: every library is checked before the first one is written.
inline constexpr const char* kWorkspaceCheckOnly = "workspace check only";

// How many bytes at the end of a source's body the workspace layout leaves out of the
// entry's file: a DataWindow source that PowerBuilder stored with a space and a zero
// character after its last line end comes out of PowerBuilder's workspace without them.
std::size_t workspaceOmittedTail(bool unicodeLibrary, std::u16string_view entryName, ByteSpan body);

// The folder of one library in a workspace directory: DIR/<library file name>.src.
std::u16string workspaceFolder(const std::u16string& directory, const std::u16string& library);

void runWorkspaceExport(ToolContext& context, const ParsedArgs& args);
void runWorkspaceImport(ToolContext& context, const ParsedArgs& args);

}  // namespace keldrin::tool
