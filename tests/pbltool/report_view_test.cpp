// keldrin-pbl report --data and --html as a process: the rows of corpus reports as CSV
// and JSON, what a partial result and a damaged report say and return, and that a page
// is written whole or not at all.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"
#include "support/corpus.h"
#include "support/library_fixture.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

struct ViewRun {
    int exitCode;
    std::string out;
    std::string err;
};

// The corpus report with this file name, or "" when the corpus lacks it.
std::string corpusReport(const std::string& name) {
    for (const test::ManifestRow& row : test::manifestRows(KELDRIN_CORPUS_DIR)) {
        if (row.kind.rfind("psr-", 0) != 0) continue;
        if (row.file.size() >= name.size() + 1 &&
            row.file.compare(row.file.size() - name.size() - 1, std::string::npos, "/" + name) == 0)
            return std::string(KELDRIN_CORPUS_DIR) + "/" + row.file;
    }
    return "";
}

void writeBytes(const stdfs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

class ReportViewTest : public test::PblToolProcessTest {
  protected:
    ViewRun run(const std::vector<std::string>& args) {
        test::ProcessSpec spec{.program = tool_, .args = args};
        spec.environment = {"LC_ALL=C", "ASAN_OPTIONS=exitcode=86",
                            "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1"};
        spec.timeLimit = 60;
        test::ProcessResult p = test::runProcess(spec);
        if (p.exitCode == 86 || p.exitCode == 87) ADD_FAILURE() << "sanitizer report:\n" << p.err;
        EXPECT_EQ(p.signal, 0) << p.err;
        return {p.exitCode, std::move(p.out), std::move(p.err)};
    }

    // The corpus report, or an empty string after marking the test skipped.
    std::string report(const std::string& name) {
        if (!test::corpusDirOrSkip()) return "";
        return corpusReport(name);
    }

    // Everything in the scratch directory, temporary files included.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : stdfs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A portable report holding the streams of `source` (a corpus report), the rows
    // stream cut to its first `dataBytes` bytes.
    std::string reportWithDataCut(const std::string& source, std::size_t dataBytes) {
        std::shared_ptr<PsrContainer> original =
            PsrContainerFactory::instance().openPsr(utf8ToUtf16(source));
        std::vector<test::ReportStream> streams(2);
        streams[0].path = "source";
        original->readStream(u"source", streams[0].data);
        streams[1].path = "data";
        original->readStream(u"data", streams[1].data);
        if (streams[1].data.size() > dataBytes) streams[1].data.resize(dataBytes);
        std::string path = (dir_ / "cut.psr").string();
        writeBytes(path, test::portableReport(false, streams));
        return path;
    }

    // ffempdat.psr's rows with the last byte of Robert Nielsen's salary set: a decimal no
    // sample showed, so the rows come out partial.
    std::string reportWithOddSalary(const std::string& ffempdat) {
        std::string path = reportWithDataCut(ffempdat, SIZE_MAX);
        std::shared_ptr<PsrContainer> cut =
            PsrContainerFactory::instance().openPsr(utf8ToUtf16(path));
        std::vector<test::ReportStream> streams(2);
        streams[0].path = "source";
        cut->readStream(u"source", streams[0].data);
        streams[1].path = "data";
        cut->readStream(u"data", streams[1].data);
        const Bytes salary = {0, 0, 3, 0, 0x28, 0x5d, 0x14, 2, 0, 0, 0, 0, 0, 0, 1, 0};
        auto at = std::search(streams[1].data.begin(), streams[1].data.end(), salary.begin(),
                              salary.end());
        if (at != streams[1].data.end()) at[15] = 1;
        path = (dir_ / "odd.psr").string();
        writeBytes(path, test::portableReport(false, streams));
        return path;
    }
};

TEST_F(ReportViewTest, RowsAsCsvAndJson) {
    const std::string deptlist = report("deptlist.psr");
    if (deptlist.empty()) GTEST_SKIP() << "no corpus";
    ViewRun csv = run({"report", deptlist, "--data"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.err, "");
    // The rows themselves are the DataWindow tests' concern; here, that they come out whole.
    EXPECT_EQ(csv.out.rfind("dept_id,dept_name,dept_head_id\r\n100,R & D,501\r\n", 0), 0u);
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 6);
    EXPECT_EQ(csv.out.substr(csv.out.size() - 18), "500,Shipping,703\r\n");
    EXPECT_EQ(run({"report", deptlist, "--data", "--format", "csv"}).out, csv.out);

    ViewRun json = run({"report", "--data", "--format", "json", deptlist});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out.rfind(
                  "[\n  {\"dept_id\": 100, \"dept_name\": \"R & D\", \"dept_head_id\": 501},\n", 0),
              0u)
        << json.out;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '{'), 5);

    // Unicode and compound-file reports come out the same way.
    const std::string unicode = corpusReport("121.psr");
    const std::string ole = corpusReport("12.psr");
    ViewRun u = run({"report", unicode, "--data", "--format", "json"});
    EXPECT_EQ(u.exitCode, 0) << u.err;
    EXPECT_NE(u.out.find("\"email\": \"GAGA@gmail.com\""), std::string::npos) << u.out;
    ViewRun o = run({"report", ole, "--data"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out,
              "id,username,password,email,phone,nation\r\n"
              "001,John,771208,John@email.com,8601088888888,china\r\n");
}

TEST_F(ReportViewTest, CsvQuotesFieldsThatNeedIt) {
    // Every row of every corpus report has as many fields as its header, fields being
    // split the RFC 4180 way (a quoted field may hold commas, quotes and line breaks).
    if (!test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::size_t quoted = 0;
    for (const test::ManifestRow& row : test::manifestRows(KELDRIN_CORPUS_DIR)) {
        if (row.kind.rfind("psr-", 0) != 0) continue;
        ViewRun r = run({"report", std::string(KELDRIN_CORPUS_DIR) + "/" + row.file, "--data"});
        ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 3) << row.file << ": " << r.err;
        std::vector<std::size_t> fields{1};
        bool inQuotes = false;
        for (std::size_t i = 0; i < r.out.size(); ++i) {
            const char c = r.out[i];
            if (inQuotes) {
                if (c == '"' && i + 1 < r.out.size() && r.out[i + 1] == '"')
                    ++i;
                else if (c == '"')
                    inQuotes = false;
            } else if (c == '"') {
                inQuotes = true;
                ++quoted;
            } else if (c == ',') {
                ++fields.back();
            } else if (c == '\r') {
                ASSERT_LT(i + 1, r.out.size()) << row.file;
                ASSERT_EQ(r.out[i + 1], '\n') << row.file << ": a bare CR outside quotes";
                ++i;
                fields.push_back(1);
            } else {
                ASSERT_NE(c, '\n') << row.file << ": a bare LF outside quotes";
            }
        }
        EXPECT_FALSE(inQuotes) << row.file;
        fields.pop_back();  // after the last CRLF
        ASSERT_FALSE(fields.empty()) << row.file;
        for (std::size_t n : fields) EXPECT_EQ(n, fields[0]) << row.file;
    }
    EXPECT_GT(quoted, 0u) << "no corpus value needed quoting: the check above proves little";
}

TEST_F(ReportViewTest, ANestedDataWindowByName) {
    const std::string ffempdat = report("ffempdat.psr");
    if (ffempdat.empty()) GTEST_SKIP() << "no corpus";
    ViewRun r = run({"report", ffempdat, "--data", "--dw", "d_dddw_dept"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "dept_id,dept_name\r\n100,R & D\r\n200,Sales\r\n300,Finance\r\n"
              "400,Marketing\r\n500,Shipping\r\n");
    ViewRun missing = run({"report", ffempdat, "--data", "--dw", "d_nothing"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("no DataWindow or stream 'd_nothing'"), std::string::npos)
        << missing.err;
}

TEST_F(ReportViewTest, APartialResultPrintsEverythingAndExitsThree) {
    if (report("ffempdat.psr").empty()) GTEST_SKIP() << "no corpus";
    const std::string ffempdat = reportWithOddSalary(report("ffempdat.psr"));
    ViewRun r = run({"report", ffempdat, "--data", "--format", "json"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(r.err.rfind("keldrin-pbl: " + ffempdat + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("column salary"), std::string::npos) << r.err;
    // The value not decoded is there as hex, and the rows after it are there too.
    EXPECT_NE(r.out.find("\"salary\": \"00000300285d14020000000000000101\""), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "]\n");

    // The page of a partial report is still written, with the same note and exit code.
    const std::string page = (dir_ / "ffempdat.html").string();
    ViewRun h = run({"report", ffempdat, "--html", page});
    EXPECT_EQ(h.exitCode, 3) << h.err;
    EXPECT_NE(h.err.find("column salary"), std::string::npos) << h.err;
    EXPECT_NE(test::readAll(page).find("</html>"), std::string::npos);
}

TEST_F(ReportViewTest, ADamagedRowsStreamNamesTheStreamAndTheOffset) {
    const std::string deptlist = report("deptlist.psr");
    if (deptlist.empty()) GTEST_SKIP() << "no corpus";
    const std::string cut = reportWithDataCut(deptlist, 100);
    ViewRun r = run({"report", cut, "--data"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("stream 'data' byte "), std::string::npos) << r.err;

    // The page still draws the layout, without rows: partial, and it says why.
    const std::string page = (dir_ / "cut.html").string();
    ViewRun h = run({"report", cut, "--html", page});
    EXPECT_EQ(h.exitCode, 3) << h.err;
    EXPECT_NE(h.err.find("'data'"), std::string::npos) << h.err;
    EXPECT_TRUE(stdfs::exists(page));
}

// nestrep.psr with the third department's employees cut short and the fifth's gone: every
// frame is drawn, those two without rows, with a note each, and the result is partial.
TEST_F(ReportViewTest, ADamagedNestedReportDrawsItsFramesAndSaysWhy) {
    const std::string nestrep = report("nestrep.psr");
    if (nestrep.empty()) GTEST_SKIP() << "no corpus";
    std::shared_ptr<PsrContainer> original =
        PsrContainerFactory::instance().openPsr(utf8ToUtf16(nestrep));
    std::vector<test::ReportStream> streams;
    for (const PsrStreamInfo& info : original->listStreams()) {
        if (info.path == u"neststg/datanest_5_1_1") continue;
        streams.push_back({utf16ToUtf8(info.path), {}});
        original->readStream(info.path, streams.back().data);
        if (info.path == u"neststg/datanest_3_1_1") streams.back().data.resize(300);
    }
    const std::string damaged = (dir_ / "nested.psr").string();
    writeBytes(damaged, test::portableReport(false, streams));

    const std::string page = (dir_ / "nested.html").string();
    ViewRun h = run({"report", damaged, "--html", page});
    EXPECT_EQ(h.exitCode, 3) << h.err;
    EXPECT_NE(h.err.find("stream 'neststg/datanest_3_1_1' byte "), std::string::npos) << h.err;
    EXPECT_NE(h.err.find("no saved rows for 2 of 5 rows (the first: row 3)"), std::string::npos)
        << h.err;
    const std::string html = test::readAll(page);
    std::size_t frames = 0;
    for (std::size_t at = html.find("<div class=\"o report\""); at != std::string::npos;
         at = html.find("<div class=\"o report\"", at + 1))
        ++frames;
    EXPECT_EQ(frames, 5u);

    ViewRun json = run({"report", damaged, "--data", "--format", "json"});
    EXPECT_EQ(json.exitCode, 3) << json.err;
    std::size_t none = 0;
    for (std::size_t at = json.out.find("\"d_emp_by_dept\": null"); at != std::string::npos;
         at = json.out.find("\"d_emp_by_dept\": null", at + 1))
        ++none;
    EXPECT_EQ(none, 2u) << json.out;

    ViewRun csv = run({"report", damaged, "--data", "--dw", "d_emp_by_dept"});
    EXPECT_EQ(csv.exitCode, 3) << csv.err;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 1 + 21 + 18 + 15);
}

TEST_F(ReportViewTest, ATruncatedReportFailsWithWhereItEnds) {
    const std::string deptlist = report("deptlist.psr");
    if (deptlist.empty()) GTEST_SKIP() << "no corpus";
    const std::string whole = test::readAll(deptlist);
    const stdfs::path cut = dir_ / "truncated.psr";
    {
        std::ofstream out(cut, std::ios::binary);
        out.write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    }
    ViewRun r = run({"report", cut.string(), "--data"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("keldrin-pbl: " + cut.string() + ": damaged report: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" at offset "), std::string::npos) << r.err;

    const stdfs::path notReport = dir_ / "plain.psr";
    std::ofstream(notReport) << "just some text, no report at all\n";
    ViewRun plain = run({"report", notReport.string(), "--data"});
    EXPECT_EQ(plain.exitCode, 1);
    EXPECT_EQ(plain.err, "keldrin-pbl: " + notReport.string() + ": not a saved report\n");
}

TEST_F(ReportViewTest, APageIsWrittenWholeOrNotAtAll) {
    const std::string deptlist = report("deptlist.psr");
    if (deptlist.empty()) GTEST_SKIP() << "no corpus";
    const stdfs::path page = dir_ / "page.html";
    ViewRun r = run({"report", deptlist, "--html", page.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string html = test::readAll(page);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("</html>"), std::string::npos);
    EXPECT_NE(html.find("Marketing"), std::string::npos);
    EXPECT_EQ(files(), std::vector<std::string>{"page.html"});

    // A page written again keeps the permissions the old one had.
    stdfs::permissions(page, stdfs::perms::owner_read | stdfs::perms::owner_write);
    EXPECT_EQ(run({"report", deptlist, "--html", page.string()}).exitCode, 0);
    EXPECT_EQ(stdfs::status(page).permissions() & stdfs::perms::all,
              stdfs::perms::owner_read | stdfs::perms::owner_write);

    // A report that cannot be read leaves the existing page as it was and nothing else.
    const stdfs::path truncated = dir_ / "truncated.psr";
    {
        const std::string whole = test::readAll(deptlist);
        std::ofstream out(truncated, std::ios::binary);
        out.write(whole.data(), 100);
    }
    ViewRun bad = run({"report", truncated.string(), "--html", page.string()});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(test::readAll(page), html);
    EXPECT_EQ(files(), (std::vector<std::string>{"page.html", "truncated.psr"}));

    // Nor a page in the report's own place.
    const stdfs::path copy = dir_ / "copy.psr";
    stdfs::copy_file(deptlist, copy);
    ViewRun self = run({"report", copy.string(), "--html", copy.string()});
    EXPECT_EQ(self.exitCode, 1);
    EXPECT_NE(self.err.find("is the report itself"), std::string::npos) << self.err;
    EXPECT_EQ(test::readAll(copy), test::readAll(deptlist));
    stdfs::remove(copy);

    // Nor does a page whose directory does not exist.
    ViewRun noDir = run({"report", deptlist, "--html", (dir_ / "no" / "page.html").string()});
    EXPECT_EQ(noDir.exitCode, 1);
    EXPECT_NE(noDir.err.find("does not exist"), std::string::npos) << noDir.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"page.html", "truncated.psr"}));
}

TEST_F(ReportViewTest, OptionsThatDoNotGoTogether) {
    const std::string page = (dir_ / "p.html").string();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"report", "r.psr", "--data", "--html", page},
             {"report", "r.psr", "--html", page, "--format", "csv"},
             {"report", "r.psr", "--data", "--format", "xml"},
             {"report", "r.psr", "--data", "--json"},
             {"report", "r.psr", "--html", ""},
             {"report", "r.psr", "--data", "--all-rows"},
         }) {
        ViewRun r = run(args);
        EXPECT_EQ(r.exitCode, 2) << args[2] << " " << args[3];
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    EXPECT_TRUE(files().empty());
}

// A page of more rows than it draws says so; --all-rows draws every one, and the page
// written in pieces is one whole file with no temporary left beside it.
TEST_F(ReportViewTest, APageOfManyRowsSaysWhatItLeftOut) {
    const std::string psr = (dir_ / "many.psr").string();
    writeBytes(psr, test::ansiRowsReport(12345));
    const std::string page = (dir_ / "many.html").string();
    ViewRun r = run({"report", psr, "--html", page});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string html = test::readAll(page);
    EXPECT_NE(html.find("10000 of 12345 rows drawn; --all-rows draws all"), std::string::npos);
    EXPECT_NE(html.find("D999<"), std::string::npos);
    EXPECT_EQ(html.find("D1000<"), std::string::npos);
    r = run({"report", psr, "--html", page, "--all-rows"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    html = test::readAll(page);
    EXPECT_EQ(html.find("rows drawn"), std::string::npos);
    EXPECT_NE(html.find(">D1234<"), std::string::npos);
    EXPECT_EQ(html.substr(html.size() - 15), "</body></html>\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"many.html", "many.psr"}));
}

}  // namespace
}  // namespace keldrin
