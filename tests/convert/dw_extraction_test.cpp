// The version, the child list and the main DataWindow name, read through a container
// whose streams are held in memory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>

#include "base/exceptions.h"
#include "base/text.h"
#include "psr/psr_container.h"
#include "support/memory_report.h"
#include "support/win32_posix_compat.h"

namespace keldrin {
namespace {

using MemoryContainer = test::MemoryReport;

Bytes ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes u32(std::uint32_t value) {
    Bytes out(4);
    storeU32(out.data(), value);
    return out;
}

Bytes ansiRecord(const std::string& name, std::uint16_t number) {
    Bytes record(44, 0);
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 42), record.begin());
    storeU16(record.data() + 42, number);
    return record;
}

Bytes unicodeRecord(const std::u16string& name, std::uint16_t number) {
    Bytes record(86, 0);
    Bytes text = encodeUtf16Le(std::u16string_view(name).substr(0, 42));
    std::copy(text.begin(), text.end(), record.begin());
    storeU16(record.data() + 84, number);
    return record;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct VersionRow {
    const char* object;
    const char16_t* version;
    int major;
};

TEST(PowerBuilderVersion, ComesFromBytesThreeToFive) {
    const VersionRow rows[] = {
        {"PDW090", u"9", 9},     {"PDW085xx", u"8.5", 8}, {"PDW100", u"10", 10},
        {"PDW105", u"10.5", 10}, {"PDW125", u"12.5", 12}, {"PDW050", u"5", 5},
        {"PDW 70", u" 7", 7},    {"PDWx90", u"x9", 0},    {"PDW-10", u"-1", -1},
    };
    for (const VersionRow& row : rows) {
        MemoryContainer container;
        container.streams[u"object"] = ascii(row.object);
        EXPECT_EQ(container.powerBuilderVersion(), row.version) << row.object;
        EXPECT_EQ(container.majorVersionNumber(), row.major) << row.object;
    }
}

TEST(PowerBuilderVersion, AnObjectTooShortForTheVersionIsNotSupported) {
    const Bytes object = ascii("PDW090");
    for (std::size_t length = 0; length < 6; ++length) {
        MemoryContainer container;
        container.streams[u"object"] =
            Bytes(object.begin(), object.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW(container.powerBuilderVersion(), NotSupportedFormatException) << length;
        EXPECT_THROW(container.majorVersionNumber(), NotSupportedFormatException) << length;
    }
    MemoryContainer none;
    EXPECT_THROW(none.powerBuilderVersion(), NotFoundException);
}

std::vector<ChildDw> childList(const Bytes& source, const Bytes& lookup) {
    MemoryContainer container;
    container.streams[u"source"] = source;
    container.streams[u"dwstg/dwlookup"] = lookup;
    std::vector<ChildDw> list;
    container.readChildDwList(list);
    return list;
}

struct ExpectedChild {
    std::u16string name;
    int number;
    bool operator==(const ChildDw& other) const {
        return name == other.name && number == other.number;
    }
};

void expectChildren(const std::vector<ChildDw>& actual,
                    const std::vector<ExpectedChild>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].name, expected[i].name) << i;
        EXPECT_EQ(actual[i].number, expected[i].number) << i;
    }
}

const Bytes kAnsiSource = ascii("release 9;");
const Bytes kUnicodeSource = {'r', 0, 'e', 0};

TEST(ChildDwList, TheSourceStreamPicksTheRecordLayout) {
    expectChildren(childList(kAnsiSource,
                             concat({u32(2), ansiRecord("D_Detail", 1), ansiRecord("d_x", 65535)})),
                   {{u"d_detail", 1}, {u"d_x", 65535}});
    expectChildren(childList(kUnicodeSource, concat({u32(2), unicodeRecord(u"D_\u00c9t\u00e9", 3),
                                                     unicodeRecord(u"d_y", 7)})),
                   {{u"d_\u00c9t\u00e9", 3}, {u"d_y", 7}});
}

TEST(ChildDwList, CountAndStreamLengthBothBoundTheRecords) {
    const Bytes two = concat({ansiRecord("a", 1), ansiRecord("b", 2)});
    struct Row {
        const char* name;
        Bytes lookup;
        std::vector<ExpectedChild> expected;
    };
    const Row rows[] = {
        {"empty stream", {}, {}},
        {"shorter than the count", {1, 0, 0}, {}},
        {"count 0 with records behind it", concat({u32(0), two}), {}},
        {"count 3 over two records", concat({u32(3), two}), {{u"a", 1}, {u"b", 2}}},
        {"largest count", concat({u32(0xFFFFFFFF), two}), {{u"a", 1}, {u"b", 2}}},
        {"count 1 over two records", concat({u32(1), two}), {{u"a", 1}}},
        {"a last record cut short is dropped",
         concat({u32(3), two, Bytes(43, 'c')}),
         {{u"a", 1}, {u"b", 2}}},
        {"a record cut before its number", concat({u32(1), Bytes(42, 'c')}), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        expectChildren(childList(kAnsiSource, row.lookup), row.expected);
    }
}

TEST(ChildDwList, ANameWithoutTerminatorEndsAtItsField) {
    Bytes full(44, 'N');
    storeU16(full.data() + 42, 0x0204);  // "\x04\x02" would be read as name bytes past the field
    expectChildren(childList(kAnsiSource, concat({u32(1), full})),
                   {{std::u16string(42, u'n'), 0x0204}});
    Bytes wideFull(86, 0);
    for (std::size_t i = 0; i < 42; ++i) storeU16(wideFull.data() + 2 * i, u'W');
    storeU16(wideFull.data() + 84, 9);
    expectChildren(childList(kUnicodeSource, concat({u32(1), wideFull})),
                   {{std::u16string(42, u'w'), 9}});
}

TEST(ChildDwList, NamesEndBeforeTheirFirstControlCharacter) {
    expectChildren(childList(kAnsiSource, concat({u32(3), ansiRecord("d_a\tjunk", 1),
                                                  ansiRecord("\x1f", 2), ansiRecord("d b~", 3)})),
                   {{u"d_a", 1}, {u"", 2}, {u"d b~", 3}});
}

TEST(ChildDwList, FailuresOfTheStreams) {
    for (const Bytes& source : {Bytes{}, Bytes{'r'}}) {
        EXPECT_THROW(childList(source, u32(0)), NotSupportedFormatException);
    }
    MemoryContainer noLookup;
    noLookup.streams[u"source"] = kAnsiSource;
    std::vector<ChildDw> list;
    EXPECT_THROW(noLookup.readChildDwList(list), NotFoundException);
    MemoryContainer noSource;
    EXPECT_THROW(noSource.readChildDwList(list), NotFoundException);
}

TEST(ChildDwList, AnsiNamesGoThroughTheAnsiCodePage) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    std::vector<ChildDw> list =
        childList(kAnsiSource, concat({u32(1), ansiRecord("D_\x80\xC9", 4)}));
    unsetenv("LC_ALL");
    expectChildren(list, {{u"d_\u20ac\u00c9", 4}});
}

TEST(MainDwName, KeepsLettersDigitsAndUnderscoresOfTheFileName) {
    const std::pair<const char16_t*, const char16_t*> rows[] = {
        {u"C:\\Reports\\Sales Report.psr", u"d_salesreport"},
        {u"D_Orders.psr", u"d_orders"},
        {u"2009-sales-q2.psr", u"d_2009salesq2"},
        {u"Sales.Report.psr", u"d_salesreport"},
        {u"\u00e9\u00e8.psr", u"d_quennet"},
        {u"d.psr", u"d_d"},
        {u"d_.psr", u"d_"},
        {u"D_.psr", u"d_"},
        {u"..\\my.reports\\sales", u"d_sales"},
        {u"/tmp/x.y/", u"d_quennet"},
    };
    MemoryContainer container;
    for (const auto& [file, name] : rows) EXPECT_EQ(container.mainDwName(file), name);
}

}  // namespace
}  // namespace keldrin
