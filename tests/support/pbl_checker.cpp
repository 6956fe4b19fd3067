#include "support/pbl_checker.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/file.h"
#include "base/text.h"
#include "pbl/library_check.h"

namespace keldrin::checks {

namespace {

// Notes that a library Keldrin wrote never has: in a test they are faults.
bool keldrinNeverWrites(std::string_view kind) {
    constexpr std::string_view kinds[] = {
        "file-length",     "comment",        "node-reserved",      "empty-node",
        "name-terminator", "name-zero",      "chain-shape",        "chain-tail",
        "empty-positions", "trailer-marked", "marked-beyond-file", "leaked-block"};
    return std::find(std::begin(kinds), std::end(kinds), kind) != std::end(kinds);
}

}  // namespace

std::vector<std::uint8_t> readWholeFile(const std::u16string& path) {
    std::vector<std::uint8_t> out;
    std::FILE* f = fs::openFile(path, "rb");
    if (f == nullptr) return out;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool writeWholeFile(const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = fs::openFile(path, "wb");
    if (f == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

std::string checkLibraryBytes(const std::vector<std::uint8_t>& bytes,
                              std::initializer_list<std::string_view> passed) {
    std::vector<pbl::CheckFinding> findings = pbl::checkLibrary(ByteSpan(bytes));
    std::erase_if(findings, [&](const pbl::CheckFinding& f) {
        return std::find(passed.begin(), passed.end(), f.kind) != passed.end();
    });
    auto first = std::find_if(findings.begin(), findings.end(),
                              [](const pbl::CheckFinding& f) { return f.problem; });
    if (first == findings.end())
        first = std::find_if(findings.begin(), findings.end(),
                             [](const pbl::CheckFinding& f) { return keldrinNeverWrites(f.kind); });
    return first == findings.end() ? std::string() : pbl::describeFinding(*first);
}

std::string checkLibraryStructure(const std::u16string& path) {
    std::vector<std::uint8_t> bytes = readWholeFile(path);
    if (bytes.empty()) return "cannot read the file or it is empty";
    return checkLibraryBytes(bytes);
}

std::string checkLibraryStructure(const std::string& utf8Path) {
    return checkLibraryStructure(utf8ToUtf16(utf8Path));
}

}  // namespace keldrin::checks
