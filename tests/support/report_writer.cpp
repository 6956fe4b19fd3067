#include "support/report_writer.h"

#include <algorithm>
#include <string_view>

namespace keldrin::test {

Bytes portableReport(bool unicode, const std::vector<ReportStream>& streams) {
    Bytes out;
    auto putU32 = [&](std::uint32_t v) {
        out.resize(out.size() + 4);
        storeU32(out.data() + out.size() - 4, v);
    };
    auto putString = [&](std::string_view text) {
        putU32(static_cast<std::uint32_t>(text.size() * (unicode ? 2 : 1)));
        for (char c : text) {
            out.push_back(static_cast<std::uint8_t>(c));
            if (unicode) out.push_back(0);
        }
    };
    putString("Platform independent PSR File Format, Copyright Sybase, Inc. 1997");
    bool inStorage = false;
    for (const ReportStream& s : streams) {
        std::string name = s.path;
        std::size_t slash = name.find('/');
        if (slash != std::string::npos) {
            if (!inStorage) {
                putU32(1);
                putString(name.substr(0, slash));
                putU32(0);
                inStorage = true;
            }
            name = name.substr(slash + 1);
        }
        putU32(2);
        putString(name);
        putU32(static_cast<std::uint32_t>(s.data.size()));
        out.insert(out.end(), s.data.begin(), s.data.end());
    }
    putU32(0xE100F17Eu);
    return out;
}

Bytes ansiDwLookup(const std::vector<LookupChild>& children) {
    constexpr std::size_t kRecord = 44;
    Bytes lookup(4 + kRecord * children.size(), 0);
    storeU32(lookup.data(), static_cast<std::uint32_t>(children.size()));
    for (std::size_t i = 0; i < children.size(); ++i) {
        std::uint8_t* record = lookup.data() + 4 + kRecord * i;
        std::copy_n(children[i].name.begin(), std::min(children[i].name.size(), kRecord - 3),
                    record);
        storeU16(record + kRecord - 2, children[i].number);
    }
    return lookup;
}

}  // namespace keldrin::test
