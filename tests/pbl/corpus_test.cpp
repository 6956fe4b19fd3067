// PowerBuilder's own libraries: they open with the right variant and version, every
// entry reads exactly its size, exported sources match their entries, and changing a
// copy leaves every untouched entry as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "pbl/export_file.h"
#include "pbl_test_util.h"
#include "support/corpus.h"

namespace keldrin::pbl::test {
namespace {

#ifdef KELDRIN_CORPUS_DIR
const std::string kCorpus = KELDRIN_CORPUS_DIR;
#else
const std::string kCorpus;
#endif

struct ManifestRow {
    std::string file, kind, notes;
};

std::vector<ManifestRow> manifest() {
    std::vector<ManifestRow> rows;
    std::ifstream in(kCorpus + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream s(line);
        std::string col;
        while (std::getline(s, col, '\t')) cols.push_back(col);
        if (cols.size() >= 9) rows.push_back({cols[0], cols[6], cols[8]});
    }
    return rows;
}

bool corpusPresent() {
    return keldrin::test::corpusDirOrSkip().has_value();
}

std::vector<ManifestRow> libraries() {
    std::vector<ManifestRow> out;
    for (auto& r : manifest())
        if (r.kind.rfind("pbl-", 0) == 0) out.push_back(r);
    return out;
}

struct Expect {
    bool unicode;
    int version;
};

Expect expectedFor(const std::string& kind) {
    if (kind == "pbl-unicode") return {true, 10};
    return {false, kind[kind.size() - 3] - '0'};  // pbl-ansi-0300 .. 0600: the second digit
}

struct ReadAll {
    std::map<std::string, Bytes> data;
    std::map<std::string, PblEntryInfo> info;
    std::string problem;
};

ReadAll readEveryEntry(PblLibraryInterface& lib) {
    ReadAll out;
    Collector c;
    int rc = lib.forEachEntry(c);
    if (rc != kPblOk) {
        out.problem = "forEachEntry gave " + std::to_string(rc);
        return out;
    }
    for (auto& e : c.entries) {
        Bytes b(static_cast<std::size_t>(e.dataSize) + 2, 0xEE);
        rc = lib.readEntryData(e, b.data());
        if (rc != kPblOk) {
            out.problem = e.name + ": readEntryData gave " + std::to_string(rc);
            return out;
        }
        if (b[b.size() - 2] != 0xEE || b[b.size() - 1] != 0xEE) {
            out.problem = e.name + ": wrote past its size";
            return out;
        }
        b.resize(b.size() - 2);
        if (out.data.count(e.name) != 0) {
            out.problem = e.name + ": enumerated twice";
            return out;
        }
        out.data[e.name] = b;
        out.info[e.name] = e;
    }
    return out;
}

class Corpus : public ManagerFixture {
  protected:
    void SetUp() override {
        if (!corpusPresent()) GTEST_SKIP() << "corpus not present";
    }
};

TEST_F(Corpus, EveryLibraryOpensEnumeratesAndReads) {
    std::size_t seen = 0;
    for (const auto& row : libraries()) {
        SCOPED_TRACE(row.file);
        PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(kCorpus + "/" + row.file), 0));
        ASSERT_NE(lib, nullptr);
        Expect e = expectedFor(row.kind);
        EXPECT_EQ(lib->isUnicode() != 0, e.unicode);
        EXPECT_EQ(lib->version(), e.version);
        ReadAll all = readEveryEntry(*lib);
        EXPECT_EQ(all.problem, "");
        // ENT*=n in the notes counts the entry records.
        auto at = row.notes.find("ENT*=");
        if (at != std::string::npos) {
            EXPECT_EQ(all.data.size(), std::stoul(row.notes.substr(at + 5)));
        }
        int size = 0;
        EXPECT_EQ(lib->readLibraryData(nullptr, size), kPblOk);
        EXPECT_EQ(check(kCorpus + "/" + row.file), "") << "checker on the original";
        ++seen;
    }
    EXPECT_EQ(seen, keldrin::test::corpusFileCount(kCorpus, ".pbl"));
}

// PowerBuilder's workspace keeps, beside a library's exported sources, the list of its
// objects (the ".pbg" file): ` "name" "library";` lines between "@begin Objects" and
// "@end;". The library's source entries are exactly the objects listed for it.
TEST_F(Corpus, TheWorkspaceObjectListNamesEverySourceEntry) {
    std::size_t lists = 0;
    for (const auto& row : manifest()) {
        if (row.kind != "ws-library-list") continue;
        SCOPED_TRACE(row.file);
        const Bytes raw = fileBytes(kCorpus + "/" + row.file);
        std::stringstream text(std::string(raw.begin(), raw.end()));
        std::map<std::string, std::set<std::string>> listed;  // library -> objects
        bool objects = false;
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("@begin Objects", 0) == 0) objects = true;
            if (line.rfind("@end;", 0) == 0) objects = false;
            std::vector<std::string> quoted;
            for (std::size_t at = line.find('"'); at != std::string::npos;) {
                const std::size_t close = line.find('"', at + 1);
                if (close == std::string::npos) break;
                quoted.push_back(line.substr(at + 1, close - at - 1));
                at = line.find('"', close + 1);
            }
            if (objects && quoted.size() == 2) listed[quoted[1]].insert(quoted[0]);
        }
        ASSERT_FALSE(listed.empty());
        // The workspace is the folder that holds "ws_objects"; libraries are named from it.
        const std::string workspace = row.file.substr(0, row.file.find("/ws_objects/"));
        for (const auto& [library, names] : listed) {
            SCOPED_TRACE(library);
            std::string path = kCorpus;
            path.append("/").append(workspace).append("/").append(library);
            PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(path), 0));
            ASSERT_NE(lib, nullptr);
            Collector c;
            ASSERT_EQ(lib->forEachEntry(c), kPblOk);
            std::set<std::string> sources;
            for (const auto& e : c.entries) {
                const std::size_t dot = e.name.rfind('.');
                if (dot != std::string::npos && e.name.size() - dot == 4 &&
                    e.name.compare(dot, 3, ".sr") == 0)
                    sources.insert(e.name);
            }
            EXPECT_EQ(sources, names);
        }
        ++lists;
    }
    EXPECT_EQ(lists, keldrin::test::corpusFileCount(kCorpus, ".pbg"));
}

// The text of an export with its "$PBExport..." header lines dropped, decoded to
// UTF-8 with LF line ends: UTF-8 exports lose their BOM; HEXASCII exports ("HA"
// prefix) have their $$HEXn$$...$$ENDHEX$$ escapes (UTF-16LE units as hex) decoded.
std::string exportBody(const std::string& raw) {
    std::string text = raw;
    bool hexAscii = false;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    if (text.rfind("HA$PBExport", 0) == 0) {
        text.erase(0, 2);
        hexAscii = true;
    }
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end + 1 - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (line.rfind("$PBExport", 0) == 0) continue;
        out += line;
    }
    std::string lf;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        lf.push_back(out[i]);
    }
    if (!hexAscii) return lf;
    std::string decoded;
    for (std::size_t i = 0; i < lf.size();) {
        if (lf.compare(i, 5, "$$HEX") == 0) {
            std::size_t count_end = lf.find("$$", i + 5);
            int units = std::stoi(lf.substr(i + 5, count_end - i - 5));
            std::size_t h = count_end + 2;
            std::u16string wide;
            for (int u = 0; u < units; ++u, h += 4) {
                unsigned lo = static_cast<unsigned>(std::stoul(lf.substr(h, 2), nullptr, 16));
                unsigned hi = static_cast<unsigned>(std::stoul(lf.substr(h + 2, 2), nullptr, 16));
                wide.push_back(static_cast<char16_t>(lo | (hi << 8)));
            }
            decoded += utf16ToUtf8(wide);
            i = lf.find("$$ENDHEX$$", h) + 10;
        } else {
            decoded.push_back(lf[i++]);
        }
    }
    return decoded;
}

std::string quoted(const std::string& notes, const std::string& before) {
    std::size_t at = notes.find(before + " '");
    if (at == std::string::npos) return "";
    at += before.size() + 2;
    return notes.substr(at, notes.find('\'', at) - at);
}

TEST_F(Corpus, ExportedSourcesEqualTheirEntries) {
    int compared = 0;
    for (const auto& row : manifest()) {
        if (row.kind != "srd-export") continue;
        SCOPED_TRACE(row.file);
        const std::string entry = quoted(row.notes, "oracle for entry");
        std::size_t of = row.notes.find(" of ");
        std::string libRel = row.notes.substr(of + 4, row.notes.find(" (", of) - of - 4);
        std::string library = kCorpus;
        library += "/" + row.file.substr(0, row.file.find('/'));
        library += "/" + libRel;
        PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(library), 0));
        ASSERT_NE(lib, nullptr) << library;
        int rc = 0;
        PblEntryInfo info;
        Bytes data = getEntry(*lib, entry, rc, &info);
        ASSERT_EQ(rc, kPblOk) << entry;
        Bytes body(data.begin() + info.commentSize, data.end());
        std::string text;
        if (lib->isUnicode() != 0) {
            std::u16string wide;
            for (std::size_t i = 0; i + 1 < body.size(); i += 2)
                wide.push_back(static_cast<char16_t>(body[i] | (body[i + 1] << 8)));
            text = utf16ToUtf8(wide);
        } else {
            text.assign(body.begin(), body.end());
        }
        std::string lf;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
            lf.push_back(text[i]);
        }
        Bytes raw = fileBytes(kCorpus + "/" + row.file);
        const std::string expected = exportBody(std::string(raw.begin(), raw.end()));
        std::size_t at = 0;
        while (at < lf.size() && at < expected.size() && lf[at] == expected[at]) ++at;
        EXPECT_TRUE(lf == expected)
            << entry << ": first difference at byte " << at << " of " << lf.size() << " / "
            << expected.size() << ": entry \"" << lf.substr(at, 40) << "\" export \""
            << expected.substr(at, 40) << "\"";
        ++compared;
    }
    EXPECT_EQ(compared, 96);
}

// PowerBuilder's own HEXASCII exports, written again from their entries: the same
// bytes, each $$HEX$$ run where PowerBuilder put it (the corpus's files were checked
// out with LF line ends, so both sides are compared so).
TEST_F(Corpus, HexAsciiExportsAreWrittenAsPowerBuilderWroteThem) {
    auto withLf = [](const std::string& text) {
        std::string lf;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n')
                lf.push_back(text[i]);
        return lf;
    };
    int compared = 0;
    for (const auto& row : manifest()) {
        if (row.kind != "srd-export") continue;
        Bytes raw = fileBytes(kCorpus + "/" + row.file);
        const std::string file(raw.begin(), raw.end());
        if (file.rfind("HA$PBExport", 0) != 0) continue;
        SCOPED_TRACE(row.file);
        const std::string entry = quoted(row.notes, "oracle for entry");
        std::size_t of = row.notes.find(" of ");
        std::string libRel = row.notes.substr(of + 4, row.notes.find(" (", of) - of - 4);
        std::string library = kCorpus;
        library += "/" + row.file.substr(0, row.file.find('/'));
        library += "/" + libRel;
        PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(library), 0));
        ASSERT_NE(lib, nullptr) << library;
        ASSERT_NE(lib->isUnicode(), 0);
        int rc = 0;
        PblEntryInfo info;
        Bytes data = getEntry(*lib, entry, rc, &info);
        ASSERT_EQ(rc, kPblOk) << entry;
        std::u16string comment;
        std::u16string source;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            (i < static_cast<std::size_t>(info.commentSize) ? comment : source)
                .push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
        WrittenExportFile written = writeExportFile(
            ExportEncoding::kHexAscii, WideExportTexts{utf8ToUtf16(entry), comment, source});
        ASSERT_EQ(written.error, "");
        EXPECT_EQ(withLf(std::string(written.bytes.begin(), written.bytes.end())), withLf(file));
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "no HEXASCII export in the corpus";
}

// Changing a copy of each real library: add an entry, rewrite one, delete one. The
// entries not touched read back byte for byte, and the file stays sound.
TEST_F(Corpus, ChangedCopiesKeepEveryUntouchedEntry) {
    for (const auto& row : libraries()) {
        SCOPED_TRACE(row.file);
        const std::string copy = dir.file("copy.pbl");
        putFileBytes(copy, fileBytes(kCorpus + "/" + row.file));
        ReadAll before;
        std::vector<std::string> order;
        {
            PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(copy), 1));
            ASSERT_NE(lib, nullptr);
            before = readEveryEntry(*lib);
            ASSERT_EQ(before.problem, "");
            Collector c;
            ASSERT_EQ(lib->forEachEntry(c), kPblOk);
            for (auto& e : c.entries) order.push_back(e.name);
            ASSERT_EQ(putEntry(*lib, "keldrin_added.srd", pattern(1234, 5)), kPblOk);
            if (!order.empty()) {
                ASSERT_EQ(putEntry(*lib, order.front(), pattern(777, 6)), kPblOk);
            }
            if (order.size() > 1) {
                PblEntryInfo info;
                ASSERT_EQ(lib->findEntry(order.back().c_str(), info, 0), kPblOk);
                ASSERT_EQ(lib->deleteEntry(info), kPblOk);
            }
        }
        EXPECT_EQ(check(copy), "");
        PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(copy), 0));
        ASSERT_NE(lib, nullptr);
        ReadAll after = readEveryEntry(*lib);
        ASSERT_EQ(after.problem, "");
        EXPECT_EQ(after.data["keldrin_added.srd"], pattern(1234, 5));
        for (std::size_t i = 0; i < order.size(); ++i) {
            const std::string& name = order[i];
            if (i == 0) {
                EXPECT_EQ(after.data[name], pattern(777, 6));
            } else if (i + 1 == order.size()) {
                EXPECT_EQ(after.data.count(name), 0u) << name;
            } else {
                ASSERT_EQ(after.data.count(name), 1u) << name;
                EXPECT_EQ(after.data[name], before.data[name]) << name;
                EXPECT_EQ(after.info[name].time, before.info[name].time) << name;
                EXPECT_EQ(after.info[name].commentSize, before.info[name].commentSize) << name;
            }
        }
    }
}

}  // namespace
}  // namespace keldrin::pbl::test
