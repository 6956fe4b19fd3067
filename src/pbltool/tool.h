// keldrin-pbl, the command-line tool over the PBL library: create, inspect, read, write,
// delete, export, rebuild and optimize libraries. The entry point (keldrin_pbl_main.cpp)
// only turns the platform's command line into wide text and calls runPblTool.
//
// Exit codes: 0 success, 1 failure (a message on the error stream), 2 a bad command line
// (the usage text on the error stream).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace keldrin {

struct PblToolStreams {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

inline constexpr int kPblToolOk = 0;
inline constexpr int kPblToolFailed = 1;
inline constexpr int kPblToolUsage = 2;

// Runs one command; `args` are the arguments after the program name. Data written to
// `out` (cat, export) are the exact bytes; text is UTF-8.
int runPblTool(const std::vector<std::u16string>& args, const PblToolStreams& streams);
int runPblTool(const std::vector<std::u16string>& args);

}  // namespace keldrin
