// Text and names as a library stores them: an ANSI library holds bytes in the ANSI code
// page, a Unicode library UTF-16LE. Every reader and writer of names, comments and
// stored text goes through here, and so does every decision whether two entry names
// are one, so that no two parts of the program can disagree about either.
//
// Names are compared the way the directory orders them: ASCII letters without regard
// to case, every other unit by its unsigned value. In an ANSI library the unit is the
// byte, and a byte that follows a lead byte of the code page (932, 936, 949, 950) is
// part of that character: it is never folded, so "ア" (83 41) and "ヂ" (83 61) in code
// page 932 are two names. The order of names that differ only there comes after the
// byte-wise order every existing library is sorted by, so those trees stay valid.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace keldrin::pbl {

// Stored text up to its first zero character (or its end), as wide text; nothing when
// ANSI bytes do not convert.
std::optional<std::u16string> decodeStoredText(bool unicode, ByteSpan stored);
// A fixed field as it stands, every unit converted, zeros included: a damaged or
// foreign field shows as it is. Nothing when ANSI bytes do not convert.
std::optional<std::u16string> decodeStoredField(bool unicode, ByteSpan field);
// A stored name or text (terminator optional) as UTF-8, for messages and reports; ""
// when it does not convert.
std::string displayStoredName(bool unicode, ByteSpan stored);

// Wide text in the variant's stored form, without terminator: UTF-16LE, or the ANSI
// code page bytes that convert back to exactly this text. Nothing when the text holds
// a zero or a lone surrogate, or a character the ANSI code page cannot carry.
std::optional<Bytes> encodeStoredText(bool unicode, std::u16string_view text);

// The bytes of stored text before its first zero character.
std::size_t storedTextBytes(bool unicode, ByteSpan stored);

// The directory's order of two stored names (the end of a buffer counts as their
// terminator): negative, 0 or positive. 0 exactly when the library takes them for one
// entry.
int compareStoredNames(bool unicode, ByteSpan a, ByteSpan b);

// Bytes that are equal for two stored names exactly when compareStoredNames calls them
// one entry: a hashable stand-in, so a whole directory's names are told apart without
// ordering them.
std::string storedNameIdentity(bool unicode, ByteSpan name);

// A key for sorting many names at the cost of a byte comparison: where two names' keys
// differ, their byte order is compareStoredNames' order; where they are equal, the
// names may still differ for it (case, in an ANSI name's trail bytes), so a sort
// compares those two with it.
std::string storedNameOrderKey(bool unicode, ByteSpan name);

// The key under which two names in wide form are one entry name, in either variant:
// ASCII letters lowered. (In wide form an ASCII letter is always a whole character,
// so this is the same rule compareStoredNames applies to stored bytes.)
std::u16string entryNameKey(std::u16string_view name);

}  // namespace keldrin::pbl
