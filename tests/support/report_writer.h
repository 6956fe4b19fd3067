// Reports in the platform-independent format, written by the tests' own hand rather
// than by anything in src/: the signature string, then records (2: stream, 1: name,
// 0: storage, 3: empty), then the end marker. The one report writer of the tests, the
// fuzz targets and the benchmark: header-only and free of GoogleTest, which the
// benchmark does not link.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace keldrin::test {

// A report record by record, well-formed or not, in ANSI or UTF-16LE strings.
class PortableBuilder {
  public:
    explicit PortableBuilder(bool unicode, bool withSignature = true) : unicode_(unicode) {
        if (withSignature)
            string(u"Platform independent PSR File Format, Copyright Sybase, Inc. 1997");
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
    // A string in the file's encoding; the count covers exactly its units. ANSI takes
    // each unit's low byte.
    PortableBuilder& string(std::u16string_view text) {
        int32(static_cast<std::uint32_t>(text.size() * (unicode_ ? 2 : 1)));
        for (char16_t c : text) {
            bytes_.push_back(static_cast<std::uint8_t>(c & 0xFF));
            if (unicode_) bytes_.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return *this;
    }
    PortableBuilder& storage() { return int32(0); }
    PortableBuilder& name(std::u16string_view text) { return int32(1).string(text); }
    PortableBuilder& stream(std::u16string_view streamName, const Bytes& data) {
        int32(2).string(streamName);
        int32(static_cast<std::uint32_t>(data.size()));
        return raw(data);
    }
    PortableBuilder& empty() { return int32(3); }
    PortableBuilder& end() { return int32(0xE100F17Eu); }

    const Bytes& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

  private:
    bool unicode_;
    Bytes bytes_;
};

struct ReportStream {
    std::string path;  // "source", "object" or "dwstg/<name>"
    Bytes data;
};

// A whole report of `streams` in order; the storage record goes before the first one
// inside a storage, and again where the streams move to another storage ("dwstg/...",
// then "neststg/...").
inline Bytes portableReport(bool unicode, const std::vector<ReportStream>& streams) {
    auto wide = [](std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); };
    PortableBuilder report(unicode);
    std::string_view storage;
    for (const ReportStream& s : streams) {
        std::string_view name = s.path;
        const std::size_t slash = name.find('/');
        if (slash != std::string_view::npos) {
            if (name.substr(0, slash) != storage) {
                storage = name.substr(0, slash);
                report.name(wide(storage)).storage();
            }
            name = name.substr(slash + 1);
        }
        report.stream(wide(name), s.data);
    }
    return report.end().bytes();
}

struct LookupChild {
    std::u16string name;  // at most 41 units in ANSI (one byte each), 41 in Unicode
    std::uint16_t number;
};

// A child DataWindow lookup: the count, then a record per child holding its zero-padded
// name and, in the record's last two bytes, its number. ANSI records are 44 bytes (the
// name's low bytes), Unicode ones 86 (UTF-16LE).
inline Bytes dwLookup(bool unicode, const std::vector<LookupChild>& children) {
    const std::size_t record = unicode ? 86 : 44;
    const std::size_t unitBytes = unicode ? 2 : 1;
    Bytes lookup(4 + record * children.size(), 0);
    storeU32(lookup.data(), static_cast<std::uint32_t>(children.size()));
    for (std::size_t i = 0; i < children.size(); ++i) {
        std::uint8_t* at = lookup.data() + 4 + record * i;
        const std::size_t units = std::min(children[i].name.size(), (record - 3) / unitBytes);
        for (std::size_t k = 0; k < units; ++k) {
            const char16_t c = children[i].name[k];
            if (unicode)
                storeU16(at + 2 * k, c);
            else
                at[k] = static_cast<std::uint8_t>(c & 0xFF);
        }
        storeU16(at + record - 2, children[i].number);
    }
    return lookup;
}

// An ANSI lookup from byte names, as the tests of ANSI reports spell them.
inline Bytes ansiDwLookup(const std::vector<std::pair<std::string, std::uint16_t>>& children) {
    std::vector<LookupChild> wide;
    for (const auto& [name, number] : children)
        wide.push_back({std::u16string(name.begin(), name.end()), number});
    return dwLookup(false, wide);
}

// The rows stream of an ANSI report of PowerBuilder 9 ("DAT090"): a row slot, then a
// char(10) column `dept` and a number column `amount`; `rows` rows, the dept changing
// every ten rows and the amount the row's number.
inline Bytes ansiRowsStream(std::size_t rows) {
    Bytes out = {'D', 'A', 'T', '0', '9', '0', 0, 0};
    auto u32 = [&](std::uint32_t value) {
        std::uint8_t raw[4];
        storeU32(raw, value);
        out.insert(out.end(), raw, raw + 4);
    };
    auto descriptor = [&](std::string_view name, std::uint32_t size, std::uint16_t type) {
        const std::size_t at = out.size();
        out.resize(at + 262, 0);
        std::copy(name.begin(), name.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
        u32(size);
        out.push_back(static_cast<std::uint8_t>(type & 0xFF));
        out.push_back(static_cast<std::uint8_t>(type >> 8));
    };
    u32(3);
    descriptor("", 26, 16);
    descriptor("dept", 11, 1);
    descriptor("amount", 8, 2);
    u32(static_cast<std::uint32_t>(rows));
    for (std::size_t r = 0; r < rows; ++r) {
        u32(0xFFFFFFFFu);  // the row slot: null
        const std::string dept = "D" + std::to_string(r / 10);
        u32(static_cast<std::uint32_t>(dept.size() + 1));
        out.insert(out.end(), dept.begin(), dept.end());
        out.push_back(0);
        u32(8);
        const double amount = static_cast<double>(r);
        std::uint8_t raw[8];
        std::memcpy(raw, &amount, 8);
        out.insert(out.end(), raw, raw + 8);
    }
    return out;
}

// An ANSI report of PowerBuilder 9 whose main DataWindow draws ansiRowsStream's rows:
// a group per dept with its subtotal, every row's amount, and the total of all rows.
inline Bytes ansiRowsReport(std::size_t rows) {
    const std::string source =
        "release 9;\r\ndatawindow(units=1 color=16777215)\r\n"
        "header(height=20)\r\nsummary(height=20)\r\nfooter(height=0)\r\ndetail(height=18)\r\n"
        "table(column=(type=char(10) name=dept) column=(type=number name=amount))\r\n"
        "group(level=1 header.height=16 trailer.height=16 by=(\"dept\"))\r\n"
        "column(band=header.1 id=1 x=\"0\" y=\"0\" width=\"80\" height=\"16\")\r\n"
        "column(band=detail id=2 x=\"10\" y=\"0\" width=\"100\" height=\"16\")\r\n"
        "compute(band=trailer.1 expression=\"sum(amount for group 1)\" x=\"0\" y=\"0\" "
        "width=\"80\" height=\"16\" name=sub)\r\n"
        "compute(band=summary expression=\"sum(amount for all)\" x=\"0\" y=\"0\" "
        "width=\"80\" height=\"16\" name=total)\r\n";
    return portableReport(
        false, {{"source", Bytes(source.begin(), source.end())}, {"data", ansiRowsStream(rows)}});
}

}  // namespace keldrin::test
