// The saved rows of a report: streams built here field by field (every type the samples
// showed, nulls, what is not decoded, damage), and every data stream of the corpus's
// reports, each decoded whole into rows of its DataWindow's declared columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <set>
#include <string>

#include "base/text.h"
#include "dw/report_data.h"
#include "dw/report_output.h"
#include "dw_test_support.h"
#include "support/corpus.h"

namespace keldrin::dw {
namespace {

// A data stream as PowerBuilder 6 writes it: 41-byte ANSI names.
class StreamBuilder {
  public:
    explicit StreamBuilder(const char* version = "060", std::size_t nameBytes = 41)
        : nameBytes_(nameBytes) {
        bytes_ = {'D',
                  'A',
                  'T',
                  static_cast<std::uint8_t>(version[0]),
                  static_cast<std::uint8_t>(version[1]),
                  static_cast<std::uint8_t>(version[2]),
                  0,
                  0};
    }
    StreamBuilder& columns(const std::vector<std::pair<std::string, std::uint16_t>>& list) {
        u32(static_cast<std::uint32_t>(list.size() + 1));
        descriptor("", 26, 16);
        for (const auto& [name, code] : list) descriptor(name, 8, code);
        return *this;
    }
    StreamBuilder& rows(std::uint32_t n) { return u32(n); }
    StreamBuilder& null() { return u32(0xFFFFFFFF); }
    StreamBuilder& value(const Bytes& v) {
        u32(static_cast<std::uint32_t>(v.size()));
        bytes_.insert(bytes_.end(), v.begin(), v.end());
        return *this;
    }
    StreamBuilder& text(const std::string& t) {
        Bytes v(t.begin(), t.end());
        v.push_back(0);
        return value(v);
    }
    StreamBuilder& number(double d) {
        Bytes v(8);
        const auto bits = std::bit_cast<std::uint64_t>(d);
        for (int i = 0; i < 8; ++i) v[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        return value(v);
    }
    StreamBuilder& u32(std::uint32_t n) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        return *this;
    }
    StreamBuilder& raw(const Bytes& b) {
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

  private:
    void descriptor(const std::string& name, std::uint32_t size, std::uint16_t code) {
        Bytes field(nameBytes_, 0);
        std::copy(name.begin(), name.end(), field.begin());
        raw(field).u32(size);
        bytes_.push_back(static_cast<std::uint8_t>(code));
        bytes_.push_back(static_cast<std::uint8_t>(code >> 8));
    }

    std::size_t nameBytes_;
    Bytes bytes_;
};

ReportData decoded(const Bytes& bytes, const DataWindow* declared = nullptr) {
    ReportData data;
    Damage damage;
    EXPECT_TRUE(decodeReportData(bytes, "data", declared, data, damage)) << damage.what;
    return data;
}

Damage refused(const Bytes& bytes, const DataWindow* declared = nullptr) {
    ReportData data;
    Damage damage;
    EXPECT_FALSE(decodeReportData(bytes, "data", declared, data, damage));
    return damage;
}

TEST(ReportDataValues, EveryTypeTheSamplesShowed) {
    StreamBuilder s;
    s.columns({{"name", 1}, {"amount", 2}, {"born", 3}, {"salary", 0x30A}, {"id", 12}}).rows(2);
    s.null().text("Whitney").number(102.5);
    s.value({0, 0, 0, 0, 59, 0, 5, 5, 0, 0, 0, 0});
    s.value({0, 0, 3, 0, 0xA0, 0x53, 0xB9, 0x02, 0, 0, 0, 0, 0, 0, 0, 0});
    s.value({0xFE, 0xFF, 0xFF, 0xFF});
    s.null().null().null().null().null().null();
    const ReportData data = decoded(s.bytes());
    EXPECT_EQ(data.version, "060");
    EXPECT_FALSE(data.unicode);
    ASSERT_EQ(data.columns.size(), 5u);
    EXPECT_EQ(data.columns[3].typeCode, 0x30A);
    ASSERT_EQ(data.rows.size(), 2u);
    const std::vector<DataValue>& row = data.rows[0];
    ASSERT_EQ(row.size(), 5u);
    EXPECT_EQ(row[0].kind, ValueKind::kText);
    EXPECT_EQ(row[0].text, "Whitney");
    EXPECT_EQ(row[1].kind, ValueKind::kNumber);
    EXPECT_EQ(row[1].text, "102.5");
    EXPECT_EQ(row[2].kind, ValueKind::kDateTime);
    EXPECT_EQ(row[2].text, "1959-06-05T00:00:00");
    EXPECT_EQ(row[3].kind, ValueKind::kDecimal);
    EXPECT_EQ(row[3].text, "45700.000");
    EXPECT_DOUBLE_EQ(row[3].number, 45700.0);
    EXPECT_EQ(row[4].kind, ValueKind::kLong);
    EXPECT_EQ(row[4].text, "-2");
    for (const DataValue& v : data.rows[1]) EXPECT_EQ(v.kind, ValueKind::kNull);
    EXPECT_FALSE(data.partial());
}

TEST(ReportDataValues, DecimalTextKeepsEveryStoredDigit) {
    EXPECT_EQ(decimalText(45700000, 0, 0, 3), "45700.000");
    EXPECT_EQ(decimalText(5, 0, 0, 3), "0.005");
    EXPECT_EQ(decimalText(0, 0, 0, 2), "0.00");
    EXPECT_EQ(decimalText(0, 0, 0, 0), "0");
    EXPECT_EQ(decimalText(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0), "79228162514264337593543950335");
    EXPECT_EQ(decimalText(0, 1, 0, 1), "429496729.6");
}

TEST(ReportDataValues, WhatTheSamplesNeverShowedIsHexWithANote) {
    StreamBuilder s;
    s.columns({{"t", 4}, {"d", 3}, {"m", 0x30A}}).rows(1);
    s.null().value({1, 2}).value({0, 0, 0, 0, 59, 0, 5, 5, 10, 30, 0, 0});
    s.value({0, 0, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
    const ReportData data = decoded(s.bytes());
    ASSERT_EQ(data.rows.size(), 1u);
    for (const DataValue& v : data.rows[0]) EXPECT_EQ(v.kind, ValueKind::kUnknown);
    EXPECT_EQ(data.rows[0][0].text, "0102");
    EXPECT_EQ(data.unknownValues, 3u);
    ASSERT_EQ(data.notes.size(), 3u);
    EXPECT_TRUE(data.partial());
    const std::string all = data.notes[0] + data.notes[1] + data.notes[2];
    EXPECT_NE(all.find("type code 4"), std::string::npos) << all;
    EXPECT_NE(all.find("column d"), std::string::npos) << all;
    EXPECT_NE(all.find("stream 'data' byte "), std::string::npos) << all;
}

TEST(ReportDataValues, ADecimalsFourteenthByteLeavesItsValue) {
    StreamBuilder s;
    s.columns({{"m", 0x30A}})
        .rows(3)
        .null()
        .value({0, 0, 3, 0, 0x28, 0x5d, 0x14, 2, 0, 0, 0, 0, 0, 0, 0, 0});
    s.null().value({0, 0, 3, 0, 0x28, 0x5d, 0x14, 2, 0, 0, 0, 0, 0, 0, 1, 0});
    s.null().value({0, 0, 3, 0, 0x28, 0x5d, 0x14, 2, 0, 0, 0, 0, 0, 0, 2, 0});
    const ReportData data = decoded(s.bytes());
    ASSERT_EQ(data.rows.size(), 3u);
    EXPECT_EQ(data.rows[0][0].text, "34889.000");
    EXPECT_EQ(data.rows[1][0].kind, ValueKind::kDecimal);
    EXPECT_EQ(data.rows[1][0].text, "34889.000");
    EXPECT_EQ(data.rows[1][0].number, 34889.0);
    // A value no sample showed there stays hex.
    EXPECT_EQ(data.rows[2][0].kind, ValueKind::kUnknown);
    EXPECT_EQ(data.unknownValues, 1u);
}

TEST(ReportDataValues, RetrievalArgumentsAfterTheRows) {
    StreamBuilder s;
    s.columns({{"t", 1}}).rows(1).null().text("x");
    Bytes bytes =
        s.raw({2, 0, 1, 0xFF, 0xFF}).text("R & D").raw({2, 0xFF, 0xFF}).number(300).bytes();
    bytes[7] = 1;  // the header flag: arguments follow
    const ReportData data = decoded(bytes);
    EXPECT_FALSE(data.partial()) << data.notes[0];
    EXPECT_EQ(data.trailerBytes, 0u);
    ASSERT_EQ(data.arguments.size(), 2u);
    EXPECT_EQ(data.arguments[0].text, "R & D");
    EXPECT_EQ(data.arguments[1].kind, ValueKind::kNumber);
    EXPECT_EQ(data.arguments[1].number, 300);

    // Checked against the DataWindow's declared arguments: count and types.
    DataWindow declared;
    Damage error;
    ASSERT_TRUE(
        parseDataWindow(u"release 6;\r\ntable(column=(type=char(2) name=t) "
                        u"arguments=((\"a\", string) (\"b\", number)))",
                        declared, error));
    EXPECT_FALSE(decoded(bytes, &declared).partial());
    DataWindow other;
    ASSERT_TRUE(
        parseDataWindow(u"release 6;\r\ntable(column=(type=char(2) name=t) "
                        u"arguments=((\"a\", number) (\"b\", number)))",
                        other, error));
    const ReportData mismatched = decoded(bytes, &other);
    EXPECT_TRUE(mismatched.arguments.empty());
    EXPECT_EQ(mismatched.trailerBytes, 30u);

    // Without the flag, or with bytes over, they are shown as hex.
    Bytes unflagged = bytes;
    unflagged[7] = 0;
    EXPECT_TRUE(decoded(unflagged).arguments.empty());
    Bytes extra = bytes;
    extra.push_back(0);
    const ReportData over = decoded(extra);
    EXPECT_TRUE(over.arguments.empty());
    EXPECT_TRUE(over.partial());
}

TEST(ReportDataValues, BytesAfterTheRowsAreShownNotDropped) {
    StreamBuilder s;
    s.columns({{"t", 1}}).rows(1).null().text("x").raw({1, 0, 1, 0xFF});
    const ReportData data = decoded(s.bytes());
    EXPECT_EQ(data.rows.size(), 1u);
    EXPECT_EQ(data.trailerBytes, 4u);
    ASSERT_EQ(data.notes.size(), 1u);
    EXPECT_NE(data.notes[0].find("010001ff"), std::string::npos) << data.notes[0];
}

TEST(ReportDataValues, UnicodeVersionsHoldUtf16) {
    StreamBuilder s("105", 524);
    Bytes name(524, 0);
    s.columns({}).rows(0);
    Bytes bytes = s.bytes();
    // One column named "id", char: rebuilt by hand, since its name is UTF-16.
    StreamBuilder u("105", 524);
    u.u32(2).raw(Bytes(524, 0)).u32(26).raw({16, 0});
    name[0] = 'i';
    name[2] = 'd';
    u.raw(name).u32(11).raw({1, 0}).rows(1).null().value({'0', 0, '1', 0, 0xAC, 0x20, 0, 0});
    const ReportData data = decoded(u.bytes());
    EXPECT_TRUE(data.unicode);
    ASSERT_EQ(data.columns.size(), 1u);
    EXPECT_EQ(data.columns[0].name, "id");
    EXPECT_EQ(data.rows[0][0].text, "01\xE2\x82\xAC");
    EXPECT_EQ(decoded(bytes).rows.size(), 0u);
}

TEST(ReportDataDamage, RefusalsNameTheStreamAndTheOffset) {
    EXPECT_EQ(refused({'D', 'A', 'X'}).offset, 0);
    EXPECT_EQ(refused(StreamBuilder().bytes()).offset, 8);  // no column count
    Bytes huge = StreamBuilder().u32(0x7FFFFFFF).bytes();
    EXPECT_NE(refused(huge).what.find("column count 2147483647 does not fit"), std::string::npos);
    StreamBuilder many;
    many.columns({{"t", 1}}).rows(0x40000000);
    const Damage rows = refused(many.bytes());
    EXPECT_EQ(rows.offset, 12 + 2 * 47);
    EXPECT_NE(rows.what.find("stream 'data' byte 106: the row count"), std::string::npos)
        << rows.what;
    StreamBuilder cut;
    cut.columns({{"t", 1}}).rows(1).null().u32(50).raw({'a', 'b'});
    const Damage length = refused(cut.bytes());
    EXPECT_EQ(length.offset, 12 + 2 * 47 + 4 + 4);
    EXPECT_NE(length.what.find("value length 50"), std::string::npos) << length.what;
    StreamBuilder shortRow;
    shortRow.columns({{"t", 1}, {"u", 1}}).rows(1).null().text("abcdefgh");
    EXPECT_NE(refused(shortRow.bytes()).what.find("row 1 is cut off"), std::string::npos);
    StreamBuilder negative;
    negative.columns({{"t", 1}}).rows(1).null().u32(0xFFFFFFF0);
    EXPECT_NE(refused(negative.bytes()).what.find("value length -16"), std::string::npos);
    StreamBuilder noSlot;
    noSlot.u32(1).raw(Bytes(41, 0)).u32(8).raw({2, 0}).rows(0);
    EXPECT_NE(refused(noSlot.bytes()).what.find("row slot"), std::string::npos);
}

TEST(ReportDataDamage, RowsMustMatchTheDeclaredColumns) {
    DataWindow dw;
    Damage error;
    ASSERT_TRUE(
        parseDataWindow(u"table(column=(type=char(10) name=id) column=(type=number "
                        u"name=amount))",
                        dw, error));
    StreamBuilder ok;
    ok.columns({{"ID", 1}, {"amount", 2}}).rows(0);
    const ReportData data = decoded(ok.bytes(), &dw);
    EXPECT_EQ(data.columns[0].declaredType, "char(10)");
    StreamBuilder fewer;
    fewer.columns({{"id", 1}}).rows(0);
    EXPECT_NE(refused(fewer.bytes(), &dw).what.find("holds 1 columns"), std::string::npos);
    StreamBuilder renamed;
    renamed.columns({{"id", 1}, {"total", 2}}).rows(0);
    const Damage name = refused(renamed.bytes(), &dw);
    EXPECT_EQ(name.offset, 12 + 2 * 47);
    EXPECT_NE(name.what.find("'total'"), std::string::npos);
    StreamBuilder retyped;
    retyped.columns({{"id", 1}, {"amount", 1}}).rows(0);
    EXPECT_NE(refused(retyped.bytes(), &dw).what.find("declared number"), std::string::npos);
}

TEST(ReportDataDamage, AVersionNotSeenIsReadWithANote) {
    StreamBuilder s("080", 262);
    s.columns({{"t", 1}}).rows(1).null().text("x");
    const ReportData data = decoded(s.bytes());
    ASSERT_EQ(data.rows.size(), 1u);
    ASSERT_EQ(data.notes.size(), 1u);
    EXPECT_NE(data.notes[0].find("version 080 is not among the samples"), std::string::npos);
}

// What each corpus report holds: rows per data stream, as decoded and checked by hand
// against the text the report shows. Bytes after the last row that are not retrieval
// arguments make the result partial (the reader shows them as hex). `unimplemented`, where set,
// says why the tool does not find the DataWindow that declares the stream's columns: it must then
// say so in a note, and name and type the columns from the stream alone, never from a guessed
// source.
struct Expected {
    std::size_t rows;
    std::size_t columns;
    bool partial;
    const char* unimplemented = nullptr;
};
const std::map<std::string, std::map<std::string, Expected>> kCorpusRows = {
    {"12.psr", {{"data", {1, 6, false}}}},
    {"121.psr", {{"data", {1, 6, false}}}},
    {"bitmap.psr", {{"data", {69, 1, false}}}},
    {"btnmaint.psr", {{"data", {60, 10, false}}, {"neststg/datadddw_0_7_0", {63, 3, false}}}},
    {"btnrept.psr", {{"data", {75, 5, false}}}},
    {"contact.psr", {{"data", {60, 5, false}}}},
    {"custlist.psr", {{"data", {126, 9, false}}, {"neststg/datadddw_0_6_0", {63, 3, false}}}},
    {"deptemps.psr", {{"data", {75, 8, false}}}},
    {"deptlist.psr", {{"data", {5, 3, false}}}},
    // A graph: its rows are a table's like any other's.
    {"empgraph.psr", {{"data", {75, 5, false}}}},
    // 15 bytes follow the rows: the retrieval argument "R & D" (which_department).
    {"empsals.psr", {{"data", {22, 4, false}}}},
    // Two salaries have byte 14 set: decoded, other reports agree on their values.
    {"ffempdat.psr", {{"data", {75, 20, false}}, {"neststg/datadddw_0_5_0", {5, 2, false}}}},
    // Each nested stream is followed by 17 bytes: the nested report's retrieval argument
    // (department 100 to 500, the outer row's department_dept_id).
    {"nestrep.psr",
     {{"data", {5, 7, false}},
      {"neststg/datanest_1_1_1", {21, 5, false}},
      {"neststg/datanest_2_1_1", {18, 5, false}},
      {"neststg/datanest_3_1_1", {8, 5, false}},
      {"neststg/datanest_4_1_1", {15, 5, false}},
      {"neststg/datanest_5_1_1", {8, 5, false}}}},
};

const char* kindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::kNull:
            return "null";
        case ValueKind::kText:
            return "text";
        case ValueKind::kNumber:
            return "number";
        case ValueKind::kLong:
            return "long";
        case ValueKind::kDecimal:
            return "decimal";
        case ValueKind::kDateTime:
            return "datetime";
        case ValueKind::kUnknown:
            return "unknown";
    }
    return "?";
}

// The kind a declared type's values take.
ValueKind kindFor(const std::string& declared) {
    const std::string base = declared.substr(0, declared.find('('));
    if (base == "char") return ValueKind::kText;
    if (base == "number") return ValueKind::kNumber;
    if (base == "long") return ValueKind::kLong;
    if (base == "decimal") return ValueKind::kDecimal;
    if (base == "datetime") return ValueKind::kDateTime;
    return ValueKind::kUnknown;
}

TEST(ReportDataCorpus, EveryStreamDecodesWholeIntoItsDeclaredColumns) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::size_t reports = 0;
    std::set<std::string> named;
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-")) {
        SCOPED_TRACE(file.path);
        const auto expected = kCorpusRows.find(file.name);
        ASSERT_NE(expected, kCorpusRows.end());
        ++reports;
        named.insert(file.name);
        std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
        std::map<std::string, Expected> found;
        for (const PsrStreamInfo& stream : report->listStreams()) {
            const std::u16string& path = stream.path;
            if (path != u"data" && path.rfind(u"neststg/", 0) != 0) continue;
            SCOPED_TRACE(utf16ToUtf8(path));
            // The main rows against the main source; a drop-down's through the tool's
            // own way of finding its source.
            std::string out;
            std::vector<std::string> notes;
            const std::string dw = path == u"data" ? "" : utf16ToUtf8(path);
            // CSV: the main rows alone (JSON would nest a nested report's rows in them).
            const int status = writeReportData(*report, dw, Format::kCsv, out, notes);
            ASSERT_NE(status, kDataFailed) << (notes.empty() ? "" : notes[0]);
            const auto want = expected->second.find(utf16ToUtf8(path));
            ASSERT_NE(want, expected->second.end());
            const bool sourceUnknown =
                std::any_of(notes.begin(), notes.end(), [](const std::string& note) {
                    return note.rfind("no DataWindow source is known for stream", 0) == 0;
                });
            EXPECT_EQ(sourceUnknown, want->second.unimplemented != nullptr)
                << (want->second.unimplemented ? want->second.unimplemented
                                               : "the tool should find this stream's source");

            Bytes bytes;
            report->readStream(path, bytes);
            DataWindow declared;
            Damage error;
            std::u16string source = u"source";
            if (path != u"data") {
                // The drop-down's or the nested report's own source: the one child of
                // each of these reports.
                source = u"dwstg/source_1";
            }
            ASSERT_TRUE(parseDataWindow(testing::sourceOf(*report, source), declared, error));
            ReportData data;
            Damage damage;
            ASSERT_TRUE(decodeReportData(bytes, utf16ToUtf8(path), &declared, data, damage))
                << damage.what;
            for (const std::vector<DataValue>& row : data.rows) {
                ASSERT_EQ(row.size(), declared.columns.size());
                for (std::size_t i = 0; i < row.size(); ++i) {
                    if (row[i].kind == ValueKind::kNull || row[i].kind == ValueKind::kUnknown)
                        continue;
                    EXPECT_EQ(kindName(row[i].kind), kindName(kindFor(declared.columns[i].type)))
                        << declared.columns[i].name;
                }
            }
            // Whole: every byte is a row's, or shown in a note.
            if (data.trailerBytes != 0) {
                EXPECT_TRUE(data.partial());
            }
            found[utf16ToUtf8(path)] = {data.rows.size(), data.columns.size(), data.partial()};
            EXPECT_EQ(status == kDataPartial, data.partial());
        }
        ASSERT_EQ(found.size(), expected->second.size());
        for (const auto& [stream, want] : expected->second) {
            SCOPED_TRACE(stream);
            ASSERT_EQ(found.count(stream), 1u);
            EXPECT_EQ(found[stream].rows, want.rows);
            EXPECT_EQ(found[stream].columns, want.columns);
            EXPECT_EQ(found[stream].partial, want.partial);
        }
    }
    EXPECT_EQ(reports, keldrin::test::corpusFileCount(KELDRIN_CORPUS_DIR, ".psr"));
    EXPECT_EQ(named.size(), kCorpusRows.size()) << "a table row names no corpus report";
}

// The same employees are in several reports: every salary read for one employee must be
// the same decimal, the two whose fourteenth byte is 1 (ffempdat.psr) included. btnrept.psr
// names its employees only, so names are tied to ids through the reports that have both.
TEST(ReportDataCorpus, EverySalaryOfAnEmployeeAgreesAcrossReports) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::map<std::string, std::set<std::string>> salaries;  // by id, or by name until tied
    std::map<std::string, std::string> idByName;
    std::map<std::string, std::size_t> seen;  // by id: streams it is in
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-")) {
        std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
        for (const PsrStreamInfo& stream : report->listStreams()) {
            if (stream.path != u"data" && stream.path.rfind(u"neststg/datanest", 0) != 0) continue;
            Bytes bytes;
            report->readStream(stream.path, bytes);
            ReportData data;
            Damage damage;
            ASSERT_TRUE(decodeReportData(bytes, "data", nullptr, data, damage)) << damage.what;
            std::map<std::string, std::size_t> at;
            for (std::size_t i = 0; i < data.columns.size(); ++i) {
                std::string name = data.columns[i].name;
                if (name.rfind("employee_", 0) == 0) name = name.substr(9);
                at[name] = i;
            }
            if (!at.contains("salary")) continue;
            SCOPED_TRACE(file.path + " " + utf16ToUtf8(stream.path));
            EXPECT_FALSE(data.partial()) << data.notes[0];
            for (const std::vector<DataValue>& row : data.rows) {
                const DataValue& salary = row[at["salary"]];
                ASSERT_EQ(salary.kind, ValueKind::kDecimal) << salary.text;
                const std::string name =
                    at.contains("emp_lname") && at.contains("emp_fname")
                        ? row[at["emp_lname"]].text + ", " + row[at["emp_fname"]].text
                        : "";
                if (at.contains("emp_id")) {
                    const std::string id = row[at["emp_id"]].text;
                    salaries[id].insert(salary.text);
                    ++seen[id];
                    if (!name.empty()) idByName[name] = id;
                } else {
                    salaries[name].insert(salary.text);
                }
            }
        }
    }
    for (const auto& [name, id] : idByName) {
        const auto byName = salaries.find(name);
        if (byName == salaries.end()) continue;
        salaries[id].insert(byName->second.begin(), byName->second.end());
        ++seen[id];
        salaries.erase(byName);
    }
    for (const auto& [who, values] : salaries) EXPECT_EQ(values.size(), 1u) << who;
    // Robert Nielsen and Alex Ahmed: ffempdat.psr (both copies), deptemps.psr, btnrept.psr.
    EXPECT_EQ(salaries["1740"], std::set<std::string>{"34889.000"});
    EXPECT_EQ(salaries["1751"], std::set<std::string>{"34992.000"});
    EXPECT_GE(seen["1740"], 4u);
    EXPECT_GE(seen["1751"], 4u);
}

TEST(ReportDataCorpus, TheArgumentsAfterTheRowsAreTheRowsOwn) {
    if (!keldrin::test::corpusDirOrSkip()) GTEST_SKIP() << "no corpus";
    std::size_t checked = 0;
    for (const testing::CorpusFile& file : testing::corpusFiles("psr-")) {
        std::shared_ptr<PsrContainer> report = testing::openReport(file.path);
        for (const PsrStreamInfo& stream : report->listStreams()) {
            if (stream.path != u"data" && stream.path.rfind(u"neststg/", 0) != 0) continue;
            Bytes bytes;
            report->readStream(stream.path, bytes);
            ReportData data;
            Damage damage;
            ASSERT_TRUE(decodeReportData(bytes, utf16ToUtf8(stream.path), nullptr, data, damage));
            EXPECT_EQ(data.trailerBytes, 0u) << file.path;
            if (data.arguments.empty()) continue;
            ++checked;
            ASSERT_EQ(data.arguments.size(), 1u);
            const DataValue& argument = data.arguments[0];
            if (file.name == "empsals.psr") {
                // which_department: every row is of that department.
                EXPECT_EQ(argument.text, "R & D");
                for (const std::vector<DataValue>& row : data.rows) EXPECT_EQ(row[3].text, "R & D");
            } else {
                // department: the outer row's department_dept_id, 100 for row 1 and so on.
                EXPECT_EQ(file.name, "nestrep.psr");
                const std::string outer = utf16ToUtf8(stream.path).substr(17, 1);
                EXPECT_EQ(argument.kind, ValueKind::kNumber);
                EXPECT_EQ(argument.text, outer + "00");
            }
        }
    }
    EXPECT_EQ(checked, 6u);
}

}  // namespace
}  // namespace keldrin::dw
