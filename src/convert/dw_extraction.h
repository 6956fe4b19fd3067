// The report facts of dw_extraction.cpp taken from stream bytes the caller has already
// read, so that the conversion reads each large stream once, into one buffer.
#pragma once

#include <string>
#include <vector>

#include "base/bytes.h"
#include "psr/psr_container.h"

namespace keldrin {

// From the bytes of the "object" stream: NotSupportedFormatException when they are too
// short to hold the version.
std::u16string versionTextOf(ByteSpan object);
int majorVersionOf(ByteSpan object);
// The byte of the "source" stream that is zero in a Unicode report.
inline constexpr std::size_t kEncodingByte = 1;
// Appends the child DataWindows, given the bytes of "source" (which tell the lookup's
// text encoding); reads "dwstg/dwlookup" through the container.
void appendChildDws(PsrContainer& container, ByteSpan source, std::vector<ChildDw>& list);

}  // namespace keldrin
