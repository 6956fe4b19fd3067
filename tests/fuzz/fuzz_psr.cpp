// Fuzz target: a report file of any content. It goes through the factory and through
// each container directly; every stream path the file names is read, the DataWindow
// extraction runs, and the whole conversion writes a library from it. The compound-file
// reader also walks the file from memory, entry by entry. The documented failures
// (NotFound, NotSupportedFormat, IO, FileAccess) are answers; anything else escaping,
// a crash, a hang or an unbounded allocation is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/exceptions.h"
#include "base/file.h"
#include "convert/report_plan.h"
#include "fuzz_support.h"
#include "psr/cfb_reader.h"
#include "psr/ole_psr_container.h"
#include "psr/portable_psr_container.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"

namespace keldrin::fuzz_psr {

// Runs `step`, taking every documented failure as an answer.
template <typename Step>
void guarded(Step step) {
    try {
        step();
    } catch (const NotFoundException&) {
    } catch (const NotSupportedFormatException&) {
    } catch (const IOException&) {
    } catch (const FileAccessException&) {
    }
}

// A number as the container paths spell it.
std::u16string decimal(int n) {
    std::string s = std::to_string(n);
    return std::u16string(s.begin(), s.end());
}

// Every stream path below `storage` in the compound file, walked without recursion
// through the sibling trees; bounded by the number of entries, each visited once.
std::vector<std::u16string> compoundStreamPaths(const cfb::CfbReader& reader) {
    std::vector<std::u16string> paths;
    std::set<std::uint32_t> seen;
    struct Item {
        std::uint32_t index;
        std::u16string prefix;
    };
    std::vector<Item> todo;
    if (reader.entryCount() == 0) return paths;
    todo.push_back({reader.entry(cfb::CfbReader::kRootIndex).child, u""});
    seen.insert(cfb::CfbReader::kRootIndex);
    while (!todo.empty()) {
        Item item = std::move(todo.back());
        todo.pop_back();
        if (item.index == cfb::kNoEntry || item.index >= reader.entryCount()) continue;
        if (!seen.insert(item.index).second) continue;
        const cfb::DirectoryEntry& e = reader.entry(item.index);
        todo.push_back({e.left, item.prefix});
        todo.push_back({e.right, item.prefix});
        if (e.type == cfb::EntryType::kStream) paths.push_back(item.prefix + e.name);
        if (e.type == cfb::EntryType::kStorage)
            todo.push_back({e.child, item.prefix + e.name + u"/"});
    }
    return paths;
}

// Reads every stream of the file from memory and looks each name up again.
void walkCompound(const std::uint8_t* data, std::size_t size) {
    std::shared_ptr<cfb::CfbReader> reader =
        cfb::CfbReader::open(std::make_unique<cfb::MemorySource>(Bytes(data, data + size)));
    if (!reader) return;
    std::uint8_t buffer[4096];
    for (std::uint32_t i = 0; i < reader->entryCount(); ++i) {
        const cfb::DirectoryEntry& e = reader->entry(i);
        if (e.type == cfb::EntryType::kStorage || e.type == cfb::EntryType::kRoot)
            (void)reader->findChild(i, u"source");
        if (e.type != cfb::EntryType::kStream) continue;
        (void)reader->findChild(cfb::CfbReader::kRootIndex, e.name);
        cfb::CfbReader::StreamCursor cursor(reader, i);
        // Bounded by the stream's size, which open() checked against the file: no stream
        // reads more bytes than the file has, whatever its chains say.
        std::size_t got = 0;
        std::size_t total = 0;
        while (cursor.read(buffer, sizeof buffer, got) && got != 0)
            if ((total += got) > size) std::abort();
    }
}

// What the conversion reads, and every other stream the container names.
void exercise(PsrContainer& container, const std::vector<std::u16string>& extraPaths) {
    Bytes stream;
    guarded([&] { (void)container.powerBuilderVersion(); });
    guarded([&] { (void)container.majorVersionNumber(); });
    guarded([&] { (void)container.mainDwName(container.fileName()); });
    (void)container.formatDescription();
    std::vector<ChildDw> children;
    guarded([&] { container.readChildDwList(children); });
    guarded([&] { (void)readReportPlan(container); });
    guarded([&] { (void)container.listStreams(); });
    std::vector<std::u16string> paths = {u"source", u"object",  u"dwstg/dwlookup",      u"nothing",
                                         u"dwstg/", u"/source", u"dwstg/dwstg/source_1"};
    for (const ChildDw& child : children) {
        paths.push_back(u"dwstg/source_" + decimal(child.number));
        paths.push_back(u"dwstg/object_" + decimal(child.number));
        if (paths.size() > 256) break;
    }
    paths.insert(paths.end(), extraPaths.begin(), extraPaths.end());
    for (const std::u16string& path : paths) guarded([&] { container.readStream(path, stream); });
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::u16string name = fuzz::writeInput(data, size, "report.psr");

    std::vector<std::u16string> compoundPaths;
    if (auto reader =
            cfb::CfbReader::open(std::make_unique<cfb::MemorySource>(Bytes(data, data + size))))
        compoundPaths = compoundStreamPaths(*reader);
    walkCompound(data, size);

    guarded([&] {
        OlePsrContainer ole;
        ole.open(name);
        exercise(ole, compoundPaths);
    });
    guarded([&] {
        PortablePsrContainer portable;
        portable.open(name);
        std::vector<std::u16string> paths;
        for (const PsrStreamEntry& e : portable.entries()) paths.push_back(e.path);
        exercise(portable, paths);
    });
    guarded([&] {
        std::shared_ptr<PsrContainer> container = PsrContainerFactory::instance().openPsr(name);
        // The whole conversion, into a directory of its own; whatever it leaves behind
        // is removed so that the next input starts from the same state.
        const std::u16string target = fuzz::workFile("report.pbl");
        fs::removeFile(target);
        guarded([&] { container->convert(target); });
        fs::removeFile(target);
    });
}

}  // namespace keldrin::fuzz_psr

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_psr::run(data, size);
    return 0;
}
