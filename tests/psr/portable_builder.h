// Builds platform-independent PSR files record by record from the format's own tables
// (psr/portable_layout.h), in ANSI or UTF-16.
#pragma once

#include <string>

#include "base/bytes.h"
#include "psr/portable_layout.h"

namespace keldrin::testing_psr {

class PortableBuilder {
  public:
    explicit PortableBuilder(bool unicode, bool withSignature = true) : unicode_(unicode) {
        if (withSignature) string(portable::kSignature);
    }

    PortableBuilder& int32(std::uint32_t value) {
        std::uint8_t raw[4];
        storeU32(raw, value);
        bytes_.insert(bytes_.end(), raw, raw + 4);
        return *this;
    }
    PortableBuilder& raw(const Bytes& data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    // A string in the file's encoding; the count covers exactly its units.
    PortableBuilder& string(std::u16string_view text) {
        Bytes data;
        if (unicode_)
            data = encodeUtf16Le(text);
        else
            for (char16_t c : text) data.push_back(static_cast<std::uint8_t>(c));
        int32(static_cast<std::uint32_t>(data.size()));
        return raw(data);
    }
    PortableBuilder& storage() { return int32(portable::kStorageRecord); }
    PortableBuilder& name(std::u16string_view text) {
        return int32(portable::kNameRecord).string(text);
    }
    PortableBuilder& stream(std::u16string_view streamName, const Bytes& data) {
        int32(portable::kStreamRecord).string(streamName);
        int32(static_cast<std::uint32_t>(data.size()));
        return raw(data);
    }
    PortableBuilder& empty() { return int32(portable::kEmptyRecord); }
    PortableBuilder& end() { return int32(portable::kEndMarker); }

    const Bytes& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

  private:
    bool unicode_;
    Bytes bytes_;
};

}  // namespace keldrin::testing_psr
