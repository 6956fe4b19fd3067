// The OLE container over libgsf-written files, and the factory's choice of container.
#include "psr/ole_psr_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <span>
#include <vector>

#include "base/exceptions.h"
#include "psr/portable_psr_container.h"
#include "psr/psr_container_factory.h"
#include "psr_test_support.h"
#include "support/report_writer.h"
#include "support/under_wine.h"

namespace keldrin {
namespace {

using testing_psr::fixturePath;
using testing_psr::patternBytes;
using testing_psr::readFile;
using testing_psr::ScratchDir;
using testing_psr::wide;
using testing_psr::writeFile;

std::unique_ptr<OlePsrContainer> openOle(const std::string& path) {
    auto container = std::make_unique<OlePsrContainer>();
    container->open(wide(path));
    return container;
}

TEST(OleContainer, ReadsStreamsWholeAroundTheChunkSize) {
    for (const char* fixture : {"streams.cfb", "sector4096.cfb"}) {
        SCOPED_TRACE(fixture);
        auto container = openOle(fixturePath(fixture));
        struct Row {
            const char16_t* path;
            std::size_t size;
        };
        for (Row row :
             {Row{u"empty", 0}, Row{u"s2048", 2048}, Row{u"s4096", 4096}, Row{u"s5000", 5000},
              Row{u"large", 70000}, Row{u"outer/inner/deep", 300}, Row{u"outer/inner/big", 9000}}) {
            Bytes data(3, 0xAA);
            container->readStream(row.path, data);
            EXPECT_EQ(data, patternBytes(row.size)) << row.size;
        }
    }
}

// A stream read into pieces laid out as a library's data blocks, or only its first bytes,
// holds what the whole read gives.
TEST(OleContainer, ReadsStreamsIntoPiecesAsWholeReadsDo) {
    for (const char* fixture : {"streams.cfb", "sector4096.cfb"}) {
        SCOPED_TRACE(fixture);
        auto container = openOle(fixturePath(fixture));
        for (const char16_t* path : {u"empty", u"s2048", u"s5000", u"large", u"outer/inner/big"}) {
            Bytes whole;
            container->readStream(path, whole);
            Bytes into;
            std::vector<fs::ReadPiece> pieces;
            container->readStreamInto(path, [&](std::uint64_t size) {
                into.assign(static_cast<std::size_t>(size), 0xAA);
                pieces.clear();
                for (std::size_t at = 0; at < into.size(); at += 502)
                    pieces.push_back(
                        {into.data() + at, std::min<std::size_t>(502, into.size() - at)});
                return std::span<const fs::ReadPiece>(pieces);
            });
            EXPECT_EQ(into, whole);
            Bytes start(3, 0);
            fs::ReadPiece first{start.data(), 0};
            container->readStreamInto(path, [&](std::uint64_t size) {
                first.size = std::min<std::size_t>(start.size(), static_cast<std::size_t>(size));
                return std::span<const fs::ReadPiece>(&first, 1);
            });
            EXPECT_TRUE(std::equal(start.begin(),
                                   start.begin() + static_cast<std::ptrdiff_t>(first.size),
                                   whole.begin()));
        }
        EXPECT_THROW(
            container->readStreamInto(
                u"missing", [](std::uint64_t) { return std::span<const fs::ReadPiece>(); }),
            NotFoundException);
    }
}

// A directory that claims more bytes for a stream than the file holds asks for no memory.
TEST(OleContainer, AStreamClaimingMoreThanTheFileIsRefusedBeforeItsMemory) {
    ScratchDir dir;
    Bytes bytes = readFile(fixturePath("streams.cfb"));
    const Bytes name{'l', 0, 'a', 0, 'r', 0, 'g', 0, 'e', 0, 0, 0};
    auto entry = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    ASSERT_NE(entry, bytes.end());
    const std::size_t sizeField = static_cast<std::size_t>(entry - bytes.begin()) + 120;
    bytes[sizeField + 3] = 0x7F;  // about 2 GB
    writeFile(dir.file("claims.psr"), bytes);
    auto container = openOle(dir.file("claims.psr"));
    bool placed = false;
    EXPECT_THROW(container->readStreamInto(u"large",
                                           [&](std::uint64_t) {
                                               placed = true;
                                               return std::span<const fs::ReadPiece>();
                                           }),
                 IOException);
    EXPECT_FALSE(placed);
}

// Every stream python3-olefile finds in these fixtures: nested storages' streams under
// their paths, an empty storage with nothing, and a stream named as the report's but for
// case.
TEST(OleContainer, ListsEveryStreamOfEveryStorage) {
    std::map<std::u16string, std::uint64_t> expected;
    for (const testing_psr::GeneratedStream& stream : testing_psr::kGeneratedStreams)
        expected.emplace(stream.path, stream.size);
    for (const char* fixture : {"streams.cfb", "sector4096.cfb"}) {
        SCOPED_TRACE(fixture);
        auto container = openOle(fixturePath(fixture));
        std::map<std::u16string, std::uint64_t> listed;
        for (const PsrStreamInfo& stream : container->listStreams())
            listed.emplace(stream.path, stream.size);
        EXPECT_EQ(listed, expected);
    }
}

TEST(OleContainer, ReadingTwiceGivesTheSameBytes) {
    auto container = openOle(fixturePath("streams.cfb"));
    Bytes first, second;
    container->readStream(u"s5000", first);
    container->readStream(u"s5000", second);
    EXPECT_EQ(first, second);
}

TEST(OleContainer, PathsThatNameNoStreamAreNotFoundAndLeaveTheDataAlone) {
    auto container = openOle(fixturePath("streams.cfb"));
    for (const char16_t* path :
         {u"outer", u"outer/inner", u"nothing", u"outer/nothing", u"nothing/s2048", u"", u"/s2048",
          u"s2048/", u"outer//mid", u"outer/inner/", u"s2048/x"}) {
        Bytes data = {1, 2, 3};
        EXPECT_THROW(container->readStream(path, data), NotFoundException) << utf16ToUtf8(path);
        EXPECT_EQ(data, (Bytes{1, 2, 3}));
    }
    Bytes data;
    container->readStream(u"outer/mid", data);
    EXPECT_EQ(data, patternBytes(5000));
}

TEST(OleContainer, AMissingChildStreamIsNotFound) {
    auto container = openOle(testing_psr::examplePath());
    Bytes data;
    EXPECT_THROW(container->readStream(u"dwstg/source_9", data), NotFoundException);
    EXPECT_THROW(container->readStream(u"dwstg", data), NotFoundException);
    container->readStream(u"dwstg/source_2", data);
    EXPECT_FALSE(data.empty());
}

TEST(OleContainer, OpenChecksOnlyTheFirstFourBytes) {
    ScratchDir dir;
    struct Row {
        Bytes bytes;
        bool accepted;
    };
    const Row rows[] = {
        {{}, false},
        {{0xD0, 0xCF, 0x11}, false},
        {{0xD0, 0xCF, 0x11, 0xE1}, false},
        {{0xD0, 0xCF, 0x11, 0xE0}, true},
        {{0xD0, 0xCF, 0x11, 0xE0, 0, 0, 0, 0}, true},
    };
    for (const Row& row : rows) {
        writeFile(dir.file("x.psr"), row.bytes);
        OlePsrContainer container;
        if (row.accepted) {
            container.open(wide(dir.file("x.psr")));
            EXPECT_EQ(container.fileName(), wide(dir.file("x.psr")));
            Bytes data;
            EXPECT_THROW(container.readStream(u"source", data), IOException);
        } else {
            EXPECT_THROW(container.open(wide(dir.file("x.psr"))), NotSupportedFormatException);
            EXPECT_TRUE(container.fileName().empty());
        }
    }
    OlePsrContainer missing;
    EXPECT_THROW(missing.open(wide(dir.file("missing.psr"))), NotFoundException);
}

TEST(OleContainer, ADamagedStreamIsAnIOException) {
    ScratchDir dir;
    Bytes bytes = readFile(fixturePath("streams.cfb"));
    // Cut the file inside the data of "large": it opens, the stream fails on read.
    bytes.resize(bytes.size() / 2);
    writeFile(dir.file("cut.psr"), bytes);
    auto container = openOle(dir.file("cut.psr"));
    EXPECT_EQ(container->formatDescription(), u"OLE compound storage");
    Bytes data;
    EXPECT_THROW(container->readStream(u"large", data), IOException);
}

TEST(OleContainer, KeepsWhyAReadFailed) {
    Bytes data;
#if !defined(_WIN32)
    // Which damage ole32 refuses is its own affair (Wine's takes this one); our own
    // reader refuses it and knows the place.
    ScratchDir dir;
    Bytes bytes = readFile(fixturePath("streams.cfb"));
    bytes[28] = 0xFF;  // byte order mark
    writeFile(dir.file("order.psr"), bytes);
    auto damaged = openOle(dir.file("order.psr"));
    EXPECT_THROW(damaged->readStream(u"small", data), IOException);
    EXPECT_TRUE(damaged->lastProblem().found());
    EXPECT_EQ(damaged->lastProblem().offset, 28) << damaged->lastProblem().what;
    // Listing walks the same directory and fails with the same reason and place.
    EXPECT_THROW(damaged->listStreams(), IOException);
    EXPECT_EQ(damaged->lastProblem().offset, 28) << damaged->lastProblem().what;
    // Two storages of one name: reopened by name, both would lead to the first, and
    // nested twins would double the walk at every level.
    bytes = readFile(fixturePath("streams.cfb"));
    const std::u16string from = u"emptystg";
    const Bytes name = encodeUtf16Le(from);
    const auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
    ASSERT_NE(at, bytes.end());
    const Bytes twin = encodeUtf16Le(std::u16string(u"outer") + std::u16string(27, u'\0'));
    std::copy(twin.begin(), twin.end(), at);
    storeU16(&*at + 64, 12);
    writeFile(dir.file("twins.psr"), bytes);
    auto twins = openOle(dir.file("twins.psr"));
    EXPECT_THROW(twins->listStreams(), IOException);
    EXPECT_EQ(twins->lastProblem().what, "the root holds two storages named 'outer'");
#endif
    // A missing element is no damage.
    auto container = openOle(fixturePath("streams.cfb"));
    EXPECT_THROW(container->readStream(u"nothing", data), NotFoundException);
    EXPECT_FALSE(container->lastProblem().found());
}

TEST(OleContainer, EveryTruncationOfTheExampleEndsInAnAnswer) {
    // Wine's ole32 spends up to a minute on each file cut inside its last sector.
    if (test::underWine()) GTEST_SKIP() << "too slow under Wine's ole32";
    ScratchDir dir;
    Bytes whole = readFile(testing_psr::examplePath());
    for (std::size_t length = 4; length < whole.size(); length += 7) {
        writeFile(dir.file("cut.psr"),
                  Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
        auto container = openOle(dir.file("cut.psr"));
        for (const char16_t* path : {u"source", u"object", u"dwstg/dwlookup", u"dwstg/object_2"}) {
            Bytes data;
            try {
                container->readStream(path, data);
            } catch (const IOException&) {
            } catch (const NotFoundException&) {
            }
        }
    }
}

// ---- detection ------------------------------------------------------------------------

TEST(PsrContainerFactory, IsOneInstance) {
    EXPECT_EQ(&PsrContainerFactory::instance(), &PsrContainerFactory::instance());
}

TEST(PsrContainerFactory, PicksTheContainerByTheFileStart) {
    ScratchDir dir;
    struct Row {
        const char* name;
        Bytes bytes;
        std::u16string description;
    };
    const Row rows[] = {
        {"ole", readFile(testing_psr::examplePath()), u"OLE compound storage"},
        {"damaged ole", Bytes{0xD0, 0xCF, 0x11, 0xE0, 1, 2, 3}, u"OLE compound storage"},
        {"ansi", test::PortableBuilder(false).end().bytes(),
         u"Platform independent PSR File Format: ANSI"},
        {"unicode", test::PortableBuilder(true).end().bytes(),
         u"Platform independent PSR File Format: Unicode"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = dir.file(std::string(row.name) + ".psr");
        writeFile(path, row.bytes);
        std::shared_ptr<PsrContainer> container =
            PsrContainerFactory::instance().openPsr(wide(path));
        ASSERT_TRUE(container);
        EXPECT_EQ(container->formatDescription(), row.description);
        EXPECT_EQ(container->fileName(), wide(path));
        EXPECT_EQ(container.use_count(), 1);
    }
}

TEST(PsrContainerFactory, NeitherFormatIsNotSupported) {
    ScratchDir dir;
    const Bytes rows[] = {
        {}, {0xD0, 0xCF, 0x11}, Bytes(100, 'x'), {0x41, 0, 0, 0, 'P', 'l', 'a', 'x'}};
    for (const Bytes& bytes : rows) {
        writeFile(dir.file("x.psr"), bytes);
        EXPECT_THROW(PsrContainerFactory::instance().openPsr(wide(dir.file("x.psr"))),
                     NotSupportedFormatException);
    }
}

TEST(PsrContainerFactory, OtherFailuresOfThePortableFormatPassThrough) {
    ScratchDir dir;
    // The right start, then a directory that ends inside a record.
    Bytes cut = test::PortableBuilder(false).name(u"abc").bytes();
    cut.pop_back();
    writeFile(dir.file("cut.psr"), cut);
    EXPECT_THROW(PsrContainerFactory::instance().openPsr(wide(dir.file("cut.psr"))), IOException);
    EXPECT_THROW(PsrContainerFactory::instance().openPsr(wide(dir.file("missing.psr"))),
                 NotFoundException);
}

// ---- the report fixtures through the DataWindow extraction --------------------------

TEST(OleReports, VersionChildrenAndNamesOfTheLibgsfReports) {
    struct Row {
        std::string path;
        std::u16string version;
        int major;
        std::vector<std::pair<std::u16string, int>> children;
    };
    std::vector<std::pair<std::u16string, int>> many;
    for (int n = 1; n <= 120; ++n) {
        std::string name = "d_child_" +
                           std::string(n < 10    ? "00"
                                       : n < 100 ? "0"
                                                 : "") +
                           std::to_string(n);
        many.emplace_back(wide(name), n);
    }
    const Row rows[] = {
        {testing_psr::examplePath(), u"9", 9, {{u"d_example_dept", 1}, {u"d_example_state", 2}}},
        {fixturePath("many_children.psr"), u"10.5", 10, many},
        {fixturePath("unicode_report.psr"),
         u"12.5",
         12,
         {{u"d_unicode_\u00c9t\u00e9", 3}, {u"d_second", 7}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        std::shared_ptr<PsrContainer> container =
            PsrContainerFactory::instance().openPsr(wide(row.path));
        EXPECT_EQ(container->powerBuilderVersion(), row.version);
        EXPECT_EQ(container->majorVersionNumber(), row.major);
        std::vector<ChildDw> children;
        container->readChildDwList(children);
        ASSERT_EQ(children.size(), row.children.size());
        for (std::size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(children[i].name, row.children[i].first);
            EXPECT_EQ(children[i].number, row.children[i].second);
            Bytes data;
            container->readStream(u"dwstg/object_" + numberToText(children[i].number), data);
            EXPECT_EQ(std::string(data.begin(), data.begin() + 3), "PDW");
        }
    }
}

}  // namespace
}  // namespace keldrin
