// What the conversion needs to know about a report, read through readStream alone so
// that both containers share it: the PowerBuilder version (bytes 3..5 of "object"), the
// child DataWindows ("dwstg/dwlookup") and the main DataWindow's name.
//
// "dwstg/dwlookup": count (u32) | count records, no gap. The layout of a record follows
// the report's text encoding, told by byte 1 of "source" (0: Unicode):
//   ANSI     44 bytes: name, 42 bytes of code-page text, zero-terminated | number (u16)
//   Unicode  86 bytes: name, 84 bytes of UTF-16LE,  zero-terminated     | number (u16)
#include <algorithm>
#include <string>

#include "base/exceptions.h"
#include "base/text.h"
#include "convert/dw_extraction.h"
#include "convert/path_ops.h"
#include "psr/psr_container.h"

namespace keldrin {
namespace {

constexpr std::size_t kVersionMajorOffset = 3;
constexpr std::size_t kVersionMinorOffset = 5;
constexpr std::size_t kVersionBytes = 6;

constexpr std::size_t kAnsiNameBytes = 42;
constexpr std::size_t kUnicodeNameBytes = 84;
constexpr std::size_t kNumberBytes = 2;
constexpr std::size_t kAnsiRecordBytes = kAnsiNameBytes + kNumberBytes;
constexpr std::size_t kUnicodeRecordBytes = kUnicodeNameBytes + kNumberBytes;
static_assert(kAnsiRecordBytes == 44 && kUnicodeRecordBytes == 86);

const char16_t kDefaultMainName[] = u"quennet";
const char16_t kDwPrefix[] = u"d_";

// The "object" stream, which holds the version bytes.
Bytes readVersionBytes(PsrContainer& container) {
    Bytes object;
    container.readStream(u"object", object);
    return object;
}

std::u16string ansiName(ByteSpan field) {
    std::string text(field.begin(), std::find(field.begin(), field.end(), 0));
    return ansiToWide(text);
}

std::u16string unicodeName(ByteSpan field) {
    std::u16string text = decodeUtf16Le(field);
    text.erase(std::min(text.find(u'\0'), text.size()));
    return text;
}

// Reads the records of "dwstg/dwlookup". A name without its terminator ends at the end
// of its field, and a record that the stream cuts short is dropped: its number is not
// there to be read.
void readLookup(PsrContainer& container, std::vector<ChildDw>& list, std::size_t nameBytes,
                std::u16string (*readName)(ByteSpan)) {
    Bytes lookup;
    container.readStream(u"dwstg/dwlookup", lookup);
    ByteReader reader(lookup);
    const std::uint32_t count = reader.readU32();
    // The count comes from the file: the records the stream holds bound the walk.
    for (std::uint32_t read = 0; read < count; ++read) {
        ByteSpan name = reader.readBytes(nameBytes);
        std::uint16_t number = reader.readU16();
        if (!reader.ok()) break;
        list.push_back(ChildDw{toLowerCopy(readName(name)), number});
    }
}

}  // namespace

std::u16string versionTextOf(ByteSpan object) {
    if (object.size() < kVersionBytes) throw NotSupportedFormatException();
    std::string text(object.begin() + kVersionMajorOffset, object.begin() + kVersionMinorOffset);
    char minor = static_cast<char>(object[kVersionMinorOffset]);
    if (minor != '0') {
        text.push_back('.');
        text.push_back(minor);
    }
    std::u16string version = ansiToWide(text);
    if (!version.empty() && version[0] == u'0') version.erase(0, 1);
    return version;
}

int majorVersionOf(ByteSpan object) {
    if (object.size() < kVersionBytes) throw NotSupportedFormatException();
    // The two digits read as a C library decimal conversion would: blanks, a sign, digits.
    const std::uint8_t* p = object.data() + kVersionMajorOffset;
    const std::uint8_t* end = object.data() + kVersionMinorOffset;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int value = 0;
    while (p < end && *p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    return negative ? -value : value;
}

void appendChildDws(PsrContainer& container, ByteSpan source, std::vector<ChildDw>& list) {
    if (source.size() <= kEncodingByte) throw NotSupportedFormatException();
    std::size_t first = list.size();
    if (source[kEncodingByte] == 0)
        readLookup(container, list, kUnicodeNameBytes, unicodeName);
    else
        readLookup(container, list, kAnsiNameBytes, ansiName);
    for (std::size_t i = first; i < list.size(); ++i) {
        std::u16string& name = list[i].name;
        for (std::size_t k = 0; k < name.size(); ++k) {
            if (name[k] < u' ') {
                name.erase(k);
                break;
            }
        }
    }
}

std::u16string PsrContainer::powerBuilderVersion() {
    return versionTextOf(readVersionBytes(*this));
}

int PsrContainer::majorVersionNumber() {
    return majorVersionOf(readVersionBytes(*this));
}

void PsrContainer::readChildDwList(std::vector<ChildDw>& list) {
    Bytes source;
    readStream(u"source", source);
    appendChildDws(*this, source, list);
}

void PsrContainer::readAnsiDwLookup(std::vector<ChildDw>& list) {
    readLookup(*this, list, kAnsiNameBytes, ansiName);
}

void PsrContainer::readUnicodeDwLookup(std::vector<ChildDw>& list) {
    readLookup(*this, list, kUnicodeNameBytes, unicodeName);
}

std::u16string PsrContainer::mainDwName(const std::u16string& fileName) {
    std::u16string lowered = toLowerCopy(withoutExtension(fileNameOf(fileName)));
    std::u16string name;
    for (char16_t c : lowered)
        if (c == u'_' || (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z')) name.push_back(c);
    if (name.empty()) name = kDefaultMainName;
    if (name.size() >= 2 && name.compare(0, 2, kDwPrefix) == 0) return name;
    return kDwPrefix + name;
}

}  // namespace keldrin
