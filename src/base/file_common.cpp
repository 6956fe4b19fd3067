// The parts of the file layer that are the same on every platform: the wide form of
// names that arrive as bytes, new files under unused names, and whole-file copies
// through the layer's own calls.
//
// The wide form of names that arrive as bytes (POSIX file names and arguments, and
// narrow text that reaches the file layer elsewhere): their UTF-8 decoding, where each
// byte that is not part of valid UTF-8 is carried as the lone surrogate U+DC00 + byte,
// so toNativeName(fromNativeName(b)) == b for every byte string.
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file.h"
#include "base/path.h"
#include "base/text.h"

namespace keldrin::fs {

std::u16string fromNativeName(std::string_view bytes) {
    // A byte that starts no valid sequence becomes a lone low surrogate, which
    // toNativeName turns back into that very byte.
    return decodeUtf8(bytes, [](unsigned char b) { return static_cast<char16_t>(0xDC00 + b); });
}

std::string toNativeName(std::u16string_view name) {
    std::string out;
    out.reserve(name.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        if (c >= 0xDC80 && c <= 0xDCFF) {
            out += utf16ToUtf8(name.substr(start, i - start));
            out.push_back(static_cast<char>(c - 0xDC00));
            start = i + 1;
        }
    }
    out += utf16ToUtf8(name.substr(start));
    return out;
}

bool copyFile(const std::u16string& from, const std::u16string& to) {
    std::FILE* in = openFile(from, "rb");
    if (in == nullptr) return false;
    std::FILE* out = openFile(to, "wb");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    std::vector<char> buffer(65536);
    bool ok = true;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
        if (std::fwrite(buffer.data(), 1, n, out) != n) {
            ok = false;
            break;
        }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    if (!syncFile(out)) ok = false;
    if (std::fclose(out) != 0) ok = false;
    return ok;
}

std::u16string createUniqueFile(const std::function<std::u16string(int)>& nameFor, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::u16string name = nameFor(attempt);
        bool taken = false;
        std::FILE* file = createExclusive(name, &taken);
        if (file != nullptr) {
            if (std::fclose(file) == 0) return name;
            removeFile(name);
            return std::u16string();
        }
        if (!taken) return std::u16string();
    }
    return std::u16string();
}

bool makeDirectories(const std::u16string& path) {
    // Up to the first directory that is there or can be made, then down again. A loop,
    // not recursion: the name comes from the command line and may be deep.
    std::vector<std::u16string> missing;
    std::u16string at = path;
    while (!makeDirectory(at)) {
        std::u16string up = path::parent(at);
        // A root or drive that cannot be made: nothing above it to make first.
        if (up.empty() || up == at) return false;
        missing.push_back(std::move(at));
        at = std::move(up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (!makeDirectory(*it)) return false;
    return true;
}

}  // namespace keldrin::fs
