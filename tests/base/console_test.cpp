// Text reaches redirected standard output as UTF-8 with every character intact, in
// the platform's line ending: LF on POSIX, CR LF on Windows (a CR LF already in the
// text stays one CR LF).
#include "base/console.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

namespace keldrin {
namespace {

#if defined(_WIN32)
constexpr const char* kEol = "\r\n";
#else
constexpr const char* kEol = "\n";
#endif

// Standard output sent to a file and read back byte for byte (GoogleTest's own capture
// reads in text mode, which would hide the CRs on Windows).
std::string captured(void (*write)(std::u16string_view), std::u16string_view text) {
    // Named after the test: CTest runs tests as parallel processes.
    std::string path = testing::TempDir() + "keldrin-console-capture-" +
                       testing::UnitTest::GetInstance()->current_test_info()->name();
    std::fflush(stdout);
    int saved = dup(1);
    std::FILE* sink = std::fopen(path.c_str(), "wb");
    if (saved < 0 || sink == nullptr) return "<no capture>";
    dup2(fileno(sink), 1);
    write(text);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(sink);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    std::string bytes;
    char buffer[256];
    std::size_t n;
    while (in != nullptr && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.append(buffer, n);
    if (in != nullptr) std::fclose(in);
    std::remove(path.c_str());
    return bytes;
}

TEST(Console, WideTextLeavesAsUtf8) {
    EXPECT_EQ(captured(console::write, u"caf\u00E9 \u0416\u4E2D\U0001F600"),
              "caf\xC3\xA9 \xD0\x96\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(Console, LinesEndInThePlatformsLineEnding) {
    EXPECT_EQ(captured(console::writeLine, u"Conversion finished successfully"),
              std::string("Conversion finished successfully") + kEol);
    EXPECT_EQ(captured(console::writeLine, u""), std::string(kEol));
    EXPECT_EQ(captured(console::write, u"a\nb"), std::string("a") + kEol + "b");
}

TEST(Console, SystemMessagesKeepTheirOwnLineEnd) {
    // A system message ends in CR LF and is printed inside quotes.
    EXPECT_EQ(captured(console::writeLine, u"LastError: 'Access is denied.\r\n'"),
              std::string("LastError: 'Access is denied.\r\n'") + kEol);
}

}  // namespace
}  // namespace keldrin
