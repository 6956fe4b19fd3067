// What a library gets from one report, decided in one place for the converter, the
// toolkit's add-report and report, and the DataWindow readers: the main DataWindow and
// its children with the streams that hold their source and object, the library variant
// the report's PowerBuilder version needs, and which DataWindows a library would take
// for one because their entry names are one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "psr/psr_container.h"

namespace keldrin {

// One DataWindow of a report: the library keeps it as `name` + ".srd" (the bytes of
// `sourceStream`) and `name` + ".dwo" (those of `objectStream`).
struct PlannedDataWindow {
    std::u16string name;
    std::u16string sourceStream;
    std::u16string objectStream;
    // A child's number in "dwstg/dwlookup"; nothing for the main DataWindow.
    std::optional<int> number;
    // The first earlier DataWindow whose entry names a library takes for these: either
    // the same DataWindow again, which a library keeps once, or another that it cannot
    // keep beside this one.
    std::optional<std::size_t> sameNamesAs;
};

struct ReportPlan {
    std::u16string versionText;  // "9", "10.5"
    int majorVersion = 0;        // the version a new library is created with
    bool unicodeText = false;    // the report's sources are UTF-16LE
    // The main DataWindow first, then the children in the order of "dwstg/dwlookup".
    std::vector<PlannedDataWindow> dataWindows;

    // A report of PowerBuilder 10 and later goes into a Unicode library, an older one
    // into an ANSI library.
    bool needsUnicodeLibrary() const;
    std::span<const PlannedDataWindow> children() const;
    // The child whose name is `name` as a library compares names, or nothing.
    const PlannedDataWindow* findChild(std::u16string_view name) const;
};

// True when a library takes the two entry names for one.
bool sameEntryName(std::u16string_view a, std::u16string_view b);

// The version, from "object" (which `buffer` then holds). NotSupportedFormatException
// when the stream is too short to tell it.
void readPlanVersion(PsrContainer& report, Bytes& buffer, ReportPlan& plan);
// The DataWindows and the text encoding, from "source" and "dwstg/dwlookup"; `buffer`
// ends holding "source", so that a conversion need not read it again. The main
// DataWindow is named after the report's file name; when the lookup fails, the plan
// holds the main DataWindow alone.
void readPlanDataWindows(PsrContainer& report, Bytes& buffer, ReportPlan& plan);
// The same two from a stream's leading bytes, for a reader that holds no more of it (the
// converter reads a stream straight into the blocks it is written from): `objectStart`
// holds at least the first kPlanVersionBytes of "object" where it has that many,
// `sourceStart` at least the first kPlanSourceBytes of "source".
inline constexpr std::size_t kPlanVersionBytes = 16;
inline constexpr std::size_t kPlanSourceBytes = 2;
void readPlanVersion(ByteSpan objectStart, ReportPlan& plan);
void readPlanDataWindows(PsrContainer& report, ByteSpan sourceStart, ReportPlan& plan);
// Both: the whole plan.
ReportPlan readReportPlan(PsrContainer& report);

}  // namespace keldrin
