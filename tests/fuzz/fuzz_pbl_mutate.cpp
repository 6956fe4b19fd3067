// Fuzz target: changes to a library. The input is a library file whose last bytes also
// steer a short script of changes: create and rewrite entries (comment and body), delete
// entries, stamp times, set the comment and the library data, many entries at once (node
// splits), then the rebuild into a fresh file. The first steering byte may also ask for
// a library made here from scratch instead of the input's, and there a model of what
// was written is kept: every entry written must read back byte for byte, and nothing
// else may appear. Wherever the source reads back completely, its rebuild must hold the
// same entries, data, comment sizes and times, the same comment and library data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/file.h"
#include "fuzz_support.h"
#include "pbl/library.h"
#include "support/entry_list.h"

namespace keldrin::fuzz_pbl_mutate {

constexpr std::size_t kMaxEntries = 4096;

struct Stored {
    std::vector<std::uint8_t> data;  // comment, then body
    std::int32_t commentSize = 0;
    std::int32_t time = 0;
};

struct Snapshot {
    bool complete = true;  // every read answered kPblOk
    std::map<std::string, Stored> entries;
    std::vector<std::uint8_t> comment;
    std::vector<std::uint8_t> libraryData;
};

Snapshot snapshot(pbl::PblLibraryInterface& library) {
    Snapshot s;
    const test::EntryList list = test::listEntries(library, kMaxEntries);
    if (list.rc != pbl::kPblOk) s.complete = false;
    for (const pbl::PblEntryInfo& info : list.entries) {
        Stored stored;
        stored.data.resize(static_cast<std::size_t>(std::max(info.dataSize, 0)));
        stored.commentSize = info.commentSize;
        stored.time = info.time;
        if (library.readEntryData(info, stored.data.data()) != pbl::kPblOk) s.complete = false;
        // Two records of one name (damage) cannot be told apart by name.
        if (!s.entries.emplace(info.name, std::move(stored)).second) s.complete = false;
    }
    int size = 0;
    if (library.getComment(nullptr, size) == pbl::kPblOk && size >= 0) {
        s.comment.resize(static_cast<std::size_t>(size));
        if (library.getComment(s.comment.data(), size) != pbl::kPblOk) s.complete = false;
    } else {
        s.complete = false;
    }
    size = 0;
    if (library.readLibraryData(nullptr, size) == pbl::kPblOk && size >= 0) {
        s.libraryData.resize(static_cast<std::size_t>(size));
        if (size > 0 && library.readLibraryData(s.libraryData.data(), size) != pbl::kPblOk)
            s.complete = false;
    } else {
        s.complete = false;
    }
    return s;
}

const char* const kNames[] = {
    "d_main.srd", "d_main.dwo", "d_child.srd", "d_child.dwo",
    "a",          "Z",          "zz_last.srw", "n_0123456789012345678901234567890123456789.sru",
    "d_main.SRD", "_",          "m.pra",       "w_frame.win",
};

std::string pickName(fuzz::TailReader& tail, const std::vector<std::string>& existing) {
    std::uint8_t how = tail.byte();
    if (how < 160 || existing.empty()) return kNames[how % std::size(kNames)];
    if (how < 250) return existing[tail.below(static_cast<std::uint32_t>(existing.size()))];
    // A long name: far past what one node record may hold.
    return std::string(1 + tail.below(600), static_cast<char>('a' + how % 26));
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 9));
    return bytes;
}

// Entry names are compared without regard to the case of ASCII letters: "d_main.SRD"
// names the entry "d_main.srd" and keeps its stored spelling.
std::string folded(const std::string& name) {
    std::string f = name;
    for (char& c : f)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return f;
}

// The model of a library made from scratch, by folded name: entries known to hold
// exactly this, and names whose state a refused change left open.
struct Model {
    std::map<std::string, Stored> entries;
    std::set<std::string> unknown;

    void known(const std::string& name, Stored stored) {
        unknown.erase(folded(name));
        entries[folded(name)] = std::move(stored);
    }
    void open(const std::string& name) {
        entries.erase(folded(name));
        unknown.insert(folded(name));
    }
    void erase(const std::string& name) {
        entries.erase(folded(name));
        unknown.erase(folded(name));
    }
    Stored* find(const std::string& name) {
        auto it = entries.find(folded(name));
        return it == entries.end() ? nullptr : &it->second;
    }
};

void writeEntry(pbl::PblLibraryInterface& library, const std::string& name, std::size_t body,
                std::int16_t commentSize, std::uint8_t seed, Model& model) {
    std::vector<std::uint8_t> bytes = pattern(body + static_cast<std::size_t>(commentSize), seed);
    pbl::PblEntryInfo info{};
    int rc = library.findEntry(name.c_str(), info, 1);
    if (rc == pbl::kPblOk) {
        info.time = 0;
        rc = library.writeEntryData(info, bytes.data(), static_cast<int>(body), commentSize);
    }
    if (rc != pbl::kPblOk) {
        model.open(name);
        return;
    }
    model.known(name, Stored{std::move(bytes), commentSize, 0});
}

void mutate(pbl::PblLibraryInterface& library, fuzz::TailReader& tail, Model& model,
            std::vector<std::string>& existing) {
    const bool unicode = library.isUnicode() != 0;
    const int steps = 1 + static_cast<int>(tail.below(24));
    for (int step = 0; step < steps && !tail.empty(); ++step) {
        switch (tail.byte() % 8) {
            case 0:
            case 1: {
                std::string name = pickName(tail, existing);
                static constexpr std::uint32_t kBodyLimits[] = {64, 1200, 70000};
                std::size_t body = tail.below(kBodyLimits[tail.below(3)]);
                std::int16_t comment = static_cast<std::int16_t>(tail.below(80));
                if (unicode) comment = static_cast<std::int16_t>(comment & ~1);
                writeEntry(library, name, body, comment, tail.byte(), model);
                break;
            }
            case 2: {
                std::string name = pickName(tail, existing);
                pbl::PblEntryInfo info{};
                int rc = library.findEntry(name.c_str(), info, 0);
                if (rc == pbl::kPblOk) rc = library.deleteEntry(info);
                if (rc == pbl::kPblOk || rc == pbl::kPblNotFound) {
                    model.erase(name);
                } else {
                    model.open(name);
                }
                break;
            }
            case 3: {
                std::vector<std::uint8_t> text = pattern(tail.below(300) * (unicode ? 2 : 1), 'A');
                for (auto& b : text) b = static_cast<std::uint8_t>('a' + b % 26);
                text.insert(text.end(), unicode ? 2 : 1, 0);
                (void)library.setComment(text.data());
                break;
            }
            case 4: {
                std::vector<std::uint8_t> bytes = pattern(tail.below(5000), tail.byte());
                (void)library.writeLibraryData(bytes.data(), static_cast<int>(bytes.size()));
                break;
            }
            case 5: {
                std::string name = pickName(tail, existing);
                pbl::PblEntryInfo info{};
                if (library.findEntry(name.c_str(), info, 0) == pbl::kPblOk) {
                    info.time = static_cast<std::int32_t>(tail.u32() | 1);
                    if (library.writeEntryTime(info) == pbl::kPblOk) {
                        if (Stored* stored = model.find(name)) stored->time = info.time;
                    } else {
                        model.open(name);
                    }
                }
                break;
            }
            case 6: {
                // Many entries at once, in an order chosen by the input: node splits.
                const std::uint32_t count = 1 + tail.below(300);
                const std::uint32_t stride = 1 + 2 * tail.below(50);  // odd: visits all
                for (std::uint32_t i = 0; i < count; ++i) {
                    std::uint32_t k = (i * stride) % count;
                    std::string name = "e" + std::to_string(10000 + k) + ".srd";
                    writeEntry(library, name, k % 97, 0, static_cast<std::uint8_t>(k), model);
                    existing.push_back(name);
                }
                break;
            }
            default:
                (void)library.flush();
                break;
        }
    }
}

void checkModel(const Snapshot& s, const Model& model) {
    std::map<std::string, const Stored*> present;
    for (const auto& [name, stored] : s.entries)
        if (!present.emplace(folded(name), &stored).second) std::abort();  // one name twice
    for (const auto& [name, stored] : model.entries) {
        auto it = present.find(name);
        if (it == present.end()) std::abort();  // written, and gone
        if (it->second->data != stored.data || it->second->commentSize != stored.commentSize)
            std::abort();  // written, and reads back otherwise
        if (stored.time != 0 && it->second->time != stored.time) std::abort();
    }
    for (const auto& [name, stored] : present)
        if (model.entries.count(name) == 0 && model.unknown.count(name) == 0)
            std::abort();  // never written, yet there
}

void checkRebuild(const Snapshot& source, const Snapshot& copy) {
    if (copy.entries.size() != source.entries.size()) std::abort();
    for (const auto& [name, stored] : source.entries) {
        auto it = copy.entries.find(name);
        if (it == copy.entries.end()) std::abort();
        if (it->second.data != stored.data || it->second.commentSize != stored.commentSize ||
            it->second.time != stored.time)
            std::abort();
    }
    if (copy.comment != source.comment || copy.libraryData != source.libraryData) std::abort();
}

void run(const std::uint8_t* data, std::size_t size) {
    fuzz::TailReader tail(data, size);
    const std::uint8_t mode = tail.byte();
    const bool fromScratch = (mode & 1) != 0;
    pbl::PblManagerHandle manager(pbl::createPblManager());
    if (!manager) return;

    std::u16string name;
    if (fromScratch) {
        name = fuzz::workFile("scratch.pbl");
        static constexpr int kVersions[] = {5, 6, 10};
        if (manager->createLibrary(name, kVersions[(mode >> 1) % 3]) != pbl::kPblOk) std::abort();
    } else {
        name = fuzz::writeInput(data, size, "mutate.pbl");
    }
    pbl::PblLibraryHandle library(manager->openLibrary(name, 1));
    if (!library) {
        if (fromScratch) std::abort();  // a library just made must open
        return;
    }

    std::vector<std::string> existing;
    for (const pbl::PblEntryInfo& info : test::listEntries(*library, kMaxEntries).entries)
        if (existing.size() < 64 && info.name.find('\0') == std::string::npos)
            existing.push_back(info.name);
    Model model;
    if (!fromScratch)
        for (const std::string& n : existing) model.unknown.insert(folded(n));
    mutate(*library, tail, model, existing);
    (void)library->flush();

    Snapshot source = snapshot(*library);
    if (fromScratch) {
        if (!source.complete) std::abort();  // our own library, damaged by our own changes
        checkModel(source, model);
    }

    const std::u16string out = fuzz::workFile("rebuilt.pbl");
    const std::string outNative = fs::toNativeName(out);
    const int version = (mode & 0x80) != 0 ? static_cast<int>((mode >> 2) % 12) : 0;
    int rc = library->copyTo(outNative.c_str(), version);
    if (rc == pbl::kPblOk) {
        pbl::PblLibraryHandle copy(manager->openLibrary(out, 0));
        if (!copy) std::abort();  // a rebuild that succeeded must give a library
        if (version == 0 && source.complete) {
            Snapshot copied = snapshot(*copy);
            if (!copied.complete) std::abort();
            checkRebuild(source, copied);
        } else {
            (void)snapshot(*copy);
        }
    }
    fs::removeFile(out);
}

}  // namespace keldrin::fuzz_pbl_mutate

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_pbl_mutate::run(data, size);
    return 0;
}
