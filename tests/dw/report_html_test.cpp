// The page drawn for a report: units and colours on their own, the order of
// the bands on a small DataWindow, and every corpus report as a page that holds its
// texts and its first reportRows and refers to nothing outside itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/text.h"
#include "dw/report_html.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin::dw {
namespace {

TEST(ReportHtmlUnits, EachUnitSystemToPixels) {
    EXPECT_EQ(toPixels(3200, 0, true), 700);  // 32 units across are 7 pixels
    EXPECT_EQ(toPixels(64, 0, false), 16);    // 64 units down are 16 pixels
    EXPECT_EQ(toPixels(1, 0, true), 0);
    EXPECT_EQ(toPixels(3, 0, true), 1);  // 0.66 rounds up
    EXPECT_EQ(toPixels(123, 1, true), 123);
    EXPECT_EQ(toPixels(1000, 2, false), 96);
    EXPECT_EQ(toPixels(2540, 3, true), 96);
}

TEST(ReportHtmlUnits, ColoursAndTheirSpecialValues) {
    EXPECT_EQ(cssColor(255), "#ff0000");  // 0x00BBGGRR
    EXPECT_EQ(cssColor(16711680), "#0000ff");
    EXPECT_EQ(cssColor(12632256), "#c0c0c0");
    EXPECT_EQ(cssColor(536870912), "transparent");
    EXPECT_EQ(cssColor(553648127), "transparent");
    EXPECT_EQ(cssColor(1073741824), "#ffffff");
    EXPECT_EQ(cssColor(33554432), "#000000");
    EXPECT_EQ(cssColor(67108864), "#c0c0c0");
}

ReportData reportRows(const std::vector<std::pair<std::string, double>>& values) {
    ReportData data;
    data.columns = {{"dept", 11, 1, "char(10)"}, {"amount", 8, 2, "number"}};
    for (const auto& [dept, amount] : values)
        data.rows.push_back({DataValue{ValueKind::kText, dept, 0},
                             DataValue{ValueKind::kNumber, std::to_string(amount), amount}});
    return data;
}

TEST(ReportHtmlPage, BandsInOrderWithGroupsAndTotals) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(
        u"release 6;\r\ndatawindow(units=1 color=16777215)\r\n"
        u"header(height=20)\r\nsummary(height=20)\r\nfooter(height=10)\r\ndetail(height=18)\r\n"
        u"table(column=(type=char(10) name=dept) column=(type=number name=amount))\r\n"
        u"group(level=1 header.height=16 trailer.height=16 by=(\"dept\"))\r\n"
        u"text(band=header text=\"Dept <all>\" x=\"0\" y=\"0\" width=\"100\" height=\"16\")\r\n"
        u"text(band=header text=\"hidden\" visible=\"0\" x=\"0\" y=\"0\" width=\"900\" "
        u"height=\"16\")\r\n"
        u"column(band=header.1 id=1 x=\"0\" y=\"0\" width=\"80\" height=\"16\")\r\n"
        u"column(band=detail id=2 format=\"#,##0.00\" x=\"10\" y=\"0\" width=\"300\" "
        u"height=\"16\")\r\n"
        u"compute(band=trailer.1 expression=\"sum(amount for group 1)\" x=\"0\" y=\"0\" "
        u"width=\"80\" height=\"16\" name=sub)\r\n"
        u"compute(band=summary expression=\"sum(amount for all)\" x=\"0\" y=\"0\" width=\"80\" "
        u"height=\"16\" name=total)\r\n"
        u"compute(band=footer expression=\"'Page ' + page() + ' of ' + pageCount()\" x=\"0\" "
        u"y=\"0\" width=\"80\" height=\"10\")\r\n"
        u"compute(band=summary expression=\"f(x)\" x=\"0\" y=\"0\" width=\"80\" height=\"16\")\r\n"
        u"ellipse(band=detail x=\"0\" y=\"0\" width=\"5\" height=\"5\" brush.color=\"255\")\r\n"
        u"line(band=summary x1=\"0\" y1=\"1\" x2=\"200\" y2=\"1\" pen.width=\"2\")\r\n",
        dw, error))
        << error.what;
    const ReportData data = reportRows({{"A", 1}, {"A", 2.5}, {"B", 1000}});
    const std::string html = renderHtml(dw, &data, "t");
    // Band order: header, A, 1, 2.5, A's total, B, 1000, B's total, summary, footer.
    std::size_t at = 0;
    for (const char* piece :
         {"data-band=\"header\"", "Dept &lt;all&gt;", "data-band=\"header.1\"", ">A<", "1.00",
          "2.50", "data-band=\"trailer.1\"", ">3.5<", ">B<", "1,000.00", ">1000<",
          "data-band=\"summary\"", ">1003.5<", "title=\"f(x)\"", "<line", "Page 1 of 1"}) {
        const std::size_t found = html.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << html;
        at = found;
    }
    EXPECT_EQ(html.find(">hidden<"), std::string::npos);
    EXPECT_NE(html.find("width:310px"), std::string::npos);  // the widest visible object
    EXPECT_EQ(html.find("<script"), std::string::npos);
}

TEST(ReportHtmlPage, LayeredObjectsGroupBoxesAndButtons) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(
        u"release 6;\r\ndatawindow(units=1 color=0)\r\n"
        u"header(height=30)\r\ndetail(height=0)\r\n"
        u"table(column=(type=char(10) name=a))\r\n"
        u"groupbox(band=header text=\"Benefits\" x=\"0\" y=\"0\" width=\"90\" height=\"30\" "
        u"font.face=\"MS 'Sans'; Serif\")\r\n"
        u"button(band=header text=\"Go\" x=\"100\" y=\"0\" width=\"40\" height=\"20\")\r\n"
        u"graph(band=background x=\"0\" y=\"0\" width=\"300\" height=\"200\" "
        u"title=\"Sales\")\r\n",
        dw, error))
        << error.what;
    const std::string html = renderHtml(dw, nullptr, "t");
    EXPECT_NE(html.find("width:300px;min-height:200px"), std::string::npos) << html;
    EXPECT_NE(html.find(">Benefits</span>"), std::string::npos) << html;
    EXPECT_NE(html.find(">Go</div>"), std::string::npos) << html;
    // A face's quotes and semicolons cannot end the CSS value early.
    EXPECT_NE(html.find("font-family:'MS Sans Serif',Arial,sans-serif;"), std::string::npos)
        << html;
    // A graph of no type drawn keeps its frame and title and says why.
    EXPECT_NE(html.find("title=\"graph: the graph declares no graphtype\"><span "
                        "style=\"font-weight:400;color:#000000\">Sales</span>"),
              std::string::npos)
        << html;
}

TEST(ReportHtmlPage, CodeTablesAndDropDownsShowTheirDisplayValues) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(
        u"release 6;\r\ndatawindow(units=1)\r\ndetail(height=18)\r\n"
        u"table(column=(type=char(1) name=status values=\"&Active\tA/&Terminated\tT\") "
        u"column=(type=number name=dept))\r\n"
        u"column(band=detail id=1 radiobuttons.columns=2 x=\"0\" y=\"0\" width=\"9\" "
        u"height=\"9\")\r\n"
        u"column(band=detail id=2 dddw.name=d_dept dddw.datacolumn=id dddw.displaycolumn=name "
        u"x=\"0\" y=\"0\" width=\"9\" height=\"9\")\r\n",
        dw, error))
        << error.what;
    ReportData data;
    data.columns = {{"status", 2, 1, "char(1)"}, {"dept", 8, 2, "number"}};
    data.rows = {{DataValue{ValueKind::kText, "T", 0}, DataValue{ValueKind::kNumber, "200", 200}},
                 {DataValue{ValueKind::kText, "X", 0}, DataValue{ValueKind::kNumber, "300", 300}}};
    DropDownRows dropDowns;
    ReportData& list = dropDowns[2];
    list.columns = {{"id", 8, 2, ""}, {"name", 41, 1, ""}};
    list.rows = {
        {DataValue{ValueKind::kNumber, "100", 100}, DataValue{ValueKind::kText, "R & D", 0}},
        {DataValue{ValueKind::kNumber, "200", 200}, DataValue{ValueKind::kText, "Sales", 0}}};
    const std::string html = renderHtml(dw, &data, "t", &dropDowns);
    const std::size_t terminated = html.find(">Terminated<");
    const std::size_t sales = html.find(">Sales<");
    const std::size_t unknown = html.find(">X<");
    const std::size_t raw = html.find(">300<");
    ASSERT_NE(terminated, std::string::npos) << html;
    EXPECT_LT(terminated, sales);
    EXPECT_LT(sales, unknown);  // a value with no display text shows as it is
    EXPECT_LT(unknown, raw);
}

TEST(ReportHtmlCorpus, EveryReportIsOnePageOfItsOwn) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const char* keep = std::getenv("KELDRIN_HTML_DIR");  // to look at the pages
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-")) {
        SCOPED_TRACE(file.path);
        std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
        std::string html;
        std::vector<std::string> notes;
        const int status = writeReportHtml(*report, html, notes);
        EXPECT_NE(status, kDataFailed);
        for (const char* outside : {"<script", "src=", "href=", "url(", "@import"})
            EXPECT_EQ(html.find(outside), std::string::npos) << outside;
        DataWindow dw;
        ReportData data;
        bool hasRows = false;
        std::vector<std::string> ignored;
        ASSERT_TRUE(readMainDataWindow(*report, dw, data, hasRows, ignored));
        ASSERT_TRUE(hasRows);
        for (const Object& o : dw.objects) {
            if (o.kind != "text" || o.attr("visible", "1") == "0") continue;
            const std::string text = o.attr("text");
            if (text.empty() || text.find_first_of("<>&\"\t") != std::string::npos) continue;
            const Band* band = nullptr;
            for (const Band& b : dw.bands)
                if (b.name == o.band) band = &b;
            if (band == nullptr || band->height <= 0) continue;
            EXPECT_NE(html.find(">" + text + "<"), std::string::npos) << text;
        }
        if (keep != nullptr) std::ofstream(std::string(keep) + "/" + file.name + ".html") << html;
    }
}

}  // namespace
}  // namespace keldrin::dw

namespace keldrin::dw {
namespace {

using keldrin::test::occurrences;

// The page of a large report: its first reportRows drawn and a line saying so, the totals over
// every row; asked for all reportRows, the page written in pieces is the page drawn whole.
TEST(ReportHtmlManyRows, RowsCutWithANoteAndStreamedWhole) {
    constexpr std::size_t kRowCount = kRowsDrawn + 50;
    const std::string path = ::testing::TempDir() + "/keldrin_html_rows.psr";
    {
        const Bytes bytes = keldrin::test::ansiRowsReport(kRowCount);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::shared_ptr<PsrContainer> report = testing::openReport(path);
    const std::string total = ">" + std::to_string(kRowCount * (kRowCount - 1) / 2) + "<";

    std::string cut;
    std::vector<std::string> notes;
    ASSERT_EQ(writeReportHtml(*report, cut, notes), kDataComplete);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(occurrences(cut, "data-band=\"detail\""), kRowsDrawn);
    EXPECT_NE(cut.find(std::to_string(kRowsDrawn) + " of " + std::to_string(kRowCount) +
                       " rows drawn; --all-rows draws all"),
              std::string::npos);
    EXPECT_NE(cut.find(total), std::string::npos);

    std::string pieces;
    std::size_t count = 0;
    ASSERT_EQ(writeReportHtml(
                  *report,
                  [&](std::string_view piece) {
                      pieces += piece;
                      ++count;
                  },
                  notes, "report", SIZE_MAX),
              kDataComplete);
    EXPECT_GT(count, 10u);
    EXPECT_EQ(occurrences(pieces, "data-band=\"detail\""), kRowCount);
    EXPECT_EQ(pieces.find("rows drawn"), std::string::npos);
    EXPECT_NE(pieces.find(total), std::string::npos);
    DataWindow dw;
    ReportData reportRows;
    bool hasRows = false;
    ASSERT_TRUE(readMainDataWindow(*report, dw, reportRows, hasRows, notes));
    EXPECT_EQ(pieces, renderHtml(dw, &reportRows, "report"));

    // Under the limit the page is as it always was.
    report.reset();
    reportRows.rows.resize(kRowsDrawn);
    std::string whole;
    const std::string smallPath = ::testing::TempDir() + "/keldrin_html_rows_small.psr";
    const Bytes bytes = keldrin::test::ansiRowsReport(kRowsDrawn);
    {
        std::ofstream out(smallPath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::shared_ptr<PsrContainer> small = testing::openReport(smallPath);
    EXPECT_EQ(writeReportHtml(*small, whole, notes), kDataComplete);
    EXPECT_EQ(whole, renderHtml(dw, &reportRows, "report"));
    small.reset();
    std::remove(path.c_str());
    std::remove(smallPath.c_str());
}

}  // namespace
}  // namespace keldrin::dw
