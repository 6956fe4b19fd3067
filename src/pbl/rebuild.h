// The library rebuild with a wide target name, for callers whose paths the ANSI code
// page cannot carry (the companion tool). PblLibrary::copyTo is the same with an ANSI
// name.
#pragma once

#include <string>

#include "base/replacement_file.h"
#include "pbl/library.h"

namespace keldrin::pbl {

// Writes a fresh, balanced copy of `source` to `path`; `version` 0 (or below) keeps the
// source's version. Returns 0 or a library result code; `path` is replaced only by a
// complete library. 6 when `path` is the source file itself, when the version is below
// 5, or when an entry name or comment cannot be carried into the other variant.
int copyLibrary(PblLibrary& source, const std::u16string& path, int version);

// Puts a new library, complete at `replacement`'s temporary name, in the place of its
// target, on disk and keeping what the target keeps about who may use it. 0, or
// `failure`; the temporary goes with `replacement` when it was not put in place.
int commitLibrary(fs::ReplacementFile& replacement, int failure);

}  // namespace keldrin::pbl
