// The compound-file reader against files written by libgsf (tests/fixtures/psr, made by
// scripts/make-fixtures.sh and checked with python3-olefile), and against damaged copies
// of them: each damage must end in a failed open or a failed read, never in a crash, a
// hang, an unbounded allocation or wrong bytes reported as right.
#include "psr/cfb_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "psr_test_support.h"

namespace keldrin::cfb {
namespace {

using testing_psr::fixturePath;
using testing_psr::patternBytes;
using testing_psr::readFile;

enum class Outcome { kOk, kNotFound, kFailed };

struct ReadResult {
    Outcome outcome = Outcome::kFailed;
    Bytes data;
};

// Resolves a "/"-separated path one storage at a time and reads the stream in 2048-byte
// pieces, as the report container does.
ReadResult readPath(const std::shared_ptr<CfbReader>& reader, const std::u16string& path) {
    ReadResult result;
    std::uint32_t index = CfbReader::kRootIndex;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find(u'/', start);
        std::u16string name = path.substr(
            start, slash == std::u16string::npos ? std::u16string::npos : slash - start);
        std::optional<std::uint32_t> child = reader->findChild(index, name);
        EntryType wanted = slash == std::u16string::npos ? EntryType::kStream : EntryType::kStorage;
        if (!child || reader->entry(*child).type != wanted) {
            result.outcome = Outcome::kNotFound;
            return result;
        }
        index = *child;
        if (slash == std::u16string::npos) break;
        start = slash + 1;
    }
    CfbReader::StreamCursor cursor(reader, index);
    std::uint8_t buffer[2048];
    for (;;) {
        std::size_t got = 0;
        if (!cursor.read(buffer, sizeof buffer, got)) return result;
        if (got == 0) break;
        result.data.insert(result.data.end(), buffer, buffer + got);
    }
    result.outcome = Outcome::kOk;
    return result;
}

std::shared_ptr<CfbReader> openBytes(Bytes bytes) {
    return CfbReader::open(std::make_unique<MemorySource>(std::move(bytes)));
}

std::shared_ptr<CfbReader> openFixture(const std::string& name) {
    Bytes bytes = readFile(fixturePath(name));
    EXPECT_FALSE(bytes.empty()) << name;
    return openBytes(std::move(bytes));
}

// ---- files as libgsf writes them -------------------------------------------------------

using StreamRow = testing_psr::GeneratedStream;
using testing_psr::kGeneratedStreams;

class GeneratedFixture : public testing::TestWithParam<const char*> {};

TEST_P(GeneratedFixture, EveryStreamReadsWithItsExactBytes) {
    std::shared_ptr<CfbReader> reader = openFixture(GetParam());
    ASSERT_TRUE(reader);
    for (const StreamRow& row : kGeneratedStreams) {
        ReadResult result = readPath(reader, row.path);
        ASSERT_EQ(result.outcome, Outcome::kOk) << utf16ToUtf8(row.path);
        EXPECT_EQ(result.data, patternBytes(row.size)) << row.size;
    }
}

TEST_P(GeneratedFixture, StoragesAreNoStreamsAndMissingNamesAreNotFound) {
    std::shared_ptr<CfbReader> reader = openFixture(GetParam());
    ASSERT_TRUE(reader);
    for (const char16_t* path :
         {u"outer", u"outer/inner", u"emptystg", u"nothing", u"outer/nothing", u"emptystg/x",
          u"s2048/x", u"outer/inner/deep/x"})
        EXPECT_EQ(readPath(reader, path).outcome, Outcome::kNotFound);
}

TEST_P(GeneratedFixture, NamesCompareWithoutRegardToCase) {
    std::shared_ptr<CfbReader> reader = openFixture(GetParam());
    ASSERT_TRUE(reader);
    EXPECT_EQ(readPath(reader, u"source").data, patternBytes(7));
    EXPECT_EQ(readPath(reader, u"OUTER/Inner/DEEP").data, patternBytes(300));
}

// A storage's elements come in the order of its sibling tree, which a writer keeps in
// the format's name order: shorter names first, then by upper-cased units.
TEST_P(GeneratedFixture, ChildrenComeInNameOrder) {
    std::shared_ptr<CfbReader> reader = openFixture(GetParam());
    ASSERT_TRUE(reader);
    struct Row {
        const char16_t* storage;
        std::vector<std::u16string> names;
    };
    const Row rows[] = {
        {u"",
         {u"empty", u"large", u"outer", u"s2048", u"s4096", u"s5000", u"small", u"Source",
          u"emptystg"}},
        {u"outer", {u"mid", u"inner"}},
        {u"emptystg", {}},
    };
    for (const Row& row : rows) {
        const std::u16string storage = row.storage;
        const std::optional<std::uint32_t> index =
            storage.empty() ? CfbReader::kRootIndex
                            : reader->findChild(CfbReader::kRootIndex, storage);
        ASSERT_TRUE(index);
        std::vector<std::u16string> names;
        for (std::uint32_t child : reader->children(*index))
            names.push_back(reader->entry(child).name);
        EXPECT_EQ(names, row.names) << utf16ToUtf8(storage);
    }
    // A stream holds no elements.
    EXPECT_TRUE(reader->children(*reader->findChild(CfbReader::kRootIndex, u"small")).empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, GeneratedFixture,
                         testing::Values("streams.cfb", "sector4096.cfb"));

TEST(CfbReader, ReadsBothSectorSizes) {
    std::shared_ptr<CfbReader> small = openFixture("streams.cfb");
    std::shared_ptr<CfbReader> big = openFixture("sector4096.cfb");
    ASSERT_TRUE(small && big);
    EXPECT_EQ(small->majorVersion(), 3);
    EXPECT_EQ(small->sectorSize(), 512u);
    EXPECT_EQ(big->majorVersion(), 4);
    EXPECT_EQ(big->sectorSize(), 4096u);
}

TEST(CfbReader, FollowsTheDifatBeyondTheHeader) {
    std::shared_ptr<CfbReader> reader = openFixture("difat.cfb");
    ASSERT_TRUE(reader);
    EXPECT_EQ(readPath(reader, u"small").data, patternBytes(100));
    EXPECT_EQ(readPath(reader, u"s5000").data, patternBytes(5000));
    EXPECT_EQ(readPath(reader, u"outer/deep").data, patternBytes(3000));
}

TEST(CfbReader, FindsEveryOneOfManyChildrenInADirectoryOfManySectors) {
    std::shared_ptr<CfbReader> reader = openFixture("many_children.psr");
    ASSERT_TRUE(reader);
    EXPECT_GT(reader->entryCount(), 240u);
    for (int n = 1; n <= 120; ++n) {
        std::u16string number = numberToText(n);
        ReadResult source = readPath(reader, u"dwstg/source_" + number);
        ReadResult object = readPath(reader, u"dwstg/object_" + number);
        ASSERT_EQ(source.outcome, Outcome::kOk) << n;
        ASSERT_EQ(object.outcome, Outcome::kOk) << n;
        EXPECT_EQ(object.data.size(), static_cast<std::size_t>(40 + n));
        EXPECT_EQ(std::string(object.data.begin(), object.data.begin() + 7), "PDW1050");
    }
    EXPECT_EQ(readPath(reader, u"dwstg/source_121").outcome, Outcome::kNotFound);
    EXPECT_EQ(readPath(reader, u"dwstg/source_0").outcome, Outcome::kNotFound);
}

struct NameOrderRow {
    const char16_t* a;
    const char16_t* b;
    int expected;
};

TEST(CompareNames, ShorterFirstThenUpperCasedUnits) {
    const NameOrderRow rows[] = {
        {u"b", u"aa", -1},
        {u"aa", u"b", 1},
        {u"abc", u"ABC", 0},
        {u"abc", u"abd", -1},
        {u"a_", u"A`", -1},  // "_" (5F) sorts before "`" (60)
        {u"\u00e9", u"\u00c9", 0},
        {u"\u0451", u"\u0401", 0},
        {u"\u00ff", u"\u0178", 0},
        {u"", u"", 0},
        {u"source", u"source_1", -1},
    };
    for (const NameOrderRow& row : rows) {
        EXPECT_EQ(compareNames(row.a, row.b), row.expected);
        EXPECT_EQ(compareNames(row.b, row.a), -row.expected);
    }
}

// ---- damaged files ------------------------------------------------------------------

// A compound file image with the few accessors the damage table needs (512-byte sectors,
// FAT and directory reached through the header's DIFAT slots).
class Image {
  public:
    explicit Image(Bytes image) : bytes(std::move(image)) {}
    Bytes bytes;

    std::uint32_t u32(std::size_t offset) const { return loadU32(bytes.data() + offset); }
    void setU32(std::size_t offset, std::uint32_t value) { storeU32(bytes.data() + offset, value); }
    static std::size_t sectorOffset(std::uint32_t sector) { return (sector + 1ull) * 512; }
    std::size_t fatOffset(std::uint32_t sector) const {
        return sectorOffset(u32(76 + 4 * (sector / 128))) + 4 * std::size_t{sector % 128};
    }
    std::uint32_t fat(std::uint32_t sector) const { return u32(fatOffset(sector)); }
    std::vector<std::uint32_t> chain(std::uint32_t start) const {
        std::vector<std::uint32_t> sectors;
        for (std::uint32_t s = start; s < 0xFFFFFFFA && sectors.size() < 10000; s = fat(s))
            sectors.push_back(s);
        return sectors;
    }
    std::size_t entryOffset(std::uint32_t index) const {
        return sectorOffset(chain(u32(48))[index / 4]) + 128 * std::size_t{index % 4};
    }
    std::uint32_t entryIndex(const std::u16string& name) const {
        for (std::uint32_t i = 0; i < chain(u32(48)).size() * 4; ++i) {
            std::u16string stored = decodeUtf16Le(ByteSpan(bytes).subspan(entryOffset(i), 64));
            stored.erase(std::min(stored.find(u'\0'), stored.size()));
            if (stored == name) return i;
        }
        ADD_FAILURE() << "no entry";
        return 0;
    }
    std::size_t field(const std::u16string& name, std::size_t offset) const {
        return entryOffset(entryIndex(name)) + offset;
    }
    std::size_t miniFatOffset(std::uint32_t miniSector) const {
        return sectorOffset(chain(u32(60))[miniSector / 128]) + 4 * std::size_t{miniSector % 128};
    }
};

enum class Expect { kOpenFails, kReadFails, kReadsRight };

struct DamageRow {
    const char* name;
    const char* fixture;
    std::function<void(Image&)> damage;
    Expect expect;
    const char16_t* path;  // the stream read when open succeeds
    std::size_t size;      // its pattern size when it must read right
};

const DamageRow kDamage[] = {
    {"bad signature", "streams.cfb", [](Image& i) { i.bytes[7] ^= 1; }, Expect::kOpenFails, u"", 0},
    {"bad byte order", "streams.cfb", [](Image& i) { i.bytes[28] = 0xFF; }, Expect::kOpenFails, u"",
     0},
    {"version 3 with 4096-byte sectors", "streams.cfb", [](Image& i) { i.bytes[30] = 12; },
     Expect::kOpenFails, u"", 0},
    {"unknown major version", "streams.cfb", [](Image& i) { i.bytes[26] = 5; }, Expect::kOpenFails,
     u"", 0},
    {"mini sectors not 64 bytes", "streams.cfb", [](Image& i) { i.bytes[32] = 7; },
     Expect::kOpenFails, u"", 0},
    {"FAT sector count beyond the file", "streams.cfb", [](Image& i) { i.setU32(44, 0xFFFFFFFF); },
     Expect::kOpenFails, u"", 0},
    {"FAT sector past the end", "streams.cfb", [](Image& i) { i.setU32(76, 0x00FFFFFF); },
     Expect::kOpenFails, u"", 0},
    {"DIFAT needed but missing", "streams.cfb", [](Image& i) { i.setU32(44, i.u32(44) + 109); },
     Expect::kOpenFails, u"", 0},
    {"DIFAT chain loops on itself", "difat.cfb",
     [](Image& i) {
         std::uint32_t difat = i.u32(68);
         i.setU32(Image::sectorOffset(difat) + 508, difat);
         i.setU32(72, 0xFFFFFFFF);
         i.setU32(44, i.u32(44) + 127);
     },
     Expect::kOpenFails, u"", 0},
    {"DIFAT count huge, chain ends early", "difat.cfb",
     [](Image& i) {
         i.setU32(72, 0xFFFFFFFF);
         i.setU32(44, i.u32(44) + 1);
     },
     Expect::kOpenFails, u"", 0},
    {"no directory", "streams.cfb", [](Image& i) { i.setU32(48, 0xFFFFFFFE); }, Expect::kOpenFails,
     u"", 0},
    {"directory past the end", "streams.cfb", [](Image& i) { i.setU32(48, 0x7FFFFFFF); },
     Expect::kOpenFails, u"", 0},
    {"directory chain loops", "many_children.psr",
     [](Image& i) {
         std::vector<std::uint32_t> dir = i.chain(i.u32(48));
         i.setU32(i.fatOffset(dir.back()), dir[dir.size() / 2]);
     },
     Expect::kOpenFails, u"", 0},
    {"first entry is no root", "streams.cfb", [](Image& i) { i.bytes[i.entryOffset(0) + 66] = 1; },
     Expect::kOpenFails, u"", 0},
    {"sibling links to itself", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"s5000", 68), i.entryIndex(u"s5000")); }, Expect::kOpenFails,
     u"", 0},
    {"child links back to the root", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"outer", 76), 0); }, Expect::kOpenFails, u"", 0},
    {"storage's child is its own ancestor", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"inner", 76), i.entryIndex(u"outer")); }, Expect::kOpenFails,
     u"", 0},
    {"link past the directory", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"outer", 76), 100000); }, Expect::kOpenFails, u"", 0},
    {"link to an unused entry", "streams.cfb",
     [](Image& i) {
         std::uint32_t last = static_cast<std::uint32_t>(i.chain(i.u32(48)).size() * 4 - 1);
         i.setU32(i.field(u"emptystg", 76), last);
     },
     Expect::kOpenFails, u"", 0},
    {"mini stream chain cut short", "streams.cfb",
     [](Image& i) { i.setU32(i.entryOffset(0) + 120, 0x7FFFFFF0); }, Expect::kOpenFails, u"", 0},
    {"mini FAT chain loops", "streams.cfb",
     [](Image& i) { i.setU32(i.fatOffset(i.u32(60)), i.u32(60)); }, Expect::kOpenFails, u"", 0},
    {"stream chain loops", "streams.cfb",
     [](Image& i) {
         std::uint32_t start = i.u32(i.field(u"large", 116));
         i.setU32(i.fatOffset(i.chain(start)[5]), start);
     },
     Expect::kReadFails, u"large", 0},
    {"stream chain leaves the file", "streams.cfb",
     [](Image& i) { i.setU32(i.fatOffset(i.u32(i.field(u"large", 116))), 0x00FFFFFF); },
     Expect::kReadFails, u"large", 0},
    {"stream size beyond its chain", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"s5000", 120), 0x7FFFFFFF); }, Expect::kReadFails, u"s5000",
     0},
    {"mini stream chain loops", "streams.cfb",
     [](Image& i) {
         std::uint32_t start = i.u32(i.field(u"deep", 116));
         i.setU32(i.miniFatOffset(start), start);
     },
     Expect::kReadFails, u"outer/inner/deep", 0},
    {"mini sector past the mini stream", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"small", 116), 0x00FFFFFF); }, Expect::kReadFails, u"small",
     0},
    {"version 3 size with garbage in its high half", "streams.cfb",
     [](Image& i) { i.setU32(i.field(u"s5000", 124), 0xFFFFFFFF); }, Expect::kReadsRight, u"s5000",
     5000},
    {"unordered sibling tree", "streams.cfb",
     [](Image& i) {
         // Swap the names of two leaves of the root's tree: each is then out of order.
         std::size_t a = i.entryOffset(i.entryIndex(u"s2048"));
         std::size_t b = i.entryOffset(i.entryIndex(u"s4096"));
         std::swap_ranges(i.bytes.begin() + a, i.bytes.begin() + a + 66, i.bytes.begin() + b);
     },
     Expect::kReadsRight, u"s4096", 2048},
    {"FAT longer than the file needs", "difat.cfb", [](Image&) {}, Expect::kReadsRight, u"s5000",
     5000},
};

TEST(CfbReaderDamage, EachDamageFailsWhereItIsFound) {
    for (const DamageRow& row : kDamage) {
        SCOPED_TRACE(row.name);
        Image image(readFile(fixturePath(row.fixture)));
        ASSERT_FALSE(image.bytes.empty());
        row.damage(image);
        std::shared_ptr<CfbReader> reader = openBytes(image.bytes);
        if (row.expect == Expect::kOpenFails) {
            EXPECT_FALSE(reader);
            continue;
        }
        ASSERT_TRUE(reader);
        ReadResult result = readPath(reader, row.path);
        if (row.expect == Expect::kReadFails) {
            EXPECT_EQ(result.outcome, Outcome::kFailed);
        } else {
            EXPECT_EQ(result.outcome, Outcome::kOk);
            EXPECT_EQ(result.data, patternBytes(row.size));
        }
    }
}

// The reason a damaged file fails names the structure, and the offset is that of the
// word that says so: each row writes `value` at `place`.
using ImageWord = std::function<std::size_t(const Image&)>;

struct ReasonRow {
    const char* fixture;
    ImageWord place;
    ImageWord value;
    const char16_t* stream;  // empty: open fails
    const char* reason;
};

std::size_t directoryEnd(const Image& i) {
    return i.fatOffset(i.chain(i.u32(48)).back());
}
std::size_t largeLink(const Image& i) {
    return i.fatOffset(i.chain(i.u32(i.field(u"large", 116)))[5]);
}

const ReasonRow kReasons[] = {
    {"streams.cfb", [](const Image&) { return 28; }, [](const Image&) { return 0xFFFF; }, u"",
     "byte order mark"},
    {"streams.cfb", [](const Image&) { return 44; }, [](const Image&) { return 0xFFFFFFFF; }, u"",
     "the header claims 4294967295 FAT sectors"},
    {"many_children.psr", directoryEnd,
     [](const Image& i) {
         std::vector<std::uint32_t> dir = i.chain(i.u32(48));
         return dir[dir.size() / 2];
     },
     u"", "the directory chain loops back to sector"},
    {"streams.cfb", [](const Image& i) { return i.field(u"outer", 76); },
     [](const Image&) { return 100000; }, u"",
     "'outer' links to entry 100000, beyond the directory"},
    {"streams.cfb", [](const Image& i) { return i.field(u"s5000", 68); },
     [](const Image& i) { return i.entryIndex(u"s5000"); }, u"", "a second time"},
    {"streams.cfb", largeLink, [](const Image& i) { return i.u32(i.field(u"large", 116)); },
     u"large", "stream entry 6 'large' loops back"},
    {"streams.cfb", [](const Image& i) { return i.field(u"s5000", 120); },
     [](const Image&) { return 0x7FFFFFFF; }, u"s5000", "'s5000' needs 4194304 sectors"},
    {"streams.cfb", [](const Image& i) { return i.field(u"small", 116); },
     [](const Image&) { return 0x00FFFFFF; }, u"small", "links to mini sector 16777215"},
};

TEST(CfbReaderDamage, TheReasonNamesTheDamageAndItsOffset) {
    for (const ReasonRow& row : kReasons) {
        SCOPED_TRACE(row.reason);
        Image image(readFile(fixturePath(row.fixture)));
        ASSERT_FALSE(image.bytes.empty());
        const std::size_t place = row.place(image);
        image.setU32(place, static_cast<std::uint32_t>(row.value(image)));
        Damage damage;
        std::shared_ptr<CfbReader> reader =
            CfbReader::open(std::make_unique<MemorySource>(image.bytes), damage);
        if (*row.stream != u'\0') {
            ASSERT_TRUE(reader) << damage.what;
            EXPECT_FALSE(damage.found());
            std::optional<std::uint32_t> index =
                reader->findChild(CfbReader::kRootIndex, row.stream);
            ASSERT_TRUE(index);
            CfbReader::StreamCursor cursor(reader, *index);
            std::uint8_t buffer[2048];
            std::size_t got = 0;
            while (cursor.read(buffer, sizeof buffer, got) && got > 0) {
            }
            damage = cursor.lastProblem();
        }
        EXPECT_FALSE(reader && *row.stream == u'\0');
        EXPECT_NE(damage.what.find(row.reason), std::string::npos) << damage.what;
        EXPECT_EQ(damage.offset, static_cast<std::int64_t>(place)) << damage.what;
    }
}

// Whatever a damaged file yields: a failed open, a failed read, a missing name, or bytes
// no longer than the file. Returns the streams that read right.
int readEverything(const Bytes& bytes, const std::map<std::u16string, Bytes>& expected) {
    std::shared_ptr<CfbReader> reader = openBytes(bytes);
    if (!reader) return 0;
    int right = 0;
    for (const auto& [path, data] : expected) {
        ReadResult result = readPath(reader, path);
        EXPECT_LE(result.data.size(), bytes.size());
        if (result.outcome == Outcome::kOk && result.data == data) ++right;
    }
    return right;
}

std::map<std::u16string, Bytes> exampleStreams() {
    std::shared_ptr<CfbReader> reader = openBytes(readFile(testing_psr::examplePath()));
    std::map<std::u16string, Bytes> streams;
    for (const char16_t* path : {u"source", u"object", u"dwstg/dwlookup", u"dwstg/source_1",
                                 u"dwstg/object_1", u"dwstg/source_2", u"dwstg/object_2"}) {
        ReadResult result = readPath(reader, path);
        EXPECT_EQ(result.outcome, Outcome::kOk);
        streams[path] = result.data;
    }
    return streams;
}

TEST(CfbReaderDamage, TruncationAtEveryLengthNeverReadsWrongBytes) {
    Bytes whole = readFile(testing_psr::examplePath());
    ASSERT_EQ(whole.size() % 512, 0u);
    std::map<std::u16string, Bytes> streams = exampleStreams();
    for (std::size_t length = 0; length < whole.size(); ++length) {
        Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        std::shared_ptr<CfbReader> reader = openBytes(cut);
        if (!reader) continue;
        for (const auto& [path, data] : streams) {
            ReadResult result = readPath(reader, path);
            // A stream either reads whole and right or fails: never a silently short one.
            if (result.outcome == Outcome::kOk) {
                EXPECT_EQ(result.data, data) << length;
            }
        }
    }
    EXPECT_EQ(readEverything(whole, streams), 7);
}

}  // namespace
}  // namespace keldrin::cfb
