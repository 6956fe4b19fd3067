// Every command that writes a file in place of another, or changes a library in place,
// over a private (0600) target: the target gets the new content and stays private, and
// no temporary file is left beside it.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/library_fixture.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

class ReplacedFileTest : public test::PblToolProcessTest {};

struct Row {
    const char* what;
    bool converter;                 // keldrin, not keldrin-pbl
    std::vector<std::string> args;  // LIB: a library, T: the target, REPORT, DIR, IMPORT
    const char* target;             // what is checked, below the scratch directory
    bool targetIsLibrary;           // the target starts as a copy of LIB, not as text
};

TEST_F(ReplacedFileTest, TargetKeepsItsModeAndGetsTheNewContent) {
#if !defined(KELDRIN_PATH)
    GTEST_SKIP() << "keldrin is not built";
#else
    const std::string report = KELDRIN_SOURCE_DIR "/examples/example.psr";
    // A page needs saved rows, which the example report has none of.
    std::string rows;
    for (const test::ManifestRow& row : test::manifestRows(KELDRIN_CORPUS_DIR))
        if (row.file.ends_with("/deptlist.psr")) rows = KELDRIN_CORPUS_DIR "/" + row.file;
    const std::vector<Row> table = {
        {"converter", true, {"REPORT", "-p", "T"}, "t.pbl", false},
        {"rebuild", false, {"rebuild", "LIB", "T"}, "t.pbl", false},
        {"salvage", false, {"salvage", "LIB", "T"}, "t.pbl", false},
        {"optimize", false, {"optimize", "T"}, "t.pbl", true},
        {"optimize's backup", false, {"optimize", "BACKEDUP", "--force"}, "t.pbl.bak", false},
        {"report --html", false, {"report", "ROWS", "--html", "T"}, "t.html", false},
        {"export over an export", false, {"export", "LIB", "DIR"}, "dir/a.srd", false},
        {"export --sync", false, {"export", "LIB", "DIR", "--sync"}, "dir/a.srd", false},
        {"put", false, {"put", "T", "new.srd", "-"}, "t.pbl", true},
        // On POSIX "\" is part of the name: the journal's directory is the library's.
        {"put, \\ in the name", false, {"put", "T", "new.srd", "-"}, "back\\slash.pbl", true},
        {"import", false, {"import", "T", "IMPORT"}, "t.pbl", true},
        {"add-report", false, {"add-report", "T", "REPORT"}, "t.pbl", true},
    };
    const std::string lib = newLibrary("lib.pbl", 6);
    ok({"put", lib, "a.srd", "-"}, "release 6;\r\n");
    // A free block that a rebuild leaves out, so that optimize changes the bytes.
    ok({"put", lib, "b.srd", "-"}, "release 6;\r\n");
    ok({"rm", lib, "b.srd"});
    stdfs::create_directory(dir_ / "import");
    test::writeAll(dir_ / "import" / "w_in.srw",
                   "$PBExportHeader$w_in.srw\r\nforward\r\nglobal type w_in from window\r\n"
                   "end type\r\n");
    for (const Row& row : table) {
        SCOPED_TRACE(row.what);
        auto takes = [&](const char* placeholder) {
            return std::find(row.args.begin(), row.args.end(), placeholder) != row.args.end();
        };
        if (takes("ROWS") && rows.empty()) continue;  // no corpus on this machine
        const stdfs::path target = dir_ / row.target;
        stdfs::create_directories(target.parent_path());
        const stdfs::path backedUp = stdfs::path(target).replace_extension();
        if (takes("BACKEDUP")) {
            // A backup keeps the mode of the library it backs up.
            stdfs::copy_file(lib, backedUp, stdfs::copy_options::overwrite_existing);
            ASSERT_EQ(::chmod(backedUp.c_str(), 0600), 0);
        }
        if (row.targetIsLibrary)
            stdfs::copy_file(lib, target, stdfs::copy_options::overwrite_existing);
        else
            test::writeAll(target, "the user's old content");
        ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
        const std::string before = test::readAll(target);

        std::vector<std::string> args;
        for (const std::string& arg : row.args) {
            if (arg == "LIB")
                args.push_back(lib);
            else if (arg == "T")
                args.push_back(target.string());
            else if (arg == "REPORT")
                args.push_back(report);
            else if (arg == "ROWS")
                args.push_back(rows);
            else if (arg == "DIR")
                args.push_back(path("dir"));
            else if (arg == "IMPORT")
                args.push_back(path("import"));
            else if (arg == "BACKEDUP")
                args.push_back(backedUp.string());
            else
                args.push_back(arg);
        }
        test::ProcessResult result;
        if (row.converter) {
            test::ProcessSpec spec{.program = KELDRIN_PATH, .args = args};
            spec.timeLimit = 60;
            result = test::runProcess(spec);
        } else {
            result = runTool(args, "the new entry");
        }
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;

        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(test::readAll(target) != before) << "the old content is still there";
        for (const std::string& name : test::listing(target.parent_path()))
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
#endif
}

}  // namespace
}  // namespace keldrin
