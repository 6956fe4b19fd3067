// The one plan of what a library gets from a report: its DataWindows with their
// streams, the library variant its version needs, and which DataWindows a library takes
// for one.
#include "convert/report_plan.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "support/memory_report.h"
#include "support/report_writer.h"

namespace keldrin {
namespace {

Bytes asciiBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A report named "sales.psr" (main DataWindow d_sales) with the given children.
test::MemoryReport report(const std::string& digits,
                          const std::vector<std::pair<std::string, std::uint16_t>>& children) {
    test::MemoryReport r;
    r.name = u"dir/sales.psr";
    r.streams[u"object"] = asciiBytes("PDW" + digits + " object");
    r.streams[u"source"] = asciiBytes("release 9;");
    r.streams[u"dwstg/dwlookup"] = test::ansiDwLookup(children);
    return r;
}

TEST(ReportPlan, TheMainDataWindowFirstThenTheChildrenWithTheirStreams) {
    test::MemoryReport r = report("090", {{"D_Detail", 4}, {"d_lookup", 12}});
    const ReportPlan plan = readReportPlan(r);
    EXPECT_EQ(plan.versionText, u"9");
    EXPECT_FALSE(plan.unicodeText);
    ASSERT_EQ(plan.dataWindows.size(), 3u);
    struct Row {
        const char16_t* name;
        const char16_t* source;
        const char16_t* object;
        std::optional<int> number;
    };
    const Row rows[] = {
        {u"d_sales", u"source", u"object", std::nullopt},
        {u"d_detail", u"dwstg/source_4", u"dwstg/object_4", 4},
        {u"d_lookup", u"dwstg/source_12", u"dwstg/object_12", 12},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const PlannedDataWindow& dw = plan.dataWindows[i];
        EXPECT_EQ(dw.name, rows[i].name) << i;
        EXPECT_EQ(dw.sourceStream, rows[i].source) << i;
        EXPECT_EQ(dw.objectStream, rows[i].object) << i;
        EXPECT_EQ(dw.number, rows[i].number) << i;
        EXPECT_FALSE(dw.sameNamesAs) << i;
    }
    EXPECT_EQ(plan.children().size(), 2u);
}

TEST(ReportPlan, TheVersionPicksTheLibraryVariant) {
    const std::pair<const char*, bool> rows[] = {
        {"050", false}, {"060", false}, {"090", false}, {"095", false},
        {"100", true},  {"105", true},  {"125", true},  {"220", true},
    };
    for (const auto& [digits, unicode] : rows) {
        test::MemoryReport r = report(digits, {});
        EXPECT_EQ(readReportPlan(r).needsUnicodeLibrary(), unicode) << digits;
    }
}

TEST(ReportPlan, DataWindowsALibraryTakesForOneAreFound) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::uint16_t>> children;
        std::vector<std::optional<std::size_t>> sameAs;  // main first
    };
    const Row rows[] = {
        {"distinct", {{"d_a", 1}, {"d_b", 2}}, {std::nullopt, std::nullopt, std::nullopt}},
        {"a child named as the main", {{"D_SALES", 1}}, {std::nullopt, 0}},
        {"two children, one name",
         {{"d_a", 1}, {"d_b", 2}, {"d_a", 3}},
         {std::nullopt, std::nullopt, std::nullopt, 1}},
        {"the first earlier one",
         {{"d_a", 1}, {"d_a", 2}, {"d_a", 3}},
         {std::nullopt, std::nullopt, 1, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::MemoryReport r = report("090", row.children);
        const ReportPlan plan = readReportPlan(r);
        ASSERT_EQ(plan.dataWindows.size(), row.sameAs.size());
        for (std::size_t i = 0; i < row.sameAs.size(); ++i)
            EXPECT_EQ(plan.dataWindows[i].sameNamesAs, row.sameAs[i]) << i;
    }
    EXPECT_TRUE(sameEntryName(u"D_Sales.SRD", u"d_sales.srd"));
    EXPECT_FALSE(sameEntryName(u"d_\u00c9", u"d_\u00e9"));  // only ASCII letters fold
}

TEST(ReportPlan, AChildIsFoundByItsNameAsALibraryComparesNames) {
    test::MemoryReport r = report("090", {{"d_detail", 4}});
    const ReportPlan plan = readReportPlan(r);
    ASSERT_NE(plan.findChild(u"D_DETAIL"), nullptr);
    EXPECT_EQ(plan.findChild(u"D_DETAIL")->sourceStream, u"dwstg/source_4");
    EXPECT_EQ(plan.findChild(u"d_sales"), nullptr);  // the main DataWindow is no child
    EXPECT_EQ(plan.findChild(u"d_detai"), nullptr);
}

TEST(ReportPlan, WhatFailsAndWhatIsKnownBeforeIt) {
    test::MemoryReport noLookup = report("090", {});
    noLookup.streams.erase(u"dwstg/dwlookup");
    ReportPlan plan;
    Bytes buffer;
    EXPECT_THROW(readPlanDataWindows(noLookup, buffer, plan), NotFoundException);
    ASSERT_EQ(plan.dataWindows.size(), 1u);  // the main DataWindow is still known
    EXPECT_EQ(plan.dataWindows[0].name, u"d_sales");

    test::MemoryReport shortSource = report("090", {});
    shortSource.streams[u"source"] = asciiBytes("r");
    EXPECT_THROW(readReportPlan(shortSource), NotSupportedFormatException);
    test::MemoryReport shortObject = report("090", {});
    shortObject.streams[u"object"] = asciiBytes("PDW09");
    EXPECT_THROW(readReportPlan(shortObject), NotSupportedFormatException);

    // The conversion reads "source" once: the plan leaves it in the buffer.
    test::MemoryReport whole = report("090", {});
    readPlanDataWindows(whole, buffer, plan);
    EXPECT_EQ(buffer, whole.streams[u"source"]);
}

}  // namespace
}  // namespace keldrin
