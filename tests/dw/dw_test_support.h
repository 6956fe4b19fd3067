// What the DataWindow tests share: the corpus files by kind (read from its MANIFEST.tsv,
// never copied) and a report's source streams.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "dw/dw_source.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"
#include "support/library_fixture.h"

namespace keldrin::dw::testing {

struct CorpusFile {
    std::string path;   // absolute
    std::string kind;   // psr-ole, psr-portable-ansi, pbl-unicode, ...
    std::string name;   // the file name alone
    int children = -1;  // a report's child DataWindows, as its notes count them; -1: not said
};

// The corpus files whose kind starts with `kindPrefix`.
inline std::vector<CorpusFile> corpusFiles(const std::string& kindPrefix) {
    std::vector<CorpusFile> files;
    for (const keldrin::test::ManifestRow& row : keldrin::test::manifestRows(KELDRIN_CORPUS_DIR)) {
        if (row.kind.rfind(kindPrefix, 0) != 0) continue;
        CorpusFile file{std::string(KELDRIN_CORPUS_DIR) + "/" + row.file, row.kind,
                        row.file.substr(row.file.rfind('/') + 1)};
        const std::string said = "(source_N streams)=";
        const std::size_t at = row.notes.find(said);
        if (at != std::string::npos)
            file.children = std::atoi(row.notes.c_str() + at + said.size());
        files.push_back(std::move(file));
    }
    return files;
}

inline std::shared_ptr<PsrContainer> openReport(const std::string& path) {
    return PsrContainerFactory::instance().openPsr(utf8ToUtf16(path));
}

// The text of a report's source stream; Unicode when its second byte is zero.
inline std::u16string sourceOf(PsrContainer& report, const std::u16string& stream) {
    Bytes bytes;
    report.readStream(stream, bytes);
    const bool unicode = bytes.size() >= 2 && bytes[1] == 0;
    return sourceFromBytes(bytes.data(), bytes.size(), unicode).value_or(u"");
}

}  // namespace keldrin::dw::testing
