// Line ends between PowerBuilder, which stores and exports CRLF, and a checkout that has
// only LF (git on Linux, or core.autocrlf).
#pragma once

#include <string>
#include <string_view>

#include "base/bytes.h"
#include "pbl/export_file.h"

namespace keldrin::tool {

// Whether the export file holds a carriage return anywhere. One that holds none came
// from a checkout that turned PowerBuilder's CRLF into LF; one that holds any is taken
// as it is, since real entries mix line ends.
bool exportFileHasCarriageReturn(ByteSpan file, pbl::ExportEncoding encoding);

// Every LF as CRLF (the text holds no CR).
std::string lfToCrlf(std::string_view text);
std::u16string lfToCrlf(std::u16string_view text);

// Every CRLF as LF, a lone CR left as it is: how two texts compare without regard to
// their line ends.
std::string crlfToLf(std::string_view text);

}  // namespace keldrin::tool
