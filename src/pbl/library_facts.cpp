#include "pbl/library_facts.h"

#include <algorithm>

#include "base/text.h"

namespace keldrin::pbl {

using namespace layout;

namespace {
// Stored text in the library's width, as wide text up to its first zero.
std::u16string storedText(ByteSpan bytes, bool unicode) {
    std::u16string text;
    if (unicode) {
        text = decodeUtf16Le(bytes);
    } else {
        const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
        text = decodeAnsi(bytes.first(static_cast<std::size_t>(end - bytes.begin())))
                   .value_or(std::u16string());
    }
    return text.substr(0, text.find(u'\0'));
}
}  // namespace

int readHeaderFacts(PblLibrary& library, LibraryFacts& facts) {
    Bytes header;
    int rc = library.readHeader(header);
    if (rc != kPblOk) return rc;
    const Variant& v = library.variant();
    const ByteSpan fields(header);
    facts.unicode = v.unicode;
    facts.version = library.version();
    facts.headerOffset = library.headerOffset();
    facts.hosted = library.hosted();
    // The digits as they stand, zeros and all: a damaged or foreign header shows as it is.
    const ByteSpan digits = fields.subspan(static_cast<std::size_t>(v.versionField),
                                           static_cast<std::size_t>(v.versionFieldBytes));
    facts.headerVersion =
        utf16ToUtf8(v.unicode ? decodeUtf16Le(digits) : decodeAnsi(digits).value_or(u"????"));
    facts.created = 0;
    (void)readI32(fields, static_cast<std::size_t>(v.timeField), facts.created);  // in `header`
    return kPblOk;
}

int readLibraryFacts(PblLibrary& library, LibraryFacts& facts) {
    int rc = readHeaderFacts(library, facts);
    if (rc != kPblOk) return rc;
    const Variant& v = library.variant();

    int size = 0;
    rc = library.getComment(nullptr, size);
    if (rc != kPblOk) return rc;
    // getComment never asks for more than the field and a terminator.
    Bytes comment(static_cast<std::size_t>(std::clamp(size, 0, v.commentCapacity + v.charSize)), 0);
    rc = library.getComment(comment.data(), size);
    if (rc != kPblOk) return rc;
    facts.comment = storedText(comment, v.unicode);

    int length = 0;
    rc = library.readLibraryData(nullptr, length);
    if (rc != kPblOk) return rc;
    facts.libraryDataLength = length;

    facts.fileBlocks = library.libraryBlocks();
    rc = library.blockUsage(facts.blocksInUse, facts.blocksFree);
    if (rc != kPblOk) return rc;
    facts.bitmapBlocks = library.allocator().bitmapBlockCount();
    return kPblOk;
}

}  // namespace keldrin::pbl
