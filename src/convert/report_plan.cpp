#include "convert/report_plan.h"

#include <map>

#include "base/exceptions.h"
#include "base/text.h"
#include "convert/dw_extraction.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"

namespace keldrin {
namespace {

PlannedDataWindow planned(std::u16string name, std::u16string source, std::u16string object,
                          std::optional<int> number) {
    return {std::move(name), std::move(source), std::move(object), number, std::nullopt};
}

}  // namespace

bool sameEntryName(std::u16string_view a, std::u16string_view b) {
    return pbl::entryNameKey(a) == pbl::entryNameKey(b);
}

bool ReportPlan::needsUnicodeLibrary() const {
    return majorVersion >= pbl::layout::kUnicodeVersion;
}

std::span<const PlannedDataWindow> ReportPlan::children() const {
    if (dataWindows.empty()) return {};
    return std::span<const PlannedDataWindow>(dataWindows).subspan(1);
}

const PlannedDataWindow* ReportPlan::findChild(std::u16string_view name) const {
    for (const PlannedDataWindow& child : children())
        if (sameEntryName(child.name, name)) return &child;
    return nullptr;
}

void readPlanVersion(PsrContainer& report, Bytes& buffer, ReportPlan& plan) {
    report.readStream(u"object", buffer);
    readPlanVersion(buffer, plan);
}

void readPlanVersion(ByteSpan objectStart, ReportPlan& plan) {
    plan.versionText = versionTextOf(objectStart);
    plan.majorVersion = majorVersionOf(objectStart);
}

void readPlanDataWindows(PsrContainer& report, Bytes& buffer, ReportPlan& plan) {
    report.readStream(u"source", buffer);
    readPlanDataWindows(report, ByteSpan(buffer), plan);
}

void readPlanDataWindows(PsrContainer& report, ByteSpan sourceStart, ReportPlan& plan) {
    static_assert(kEncodingByte < kPlanSourceBytes);
    plan.dataWindows.clear();
    if (sourceStart.size() <= kEncodingByte) throw NotSupportedFormatException();
    plan.unicodeText = sourceStart[kEncodingByte] == 0;
    // The main DataWindow is known before the lookup is read: a reader that shows what it
    // could read still has it when the lookup fails.
    plan.dataWindows.push_back(
        planned(report.mainDwName(report.fileName()), u"source", u"object", std::nullopt));
    std::vector<ChildDw> children;
    appendChildDws(report, sourceStart, children);
    for (const ChildDw& child : children) {
        const std::u16string number = numberToText(child.number);
        plan.dataWindows.push_back(planned(child.name, u"dwstg/source_" + number,
                                           u"dwstg/object_" + number, child.number));
    }
    // Both entries of a DataWindow share its name, so one key stands for the pair.
    std::map<std::u16string, std::size_t> first;
    for (std::size_t i = 0; i < plan.dataWindows.size(); ++i) {
        auto [at, fresh] = first.emplace(pbl::entryNameKey(plan.dataWindows[i].name), i);
        if (!fresh) plan.dataWindows[i].sameNamesAs = at->second;
    }
}

ReportPlan readReportPlan(PsrContainer& report) {
    ReportPlan plan;
    Bytes buffer;
    readPlanVersion(report, buffer, plan);
    readPlanDataWindows(report, buffer, plan);
    return plan;
}

}  // namespace keldrin
