// keldrin.exe as Windows users run it: a child process with its standard output
// redirected to a file, which then holds UTF-8 text with CR LF line ends, nothing on
// standard error, and the exit code. Arguments travel as wide text.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace keldrin {
namespace {

#if defined(_WIN32) && defined(KELDRIN_PATH)

namespace stdfs = std::filesystem;

struct CliOutcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string readAll(const stdfs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring inQuotes(const std::wstring& arg) {
    // Enough for the arguments used here: no quotes or trailing backslashes inside.
    return L"\"" + arg + L"\"";
}

CliOutcome run(const std::vector<std::wstring>& args, const stdfs::path& dir) {
    CliOutcome r;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    stdfs::path outFile = dir / "out.txt";
    stdfs::path errFile = dir / "err.txt";
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_NE(err, INVALID_HANDLE_VALUE);
    std::wstring exe = stdfs::path(KELDRIN_PATH).wstring();
    std::wstring line = inQuotes(exe);
    for (const std::wstring& a : args) line += L" " + inQuotes(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring cwd = dir.wstring();
    if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                       &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 120000);
        GetExitCodeProcess(pi.hProcess, &r.exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    }
    CloseHandle(out);
    CloseHandle(err);
    r.out = readAll(outFile);
    r.err = readAll(errFile);
    return r;
}

// Standard output after the two banner lines.
std::string afterCliBanner(const std::string& out) {
    EXPECT_EQ(out.rfind("Keldrin v" KELDRIN_VERSION " ", 0), 0u) << out;
    std::size_t first = out.find("\r\n");
    std::size_t second = first == std::string::npos ? first : out.find("\r\n", first + 2);
    if (second == std::string::npos) return "<no banner>";
    return out.substr(second + 2);
}

const std::string kUsage =
    "\r\n"
    "Usage: keldrin <source psrfile> [-p <target pblfile>]\r\n"
    "  <source psrfile> - PSR file to be converted to PBL\r\n"
    "  <target psrfile> - target PBL file. Optional. Defaults to PSR name with \r\n"
    "                     the extension changed to .pbl\r\n";

class WindowsCli : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = stdfs::temp_directory_path() / "keldrin-cli-\u00e9\u0416";
        stdfs::remove_all(dir_);
        stdfs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        stdfs::remove_all(dir_, ignored);
    }
    stdfs::path dir_;
};

TEST_F(WindowsCli, TranscriptsOfTheCommandLine) {
    struct Row {
        std::vector<std::wstring> args;
        DWORD code;
        std::string text;
    };
    const Row rows[] = {
        {{}, 2, kUsage},
        {{L"-p", L"out.pbl"},
         3,
         "Systax error: First argument must be a PSR name\r\n\r\n" + kUsage},
        {{L"a.psr", L"b\u00e9.psr"},
         3,
         "Systax error: Unexpected argument: b\xC3\xA9.psr\r\n\r\n" + kUsage},
        {{L"a.psr", L"-p"}, 3, "Systax error: Argument -p requires a PBL name\r\n\r\n" + kUsage},
        {{L"\u043d\u0435\u0442.psr"}, 3, "Conversion error\r\n\r\n"},
    };
    for (const Row& row : rows) {
        CliOutcome r = run(row.args, dir_);
        EXPECT_EQ(r.exitCode, row.code);
        EXPECT_EQ(afterCliBanner(r.out), row.text);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(WindowsCli, ConvertsUnderWideNames) {
    stdfs::path example = stdfs::path(KELDRIN_SOURCE_DIR) / "examples" / "example.psr";
    if (!stdfs::exists(example)) GTEST_SKIP() << "no example report";
    std::wstring source = L"\u62a5\u544a \u043e\u0442\u0447\u0451\u0442.psr";
    stdfs::copy_file(example, dir_ / source);
    std::wstring target = L"\u0431\u0438\u0431\u043b\u0438\u043e\u0442\u0435\u043a\u0430.pbl";
    CliOutcome r = run({source, L"-p", target}, dir_);
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    EXPECT_EQ(r.err, "");
    std::string tail = "Conversion finished successfully\r\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    // The summary names both files in UTF-8.
    EXPECT_NE(r.out.find("\xE6\x8A\xA5\xE5\x91\x8A"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\xD0\xB1\xD0\xB8\xD0\xB1"), std::string::npos) << r.out;
    EXPECT_TRUE(stdfs::exists(dir_ / target));
    EXPECT_FALSE(stdfs::exists(dir_ / "__quennet.tmp"));
    // Every line of the transcript ends in CR LF.
    for (std::size_t at = r.out.find('\n'); at != std::string::npos; at = r.out.find('\n', at + 1))
        EXPECT_EQ(r.out[at - 1], '\r') << at;
}

#else

TEST(WindowsCli, RunsOnWindowsOnly) {
    GTEST_SKIP() << "Windows process tests";
}

#endif

}  // namespace
}  // namespace keldrin
