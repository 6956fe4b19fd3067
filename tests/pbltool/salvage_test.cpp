// keldrin-pbl salvage through the real executable: what it prints (with offsets, as text
// and as JSON), its exit codes, and that the damaged library is never changed and OUT is
// never the library itself.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/pbl_tool_fixture.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

class PblToolSalvageTest : public test::PblToolProcessTest {
  protected:
    // A library of three entries whose first data block (that of "a.srd") lost its
    // signature; `dataAt` gets that block's offset.
    std::string damagedLibrary(std::size_t& dataAt) {
        std::string lib = newLibrary("d.pbl", 6);
        ok({"put", lib, "a.srd", "--comment", "first", "--time", "1000"}, std::string(700, 'a'));
        ok({"put", lib, "b.srd", "--comment", "second", "--time", "2000"}, std::string(40, 'b'));
        ok({"put", lib, "c.srd", "--time", "3000"}, std::string(1200, 'c'));
        ok({"comment", lib, "kept comment"});
        std::string bytes = test::readAll(lib);
        dataAt = bytes.find("DAT*");
        EXPECT_NE(dataAt, std::string::npos);
        bytes.replace(dataAt, 4, "XXXX");
        test::writeAll(lib, bytes);
        return lib;
    }
};

TEST_F(PblToolSalvageTest, ADamagedLibraryGivesWhatIsLeftAndSaysWhatWasLost) {
    std::size_t dataAt = 0;
    const std::string lib = damagedLibrary(dataAt);
    const std::string before = test::readAll(lib);
    const std::string out = path("out.pbl");

    test::ProcessResult r = runTool({"salvage", lib, out}, "");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("recovered b.srd (46 bytes, record at offset 1086)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("recovered library comment (12 bytes)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("lost entry at offset 1056 ('a.srd'): data block lacks its signature at "
                         "offset " +
                         std::to_string(dataAt) + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("2 entries recovered, 1 loss; written to " + out + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(test::readAll(lib), before) << "the damaged library was changed";

    EXPECT_EQ(ok({"check", out}), "0 problems, 0 notes\n");
    EXPECT_EQ(ok({"cat", out, "b.srd", "--comment"}), "second");
    EXPECT_EQ(ok({"cat", out, "c.srd"}), std::string(1200, 'c'));
    EXPECT_EQ(ok({"comment", out}), "kept comment\n");
    EXPECT_EQ(runTool({"cat", out, "a.srd"}, "").exitCode, 1);

    test::ProcessResult json = runTool({"salvage", lib, out, "--json"}, "");
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.out.find("{\"library\": \"" + lib + "\", \"output\": \"" + out +
                            "\", \"variant\": \"ansi\", \"header_version\": \"0600\", "
                            "\"comment\": \"recovered\", \"comment_size\": 12, "
                            "\"library_data\": \"none\", \"library_data_size\": 0, "
                            "\"recovered\": [{\"name\": \"b.srd\", \"offset\": 1086, "
                            "\"data_size\": 46, \"comment_size\": 6, \"time\": 2000, "
                            "\"found_by\": \"directory\"}, "),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("\"lost\": [{\"kind\": \"entry\", \"offset\": 1056, \"entry\": "
                            "\"a.srd\", \"detail\": \"data block lacks its signature at offset " +
                            std::to_string(dataAt) + "\"}], \"notes\": []}\n"),
              std::string::npos)
        << json.out;
}

TEST_F(PblToolSalvageTest, ExitCodesFollowTheRestOfTheTool) {
    const std::string lib = newLibrary("s.pbl", 10);
    ok({"put", lib, "x.srd"}, "x");
    const std::string sound = test::readAll(lib);

    // Nothing lost: 0.
    test::ProcessResult r = runTool({"salvage", lib, path("out.pbl")}, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("1 entry recovered, 0 losses"), std::string::npos) << r.out;

    // The library itself, by its name or another: refused, and it stays as it was.
    std::filesystem::create_hard_link(lib, path("alias.pbl"));
    for (const std::string& target : {lib, path("alias.pbl")}) {
        r = runTool({"salvage", lib, target}, "");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("is the library itself"), std::string::npos) << r.err;
        EXPECT_EQ(test::readAll(lib), sound);
    }
    std::filesystem::remove(path("alias.pbl"));

    // No library at all, or no file: 1, and OUT untouched.
    test::writeAll(path("text.pbl"), std::string(3000, 't'));
    test::writeAll(path("keep.pbl"), "keep");
    r = runTool({"salvage", path("text.pbl"), path("keep.pbl")}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("nothing to salvage"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(path("keep.pbl")), "keep");
    r = runTool({"salvage", path("none.pbl"), path("new.pbl")}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no such file"), std::string::npos) << r.err;

    // A bad command line: 2.
    EXPECT_EQ(runTool({"salvage", lib}, "").exitCode, 2);
    EXPECT_EQ(runTool({"salvage", lib, path("o.pbl"), "--version", "5"}, "").exitCode, 2);

    EXPECT_EQ(test::listing(dir_),
              (std::set<std::string>{"s.pbl", "out.pbl", "text.pbl", "keep.pbl"}))
        << "a file was left behind";
}

}  // namespace
}  // namespace keldrin
