// Graphs drawn from saved rows: values gathered per category and series as the DataWindow
// declares them, one mark per point for every graph type, stacking, what bad attributes
// give, and the corpus's two graph reports drawn from their own rows.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/text.h"
#include "dw/report_graph.h"
#include "dw/report_html.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"

namespace keldrin::dw {
namespace {

// Rows of (dept, status, amount).
ReportData rows(const std::vector<std::tuple<std::string, std::string, double>>& values) {
    ReportData data;
    data.columns = {
        {"dept", 11, 1, "char(10)"}, {"status", 2, 1, "char(1)"}, {"amount", 8, 2, "number"}};
    for (const auto& [dept, status, amount] : values)
        data.rows.push_back({DataValue{ValueKind::kText, dept, 0},
                             DataValue{ValueKind::kText, status, 0},
                             DataValue{ValueKind::kNumber, std::to_string(amount), amount}});
    return data;
}

const ReportData kRows = rows(
    {{"B", "A", 10}, {"A", "A", 1}, {"B", "T", 5}, {"A", "T", 2}, {"C", "A", 7}, {"B", "A", 3}});

// A DataWindow whose one object is a graph with these attributes.
struct GraphDw {
    DataWindow dw;
    explicit GraphDw(const std::u16string& attributes) {
        Damage error;
        const std::u16string text =
            u"release 6;\r\ndatawindow(units=1)\r\ndetail(height=0)\r\n"
            u"table(column=(type=char(10) name=dept) column=(type=char(1) name=status) "
            u"column=(type=number name=amount))\r\n"
            u"graph(band=background x=\"0\" y=\"0\" width=\"400\" height=\"300\" " +
            attributes + u")\r\n";
        EXPECT_TRUE(parseDataWindow(text, dw, error)) << error.what;
    }
    const Object& graph() const { return dw.objects.at(0); }
};

GraphData gathered(const std::u16string& attributes, const ReportData& data = kRows) {
    const GraphDw g(attributes);
    GraphData out;
    std::string why;
    EXPECT_TRUE(aggregateGraph(g.graph(), data, 0, data.rows.size(), out, why)) << why;
    return out;
}

std::size_t marks(const std::string& svg) {
    std::size_t n = 0;
    for (std::size_t at = svg.find("class=\"kd-mark\""); at != std::string::npos;
         at = svg.find("class=\"kd-mark\"", at + 1))
        ++n;
    return n;
}

TEST(ReportGraphAggregate, CountAndSumPerCategoryAndSeries) {
    const GraphData count =
        gathered(u"category=\"dept\" category.sort=\"1\" values=\"count(amount for graph)\"");
    EXPECT_EQ(count.categories, (std::vector<std::string>{"A", "B", "C"}));
    ASSERT_EQ(count.series.size(), 1u);
    EXPECT_EQ(count.series[0].values, (std::vector<std::optional<double>>{2.0, 3.0, 1.0}));

    // A series expression splits each category; a category a series lacks has no point.
    const GraphData split = gathered(
        u"category=\"dept\" category.sort=\"2\" series=\"status\" series.sort=\"1\" "
        u"values=\"sum(amount for graph)\"");
    EXPECT_EQ(split.categories, (std::vector<std::string>{"C", "B", "A"}));
    ASSERT_EQ(split.series.size(), 2u);
    EXPECT_EQ(split.series[0].name, "A");
    EXPECT_EQ(split.series[0].values, (std::vector<std::optional<double>>{7.0, 13.0, 1.0}));
    EXPECT_EQ(split.series[1].name, "T");
    EXPECT_EQ(split.series[1].values, (std::vector<std::optional<double>>{std::nullopt, 5.0, 2.0}));

    // Named series, one values expression each; an aggregate without "for graph" is over
    // every row, and "@overlay" and a tab make a line over the bars.
    const GraphData named = gathered(
        u"category=\"dept\" category.sort=\"1\" "
        u"series=\"~\"Total~\", ~\"@overlay~~tMean~\"\" "
        u"values=\"sum(amount for graph) / 2, Avg(amount)\"");
    ASSERT_EQ(named.series.size(), 2u);
    EXPECT_EQ(named.series[0].name, "Total");
    EXPECT_FALSE(named.series[0].overlay);
    EXPECT_EQ(named.series[0].values, (std::vector<std::optional<double>>{1.5, 9.0, 3.5}));
    EXPECT_EQ(named.series[1].name, "Mean");
    EXPECT_TRUE(named.series[1].overlay);
    const double mean = 28.0 / 6;
    EXPECT_EQ(named.series[1].values, (std::vector<std::optional<double>>{mean, mean, mean}));

    // if() and comparisons in the category and inside the aggregate; unsorted categories
    // come in the order the rows give them.
    const GraphData conditional = gathered(
        u"category=\"if(status = 'T', 'Gone', dept)\" "
        u"values=\"sum(if(amount >= 3 and not (dept = 'C'), amount, 0) for graph)\"");
    EXPECT_EQ(conditional.categories, (std::vector<std::string>{"B", "A", "Gone", "C"}));
    EXPECT_EQ(conditional.series[0].values,
              (std::vector<std::optional<double>>{13.0, 0.0, 5.0, 0.0}));
}

TEST(ReportGraphAggregate, NumericCategoriesSortAsNumbers) {
    ReportData data;
    data.columns = {{"id", 8, 2, "number"}, {"v", 8, 2, "number"}};
    for (double id : {100.0, 9.0, 20.0})
        data.rows.push_back(
            {DataValue{ValueKind::kNumber, "", id}, DataValue{ValueKind::kNumber, "", id / 10}});
    GraphDw g(u"category=\"id\" category.sort=\"1\" values=\"v\"");
    GraphData out;
    std::string why;
    ASSERT_TRUE(aggregateGraph(g.graph(), data, 0, 3, out, why)) << why;
    EXPECT_EQ(out.categories, (std::vector<std::string>{"9", "20", "100"}));
    EXPECT_EQ(out.series[0].values, (std::vector<std::optional<double>>{0.9, 2.0, 10.0}));
}

TEST(ReportGraphDraw, EveryTypeDrawsOneMarkPerPoint) {
    // 3 categories x 2 series, one point missing: 5 points; a pie draws a slice per
    // category and series.
    const std::u16string common =
        u"category=\"dept\" series=\"status\" values=\"sum(amount for graph)\" "
        u"title=\"Money\" category.label=\"Department\" values.label=\"Amount\" legend=\"4\" ";
    for (int type = 1; type <= 17; ++type) {
        SCOPED_TRACE(type);
        const GraphDw g(common + u"graphtype=\"" + utf8ToUtf16(std::to_string(type)) + u"\"");
        std::string why;
        const std::optional<std::string> svg = graphSvg(g.graph(), &kRows, 0, 6, 400, 300, why);
        ASSERT_TRUE(svg) << why;
        EXPECT_EQ(marks(*svg), 5u);
        const bool pie = type == 13 || type == 17;
        const bool barLike = (type >= 2 && type <= 11);
        const std::string shape = pie ? "<path" : barLike ? "<rect" : "<circle";
        EXPECT_NE(svg->find(shape + " d=\"") == std::string::npos &&
                      svg->find(shape + " ") == std::string::npos,
                  true);
        // Each mark is of its type's shape.
        std::size_t shaped = 0;
        for (std::size_t at = svg->find(shape); at != std::string::npos;
             at = svg->find(shape, at + 1))
            if (svg->find("kd-mark", at) < svg->find('>', at)) ++shaped;
        EXPECT_EQ(shaped, 5u);
        EXPECT_NE(svg->find(">Money</text>"), std::string::npos);
        if (!pie) {
            EXPECT_NE(svg->find(">Department</text>"), std::string::npos);
            EXPECT_NE(svg->find(">Amount</text>"), std::string::npos);
        }
        EXPECT_NE(svg->find("class=\"kd-legend\""), std::string::npos);
        EXPECT_EQ(svg->find("<script"), std::string::npos);
        EXPECT_EQ(svg->find("http"), std::string::npos);
    }
}

// The rects of category `c`: (top, height) in the order drawn.
std::vector<std::pair<double, double>> rectsOf(const std::string& svg, const std::string& c) {
    std::vector<std::pair<double, double>> out;
    const std::regex rect(
        "<rect x=\"[-0-9.]+\" y=\"([-0-9.]+)\" width=\"[-0-9.]+\" height=\"([-0-9."
        "]+)\"[^>]*data-category=\"" +
        c + "\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rect); it != std::sregex_iterator();
         ++it)
        out.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
    return out;
}

TEST(ReportGraphDraw, StackedColumnsSitOnEachOther) {
    const std::u16string common =
        u"category=\"dept\" category.sort=\"1\" series=\"status\" series.sort=\"1\" "
        u"values=\"sum(amount for graph)\" ";
    std::string why;
    const GraphDw stacked(common + u"graphtype=\"10\"");
    const std::string s = graphSvg(stacked.graph(), &kRows, 0, 6, 400, 300, why).value_or("");
    const auto b = rectsOf(s, "B");  // 13 then 5 on top
    ASSERT_EQ(b.size(), 2u) << s;
    EXPECT_NEAR(b[1].first + b[1].second, b[0].first, 0.11);
    EXPECT_NEAR(b[0].second / b[1].second, 13.0 / 5.0, 0.05);

    // Side by side, both start at the axis.
    const GraphDw plain(common + u"graphtype=\"7\"");
    const std::string p = graphSvg(plain.graph(), &kRows, 0, 6, 400, 300, why).value_or("");
    const auto pb = rectsOf(p, "B");
    ASSERT_EQ(pb.size(), 2u) << p;
    EXPECT_NEAR(pb[0].first + pb[0].second, pb[1].first + pb[1].second, 0.11);
    // The stacked axis reaches the sum, so the same value is drawn shorter than alone.
    EXPECT_LT(b[0].second, pb[0].second);
}

TEST(ReportGraphDraw, WhatCannotBeDrawnSaysWhy) {
    const struct {
        std::u16string attributes;
        const char* why;
    } cases[] = {
        {u"graphtype=\"99\" category=\"dept\" values=\"amount\"", "graph type 99"},
        {u"graphtype=\"7\" values=\"amount\"", "no category"},
        {u"graphtype=\"7\" category=\"nothing\" values=\"amount\"", "no column 'nothing'"},
        {u"graphtype=\"7\" category=\"dept\" values=\"today()\"", "today()"},
        {u"graphtype=\"7\" category=\"dept\" values=\"sum(sum(amount))\"", "inside an aggregate"},
        {u"graphtype=\"7\" category=\"dept\" values=\"sum(amount for group 1)\"", "range"},
        {u"graphtype=\"7\" category=\"dept\" values=\"(amount\"", "')'"},
        {u"graphtype=\"7\" category=\"dept\" values=\"amount, amount\"", "2 values expressions"},
        {u"graphtype=\"7\" category=\"'x\" values=\"amount\"", "not closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf16ToUtf8(c.attributes));
        const GraphDw g(c.attributes);
        std::string why;
        EXPECT_FALSE(graphSvg(g.graph(), &kRows, 0, 6, 400, 300, why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    // Without rows, nothing to draw from.
    const GraphDw g(u"graphtype=\"7\" category=\"dept\" values=\"amount\"");
    std::string why;
    EXPECT_FALSE(graphSvg(g.graph(), nullptr, 0, 0, 400, 300, why));
    EXPECT_NE(why.find("no saved rows"), std::string::npos) << why;

    // The page keeps the frame, the title and the reason.
    const GraphDw titled(u"graphtype=\"99\" title=\"Kept\" category=\"dept\" values=\"amount\"");
    const std::string page = renderHtml(titled.dw, &kRows, "t");
    EXPECT_NE(page.find(">Kept</span>"), std::string::npos);
    EXPECT_NE(page.find("kd-graph-note\" style=\"font-size:8pt;color:#808080\">graph type 99"),
              std::string::npos);
    EXPECT_EQ(page.find("kd-mark"), std::string::npos);
}

TEST(ReportGraphDraw, BoundsOnWhatIsGathered) {
    // Too deep, too many categories, too long: refused, quickly.
    std::u16string deep(500, u'(');
    deep += u"amount" + std::u16string(500, u')');
    const GraphDw nested(u"graphtype=\"7\" category=\"dept\" values=\"" + deep + u"\"");
    std::string why;
    EXPECT_FALSE(graphSvg(nested.graph(), &kRows, 0, 6, 400, 300, why));
    EXPECT_NE(why.find("too deeply"), std::string::npos) << why;

    std::u16string chain = u"amount";
    for (int i = 0; i < 1000; ++i) chain += u"+1";
    const GraphDw sum(u"graphtype=\"7\" category=\"dept\" values=\"" + chain + u"\"");
    EXPECT_FALSE(graphSvg(sum.graph(), &kRows, 0, 6, 400, 300, why));

    ReportData many;
    many.columns = {{"id", 8, 2, "number"}};
    for (std::size_t i = 0; i <= kMaxGraphCategories; ++i)
        many.rows.push_back({DataValue{ValueKind::kNumber, "", static_cast<double>(i)}});
    const GraphDw wide(u"graphtype=\"7\" category=\"id\" values=\"count(id for graph)\"");
    EXPECT_FALSE(graphSvg(wide.graph(), &many, 0, many.rows.size(), 400, 300, why));
    EXPECT_NE(why.find("more than 1000 categories"), std::string::npos) << why;
    many.rows.pop_back();
    EXPECT_TRUE(graphSvg(wide.graph(), &many, 0, many.rows.size(), 400, 300, why)) << why;

    // An aggregate over every row in each of many points is worked out once: 1000
    // categories over 200,000 rows would take minutes otherwise.
    ReportData big;
    big.columns = {{"id", 8, 2, "number"}};
    for (std::size_t i = 0; i < 200000; ++i)
        big.rows.push_back({DataValue{ValueKind::kNumber, "", static_cast<double>(i % 1000)}});
    const GraphDw average(
        u"graphtype=\"12\" category=\"id\" values=\"avg(id) + sum(id for graph) * 0\"");
    GraphData out;
    ASSERT_TRUE(aggregateGraph(average.graph(), big, 0, big.rows.size(), out, why)) << why;
    ASSERT_EQ(out.categories.size(), 1000u);
    EXPECT_EQ(out.series[0].values[999], 499.5);
}

TEST(ReportGraphDraw, AGraphInAGroupBandDrawsThatGroupsRows) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(
        u"release 6;\r\ndatawindow(units=1)\r\ndetail(height=10)\r\n"
        u"table(column=(type=char(10) name=dept) column=(type=char(1) name=status) "
        u"column=(type=number name=amount))\r\n"
        u"group(level=1 header.height=0 trailer.height=100 by=(\"dept\"))\r\n"
        u"graph(band=trailer.1 x=\"0\" y=\"0\" width=\"200\" height=\"100\" graphtype=\"7\" "
        u"range=\"1\" category=\"status\" values=\"sum(amount for graph)\")\r\n"
        u"graph(band=detail x=\"0\" y=\"0\" width=\"200\" height=\"10\" graphtype=\"13\" "
        u"category=\"dept\" values=\"count(amount for graph)\")\r\n",
        dw, error))
        << error.what;
    const ReportData sorted =
        rows({{"A", "A", 1}, {"A", "T", 2}, {"B", "A", 10}, {"B", "A", 3}, {"B", "T", 5}});
    const std::string html = renderHtml(dw, &sorted, "t");
    // Group A: two statuses; group B: two (A is 13). Each of the five detail bands repeats
    // the pie of every row (2 slices).
    EXPECT_EQ(marks(html), 2u + 2u + 5u * 2u);
    EXPECT_NE(html.find("data-category=\"A\" data-value=\"13\""), std::string::npos);
    EXPECT_NE(html.find("data-category=\"T\" data-value=\"2\""), std::string::npos);
}

// ---- The corpus's graph reports ----

std::string page(const std::string& name) {
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-"))
        if (file.name == name) {
            std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
            std::string out;
            std::vector<std::string> notes;
            EXPECT_EQ(writeReportHtml(*report, out, notes, name), kDataComplete)
                << ::testing::PrintToString(notes);
            return out;
        }
    return "";
}

TEST(ReportGraphCorpus, EmpgraphCountsEmployeesPerDepartment) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const std::string html = page("empgraph.psr");
    ASSERT_FALSE(html.empty());
    EXPECT_EQ(marks(html), 5u);
    // count(emp_id for graph) per department_dept_name, ascending: 75 employees in all,
    // as deptemps.psr lists them by department.
    for (const char* point : {"data-category=\"Finance\" data-value=\"9\"",
                              "data-category=\"Marketing\" data-value=\"16\"",
                              "data-category=\"R &amp; D\" data-value=\"22\"",
                              "data-category=\"Sales\" data-value=\"19\"",
                              "data-category=\"Shipping\" data-value=\"9\""})
        EXPECT_NE(html.find(point), std::string::npos) << point;
    EXPECT_LT(html.find("data-category=\"Finance\""), html.find("data-category=\"Shipping\""));
    EXPECT_NE(html.find(">Department Headcount</text>"), std::string::npos);
    EXPECT_NE(html.find(">Departments</text>"), std::string::npos);
    EXPECT_NE(html.find("># of Employees</text>"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
}

TEST(ReportGraphCorpus, EmpsalsDrawsSalariesAndTheirAverage) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const std::string html = page("empsals.psr");
    ASSERT_FALSE(html.empty());
    // 22 employees of R & D: a column each for "Salaries" and a point each on the
    // "Average Salary" overlay line.
    EXPECT_EQ(marks(html), 44u);
    std::size_t rects = 0;
    std::size_t circles = 0;
    for (std::size_t at = html.find("<rect"); at != std::string::npos;
         at = html.find("<rect", at + 1))
        if (html.find("kd-mark", at) < html.find('>', at)) ++rects;
    for (std::size_t at = html.find("<circle"); at != std::string::npos;
         at = html.find("<circle", at + 1))
        ++circles;
    EXPECT_EQ(rects, 22u);
    EXPECT_EQ(circles, 22u);
    // Fran Whitney (102) earns 45,700: 45.7 thousand.
    EXPECT_NE(html.find("data-series=\"0\" data-category=\"102\" data-value=\"45.7\""),
              std::string::npos);
    EXPECT_NE(html.find("data-series=\"1\" data-category=\"102\""), std::string::npos);
    EXPECT_NE(html.find(">Department's Employees</text>"), std::string::npos);
    EXPECT_NE(html.find(">Employee Salaries &amp; Department Average</text>"), std::string::npos);
    // legend="0": none.
    EXPECT_EQ(html.find("kd-legend"), std::string::npos);
}

}  // namespace
}  // namespace keldrin::dw
