// Rows out as CSV and JSON, and writeReportData on the corpus's reports: which stream
// a DataWindow name picks, what a partial result says, and what a failure says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "base/text.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"
#include "support/report_writer.h"

namespace keldrin::dw {
namespace {

ReportData sample() {
    ReportData data;
    data.stream = "data";
    data.columns = {{"name", 11, 1, "char(10)"}, {"amount", 8, 2, "number"}, {"when", 12, 3, ""}};
    DataValue quoted{ValueKind::kText, "say \"hi\", then\r\nbye", 0};
    DataValue number{ValueKind::kNumber, "1.5", 1.5};
    DataValue date{ValueKind::kDateTime, "1987-02-26T00:00:00", 0};
    DataValue hex{ValueKind::kUnknown, "00ff", 0};
    DataValue control{ValueKind::kText, std::string("tab\there\x01\\"), 0};
    data.rows = {{quoted, number, date}, {control, DataValue{}, hex}};
    return data;
}

TEST(ReportOutput, CsvQuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(toCsv(sample()),
              "name,amount,when\r\n"
              "\"say \"\"hi\"\", then\r\nbye\",1.5,1987-02-26T00:00:00\r\n"
              "tab\there\x01\\,,00ff\r\n");
}

// What a spreadsheet would run as a formula starts with a quote; everything else, the
// column names included, is written as plain CSV writes it.
TEST(ReportOutput, CsvSafeDisarmsWhatASpreadsheetWouldRun) {
    ReportData data;
    data.columns = {{"=name", 11, 1, "char(10)"}, {"v", 11, 2, "char(10)"}};
    auto text = [](const std::string& value) { return DataValue{ValueKind::kText, value, 0}; };
    data.rows = {{text("=1+2"), text("+1")},
                 {text("-5"), text("@SUM(A1)")},
                 {text("\tx"), text("\rx")},
                 {text("a=b"), text("=a,b")},
                 {DataValue{}, text("'already")}};
    EXPECT_EQ(toCsv(data, true),
              "'=name,v\r\n"
              "'=1+2,'+1\r\n"
              "'-5,'@SUM(A1)\r\n"
              "'\tx,\"'\rx\"\r\n"
              "a=b,\"'=a,b\"\r\n"
              ",'already\r\n");
    EXPECT_EQ(toCsv(data).substr(0, 8), "=name,v\r");
}

TEST(ReportOutput, JsonIsAnArrayOfObjects) {
    EXPECT_EQ(toJson(sample()),
              "[\n"
              "  {\"name\": \"say \\\"hi\\\", then\\u000D\\u000Abye\", \"amount\": 1.5, \"when\": "
              "\"1987-02-26T00:00:00\"},\n"
              "  {\"name\": \"tab\\u0009here\\u0001\\\\\", \"amount\": null, \"when\": \"00ff\"}\n"
              "]\n");
    ReportData empty;
    EXPECT_EQ(toJson(empty), "[]\n");
    EXPECT_EQ(toCsv(empty), "\r\n");
}

std::string reportPath(const std::string& name) {
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-"))
        if (file.name == name) return file.path;
    return "";
}

struct Written {
    int status;
    std::string out;
    std::vector<std::string> notes;
};

Written written(const std::string& report, const std::string& dw, Format format) {
    Written w{kDataFailed, "", {}};
    std::shared_ptr<PsrContainer> container = testing::openReport(reportPath(report));
    w.status = writeReportData(*container, dw, format, w.out, w.notes);
    return w;
}

TEST(ReportOutputCorpus, TheMainRowsAsCsv) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const Written w = written("deptlist.psr", "", Format::kCsv);
    EXPECT_EQ(w.status, kDataComplete);
    EXPECT_TRUE(w.notes.empty());
    EXPECT_EQ(w.out,
              "dept_id,dept_name,dept_head_id\r\n"
              "100,R & D,501\r\n"
              "200,Sales,902\r\n"
              "300,Finance,1293\r\n"
              "400,Marketing,1576\r\n"
              "500,Shipping,703\r\n");
}

TEST(ReportOutputCorpus, OleAndUnicodeReportsAsJson) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const Written ole = written("12.psr", "", Format::kJson);
    EXPECT_EQ(ole.status, kDataComplete);
    EXPECT_EQ(ole.out,
              "[\n  {\"id\": \"001\", \"username\": \"John\", \"password\": \"771208\", "
              "\"email\": \"John@email.com\", \"phone\": \"8601088888888\", \"nation\": "
              "\"china\"}\n]\n");
    const Written unicode = written("121.psr", "", Format::kJson);
    EXPECT_EQ(unicode.status, kDataComplete);
    EXPECT_NE(unicode.out.find("\"email\": \"GAGA@gmail.com\""), std::string::npos) << unicode.out;
}

TEST(ReportOutputCorpus, ADropDownChildByItsNameOrItsStream) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const Written byName = written("ffempdat.psr", "D_DDDW_DEPT", Format::kCsv);
    EXPECT_EQ(byName.status, kDataComplete);
    EXPECT_EQ(byName.out,
              "dept_id,dept_name\r\n100,R & D\r\n200,Sales\r\n300,Finance\r\n"
              "400,Marketing\r\n500,Shipping\r\n");
    for (const char* stream : {"datadddw_0_5_0", "neststg/datadddw_0_5_0"}) {
        const Written byStream = written("ffempdat.psr", stream, Format::kCsv);
        EXPECT_EQ(byStream.status, kDataComplete);
        EXPECT_EQ(byStream.out, byName.out);
        EXPECT_TRUE(byStream.notes.empty()) << byStream.notes[0];
    }
}

// A nested report's DataWindow has one stream of rows per row of the report around it:
// by its name, all of them (report_nested_test); by a stream's name, that stream's.
TEST(ReportOutputCorpus, ANestedReportStreamByItsName) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const Written first = written("nestrep.psr", "datanest_1_1_1", Format::kCsv);
    EXPECT_EQ(first.status, kDataComplete);
    EXPECT_EQ(first.out.substr(0, first.out.find("\r\n", first.out.find("\r\n") + 2)),
              "emp_id,employee_emp_lname,employee_emp_fname,salary,employee_start_date\r\n"
              "102,Whitney,Fran,45700.000,1987-02-26T00:00:00");
    EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 1 + 21);
}

TEST(ReportOutputCorpus, PartialRowsSayWhatWasNotDecoded) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    // ffempdat.psr with the last byte of Robert Nielsen's salary set, which no sample has.
    std::shared_ptr<PsrContainer> original = testing::openReport(reportPath("ffempdat.psr"));
    std::vector<keldrin::test::ReportStream> streams(2);
    streams[0].path = "source";
    original->readStream(u"source", streams[0].data);
    streams[1].path = "data";
    original->readStream(u"data", streams[1].data);
    const Bytes salary = {0, 0, 3, 0, 0x28, 0x5d, 0x14, 2, 0, 0, 0, 0, 0, 0, 1, 0};
    auto at =
        std::search(streams[1].data.begin(), streams[1].data.end(), salary.begin(), salary.end());
    ASSERT_NE(at, streams[1].data.end());
    at[15] = 1;
    const std::string path = ::testing::TempDir() + "/keldrin_odd_salary.psr";
    {
        const Bytes bytes = keldrin::test::portableReport(false, streams);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    Written w{kDataFailed, "", {}};
    w.status = writeReportData(*testing::openReport(path), "", Format::kJson, w.out, w.notes);
    std::remove(path.c_str());
    EXPECT_EQ(w.status, kDataPartial);
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_NE(w.notes[0].find("column salary"), std::string::npos) << w.notes[0];
    EXPECT_NE(w.out.find("\"salary\": 45700.000, \"start_date\": \"1987-02-26T00:00:00\", "
                         "\"termination_date\": null, \"birth_date\": \"1959-06-05T00:00:00\""),
              std::string::npos);
    EXPECT_NE(w.out.find("\"salary\": \"00000300285d14020000000000000101\""), std::string::npos);
}

TEST(ReportOutputCorpus, NoSuchDataWindowFails) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    const Written w = written("deptlist.psr", "d_nothing", Format::kCsv);
    EXPECT_EQ(w.status, kDataFailed);
    EXPECT_TRUE(w.out.empty());
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_EQ(w.notes[0], "the report has no DataWindow or stream 'd_nothing'");
}

}  // namespace
}  // namespace keldrin::dw

namespace keldrin::dw {
namespace {

// A report of many rows, on disk for the container to open.
std::shared_ptr<PsrContainer> manyRows(std::size_t rows, const std::string& name) {
    const std::string path = ::testing::TempDir() + "/" + name;
    const Bytes bytes = keldrin::test::ansiRowsReport(rows);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    // The container reads its streams as they are asked for: the file stays.
    return testing::openReport(path);
}

// Text handed on in pieces is the whole text, byte for byte, and no piece is the whole
// of a large result.
TEST(ReportOutputStreamed, PiecesMakeTheWholeText) {
    std::shared_ptr<PsrContainer> report = manyRows(60000, "keldrin_many_rows.psr");
    for (Format format : {Format::kCsv, Format::kJson, Format::kCsvSafe}) {
        std::string whole;
        std::vector<std::string> notes;
        ASSERT_EQ(writeReportData(*report, "", format, whole, notes), kDataComplete);
        std::string joined;
        std::size_t pieces = 0;
        std::size_t largest = 0;
        std::vector<std::string> streamedNotes;
        EXPECT_EQ(writeReportData(
                      *report, "", format,
                      [&](std::string_view piece) {
                          joined += piece;
                          ++pieces;
                          largest = std::max(largest, piece.size());
                      },
                      streamedNotes),
                  kDataComplete);
        EXPECT_EQ(joined, whole);
        EXPECT_GT(pieces, 4u);
        EXPECT_LT(largest, whole.size() / 4);
    }
    DataWindow dw;
    ReportData rows;
    bool hasRows = false;
    std::vector<std::string> notes;
    ASSERT_TRUE(readMainDataWindow(*report, dw, rows, hasRows, notes));
    ASSERT_TRUE(hasRows);
    // Read and written row by row, the text is what the rows held whole make of it.
    std::string written;
    writeReportData(*report, "", Format::kJson, written, notes);
    EXPECT_EQ(written, toJson(rows));
    written.clear();
    writeReportData(*report, "", Format::kCsvSafe, written, notes);
    EXPECT_EQ(written, toCsv(rows, true));
    EXPECT_EQ(toCsv(rows), [&] {
        std::string text;
        writeCsv(rows, false, [&](std::string_view piece) { text += piece; });
        return text;
    }());
    EXPECT_NE(toJson(rows).find("{\"dept\": \"D5999\", \"amount\": 59999}\n]\n"),
              std::string::npos);
    report.reset();
    std::remove((::testing::TempDir() + "/keldrin_many_rows.psr").c_str());
}

}  // namespace
}  // namespace keldrin::dw
