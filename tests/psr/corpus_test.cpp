// PowerBuilder's own reports from the corpus: each opens with the right container and
// gives its version, child list, main DataWindow name and every stream the conversion
// reads. The corpus is never copied; without it these tests are skipped.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "base/exceptions.h"
#include "convert/path_ops.h"
#include "psr/psr_container_factory.h"
#include "psr_test_support.h"
#include "support/corpus.h"

namespace keldrin {
namespace {

using testing_psr::wide;

struct CorpusReport {
    std::string file;
    std::string kind;
    std::string objectStart;  // e.g. PDW0900
    int childCount = -1;
};

std::vector<CorpusReport> corpusReports() {
    std::vector<CorpusReport> reports;
    std::ifstream manifest(std::string(KELDRIN_CORPUS_DIR) + "/MANIFEST.tsv");
    std::string line;
    while (std::getline(manifest, line)) {
        std::vector<std::string> columns;
        std::stringstream split(line);
        for (std::string column; std::getline(split, column, '\t');) columns.push_back(column);
        if (columns.size() < 9 || columns[6].rfind("psr-", 0) != 0) continue;
        CorpusReport report{columns[0], columns[6], "", -1};
        const std::string& notes = columns[8];
        std::size_t at = notes.find("object starts ");
        if (at != std::string::npos) report.objectStart = notes.substr(at + 14, 7);
        at = notes.find("(source_N streams)=");
        if (at != std::string::npos) report.childCount = std::stoi(notes.substr(at + 19));
        reports.push_back(report);
    }
    return reports;
}

// Child names read from the reports' lookup tables, by file name: the drop-down
// DataWindows of three reports, and the DataWindow of nestrep.psr's nested report.
const std::map<std::string, std::u16string> kChildNames = {
    {"btnmaint.psr", u"d_dddw_states"},
    {"custlist.psr", u"d_state_lookup"},
    {"ffempdat.psr", u"d_dddw_dept"},
    {"nestrep.psr", u"d_emp_by_dept"},
};

std::u16string versionFromObjectStart(const std::string& start) {
    // PDW0900 -> 9, PDW1050 -> 10.5
    std::string text = start.substr(3, 2);
    if (start[5] != '0') text += std::string(".") + start[5];
    if (text[0] == '0') text.erase(0, 1);
    return wide(text);
}

TEST(Corpus, EveryReportOpensAndGivesWhatTheConversionNeeds) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus at " << KELDRIN_CORPUS_DIR;
    std::vector<CorpusReport> reports = corpusReports();
    ASSERT_FALSE(reports.empty()) << "the corpus lists no reports";
    std::map<std::string, int> kinds;
    for (const CorpusReport& report : reports) {
        SCOPED_TRACE(report.file);
        ++kinds[report.kind];
        std::u16string path = wide(std::string(KELDRIN_CORPUS_DIR) + "/" + report.file);
        std::shared_ptr<PsrContainer> container = PsrContainerFactory::instance().openPsr(path);
        ASSERT_TRUE(container);
        const std::u16string expectedDescription =
            report.kind == "psr-ole"             ? u"OLE compound storage"
            : report.kind == "psr-portable-ansi" ? u"Platform independent PSR File Format: ANSI"
                                                 : u"Platform independent PSR File Format: Unicode";
        EXPECT_EQ(container->formatDescription(), expectedDescription);
        EXPECT_EQ(container->fileName(), path);

        ASSERT_EQ(report.objectStart.size(), 7u);
        EXPECT_EQ(container->powerBuilderVersion(), versionFromObjectStart(report.objectStart));
        EXPECT_EQ(container->majorVersionNumber(), std::stoi(report.objectStart.substr(3, 2)));

        std::vector<ChildDw> children;
        container->readChildDwList(children);
        ASSERT_EQ(static_cast<int>(children.size()), report.childCount);
        std::string base = utf16ToUtf8(fileNameOf(wide(report.file)));
        for (const ChildDw& child : children) {
            EXPECT_EQ(child.name, kChildNames.at(base));
            EXPECT_EQ(child.number, 1);
        }
        EXPECT_EQ(container->mainDwName(path), u"d_" + toLowerCopy(withoutExtension(wide(base))));

        Bytes data;
        for (const char16_t* stream : {u"source", u"object", u"dwstg/dwlookup"}) {
            container->readStream(stream, data);
            if (std::u16string(stream) != u"dwstg/dwlookup") {
                EXPECT_GT(data.size(), 100u);
            }
        }
        container->readStream(u"source", data);
        bool unicode = report.kind == "psr-portable-unicode";
        EXPECT_EQ(data[1] == 0, unicode);
        for (const ChildDw& child : children) {
            container->readStream(u"dwstg/source_" + numberToText(child.number), data);
            EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "release ");
            container->readStream(u"dwstg/object_" + numberToText(child.number), data);
            EXPECT_EQ(std::string(data.begin(), data.begin() + 7), report.objectStart);
        }
    }
    EXPECT_EQ(reports.size(), keldrin::test::corpusFileCount(KELDRIN_CORPUS_DIR, ".psr"));
    EXPECT_GE(kinds["psr-ole"], 1);
    EXPECT_GE(kinds["psr-portable-ansi"], 1);
    EXPECT_GE(kinds["psr-portable-unicode"], 1);
}

std::uint32_t fnv1a(const Bytes& data) {
    std::uint32_t hash = 0x811C9DC5;
    for (std::uint8_t b : data) hash = (hash ^ b) * 0x01000193;
    return hash;
}

// The same sizes and hashes scripts/check-fixtures.py expects from python3-olefile.
TEST(Corpus, TheCompoundFileReportReadsAsAnIndependentReaderReadsIt) {
    std::u16string path =
        wide(std::string(KELDRIN_CORPUS_DIR) +
             "/thansuoi113__PowerBuilder-Examples-And-Skills-Part-2/PB105/57.PSRBrowser/12.psr");
    if (!fs::fileExists(path)) GTEST_SKIP() << "no corpus";
    std::shared_ptr<PsrContainer> container = PsrContainerFactory::instance().openPsr(path);
    struct Row {
        const char16_t* stream;
        std::size_t size;
        std::uint32_t hash;
    };
    const Row rows[] = {
        {u"FSInfo", 68, 0x25E1456B},   {u"RSM", 16, 0x045B9FB6},
        {u"data", 1971, 0xF501F95A},   {u"dwstg/dwlookup", 0, 0x811C9DC5},
        {u"object", 5624, 0x8A9F6206}, {u"original_data", 44, 0xB9CB00E1},
        {u"source", 7007, 0xED50BD6D},
    };
    std::map<std::u16string, std::uint64_t> expected;
    for (const Row& row : rows) {
        Bytes data;
        container->readStream(row.stream, data);
        EXPECT_EQ(data.size(), row.size) << utf16ToUtf8(row.stream);
        EXPECT_EQ(fnv1a(data), row.hash) << utf16ToUtf8(row.stream);
        expected[row.stream] = row.size;
    }
    // These are all the streams it holds.
    std::map<std::u16string, std::uint64_t> listed;
    for (const PsrStreamInfo& stream : container->listStreams())
        listed.emplace(stream.path, stream.size);
    EXPECT_EQ(listed, expected);
    Bytes data;
    EXPECT_THROW(container->readStream(u"neststg", data), NotFoundException);
}

}  // namespace
}  // namespace keldrin
