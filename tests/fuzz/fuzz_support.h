// Helpers shared by the fuzz targets. The library and the containers take file names,
// so every input is first written to a file of its own: under /dev/shm when there is
// one (no disk traffic at tens of thousands of inputs per second), else the temporary
// directory. Names carry the process id, so parallel fuzzing jobs never share a file.
//
// The targets are also compiled into the normal test run (tests/app/fuzz_replay_test.cpp)
// to replay the committed regression inputs; there each target's entry function gets a
// name of its own through KELDRIN_FUZZ_ENTRY, and its helpers live in a namespace of
// their own so that all targets fit into one translation unit.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"

namespace keldrin::fuzz {

// A directory for this process's files, made on first use.
inline const std::string& workDirectory() {
    static const std::string dir = [] {
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string d = base + "/keldrin-fuzz-" + std::to_string(::getpid());
        fs::makeDirectory(fs::fromNativeName(d));
        return d;
    }();
    return dir;
}

// The wide name of file `tag` in the work directory.
inline std::u16string workFile(const char* tag) {
    return fs::fromNativeName(workDirectory() + "/" + tag);
}

// Writes `size` bytes to file `tag` and returns its wide name; aborts when the file
// cannot be written, since every later step would test nothing.
inline std::u16string writeInput(const std::uint8_t* data, std::size_t size, const char* tag) {
    std::u16string name = workFile(tag);
    std::FILE* f = fs::openFile(name, "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
    return name;
}

// A whole file's bytes; empty when it cannot be read.
inline std::vector<std::uint8_t> fileBytes(const std::u16string& name) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = fs::openFile(name, "rb");
    if (f == nullptr) return bytes;
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

// Values taken from the end of the input, so that the front can stay a whole file
// (a library or a report from the seed corpus) while its last bytes steer the target.
// Past the front end every value reads as 0.
class TailReader {
  public:
    TailReader(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::uint8_t byte() {
        if (left_ == 0) return 0;
        return data_[--left_];
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // A value in [0, bound).
    std::uint32_t below(std::uint32_t bound) { return bound == 0 ? 0 : u32() % bound; }
    bool empty() const { return left_ == 0; }

  private:
    const std::uint8_t* data_;
    std::size_t left_;
};

}  // namespace keldrin::fuzz

#ifndef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif
