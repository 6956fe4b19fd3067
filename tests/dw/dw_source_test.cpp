// The DataWindow source parser: its syntax on small texts, its refusals with their
// offsets, and every source the corpus holds (report streams and library entries).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/text.h"
#include "dw/dw_source.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"
#include "support/library_content.h"

namespace keldrin::dw {
namespace {

Damage failure(std::u16string_view text) {
    SourceText parsed;
    Damage error;
    EXPECT_FALSE(parseSourceText(text, parsed, error)) << utf16ToUtf8(std::u16string(text));
    return error;
}

TEST(DwSourceSyntax, GroupsItemsAndValues) {
    SourceText text;
    Damage error;
    ASSERT_TRUE(
        parseSourceText(u"release 10.5;\r\ndatawindow(units=0 print.documentname=\"\" "
                        u"color=1073741824)\r\nheader(height=80 color=\"536870912\" )",
                        text, error))
        << error.what;
    EXPECT_EQ(text.release, "10.5");
    ASSERT_EQ(text.groups.size(), 2u);
    EXPECT_EQ(text.groups[0].keyword, "datawindow");
    EXPECT_EQ(text.groups[0].text("units"), "0");
    EXPECT_EQ(text.groups[0].text("print.documentname", "absent"), "");
    EXPECT_TRUE(text.groups[0].find("print.documentname")->quoted);
    EXPECT_EQ(text.groups[0].text("missing", "absent"), "absent");
    EXPECT_EQ(text.groups[1].text("color"), "536870912");
    EXPECT_EQ(text.groups[1].offset, 75u);
}

TEST(DwSourceSyntax, TildeEscapesInBothQuotes) {
    SourceText text;
    Damage error;
    ASSERT_TRUE(
        parseSourceText(u"text(a=\"say ~\"hi~\" ~~ x~ty\" b='it~'s' c=\"~r~n\" "
                        u"d=\"~065~h42~o103\" e=\"~q\")",
                        text, error))
        << error.what;
    const Group& g = text.groups[0];
    EXPECT_EQ(g.text("a"), "say \"hi\" ~ x\ty");
    EXPECT_EQ(g.text("b"), "it's");
    EXPECT_EQ(g.text("c"), "\r\n");
    EXPECT_EQ(g.text("d"), "ABC");
    EXPECT_EQ(g.text("e"), "q");
}

TEST(DwSourceSyntax, NestedListsAndBareValues) {
    SourceText text;
    Damage error;
    ASSERT_TRUE(
        parseSourceText(u"table(column=(type=char(10) name=id dbname=\"ID\" ) "
                        u"arguments=((\"a\", string),(\"b\", number)) )\r\n"
                        u"data(\"x\", 1, null )",
                        text, error))
        << error.what;
    const Value* column = text.groups[0].find("column");
    ASSERT_NE(column, nullptr);
    ASSERT_TRUE(column->isList);
    EXPECT_EQ(column->list[0].key, "type");
    EXPECT_EQ(column->list[0].value.text, "char(10)");
    EXPECT_EQ(column->list[1].value.text, "id");
    EXPECT_EQ(column->display(), "(type=char(10) name=id dbname=ID)");
    const Value* arguments = text.groups[0].find("arguments");
    ASSERT_NE(arguments, nullptr);
    ASSERT_EQ(arguments->list.size(), 2u);
    EXPECT_EQ(arguments->list[1].value.list[0].value.text, "b");
    ASSERT_EQ(text.groups[1].items.size(), 3u);
    EXPECT_TRUE(text.groups[1].items[0].key.empty());
    EXPECT_EQ(text.groups[1].items[2].value.text, "null");
}

TEST(DwSourceSyntax, RefusalsNameTheirOffset) {
    EXPECT_EQ(failure(u"release 6;\r\ndatawindow(units=0").offset, 30u);
    const Damage string = failure(u"text(text=\"open )");
    EXPECT_NE(string.what.find("string opened at character 10"), std::string::npos) << string.what;
    EXPECT_EQ(failure(u"release 6;\r\nheader height=1").offset, 19u);
    EXPECT_EQ(failure(u"release ;").offset, 8u);
    EXPECT_EQ(failure(u"release 6 header(").offset, 10u);
    EXPECT_EQ(failure(u"text(a=)").offset, 7u);
    EXPECT_EQ(failure(u"text(=1)").offset, 5u);
    EXPECT_EQ(failure(u")").offset, 0u);
}

TEST(DwSourceSyntax, DeepNestingIsRefusedNotRecursedInto) {
    std::u16string deep = u"text(a=";
    deep.append(100000, u'(');
    const Damage error = failure(deep);
    EXPECT_NE(error.what.find("nest deeper"), std::string::npos) << error.what;
}

TEST(DwSourceModel, BandsColumnsAndObjects) {
    const std::u16string text =
        u"release 9;\r\n"
        u"datawindow(units=1 color=16777215 )\r\n"
        u"header(height=20 color=\"536870912\" )\r\n"
        u"summary(height=0 )\r\nfooter(height=0 )\r\ndetail(height=18 )\r\n"
        u"table(column=(type=char(10) updatewhereclause=yes name=id dbname=\"ID\" )\r\n"
        u" column=(type=decimal(2) name=amount dbname=\"t.amount\" )\r\n"
        u" retrieve=\"SELECT id FROM t\" )\r\n"
        u"group(level=1 header.height=16 trailer.height=12 by=(\"id\" ) )\r\n"
        u"text(band=header text=\"Id\" x=\"1\" y=\"2\" height=\"16\" width=\"40\" name=t_1 )\r\n"
        u"column(band=detail id=1 x=\"1\" y=\"1\" height=\"16\" width=\"40\" name=id )\r\n"
        u"compute(band=summary expression=\"sum(amount for all)\" name=c_total )\r\n"
        u"line(band=detail x1=\"0\" y1=\"17\" x2=\"100\" y2=\"17\" )\r\n"
        u"htmltable(border=\"1\" )\r\n";
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(text, dw, error)) << error.what;
    EXPECT_EQ(dw.attr("units"), "1");
    ASSERT_EQ(dw.bands.size(), 6u);
    EXPECT_EQ(dw.bands[0].name, "header");
    EXPECT_EQ(dw.bands[0].height, 20);
    EXPECT_EQ(dw.bands[4].name, "header.1");
    EXPECT_EQ(dw.bands[4].height, 16);
    EXPECT_EQ(dw.bands[5].name, "trailer.1");
    EXPECT_EQ(dw.bands[5].groupBy, std::vector<std::string>{"id"});
    ASSERT_EQ(dw.columns.size(), 2u);
    EXPECT_EQ(dw.columns[1].name, "amount");
    EXPECT_EQ(dw.columns[1].type, "decimal(2)");
    EXPECT_EQ(dw.columns[1].baseType(), "decimal");
    EXPECT_EQ(dw.columns[1].dbname, "t.amount");
    ASSERT_NE(dw.column("id"), nullptr);
    ASSERT_EQ(dw.objects.size(), 4u);
    EXPECT_EQ(dw.objects[0].kind, "text");
    EXPECT_EQ(dw.objects[0].attr("text"), "Id");
    EXPECT_EQ(dw.objects[1].band, "detail");
    EXPECT_EQ(dw.objects[2].attr("expression"), "sum(amount for all)");
    EXPECT_EQ(dw.objects[3].kind, "line");
}

TEST(DwSourceModel, ANumberRunIntoTheNextKeyIsSplit) {
    // As PowerBuilder 9 writes its PDF export settings.
    SourceText text;
    Damage error;
    ASSERT_TRUE(
        parseSourceText(u"export.pdf(method=0distill.custompostscript=\"0\" x=1 )", text, error))
        << error.what;
    const Group& g = text.groups[0];
    EXPECT_EQ(g.text("method"), "0");
    EXPECT_EQ(g.text("distill.custompostscript"), "0");
    EXPECT_EQ(g.text("x"), "1");
    EXPECT_EQ(failure(u"a(b=c=d)").offset, 5u);
}

TEST(DwSourceModel, ABlobColumnMayHaveNoName) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(parseDataWindow(u"table(column=(type=blob dbname=\"object\") )", dw, error));
    ASSERT_EQ(dw.columns.size(), 1u);
    EXPECT_EQ(dw.columns[0].name, "");
    EXPECT_EQ(dw.columns[0].type, "blob");
}

// Every source the corpus's reports hold, the main DataWindow's and every child's.
TEST(DwSourceCorpus, EveryReportSourceParses) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::size_t parsed = 0;
    std::size_t expected = 0;  // each report's main source and its children's
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-")) {
        SCOPED_TRACE(file.path);
        expected += 1 + static_cast<std::size_t>(std::max(file.children, 0));
        std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
        for (const PsrStreamInfo& stream : report->listStreams()) {
            const std::u16string& path = stream.path;
            if (path != u"source" && path.rfind(u"dwstg/source_", 0) != 0) continue;
            SCOPED_TRACE(utf16ToUtf8(path));
            DataWindow dw;
            Damage error;
            ASSERT_TRUE(parseDataWindow(testing::sourceOf(*report, path), dw, error)) << error.what;
            EXPECT_FALSE(dw.text.release.empty());
            EXPECT_NE(dw.datawindow, nullptr);
            EXPECT_FALSE(dw.columns.empty());
            EXPECT_FALSE(dw.objects.empty());
            ++parsed;
        }
    }
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(testing::corpusFiles("psr-").size(),
              keldrin::test::corpusFileCount(KELDRIN_CORPUS_DIR, ".psr"));
}

// Every ".srd" entry of every corpus library.
TEST(DwSourceCorpus, EveryLibraryDataWindowParses) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    int parsed = 0;
    for (const testing::CorpusFile& file : testing::corpusFiles("pbl-")) {
        SCOPED_TRACE(file.path);
        const keldrin::test::LibraryContent content =
            keldrin::test::readLibraryContent(utf8ToUtf16(file.path));
        ASSERT_TRUE(content.opened);
        for (const auto& [name, entry] : content.entries) {
            if (name.size() < 4 || name.compare(name.size() - 4, 4, ".srd") != 0) continue;
            SCOPED_TRACE(name);
            const Bytes& data = entry.data;
            const std::size_t skip = static_cast<std::size_t>(entry.commentSize);
            ASSERT_LE(skip, data.size());
            std::optional<std::u16string> text =
                sourceFromBytes(data.data() + skip, data.size() - skip, content.unicode);
            ASSERT_TRUE(text.has_value());
            DataWindow dw;
            Damage error;
            ASSERT_TRUE(parseDataWindow(*text, dw, error)) << error.what;
            EXPECT_NE(dw.datawindow, nullptr);
            ++parsed;
        }
    }
    EXPECT_GT(parsed, 100);
    std::printf("library DataWindows parsed: %d\n", parsed);
}

}  // namespace
}  // namespace keldrin::dw
