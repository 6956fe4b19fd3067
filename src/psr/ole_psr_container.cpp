#include "psr/ole_psr_container.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/exceptions.h"
#include "base/file.h"
#include "base/text.h"
#include "psr/cfb_reader.h"
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
// open storages is held so that all of them are released on every way out; `reach` gets
// the last storage and the stream's name in it.
template <typename Reach>
void walk(cf::Storage& root, std::u16string_view path, Reach reach) {
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
    reach(*storage, std::u16string(path));
}

// One storage being listed: the elements still to visit, from the back.
struct Listing {
    std::unique_ptr<cf::Storage> storage;
    std::u16string prefix;
    std::vector<cf::Element> rest;
};

// Storages are reopened by name, so two of one name would both lead to the first: its
// elements would be listed twice, and nested pairs of such twins would double the walk
// at every level. A file that holds them is damaged.
void listElements(Listing& listing, Damage& damage) {
    if (listing.storage->list(listing.rest) != cf::Status::kOk) throw IOException();
    std::vector<std::u16string_view> storages;
    for (const cf::Element& element : listing.rest)
        if (element.storage) storages.emplace_back(element.name);
    std::sort(storages.begin(), storages.end(), [](std::u16string_view a, std::u16string_view b) {
        return cfb::compareNames(a, b) < 0;
    });
    const auto twin = std::adjacent_find(storages.begin(), storages.end(), [](auto a, auto b) {
        return cfb::compareNames(a, b) == 0;
    });
    if (twin != storages.end()) {
        const std::string where =
            listing.prefix.empty()
                ? std::string("the root")
                : "storage '" + utf16ToUtf8(listing.prefix.substr(0, listing.prefix.size() - 1)) +
                      "'";
        malformed(damage, where + " holds two storages named '" + utf16ToUtf8(*twin) + "'", -1);
        throw IOException();
    }
    std::reverse(listing.rest.begin(), listing.rest.end());
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
    walk(*root, path, [&](cf::Storage& storage, const std::u16string& name) {
        readWholeStream(storage, name, data, damage_);
    });
}

void OlePsrContainer::readStreamInto(const std::u16string& path, const StreamPlace& place) {
    damage_ = Damage{};
    std::int64_t fileBytes = -1;
    if (fs::FileHandle file{fs::openFile(fileName_, "rb")}) fileBytes = fs::fileSize(file.get());
    if (fileBytes < 0) throw IOException();
    std::unique_ptr<cf::Storage> root;
    if (cf::openRootStorage(fileName_, root, &damage_) != cf::Status::kOk) throw IOException();
    walk(*root, path, [&](cf::Storage& storage, const std::u16string& name) {
        std::unique_ptr<cf::Stream> stream;
        if (name.empty() || storage.openStream(name, stream) != cf::Status::kOk)
            throw NotFoundException();
        // The size comes from the storage's listing, which is the file's word: it sizes
        // the caller's memory only when the file is at least that large.
        std::vector<cf::Element> elements;
        if (storage.list(elements) != cf::Status::kOk) throw IOException();
        const auto found =
            std::find_if(elements.begin(), elements.end(), [&](const cf::Element& element) {
                return !element.storage && cfb::compareNames(element.name, name) == 0;
            });
        if (found == elements.end()) throw NotFoundException();
        if (found->size > static_cast<std::uint64_t>(fileBytes)) {
            malformed(damage_,
                      "stream '" + utf16ToUtf8(path) + "' claims " + std::to_string(found->size) +
                          " bytes, more than the file's " + std::to_string(fileBytes),
                      -1);
            throw IOException();
        }
        // The layer reads in chunks; each goes on into the pieces while it is still in
        // the cache.
        std::uint8_t chunk[kReadChunk];
        std::uint32_t have = 0;
        std::uint32_t used = 0;
        for (const fs::ReadPiece& piece : place(found->size)) {
            auto* out = static_cast<std::uint8_t*>(piece.data);
            std::size_t left = piece.size;
            while (left > 0) {
                if (used == have) {
                    std::uint32_t got = 0;
                    if (stream->read(chunk, kReadChunk, got) != cf::Status::kOk) {
                        damage_ = stream->lastProblem();
                        throw IOException();
                    }
                    // A stream that ends before its size, or a layer that claims more than
                    // it was asked for, gives no bytes to trust.
                    if (got == 0 || got > kReadChunk) throw IOException();
                    have = got;
                    used = 0;
                }
                const std::size_t n = std::min<std::size_t>(left, have - used);
                std::memcpy(out, chunk + used, n);
                out += n;
                left -= n;
                used += static_cast<std::uint32_t>(n);
            }
        }
    });
}

std::vector<PsrStreamInfo> OlePsrContainer::listStreams() {
    damage_ = Damage{};
    std::vector<PsrStreamInfo> streams;
    // The storages open along the way are held on the heap, not in nested calls: a file
    // of storages nested thousands deep is walked without exhausting the stack.
    std::vector<Listing> open(1);
    if (cf::openRootStorage(fileName_, open.back().storage, &damage_) != cf::Status::kOk)
        throw IOException();
    listElements(open.back(), damage_);
    while (!open.empty()) {
        Listing& current = open.back();
        if (current.rest.empty()) {
            open.pop_back();
            continue;
        }
        cf::Element element = std::move(current.rest.back());
        current.rest.pop_back();
        std::u16string path = current.prefix + element.name;
        if (!element.storage) {
            streams.push_back({std::move(path), element.size});
            continue;
        }
        Listing inner;
        if (current.storage->openStorage(element.name, inner.storage) != cf::Status::kOk)
            throw IOException();
        inner.prefix = std::move(path) + u'/';
        listElements(inner, damage_);
        open.push_back(std::move(inner));
    }
    return streams;
}

}  // namespace keldrin
