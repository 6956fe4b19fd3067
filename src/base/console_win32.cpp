// Windows console. When standard output is a console window, the wide text goes to it
// unchanged with WriteConsoleW, so every character the console font has shows as it
// is, whatever the console's code page. When standard output is redirected to a file
// or a pipe, the text leaves as UTF-8 (no byte-order mark), which keeps every
// character and reads the same on every system. Lines end in CR LF either way, as
// Windows text does; a CR LF already in the text (system messages end in one) is
// kept as it is.
//
// The handle is looked up on every call, through the C runtime's descriptor 1, so a
// redirection made inside the process (a test capturing output) is followed too.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/console.h"
#include "base/text.h"

namespace keldrin::console {
namespace {

std::u16string withCrLf(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) out.push_back(u'\r');
        out.push_back(text[i]);
    }
    return out;
}

// Writes in pieces of at most `maxChunk` units until all is out or a write fails; the
// console takes a limited amount per call, and a pipe or file no more than a DWORD.
template <typename Unit, typename WriteFn>
void writeChunked(const Unit* data, std::size_t size, std::size_t maxChunk, WriteFn write) {
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(size > maxChunk ? maxChunk : size);
        DWORD written = 0;
        if (!write(data, chunk, &written) || written == 0) return;
        data += written;
        size -= written;
    }
}

void writeAll(HANDLE handle, const char* data, std::size_t size) {
    writeChunked(data, size, 0x10000, [handle](const char* p, DWORD n, DWORD* done) {
        return WriteFile(handle, p, n, done, nullptr) != FALSE;
    });
}

void writeConsoleAll(HANDLE handle, const char16_t* data, std::size_t size) {
    writeChunked(data, size, 8192, [handle](const char16_t* p, DWORD n, DWORD* done) {
        return WriteConsoleW(handle, p, n, done, nullptr) != FALSE;
    });
}

void emit(std::u16string_view text) {
    // Whatever the C runtime still buffers comes first.
    std::fflush(stdout);
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
    std::u16string lines = withCrLf(text);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        writeConsoleAll(handle, lines.data(), lines.size());
    } else {
        std::string bytes = utf16ToUtf8(lines);
        writeAll(handle, bytes.data(), bytes.size());
    }
}

}  // namespace

void write(std::u16string_view text) {
    emit(text);
}

void writeLine(std::u16string_view text) {
    std::u16string line(text);
    line.push_back(u'\n');
    emit(line);
}

}  // namespace keldrin::console
