#include "psr/ole_psr_container.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "base/exceptions.h"
#include "base/file.h"
#include "psr/compound_file.h"

namespace keldrin {
namespace {

// The first half of the compound-file signature; the rest is the reader's to check.
constexpr std::uint8_t kSignatureStart[4] = {0xD0, 0xCF, 0x11, 0xE0};

void readWholeStream(cf::Storage& storage, const std::u16string& name, Bytes& data,
                     Damage& damage) {
    std::unique_ptr<cf::Stream> stream;
    if (name.empty() || storage.openStream(name, stream) != cf::Status::kOk)
        throw NotFoundException();
    data.clear();
    std::uint8_t buffer[OlePsrContainer::kReadChunk];
    for (;;) {
        std::uint32_t got = 0;
        if (stream->read(buffer, OlePsrContainer::kReadChunk, got) != cf::Status::kOk) {
            damage = stream->lastProblem();
            throw IOException();
        }
        if (got == 0) break;
        // A layer that claims more than it was asked for is broken, not a source of bytes.
        if (got > OlePsrContainer::kReadChunk) throw IOException();
        data.insert(data.end(), buffer, buffer + got);
    }
}

// One storage per "/"; the path's components are handed over as they stand. The chain of
// open storages is held so that all of them are released on every way out.
void walk(cf::Storage& root, std::u16string_view path, Bytes& data, Damage& damage) {
    std::vector<std::unique_ptr<cf::Storage>> opened;
    cf::Storage* storage = &root;
    for (std::size_t slash = path.find(u'/'); slash != std::u16string_view::npos;
         slash = path.find(u'/')) {
        std::u16string name(path.substr(0, slash));
        std::unique_ptr<cf::Storage> child;
        if (name.empty() || storage->openStorage(name, child) != cf::Status::kOk)
            throw NotFoundException();
        opened.push_back(std::move(child));
        storage = opened.back().get();
        path = path.substr(slash + 1);
    }
    readWholeStream(*storage, std::u16string(path), data, damage);
}

}  // namespace

void OlePsrContainer::open(const std::u16string& fileName) {
    std::FILE* file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw NotFoundException();
    std::fclose(file);
    file = fs::openFile(fileName, "rb");
    if (file == nullptr) throw IOException();
    std::uint8_t start[4] = {};
    std::size_t got = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
    if (got != sizeof start || !std::equal(start, start + 4, kSignatureStart))
        throw NotSupportedFormatException();
    fileName_ = fileName;
}

void OlePsrContainer::readStream(const std::u16string& path, Bytes& data) {
    damage_ = Damage{};
    std::unique_ptr<cf::Storage> root;
    if (cf::openRootStorage(fileName_, root, &damage_) != cf::Status::kOk) throw IOException();
    walk(*root, path, data, damage_);
}

}  // namespace keldrin
