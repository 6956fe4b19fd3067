// putEntry, the one way the tool and the converter write an entry, and the limits the
// library states for it: whatever lies within them is written and reads back, whatever
// lies past them is refused with the file untouched.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>

#include "pbl/chain_image.h"
#include "pbl/library_facts.h"
#include "pbl_test_util.h"
#include "support/win32_posix_compat.h"

namespace keldrin::pbl::test {
namespace {

using PutEntry = ManagerFixture;

// The entry's comment and body as stored, and its record.
struct Stored {
    Bytes comment;
    Bytes body;
    PblEntryInfo info;
};

Stored readBack(PblLibrary& lib, const std::u16string& name) {
    Stored s;
    EXPECT_EQ(lib.findEntry(name, s.info, 0), kPblOk);
    Bytes data(static_cast<std::size_t>(s.info.dataSize) + 2);
    EXPECT_EQ(lib.readEntryData(s.info, data.data()), kPblOk);
    data.resize(static_cast<std::size_t>(s.info.dataSize));
    const auto split = static_cast<std::ptrdiff_t>(s.info.commentSize);
    s.comment.assign(data.begin(), data.begin() + split);
    s.body.assign(data.begin() + split, data.end());
    return s;
}

TEST_F(PutEntry, WritesCommentBodyAndTimeAsGiven) {
    struct Case {
        int version;
        std::size_t commentBytes;
        std::size_t bodyBytes;
        std::optional<std::int32_t> time;  // none: now
    } cases[] = {
        {6, 0, 0, std::nullopt},  {6, 5, 1200, 1234567}, {6, 0, 503, 0},
        {10, 6, 0, std::nullopt}, {10, 0, 1, 99},        {10, 4, 2000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version * 1000000 + static_cast<int>(c.commentBytes * 10000 + c.bodyBytes));
        PblLibraryHandle lib(create("p.pbl", c.version));
        ASSERT_TRUE(lib);
        const Bytes comment = pattern(c.commentBytes, 1);
        const Bytes body = pattern(c.bodyBytes, 2);
        const std::int64_t before = std::time(nullptr);
        ASSERT_EQ(lib->putEntry(u"e.srd", comment, body, c.time), kPblOk);
        Stored s = readBack(*lib, u"e.srd");
        EXPECT_EQ(s.comment, comment);
        EXPECT_EQ(s.body, body);
        if (c.time) {
            EXPECT_EQ(s.info.time, *c.time);
        } else {
            EXPECT_GE(s.info.time, before);
            EXPECT_LE(s.info.time, std::time(nullptr));
        }
        // Writing again replaces the entry rather than adding one.
        ASSERT_EQ(lib->putEntry(u"E.SRD", {}, comment, 5), kPblOk);
        s = readBack(*lib, u"e.srd");
        EXPECT_TRUE(s.comment.empty());
        EXPECT_EQ(s.body, comment);
        lib.reset();
        EXPECT_EQ(check(dir.file("p.pbl")), "");
    }
}

// SOURCE_DATE_EPOCH, where set to a number of seconds, stands for "now" in every time
// Keldrin writes, so that a build makes the same bytes twice; anything else is ignored.
TEST_F(PutEntry, SourceDateEpochStandsForNowWhereItIsANumber) {
    struct Case {
        const char* value;
        std::optional<std::int32_t> stamped;  // none: the clock's time
    } cases[] = {
        {"1234567890", 1234567890},   {"0000000007", 7},     {"2147483647", 2147483647},
        {"2147483648", std::nullopt}, {"12x", std::nullopt}, {"", std::nullopt},
        {"-5", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(::setenv("SOURCE_DATE_EPOCH", c.value, 1), 0);
        const std::int64_t before = std::time(nullptr);
        PblLibraryHandle lib(create("s.pbl", 10));
        ASSERT_TRUE(lib);
        ASSERT_EQ(lib->putEntry(u"e.srd", {}, pattern(10, 1)), kPblOk);
        const Stored s = readBack(*lib, u"e.srd");
        LibraryFacts facts;
        ASSERT_EQ(readHeaderFacts(*lib, facts), kPblOk);
        lib.reset();
        ::unsetenv("SOURCE_DATE_EPOCH");
        if (c.stamped) {
            EXPECT_EQ(s.info.time, *c.stamped);
            EXPECT_EQ(facts.created, *c.stamped);
        } else {
            EXPECT_GE(s.info.time, before);
            EXPECT_LE(s.info.time, std::time(nullptr));
        }
        std::filesystem::remove(std::filesystem::u8path(dir.file("s.pbl")));
    }
}

TEST_F(PutEntry, RefusesWhatLiesPastTheStatedLimitsAndChangesNothing) {
    for (int version : {6, 10}) {
        SCOPED_TRACE(version);
        PblLibraryHandle lib(create("l.pbl", version));
        ASSERT_TRUE(lib);
        const bool unicode = version >= 10;
        const std::size_t charSize = unicode ? 2 : 1;
        // The longest name and the longest comment go in.
        const std::u16string longest(lib->maxNameBytes() / charSize, u'n');
        ASSERT_EQ(lib->putEntry(longest, Bytes(lib->maxCommentBytes(), 'c'), Bytes(3, 'b')),
                  kPblOk);
        EXPECT_EQ(readBack(*lib, longest).comment.size(), lib->maxCommentBytes());
        ASSERT_EQ(lib->flush(), 0);
        const Bytes before = fileBytes(dir.file("l.pbl"));

        const Bytes none;
        EXPECT_EQ(lib->putEntry(longest + u'n', none, none), kPblInvalidArgument);
        EXPECT_EQ(lib->putEntry(u"c.srd", Bytes(lib->maxCommentBytes() + charSize, 'c'), none),
                  kPblInvalidArgument);
        if (unicode) {
            EXPECT_EQ(lib->putEntry(u"odd.srd", Bytes(3, 'c'), none), kPblInvalidArgument);
        }
        ASSERT_EQ(lib->flush(), 0);
        EXPECT_EQ(fileBytes(dir.file("l.pbl")), before);
    }
}

TEST_F(PutEntry, LibraryCommentLimitIsTheFieldLessItsTerminator) {
    for (int version : {6, 10}) {
        PblLibraryHandle lib(create("c.pbl", version));
        ASSERT_TRUE(lib);
        const std::size_t charSize = version >= 10 ? 2 : 1;
        Bytes text(lib->maxLibraryCommentBytes() + charSize, 'a');
        for (std::size_t i = 1; i < text.size(); i += charSize) text[i] = charSize == 2 ? 0 : 'a';
        text.insert(text.end(), charSize, 0);  // terminator
        EXPECT_EQ(lib->setComment(text.data()), kPblInvalidArgument) << version;
        text.erase(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(charSize));
        EXPECT_EQ(lib->setComment(text.data()), kPblOk) << version;
    }
}

TEST_F(PutEntry, ReadOnlyLibraryRefuses) {
    PblLibraryHandle lib(create("r.pbl", 6));
    ASSERT_TRUE(lib);
    lib.reset();
    lib.reset(open("r.pbl", false));
    ASSERT_TRUE(lib);
    EXPECT_EQ(lib->putEntry(u"e.srd", {}, Bytes(4, 'x')), kPblIoError);
    PblEntryInfo info;
    EXPECT_EQ(lib->findEntry("e.srd", info, 0), kPblNotFound);
}

// A body laid out as its chain's blocks (the converter's way) makes the very bytes the
// plain body makes: sizes on both sides of every block boundary, and entries written
// again larger and smaller, so that chains are grown, shortened and reused.
TEST_F(PutEntry, ABodyLaidOutAsBlocksWritesTheSameFileAsAPlainOne) {
    const std::size_t sizes[] = {0, 1, 501, 502, 503, 1003, 1004, 1005, 2 * 502 * 256 + 7, 70000};
    ASSERT_EQ(::setenv("SOURCE_DATE_EPOCH", "1234567890", 1), 0);
    for (int version : {6, 10}) {
        SCOPED_TRACE(version);
        PblLibraryHandle plain(create("plain.pbl", version));
        PblLibraryHandle laidOut(create("blocks.pbl", version));
        ASSERT_TRUE(plain && laidOut);
        ChainImage image;
        unsigned seed = 0;
        for (const char16_t* name : {u"a.srd", u"b.dwo", u"a.srd", u"c.srd", u"b.dwo"}) {
            for (std::size_t size : sizes) {
                const Bytes body = pattern(size, ++seed);
                ASSERT_EQ(plain->putEntry(name, {}, body), kPblOk);
                image.assign(body);
                ASSERT_EQ(image.length(), size);
                ASSERT_TRUE(image.holds(body));
                ASSERT_EQ(laidOut->putEntry(name, image), kPblOk);
                ASSERT_EQ(readBack(*laidOut, name).body, body) << size;
            }
        }
        ASSERT_EQ(plain->flush(), 0);
        ASSERT_EQ(laidOut->flush(), 0);
        plain.reset();
        laidOut.reset();
        EXPECT_EQ(check(dir.file("blocks.pbl")), "");
        EXPECT_TRUE(fileBytes(dir.file("plain.pbl")) == fileBytes(dir.file("blocks.pbl")));
    }
    ::unsetenv("SOURCE_DATE_EPOCH");
}

}  // namespace
}  // namespace keldrin::pbl::test
