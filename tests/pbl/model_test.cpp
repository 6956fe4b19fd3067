// Model-based test: long random sequences of library operations on ANSI and Unicode
// libraries, checked against a std::map keyed by the name with ASCII letters folded.
// After each batch the enumeration equals the model, every entry reads back, and the
// structural checker finds the file sound. A failure prints the seed.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <ostream>
#include <random>
#include <set>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

struct ModelEntry {
    std::string name;  // as first created
    Bytes data;
    int commentSize = 0;
    std::int32_t time = 0;  // 0: "recent", not checked exactly
};

std::string fold(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

class Model {
  public:
    Model(unsigned seed, bool unicode) : rng_(seed), unicode_(unicode) {}

    std::string randomName() {
        std::uniform_int_distribution<int> kind(0, 99);
        int k = kind(rng_);
        if (k < 35 && !entries_.empty()) {
            // An existing name in other capitals.
            auto it = entries_.begin();
            std::advance(it,
                         std::uniform_int_distribution<std::size_t>(0, entries_.size() - 1)(rng_));
            std::string n = it->second.name;
            for (char& c : n) {
                if (std::isalpha(static_cast<unsigned char>(c)) && (rng_() & 1))
                    c = static_cast<char>(c ^ 0x20);
            }
            return n;
        }
        const std::size_t limit = unicode_ ? 1505 : 3015;
        std::size_t length;
        if (k < 37) {
            length = limit;  // exactly at the limit
        } else if (k < 38) {
            length = limit + 1 + rng_() % 3;  // too long
        } else if (k < 45) {
            length = 100 + rng_() % 400;
        } else {
            length = 1 + rng_() % 12;
        }
        static const char alphabet[] = "abcdefghijKLMNOPQRST_.0123";
        std::string n;
        for (std::size_t i = 0; i < length; ++i) {
            auto r = rng_() % 40;
            if (r < 34 || length > 20) {
                n.push_back(alphabet[rng_() % (sizeof alphabet - 1)]);
            } else {
                // Non-ASCII characters of code page 1252, the undefined ones included.
                n.push_back(static_cast<char>(0x80 + rng_() % 128));
            }
        }
        return n;
    }

    Bytes randomData(int& commentSize) {
        std::uniform_int_distribution<int> kind(0, 99);
        int k = kind(rng_);
        std::size_t size = k < 5 ? 0 : k < 90 ? rng_() % 1600 : 5000 + rng_() % 20000;
        Bytes b(size);
        for (auto& c : b) c = static_cast<std::uint8_t>(rng_());
        commentSize =
            size == 0 ? 0 : static_cast<int>(rng_() % std::min<std::size_t>(size + 1, 300));
        if (unicode_) commentSize &= ~1;
        return b;
    }

    std::mt19937& rng() { return rng_; }
    std::map<std::string, ModelEntry>& entries() { return entries_; }

  private:
    std::mt19937 rng_;
    bool unicode_;
    std::map<std::string, ModelEntry> entries_;
};

struct ModelCase {
    int version;
    unsigned seed;
    int operations;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
    *os << "version " << c.version << " seed " << c.seed << " steps " << c.operations;
}

class ModelBased : public ManagerFixture, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelBased, LibraryMatchesTheModel) {
    const ModelCase mc = GetParam();
    SCOPED_TRACE("seed " + std::to_string(mc.seed) + " version " + std::to_string(mc.version));
    const bool unicode = mc.version >= 10;
    const std::string path = dir.file("model.pbl");
    ASSERT_EQ(manager->createLibrary(path.c_str(), mc.version), kPblOk);
    PblLibraryHandle lib(manager->openLibrary(path.c_str(), 1));
    ASSERT_NE(lib, nullptr);
    Model model(mc.seed, unicode);
    auto& entries = model.entries();
    std::string libComment;

    auto verify = [&](int step) {
        SCOPED_TRACE("after step " + std::to_string(step));
        ASSERT_EQ(lib->flush(), 0);
        ASSERT_EQ(check(path), "");
        Collector col;
        ASSERT_EQ(lib->forEachEntry(col), kPblOk);
        std::map<std::string, std::string> seen;
        for (auto& e : col.entries) {
            bool fresh = seen.emplace(fold(e.name), e.name).second;
            ASSERT_TRUE(fresh) << "enumerated twice: " << e.name;
        }
        ASSERT_EQ(seen.size(), entries.size());
        for (auto& [key, m] : entries) {
            auto it = seen.find(key);
            ASSERT_NE(it, seen.end()) << "missing " << m.name.substr(0, 40);
            EXPECT_EQ(it->second, m.name);
            int rc = 0;
            PblEntryInfo info;
            Bytes got = getEntry(*lib, m.name, rc, &info);
            ASSERT_EQ(rc, kPblOk) << m.name.substr(0, 40);
            ASSERT_EQ(got, m.data) << m.name.substr(0, 40);
            EXPECT_EQ(info.commentSize, m.commentSize);
            if (m.time != 0) {
                EXPECT_EQ(info.time, m.time);
            }
        }
        int size = 0;
        ASSERT_EQ(lib->getComment(nullptr, size), kPblOk);
        Bytes comment(static_cast<std::size_t>(size));
        ASSERT_EQ(lib->getComment(comment.data(), size), kPblOk);
        std::string text;
        const std::size_t cs = unicode ? 2 : 1;
        for (std::size_t i = 0; i + cs < comment.size(); i += cs)
            text.push_back(static_cast<char>(comment[i]));
        EXPECT_EQ(text, libComment);
    };

    for (int step = 1; step <= mc.operations; ++step) {
        int op = static_cast<int>(model.rng()() % 100);
        if (op < 55) {  // create or rewrite
            std::string name = model.randomName();
            int commentSize = 0;
            Bytes data = model.randomData(commentSize);
            PblEntryInfo info;
            int rc = lib->findEntry(name.c_str(), info, 1);
            const std::size_t limit = unicode ? 1505 : 3015;
            if (name.size() > limit) {
                ASSERT_EQ(rc, kPblNotFound) << "step " << step;
                continue;
            }
            ASSERT_EQ(rc, kPblOk) << "step " << step;
            const std::int32_t t =
                (model.rng()() & 1) ? 0 : static_cast<std::int32_t>(1000000 + step);
            info.time = t;
            rc = lib->writeEntryData(info, data.data(), static_cast<int>(data.size()) - commentSize,
                                     static_cast<short>(commentSize));
            ASSERT_EQ(rc, kPblOk) << "step " << step;
            auto [it, added] = entries.try_emplace(fold(name));
            if (added) it->second.name = name;
            it->second.data = data;
            it->second.commentSize = commentSize;
            it->second.time = t;
        } else if (op < 80) {  // delete
            if (entries.empty()) continue;
            auto it = entries.begin();
            std::advance(it, model.rng()() % entries.size());
            std::string name = it->second.name;
            if (model.rng()() & 1) name = fold(name);
            PblEntryInfo info;
            ASSERT_EQ(lib->findEntry(name.c_str(), info, 0), kPblOk) << "step " << step;
            ASSERT_EQ(lib->deleteEntry(info), kPblOk) << "step " << step;
            entries.erase(it);
        } else if (op < 88) {  // time
            if (entries.empty()) continue;
            auto it = entries.begin();
            std::advance(it, model.rng()() % entries.size());
            PblEntryInfo info;
            ASSERT_EQ(lib->findEntry(it->second.name.c_str(), info, 0), kPblOk);
            info.time = static_cast<std::int32_t>(model.rng()() & 0x7FFFFFFF);
            ASSERT_EQ(lib->writeEntryTime(info), kPblOk);
            it->second.time = info.time;
        } else if (op < 93) {  // lookup of a name that is not there
            std::string name = "absent-" + std::to_string(step);
            PblEntryInfo info;
            ASSERT_EQ(lib->findEntry(name.c_str(), info, 0), kPblNotFound);
        } else if (op < 97) {  // library comment
            libComment = std::string(model.rng()() % 60, 'c') + std::to_string(step);
            Bytes text;
            for (char c : libComment) {
                text.push_back(static_cast<std::uint8_t>(c));
                if (unicode) text.push_back(0);
            }
            text.resize(text.size() + (unicode ? 2 : 1), 0);
            ASSERT_EQ(lib->setComment(text.data()), kPblOk);
        } else {  // reopen: the old library is released first, two are not coordinated
            lib.reset();
            lib.reset(manager->openLibrary(path.c_str(), 1));
            ASSERT_NE(lib, nullptr);
        }
        if (step % 500 == 0) {
            verify(step);
            if (HasFatalFailure()) return;
        }
    }
    verify(mc.operations);
    // The sequence must have grown a real tree, or it proved little.
    Collector col;
    ASSERT_EQ(lib->forEachEntry(col), kPblOk);
    std::set<std::int32_t> nodes;
    for (auto& e : col.entries) nodes.insert(e.nodeOffset);
    EXPECT_GT(nodes.size(), 5u);
    std::cout << "seed " << mc.seed << ": " << col.entries.size() << " entries in " << nodes.size()
              << " nodes\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelBased,
                         ::testing::Values(ModelCase{6, 1, 4000}, ModelCase{6, 2, 4000},
                                           ModelCase{5, 3, 1500}, ModelCase{10, 4, 4000},
                                           ModelCase{10, 5, 1500}));

}  // namespace
}  // namespace keldrin::pbl::test
