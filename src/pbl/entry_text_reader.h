// Inside view of the exported entry reader (keldrin/export.h): the sizes of its
// process-wide buffers, so tests can see that they grow and never shrink.
#pragma once

#include <cstddef>

namespace keldrin::pbl {

struct ReaderBufferSizes {
    std::size_t data = 0;     // entry data as stored, plus terminating zeros
    std::size_t text = 0;     // UTF-16 form of an ANSI library's entry data
    std::size_t comment = 0;  // the comment in UTF-16, plus a zero character
};

ReaderBufferSizes readerBufferSizes();

}  // namespace keldrin::pbl
