// Little-endian field access for every on-disk structure Keldrin reads or writes.
//
// Nothing else in the code base shifts bytes into integers. Readers take a span and
// an offset and check the range first, so a length or offset taken from a file can
// never move a read outside the bytes actually held. The range test is written as
// `n <= size - pos` (never `pos + n <= size`), which cannot wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldrin {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;
using MutableByteSpan = std::span<std::uint8_t>;

// The bytes of a string that carries stored text (ANSI bytes, or UTF-16LE).
inline ByteSpan bytesOf(std::string_view text) {
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes.
constexpr bool rangeFits(std::size_t size, std::size_t offset, std::size_t length) {
    return offset <= size && length <= size - offset;
}

// Unchecked loads and stores: callers have proven the range (e.g. fixed-size blocks).
inline std::uint16_t loadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t loadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t loadI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(loadU32(p));
}
inline std::int16_t loadI16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(loadU16(p));
}
inline std::uint64_t loadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(loadU32(p)) |
           (static_cast<std::uint64_t>(loadU32(p + 4)) << 32);
}
inline void storeU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void storeI32(std::uint8_t* p, std::int32_t v) {
    storeU32(p, static_cast<std::uint32_t>(v));
}
inline void storeI16(std::uint8_t* p, std::int16_t v) {
    storeU16(p, static_cast<std::uint16_t>(v));
}

// Checked loads on a span: false when the field does not lie inside it.
inline bool readU16(ByteSpan s, std::size_t offset, std::uint16_t& out) {
    if (!rangeFits(s.size(), offset, 2)) return false;
    out = loadU16(s.data() + offset);
    return true;
}
inline bool readU32(ByteSpan s, std::size_t offset, std::uint32_t& out) {
    if (!rangeFits(s.size(), offset, 4)) return false;
    out = loadU32(s.data() + offset);
    return true;
}
inline bool readI32(ByteSpan s, std::size_t offset, std::int32_t& out) {
    if (!rangeFits(s.size(), offset, 4)) return false;
    out = loadI32(s.data() + offset);
    return true;
}

// A bounded cursor with a sticky error: once a read does not fit, the position stays
// where it was and every later read fails too, so a run of field reads is checked
// once with ok() at the end.
class ByteReader {
  public:
    explicit ByteReader(ByteSpan data, std::size_t pos = 0) : data_(data), pos_(pos) {
        if (pos_ > data_.size()) ok_ = false;
    }

    bool ok() const { return ok_; }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }

    std::uint8_t readU8() {
        if (!take(1)) return 0;
        return data_[pos_ - 1];
    }
    std::uint16_t readU16() {
        if (!take(2)) return 0;
        return loadU16(data_.data() + pos_ - 2);
    }
    std::uint32_t readU32() {
        if (!take(4)) return 0;
        return loadU32(data_.data() + pos_ - 4);
    }
    std::int16_t readI16() { return static_cast<std::int16_t>(readU16()); }
    std::int32_t readI32() { return static_cast<std::int32_t>(readU32()); }
    ByteSpan readBytes(std::size_t n) {
        if (!take(n)) return {};
        return data_.subspan(pos_ - n, n);
    }
    void skip(std::size_t n) { take(n); }
    // Reads a 2- or 4-byte field into `v` by its width, so that one list of a
    // structure's fields serves both its decoding and (with ByteWriter) its encoding.
    template <typename T>
    void field(T& v) {
        static_assert(sizeof(T) == 2 || sizeof(T) == 4);
        if constexpr (sizeof(T) == 2)
            v = static_cast<T>(readU16());
        else
            v = static_cast<T>(readU32());
    }

  private:
    bool take(std::size_t n) {
        if (!ok_ || n > data_.size() - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    ByteSpan data_;
    std::size_t pos_;
    bool ok_ = true;
};

// The writing side of ByteReader::field, for buffers the caller has sized for the whole
// structure.
class ByteWriter {
  public:
    explicit ByteWriter(std::uint8_t* p) : p_(p) {}
    template <typename T>
    void field(const T& v) {
        static_assert(sizeof(T) == 2 || sizeof(T) == 4);
        if constexpr (sizeof(T) == 2)
            storeU16(p_, static_cast<std::uint16_t>(v));
        else
            storeU32(p_, static_cast<std::uint32_t>(v));
        p_ += sizeof(T);
    }

  private:
    std::uint8_t* p_;
};

// UTF-16 text as the little-endian bytes that libraries and reports store: the one codec
// for it. Decoding takes whole code units (an odd last byte is not one) and stops at
// none: terminators are the caller's business.
inline std::u16string decodeUtf16Le(ByteSpan bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(loadU16(bytes.data() + 2 * i));
    return text;
}

// Appends the text's little-endian bytes to `out` (a byte vector or a std::string).
template <typename Out>
void appendUtf16Le(Out& out, std::u16string_view text) {
    using Unit = typename Out::value_type;
    out.reserve(out.size() + 2 * text.size());
    for (char16_t c : text) {
        out.push_back(static_cast<Unit>(c & 0xFF));
        out.push_back(static_cast<Unit>(c >> 8));
    }
}

inline Bytes encodeUtf16Le(std::u16string_view text) {
    Bytes out;
    appendUtf16Le(out, text);
    return out;
}

}  // namespace keldrin
