#include "pbl/library_facts.h"

#include <algorithm>

#include "base/text.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

using namespace layout;

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
    facts.headerVersion = utf16ToUtf8(decodeStoredField(v.unicode, digits).value_or(u"????"));
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
    facts.comment = decodeStoredText(v.unicode, comment).value_or(std::u16string());

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
