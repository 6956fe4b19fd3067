#include "psr/psr_container.h"

#include <cstring>

#include "base/exceptions.h"

namespace keldrin {

void PsrContainer::readStreamInto(const std::u16string& path, const StreamPlace& place) {
    Bytes data;
    readStream(path, data);
    std::size_t at = 0;
    for (const fs::ReadPiece& piece : place(data.size())) {
        if (piece.size > data.size() - at) throw IOException();
        if (piece.size != 0) std::memcpy(piece.data, data.data() + at, piece.size);
        at += piece.size;
    }
}

}  // namespace keldrin
