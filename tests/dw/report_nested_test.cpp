// Reports inside reports: nestrep.psr's nested report drawn once per department with that
// department's employees, its rows nested in JSON; reports written here for composites
// (no corpus report is one) and for nested reports whose streams are missing, damaged,
// inconsistent or nested without end.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "dw/report_html.h"
#include "dw/report_nested.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"
#include "support/library_fixture.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin::dw {
namespace {

// A data stream as PowerBuilder 6 writes it (docs/psr-data.md).
class Rows {
  public:
    explicit Rows(const std::vector<std::pair<std::string, std::uint16_t>>& columns) {
        bytes_ = {'D', 'A', 'T', '0', '6', '0', 0, 0};
        u32(static_cast<std::uint32_t>(columns.size() + 1));
        descriptor("", 26, 16);
        for (const auto& [name, code] : columns) descriptor(name, code == 1 ? 11 : 8, code);
        countAt_ = bytes_.size();
        u32(0);
    }
    // One row: numbers for number columns, texts for the others.
    Rows& row(const std::vector<std::string>& values, const std::vector<bool>& numeric) {
        u32(0xFFFFFFFF);  // the row slot
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (numeric[i]) {
                const auto bits = std::bit_cast<std::uint64_t>(std::stod(values[i]));
                u32(8);
                for (int k = 0; k < 8; ++k)
                    bytes_.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
            } else {
                u32(static_cast<std::uint32_t>(values[i].size() + 1));
                bytes_.insert(bytes_.end(), values[i].begin(), values[i].end());
                bytes_.push_back(0);
            }
        }
        ++count_;
        storeU32(bytes_.data() + countAt_, count_);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

  private:
    void u32(std::uint32_t n) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    }
    void descriptor(const std::string& name, std::uint32_t size, std::uint16_t code) {
        Bytes field(41, 0);
        std::copy(name.begin(), name.end(), field.begin());
        bytes_.insert(bytes_.end(), field.begin(), field.end());
        u32(size);
        bytes_.push_back(static_cast<std::uint8_t>(code));
        bytes_.push_back(static_cast<std::uint8_t>(code >> 8));
    }

    Bytes bytes_;
    std::size_t countAt_ = 0;
    std::uint32_t count_ = 0;
};

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

const char kChild[] =
    "release 6;\r\ndatawindow(units=1 processing=0 color=16777215)\r\n"
    "header(height=10) detail(height=10) summary(height=0) footer(height=0)\r\n"
    "table(column=(type=number name=emp_id dbname=\"e.id\") "
    "column=(type=char(10) name=emp_name dbname=\"e.name\"))\r\n"
    "text(band=header x=\"0\" y=\"0\" width=\"80\" height=\"10\" text=\"Employees\")\r\n"
    "column(name=emp_name band=detail id=2 x=\"0\" y=\"0\" width=\"80\" height=\"10\")\r\n";

Rows childRows(const std::vector<std::string>& names) {
    Rows rows({{"emp_id", 2}, {"emp_name", 1}});
    for (std::size_t i = 0; i < names.size(); ++i)
        rows.row({std::to_string(i + 1), names[i]}, {true, false});
    return rows;
}

// A report whose main DataWindow (`main`, with `rows`) holds report objects of the
// DataWindows `children` (name, source), and `nested` streams under "neststg/".
std::shared_ptr<PsrContainer> writeReport(
    const test::ScratchDir& dir, const std::string& main, const Bytes& rows,
    const std::vector<std::pair<std::string, std::string>>& children,
    const std::vector<test::ReportStream>& nested) {
    std::vector<test::ReportStream> streams;
    streams.push_back({"source", text(main)});
    streams.push_back({"object", text("PDW0600 main object")});
    streams.push_back({"data", rows});
    std::vector<std::pair<std::string, std::uint16_t>> lookup;
    for (std::size_t i = 0; i < children.size(); ++i)
        lookup.emplace_back(children[i].first, static_cast<std::uint16_t>(i + 1));
    streams.push_back({"dwstg/dwlookup", test::ansiDwLookup(lookup)});
    for (std::size_t i = 0; i < children.size(); ++i) {
        streams.push_back({"dwstg/source_" + std::to_string(i + 1), text(children[i].second)});
        streams.push_back({"dwstg/object_" + std::to_string(i + 1), text("PDW0600 child")});
    }
    for (const test::ReportStream& s : nested) streams.push_back({"neststg/" + s.path, s.data});
    const std::u16string path = dir.file("nested.psr");
    test::writeWholeFile(path, test::portableReport(false, streams));
    return PsrContainerFactory::instance().openPsr(path);
}

const char kDepartments[] =
    "release 6;\r\ndatawindow(units=1 processing=0)\r\n"
    "header(height=0) detail(height=20) summary(height=0) footer(height=0)\r\n"
    "table(column=(type=number name=dept_id dbname=\"d.id\") "
    "column=(type=char(10) name=dept_name dbname=\"d.name\"))\r\n"
    "column(name=dept_name band=detail id=2 x=\"0\" y=\"0\" width=\"40\" height=\"20\")\r\n"
    "report(band=detail dataobject=\"d_child\" x=\"100\" y=\"0\" width=\"200\" height=\"20\" "
    "height.autosize=yes nest_arguments=((\"dept_id\")))\r\n";

Bytes departments() {
    Rows rows({{"dept_id", 2}, {"dept_name", 1}});
    rows.row({"100", "Sales"}, {true, false}).row({"200", "Finance"}, {true, false});
    return rows.bytes();
}

struct Drawn {
    int status;
    std::string page;
    std::vector<std::string> notes;
};

Drawn draw(PsrContainer& report) {
    Drawn d{kDataFailed, "", {}};
    d.status = writeReportHtml(report, d.page, d.notes);
    return d;
}

// The text of each frame of a nested report on the page, in order.
std::vector<std::string> frames(const std::string& page) {
    std::vector<std::string> out;
    const std::string open = "<div class=\"o report\"";
    for (std::size_t at = page.find(open); at != std::string::npos; at = page.find(open, at + 1)) {
        // A frame ends where its depth of <div> returns to zero.
        int depth = 0;
        std::size_t end = at;
        do {
            const std::size_t nextOpen = page.find("<div", end + 1);
            const std::size_t nextClose = page.find("</div>", end + 1);
            if (nextClose == std::string::npos) break;
            if (nextOpen < nextClose) {
                ++depth;
                end = nextOpen;
            } else {
                --depth;
                end = nextClose;
            }
        } while (depth >= 0);
        out.push_back(page.substr(at, end - at));
        at = end;
    }
    return out;
}

using keldrin::test::occurrences;

bool notesMention(const std::vector<std::string>& notes, const std::string& what) {
    return std::any_of(notes.begin(), notes.end(),
                       [&](const std::string& n) { return n.find(what) != std::string::npos; });
}

TEST(NestedReport, StreamNames) {
    const std::optional<NestName> name = parseNestName(u"datanest_12_3_1");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->row, 12u);
    EXPECT_EQ(name->object, 3u);
    EXPECT_EQ(name->third, 1u);
    for (const char16_t* bad :
         {u"datanest_1_1", u"datanest_1_1_1_1", u"datanest__1_1", u"datadddw_0_5_0",
          u"datanest_1_1_x", u"datanest_1234567890_1_1", u"datanest_-1_1_1", u""})
        EXPECT_FALSE(parseNestName(bad)) << utf16ToUtf8(bad);
}

TEST(NestedReport, EachFrameHoldsTheRowsOfItsOuterRow) {
    test::ScratchDir dir;
    auto report = writeReport(dir, kDepartments, departments(), {{"d_child", kChild}},
                              {{"datanest_1_1_1", childRows({"Ann", "Al"}).bytes()},
                               {"datanest_2_1_1", childRows({"Bob"}).bytes()}});
    const Drawn d = draw(*report);
    EXPECT_EQ(d.status, kDataComplete) << ::testing::PrintToString(d.notes);
    const std::vector<std::string> f = frames(d.page);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(occurrences(f[0], "data-band=\"detail\""), 2u);
    EXPECT_NE(f[0].find(">Ann<"), std::string::npos);
    EXPECT_NE(f[0].find(">Al<"), std::string::npos);
    EXPECT_EQ(f[0].find(">Bob<"), std::string::npos);
    EXPECT_EQ(occurrences(f[1], "data-band=\"detail\""), 1u);
    EXPECT_NE(f[1].find(">Bob<"), std::string::npos);
    // The nested DataWindow's own header and objects, and the frame grown to hold them:
    // header 10 + two rows of 10 pixels.
    EXPECT_NE(f[0].find(">Employees<"), std::string::npos);
    EXPECT_NE(f[0].find("height:30px"), std::string::npos) << f[0];

    std::string json;
    std::vector<std::string> notes;
    EXPECT_EQ(writeReportData(*report, "", Format::kJson, json, notes), kDataComplete);
    EXPECT_EQ(json,
              "[\n"
              "  {\"dept_id\": 100, \"dept_name\": \"Sales\", \"d_child\": [\n"
              "    {\"emp_id\": 1, \"emp_name\": \"Ann\"},\n"
              "    {\"emp_id\": 2, \"emp_name\": \"Al\"}\n"
              "  ]},\n"
              "  {\"dept_id\": 200, \"dept_name\": \"Finance\", \"d_child\": [\n"
              "    {\"emp_id\": 1, \"emp_name\": \"Bob\"}\n"
              "  ]}\n"
              "]\n");
    std::string csv;
    notes.clear();
    EXPECT_EQ(writeReportData(*report, "d_child", Format::kCsv, csv, notes), kDataComplete);
    EXPECT_EQ(csv, "parent_row,emp_id,emp_name\r\n1,1,Ann\r\n1,2,Al\r\n2,1,Bob\r\n");
}

TEST(NestedReport, MissingDamagedOrStrayStreamsLeaveTheFrameWithANote) {
    test::ScratchDir dir;
    Bytes cut = childRows({"Bob"}).bytes();
    cut.resize(cut.size() - 3);
    const struct {
        const char* what;
        std::vector<test::ReportStream> nested;
        const char* note;
    } cases[] = {
        {"missing", {{"datanest_1_1_1", childRows({"Ann"}).bytes()}}, "no saved rows for 1 of 2"},
        {"damaged",
         {{"datanest_1_1_1", childRows({"Ann"}).bytes()}, {"datanest_2_1_1", cut}},
         "datanest_2_1_1"},
        {"other columns",
         {{"datanest_1_1_1", childRows({"Ann"}).bytes()}, {"datanest_2_1_1", departments()}},
         "datanest_2_1_1"},
        {"row past the end",
         {{"datanest_1_1_1", childRows({"Ann"}).bytes()},
          {"datanest_2_1_1", childRows({"Bob"}).bytes()},
          {"datanest_7_1_1", childRows({"Eve"}).bytes()}},
         "belongs to row 7"},
        {"no such object",
         {{"datanest_1_1_1", childRows({"Ann"}).bytes()},
          {"datanest_2_1_1", childRows({"Bob"}).bytes()},
          {"datanest_1_2_1", childRows({"Eve"}).bytes()}},
         "names report object 2"},
        {"twice",
         {{"datanest_1_1_1", childRows({"Ann"}).bytes()},
          {"datanest_1_1_2", childRows({"Eve"}).bytes()},
          {"datanest_2_1_1", childRows({"Bob"}).bytes()}},
         "another stream already gave"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto report =
            writeReport(dir, kDepartments, departments(), {{"d_child", kChild}}, c.nested);
        const Drawn d = draw(*report);
        EXPECT_EQ(d.status, kDataPartial);
        EXPECT_TRUE(notesMention(d.notes, c.note)) << ::testing::PrintToString(d.notes);
        const std::vector<std::string> f = frames(d.page);
        ASSERT_EQ(f.size(), 2u);
        EXPECT_NE(f[0].find(">Ann<"), std::string::npos);
        EXPECT_EQ(d.page.find(">Eve<"), std::string::npos);

        std::string json;
        std::vector<std::string> notes;
        EXPECT_EQ(writeReportData(*report, "", Format::kJson, json, notes), kDataPartial);
        EXPECT_TRUE(notesMention(notes, c.note)) << ::testing::PrintToString(notes);
    }

    // No source for the nested DataWindow: the frames alone.
    auto report = writeReport(dir, kDepartments, departments(), {},
                              {{"datanest_1_1_1", childRows({"Ann"}).bytes()}});
    const Drawn d = draw(*report);
    EXPECT_EQ(d.status, kDataPartial);
    EXPECT_TRUE(notesMention(d.notes, "d_child")) << ::testing::PrintToString(d.notes);
    EXPECT_EQ(occurrences(d.page, "title=\"report: d_child\""), 2u);
}

TEST(NestedReport, AReportThatNestsItselfStopsAtTheDepthBound) {
    // d_loop holds a report of d_loop: drawn to a bounded depth, then an empty frame.
    const std::string loop =
        "release 6;\r\ndatawindow(units=1 processing=0)\r\n"
        "header(height=10) detail(height=10) summary(height=0) footer(height=0)\r\n"
        "table(column=(type=number name=emp_id) column=(type=char(10) name=emp_name))\r\n"
        "report(band=header dataobject=\"d_loop\" x=\"0\" y=\"0\" width=\"50\" height=\"10\")\r\n"
        "report(band=header dataobject=\"d_loop\" x=\"60\" y=\"0\" width=\"50\" height=\"10\")\r\n";
    test::ScratchDir dir;
    auto report = writeReport(dir, loop, childRows({"Ann"}).bytes(), {{"d_loop", loop}}, {});
    const Drawn d = draw(*report);
    EXPECT_EQ(d.status, kDataPartial);
    EXPECT_TRUE(notesMention(d.notes, "deeper than")) << ::testing::PrintToString(d.notes);
    // Two frames per level, four levels drawn (2 + 4 + 8 + 16), and the fifth level's 32
    // frames empty.
    EXPECT_EQ(occurrences(d.page, "data-dataobject=\"d_loop\""), 30u);
    EXPECT_EQ(occurrences(d.page, "<div class=\"o report\""), 62u);
}

TEST(CompositeReport, EachChildInItsFrameWithItsOwnRows) {
    // No corpus report is a composite: this one is written here, its children's rows in
    // datanest_1_B_1 as the nested reports' are.
    const std::string composite =
        "release 6;\r\ndatawindow(units=1 processing=5)\r\n"
        "header(height=0) detail(height=40) summary(height=0) footer(height=0)\r\n"
        "table(column=(type=char(10) name=a dbname=\"a\") unbound=\"yes\")\r\n"
        "report(band=detail dataobject=\"d_child\" name=dw_1 x=\"0\" y=\"0\" width=\"100\" "
        "height=\"40\")\r\n"
        "report(band=detail dataobject=\"d_other\" name=dw_2 x=\"120\" y=\"0\" width=\"100\" "
        "height=\"40\")\r\n";
    const std::string other =
        std::string(kChild).replace(std::string(kChild).find("Employees"), 9, "Others");
    test::ScratchDir dir;
    Rows none({{"a", 1}});
    auto report =
        writeReport(dir, composite, none.bytes(), {{"d_child", kChild}, {"d_other", other}},
                    {{"datanest_1_1_1", childRows({"Ann", "Al"}).bytes()},
                     {"datanest_1_2_1", childRows({"Bob"}).bytes()}});
    const Drawn d = draw(*report);
    EXPECT_EQ(d.status, kDataComplete) << ::testing::PrintToString(d.notes);
    const std::vector<std::string> f = frames(d.page);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[0].find("data-name=\"dw_1\""), std::string::npos);
    EXPECT_NE(f[0].find("left:0px"), std::string::npos);
    EXPECT_NE(f[0].find(">Employees<"), std::string::npos);
    EXPECT_EQ(occurrences(f[0], "data-band=\"detail\""), 2u);
    EXPECT_NE(f[1].find("data-name=\"dw_2\""), std::string::npos);
    EXPECT_NE(f[1].find("left:120px"), std::string::npos);
    EXPECT_NE(f[1].find(">Others<"), std::string::npos);
    EXPECT_NE(f[1].find(">Bob<"), std::string::npos);

    std::string csv;
    std::vector<std::string> notes;
    EXPECT_EQ(writeReportData(*report, "dw_2", Format::kCsv, csv, notes), kDataComplete);
    EXPECT_EQ(csv, "parent_row,emp_id,emp_name\r\n1,1,Bob\r\n");

    // A child without rows: its frame with its header, and a note.
    auto half = writeReport(dir, composite, none.bytes(), {{"d_child", kChild}, {"d_other", other}},
                            {{"datanest_1_1_1", childRows({"Ann"}).bytes()}});
    const Drawn h = draw(*half);
    EXPECT_EQ(h.status, kDataPartial);
    EXPECT_TRUE(notesMention(h.notes, "'dw_2' has no saved rows"))
        << ::testing::PrintToString(h.notes);
    EXPECT_NE(h.page.find(">Others<"), std::string::npos);
}

// nestrep.psr: five departments, each drawn with its own employees (docs/psr-data.md).
TEST(NestedReportCorpus, EveryDepartmentHoldsItsEmployees) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::string path;
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-"))
        if (file.name == "nestrep.psr") path = file.path;
    ASSERT_FALSE(path.empty());
    auto report = testing::openReport(path);
    const Drawn d = draw(*report);
    // Every value decodes, the retrieval argument after each stream's rows included.
    EXPECT_EQ(d.status, kDataComplete);
    const std::vector<std::string> f = frames(d.page);
    ASSERT_EQ(f.size(), 5u);
    const std::size_t employees[] = {21, 18, 8, 15, 8};
    const char* first[] = {">102<", ">129<", ">148<", ">184<", ">191<"};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(occurrences(f[i], "data-band=\"detail\""), employees[i]) << i;
        EXPECT_NE(f[i].find(first[i]), std::string::npos) << i;
        EXPECT_NE(f[i].find(">Employee ID<"), std::string::npos) << i;
    }
    EXPECT_NE(f[0].find(">$45,700.00<"), std::string::npos);  // the nested column's format

    std::string json;
    std::vector<std::string> notes;
    EXPECT_EQ(writeReportData(*report, "", Format::kJson, json, notes), kDataComplete);
    std::size_t nestedRows = 0;
    for (std::size_t at = json.find("\n    {"); at != std::string::npos;
         at = json.find("\n    {", at + 1))
        ++nestedRows;
    EXPECT_EQ(nestedRows, 21u + 18 + 8 + 15 + 8);
    EXPECT_NE(
        json.find("\"department_dept_id\": 300, \"manager_start_date\": \"1993-03-01T00:00:00\", "
                  "\"employee_emp_lname\": \"Shea\", \"employee_emp_fname\": \"Mary Anne\", "
                  "\"d_emp_by_dept\": [\n    {\"emp_id\": 148,"),
        std::string::npos);

    std::string csv;
    notes.clear();
    EXPECT_EQ(writeReportData(*report, "d_emp_by_dept", Format::kCsv, csv, notes), kDataComplete);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 70);
    EXPECT_EQ(csv.rfind("parent_row,emp_id,employee_emp_lname,employee_emp_fname,salary,"
                        "employee_start_date\r\n1,102,Whitney,Fran,45700.000,",
                        0),
              0u);
    EXPECT_NE(csv.find("\r\n5,"), std::string::npos);
}

}  // namespace
}  // namespace keldrin::dw
