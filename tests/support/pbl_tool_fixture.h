// Tests that drive keldrin-pbl as a process, each in a scratch directory of its own that
// goes with the test. POSIX only, like the process runner they use.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

    std::string tool_;
    std::filesystem::path dir_;
};

}  // namespace keldrin::test
