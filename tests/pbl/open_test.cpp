// Creating and recognising libraries: versions, trailers, and files that are none.
#include <gtest/gtest.h>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

using Opening = ManagerFixture;

TEST_F(Opening, VersionsMapToVariantAndVersionNumber) {
    struct Case {
        int requested, unicode, version;
    } cases[] = {{5, 0, 5}, {6, 0, 6}, {7, 0, 6}, {8, 0, 6}, {9, 0, 6}, {10, 1, 10}, {17, 1, 10}};
    for (const Case& c : cases) {
        std::string name = "v";
        name += std::to_string(c.requested);
        name += ".pbl";
        PblLibraryHandle lib(create(name, c.requested, false));
        ASSERT_NE(lib, nullptr) << c.requested;
        EXPECT_EQ(lib->isUnicode(), c.unicode) << c.requested;
        EXPECT_EQ(lib->version(), c.version) << c.requested;
    }
}

TEST_F(Opening, VersionBelowFiveRefusedBeforeTouchingTheFile) {
    const std::string path = dir.file("keep.pbl");
    const Bytes original = {'n', 'o', 't', ' ', 'y', 'o', 'u', 'r', 's'};
    putFileBytes(path, original);
    for (int version : {4, 0, -1, -2147483647 - 1}) {
        EXPECT_EQ(manager->createLibrary(path.c_str(), version), kPblInvalidArgument) << version;
        EXPECT_EQ(fileBytes(path), original) << version;
    }
    EXPECT_EQ(manager->createLibrary(dir.file("absent.pbl").c_str(), 4), kPblInvalidArgument);
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent.pbl")));
}

TEST_F(Opening, CreateInMissingDirectoryGivesSeven) {
    EXPECT_EQ(manager->createLibrary(dir.file("no/such/dir.pbl").c_str(), 6), kPblIoError);
    EXPECT_EQ(manager->openLibrary(dir.file("no/such/dir.pbl").c_str(), 0), nullptr);
}

// Files that are not libraries: nullptr, and the file stays byte for byte.
TEST_F(Opening, NonLibrariesGiveNullAndStayUnchanged) {
    ASSERT_EQ(manager->createLibrary(dir.wide("good.pbl"), 6), kPblOk);
    const Bytes good = fileBytes(dir.file("good.pbl"));
    ASSERT_EQ(manager->createLibrary(dir.wide("goodu.pbl"), 10), kPblOk);
    const Bytes goodU = fileBytes(dir.file("goodu.pbl"));

    auto withTrailer = [](std::int32_t headerOffset) {
        Bytes b(4096, 'x');
        std::memcpy(b.data() + 4096 - 512, "TRL*", 4);
        storeI32(b.data() + 4096 - 508, headerOffset);
        return b;
    };
    auto mutated = [](Bytes b, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        std::size_t i = at;
        for (auto v : bytes) b[i++] = v;
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"signature only", {'H', 'D', 'R', '*'}},
        {"header without variant", Bytes(good.begin(), good.begin() + 6)},
        {"truncated before the root", Bytes(good.begin(), good.begin() + 2048)},
        {"truncated inside the root", Bytes(good.begin(), good.end() - 1)},
        {"unicode truncated", Bytes(goodU.begin(), goodU.begin() + 4096)},
        {"text", Bytes(5000, 'a')},
        {"unknown variant", mutated(good, 4, {'P', 'o', 'w', 'x'})},
        {"version not a digit", mutated(good, 19, {'x'})},
        {"trailer at zero", withTrailer(0)},
        {"trailer negative", withTrailer(-512)},
        {"trailer huge", withTrailer(0x7FFFFE00)},
        {"trailer not aligned", withTrailer(1000)},
        {"trailer names no header", withTrailer(1024)},
        {"trailer names itself", withTrailer(4096 - 512)},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("bad.pbl");
        putFileBytes(path, c.bytes);
        EXPECT_EQ(manager->openLibrary(path.c_str(), 1), nullptr) << c.name;
        EXPECT_EQ(manager->openLibrary(path.c_str(), 0), nullptr) << c.name;
        EXPECT_EQ(fileBytes(path), c.bytes) << c.name;
    }
}

// A host file carrying a library: its header and root moved behind the host's own
// data and named by a trailer, its links left absolute. Reading entries needs no
// bitmap; hosted_test.cpp covers host files laid out in full as real ones are.
TEST_F(Opening, LibraryInsideAHostFileIsFoundThroughItsTrailer) {
    {
        PblLibraryHandle lib(create("inner.pbl", 6));
        ASSERT_NE(lib, nullptr);
        ASSERT_EQ(putEntry(*lib, "alpha.srd", pattern(700, 1)), kPblOk);
        ASSERT_EQ(putEntry(*lib, "beta.srd", pattern(20, 2)), kPblOk);
        ASSERT_EQ(lib->setComment("hosted"), kPblOk);
    }
    Bytes inner = fileBytes(dir.file("inner.pbl"));
    ASSERT_EQ(inner.size() % 512, 0u);
    Bytes host = inner;
    std::memcpy(host.data(), "MZ-host-block", 13);  // no HDR* at the start any more
    const std::size_t headerAt = inner.size();
    host.resize(headerAt + 4096, 0);
    std::memcpy(host.data() + headerAt, inner.data(), 512);                 // header
    std::memcpy(host.data() + headerAt + 1024, inner.data() + 1024, 3072);  // root
    Bytes trailer(512, 0);
    std::memcpy(trailer.data(), "TRL*", 4);
    storeI32(trailer.data() + 4, static_cast<std::int32_t>(headerAt));
    host.insert(host.end(), trailer.begin(), trailer.end());
    putFileBytes(dir.file("host.exe"), host);

    PblLibraryHandle lib(manager->openLibrary(dir.wide("host.exe"), 0));
    ASSERT_NE(lib, nullptr);
    auto& impl = *lib;
    EXPECT_EQ(impl.headerOffset(), static_cast<std::int32_t>(headerAt));
    EXPECT_EQ(lib->version(), 6);
    Collector c;
    ASSERT_EQ(lib->forEachEntry(c), kPblOk);
    ASSERT_EQ(c.entries.size(), 2u);
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, "ALPHA.srd", rc), pattern(700, 1));
    EXPECT_EQ(rc, kPblOk);
    EXPECT_EQ(getEntry(*lib, "beta.srd", rc), pattern(20, 2));
    char comment[16] = {};
    int size = sizeof comment;
    ASSERT_EQ(lib->getComment(comment, size), kPblOk);
    EXPECT_STREQ(comment, "hosted");
}

TEST_F(Opening, EveryEntryRecordSaysVersion0600EvenInA0500Library) {
    PblLibraryHandle lib(create("old.pbl", 5));
    ASSERT_EQ(putEntry(*lib, "x.srd", pattern(3, 0)), kPblOk);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("x.srd", info, 0), kPblOk);
    lib.reset();
    Bytes b = fileBytes(dir.file("old.pbl"));
    EXPECT_EQ(std::string(b.begin() + 18, b.begin() + 22), "0500");
    EXPECT_EQ(std::string(b.begin() + info.entryOffset, b.begin() + info.entryOffset + 8),
              "ENT*0600");
}

}  // namespace
}  // namespace keldrin::pbl::test
