// keldrin-pbl run inside the test process, its three streams temporary files: for tests
// of the tool's commands that need no child process (and so run under Wine too).
// Header-only: only the tool's own tests link the tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pbltool/tool.h"

namespace keldrin::test {

struct ToolResult {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string contentOf(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    return text;
}

// `args` as the command line after the program's name; `input` as standard input.
inline ToolResult runToolInProcess(const std::vector<std::u16string>& args,
                                   const std::string& input = {}) {
    ToolResult result;
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (in == nullptr || out == nullptr || err == nullptr) {
        ADD_FAILURE() << "no temporary files";
        for (std::FILE* f : {in, out, err})
            if (f != nullptr) std::fclose(f);
        return result;
    }
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    result.code = runPblTool(args, PblToolStreams{in, out, err});
    result.out = contentOf(out);
    result.err = contentOf(err);
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    return result;
}

}  // namespace keldrin::test
