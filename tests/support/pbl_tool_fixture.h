// Tests that drive keldrin-pbl as a process, each in a scratch directory of its own that
// goes with the test. POSIX only, like the process runner they use.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/process_runner.h"
#include "support/win32_posix_compat.h"

namespace keldrin::test {

class PblToolProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
#if !defined(KELDRIN_PBL_PATH)
        GTEST_SKIP() << "keldrin-pbl is not built";
#else
        tool_ = KELDRIN_PBL_PATH;
        char pattern[] = "/tmp/keldrin-pbl-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
#endif
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    // Runs the tool in the C locale (ANSI code page 1252) with `input` on standard input
    // and a time limit, so a hang is a failure, not a stuck test run. Sanitizer reports
    // get exit codes of their own and fail the test: a memory error cannot pass for an
    // ordinary failure (exit 1).
    ProcessResult runTool(const std::vector<std::string>& args, const std::string& input) {
        ProcessSpec spec{.program = tool_, .args = args};
        spec.input = input;
        spec.environment = {"LC_ALL=C", "ASAN_OPTIONS=exitcode=86",
                            "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1"};
        spec.timeLimit = 60;
        ProcessResult result = runProcess(spec);
        if (result.exitCode == 86 || result.exitCode == 87)
            ADD_FAILURE() << "sanitizer report:\n" << result.err;
        return result;
    }
    // Runs a command that must succeed; its standard output.
    std::string ok(const std::vector<std::string>& args, const std::string& input = std::string()) {
        ProcessResult result = runTool(args, input);
        EXPECT_EQ(result.exitCode, 0) << args[0] << ": " << result.err;
        return result.out;
    }
    std::string path(const std::string& name) const {
        return (dir_ / name).string();
    }
    // A new, empty library of that version in the scratch directory.
    std::string newLibrary(const std::string& name, int version) {
        std::string lib = path(name);
        ok({"create", lib, std::to_string(version)});
        return lib;
    }
    // `text` put into `lib` as the entry `name`, through a file.
    void putText(const std::string& lib, const std::string& name, const std::string& text) {
        std::string file = path("body");
        std::ofstream(file, std::ios::binary) << text;
        ok({"put", lib, name, file});
    }
    // The smallest source of an object `name` from `ancestor`, then `body`.
    static std::string globalType(const std::string& name, const std::string& ancestor,
                                  const std::string& body = "") {
        return "global type " + name + " from " + ancestor + "\r\nend type\r\n" + body;
    }

    std::string tool_;
    std::filesystem::path dir_;
};

}  // namespace keldrin::test
