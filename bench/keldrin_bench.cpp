// Benchmarks of the converter and the library, each beside the system tool that does
// the same amount of plain file work:
//   Convert64MB      the converter on a report whose streams hold 64 MB (wall and CPU)
//                    vs Cat64MB (cat > /dev/null, CPU) and CopySync64MB (cp + sync FILE)
//   ReadAll20000     enumerate and read every entry of a 20,000-entry library
//                                                        vs Cat20000 (cat > /dev/null)
//                    (ReadAllByName20000: the same one entry at a time in name order)
//   Export20000      keldrin-pbl export of that library    vs CopyTree20000 (cp -r of
//                    the files it exported); ExportOver20000: the same export over
//                    its own earlier export (every file replaced in turn)
//   ExportReal       keldrin-pbl export of the largest library of ../shared/corpus
//                    (an absolute figure: the reader it is compared with is not here)
//   Rebuild20000     keldrin-pbl rebuild of the 20,000-entry library vs Copy20000 (cp)
//   Check20000       keldrin-pbl check of that library     vs Cat20000
//   SiteReal         keldrin-pbl site of that largest library  vs ExportReal
//   ScriptModel20000 the PowerScript model of 20,000 window sources (an absolute
//                    figure: under 2 s)
//   Create/N/order   create N entries in random or ascending name order (cost per entry)
// Processes run as processes (fork, exec, wait4), so their peak memory and CPU time
// come with them. The files live in KELDRIN_BENCH_DIR (default: a new directory under
// /tmp); every input is made here by our own writers.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "pbl/bulk_reader.h"
#include "pbl/library.h"
#include "pbl/rebuild.h"
#include "script/application.h"
#include "script/script_model.h"
#include "support/entry_list.h"
#include "support/report_writer.h"
#include "support/script_sources.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

const std::string& benchDir() {
    static const std::string dir = [] {
        const char* given = std::getenv("KELDRIN_BENCH_DIR");
        std::string d = given != nullptr && *given != '\0'
                            ? std::string(given)
                            : "/tmp/keldrin-bench-" + std::to_string(::getpid());
        stdfs::create_directories(d);
        return d;
    }();
    return dir;
}

std::string benchFile(const std::string& name) {
    return benchDir() + "/" + name;
}

// --- Processes -------------------------------------------------------------------------------

struct ProcessResult {
    int exitCode = -1;
    long maxRssKb = 0;
    double cpuSeconds = 0;  // user + system
};

// Runs one program and waits for it, with its exit code, peak memory and CPU time.
ProcessResult forkAndRun(std::vector<std::string> argv, const std::string& stdoutPath) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(stdoutPath.c_str(), "wb", stdout);
        // Notes and warnings are not what is measured.
        std::FILE* err = std::freopen("/dev/null", "wb", stderr);
        if (out == nullptr || err == nullptr) ::_exit(126);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ProcessResult r;
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
        r.exitCode = WEXITSTATUS(status);
        r.maxRssKb = usage.ru_maxrss;
        auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
        };
        r.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return r;
}

// The programs are started by a small process forked before the bench allocates
// anything. The kernel keeps, as a process's peak memory, the largest resident size of
// every memory image it had: a program forked (or spawned) from the bench itself counts
// the bench's own pages, and a 40 MB job looked like 140 MB.
class Launcher {
  public:
    static void start() {
        int requests[2];
        int results[2];
        if (::pipe(requests) != 0 || ::pipe(results) != 0) return;
        if (::fork() == 0) {
            ::close(requests[1]);
            ::close(results[0]);
            serve(requests[0], results[1]);
            ::_exit(0);
        }
        ::close(requests[0]);
        ::close(results[1]);
        to_ = requests[1];
        from_ = results[0];
    }
    static ProcessResult run(const std::vector<std::string>& argv, const std::string& stdoutPath) {
        if (to_ < 0) return forkAndRun(argv, stdoutPath);
        std::vector<std::string> request = argv;
        request.push_back(stdoutPath);
        const auto count = static_cast<std::uint32_t>(request.size());
        bool sent = writeAll(to_, &count, sizeof count);
        for (const std::string& item : request) {
            const auto length = static_cast<std::uint32_t>(item.size());
            sent = sent && writeAll(to_, &length, sizeof length) &&
                   writeAll(to_, item.data(), item.size());
        }
        ProcessResult r;
        if (!sent || !readAll(from_, &r, sizeof r)) return ProcessResult{};
        return r;
    }

  private:
    // All `size` bytes through `call` (read or write), in as many calls as it takes.
    template <class Byte, class Call>
    static bool whole(Call call, int fd, Byte* p, std::size_t size) {
        while (size > 0) {
            const ssize_t n = call(fd, p, size);
            if (n <= 0) return false;
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    static bool writeAll(int fd, const void* data, std::size_t size) {
        return whole(::write, fd, static_cast<const char*>(data), size);
    }
    static bool readAll(int fd, void* data, std::size_t size) {
        return whole(::read, fd, static_cast<char*>(data), size);
    }
    static void serve(int in, int out) {
        for (;;) {
            std::uint32_t count = 0;
            if (!readAll(in, &count, sizeof count) || count < 2) return;
            std::vector<std::string> request(count);
            for (std::string& item : request) {
                std::uint32_t length = 0;
                if (!readAll(in, &length, sizeof length)) return;
                item.resize(length);
                if (!readAll(in, item.data(), length)) return;
            }
            const std::string stdoutPath = request.back();
            request.pop_back();
            const ProcessResult r = forkAndRun(std::move(request), stdoutPath);
            if (!writeAll(out, &r, sizeof r)) return;
        }
    }

    static inline int to_ = -1;
    static inline int from_ = -1;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const char* stdoutPath) {
    return Launcher::run(argv, stdoutPath);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// --- The 64 MB report ------------------------------------------------------------------------

constexpr std::size_t kStreamBytes = 8u << 20;  // eight streams of 8 MB: 64 MB in all
constexpr int kChildren = 3;                    // main DW + 3 children, two streams each

void writeReport(const std::string& path, const Bytes& report) {
    std::FILE* f = fs::openFile(fs::fromNativeName(path), "wb");
    std::fwrite(report.data(), 1, report.size(), f);
    std::fclose(f);
}

// A platform-independent ANSI report of PowerBuilder 9; returns its file name.
const std::string& bigReport() {
    static const std::string name = [] {
        std::string path = benchFile("big.psr");
        std::mt19937 gen(42);
        std::vector<test::ReportStream> streams;
        auto stream = [&](const std::string& streamName, std::string_view head) {
            Bytes data(kStreamBytes);
            std::copy(head.begin(), head.end(), data.begin());
            for (std::size_t i = 32; i < data.size(); ++i)
                data[i] = static_cast<std::uint8_t>(' ' + gen() % 90);
            streams.push_back({streamName, std::move(data)});
        };
        stream("source", "release 9;\r\n");
        stream("object", std::string_view("PDW090\0\x07", 8));
        std::vector<std::pair<std::string, std::uint16_t>> children;
        children.reserve(kChildren);
        for (int i = 0; i < kChildren; ++i)
            children.emplace_back("d_child" + std::to_string(i), static_cast<std::uint16_t>(i + 1));
        streams.push_back({"dwstg/dwlookup", test::ansiDwLookup(children)});
        for (int i = 1; i <= kChildren; ++i) {
            stream("dwstg/source_" + std::to_string(i), "release 9;\r\n");
            stream("dwstg/object_" + std::to_string(i), "PDW090");
        }
        writeReport(path, test::portableReport(false, streams));
        return path;
    }();
    return name;
}

void Convert64MB(benchmark::State& state) {
    const std::string& report = bigReport();
    const std::string target = benchFile("big.pbl");
    long rss = 0;
    std::vector<double> cpu;
    for (auto _ : state) {
        ProcessResult r = runProcess({KELDRIN_PATH, report, "-p", target}, "/dev/null");
        if (r.exitCode != 0) {
            state.SkipWithError("conversion failed");
            break;
        }
        rss = std::max(rss, r.maxRssKb);
        cpu.push_back(r.cpuSeconds);
    }
    state.counters["max_rss_mb"] = static_cast<double>(rss) / 1024.0;
    state.counters["cpu_ms"] = median(cpu) * 1000;
    state.counters["largest_stream_mb"] = static_cast<double>(kStreamBytes) / (1 << 20);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kStreamBytes) * 8);
}

// The yardstick of the conversion's wall time: the same bytes copied and put on disk, as
// the converter must before its target takes the place of an old one.
void CopySync64MB(benchmark::State& state) {
    const std::string& report = bigReport();
    const std::string target = benchFile("copy.psr");
    for (auto _ : state) {
        if (runProcess({"cp", report, target}, "/dev/null").exitCode != 0 ||
            runProcess({"sync", target}, "/dev/null").exitCode != 0) {
            state.SkipWithError("cp or sync failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kStreamBytes) * 8);
}

// The yardstick of the conversion's CPU time: reading the report once.
void Cat64MB(benchmark::State& state) {
    const std::string& report = bigReport();
    std::vector<double> cpu;
    for (auto _ : state) {
        ProcessResult r = runProcess({"cat", report}, "/dev/null");
        if (r.exitCode != 0) {
            state.SkipWithError("cat failed");
            break;
        }
        cpu.push_back(r.cpuSeconds);
    }
    state.counters["cpu_ms"] = median(cpu) * 1000;
}

// A small conversion: the converter's own memory before any stream is read.
void ConvertTiny(benchmark::State& state) {
    const std::string report = benchFile("tiny.psr");
    writeReport(
        report,
        test::portableReport(
            false, {{"source", Bytes{'r', 'e', 'l', 'e', 'a', 's', 'e', ' ', '9', ';', '\r', '\n'}},
                    {"object", Bytes{'P', 'D', 'W', '0', '9', '0', 0, 7}},
                    {"dwstg/dwlookup", Bytes(4, 0)}}));
    long rss = 0;
    for (auto _ : state) {
        ProcessResult r =
            runProcess({KELDRIN_PATH, report, "-p", benchFile("tiny.pbl")}, "/dev/null");
        if (r.exitCode != 0) {
            state.SkipWithError("conversion failed");
            break;
        }
        rss = std::max(rss, r.maxRssKb);
    }
    state.counters["max_rss_mb"] = static_cast<double>(rss) / 1024.0;
}

// --- A report of many rows ---------------------------------------------------------------------

constexpr std::size_t kManyRows = 1500000;  // about 42 MB of rows

const std::string& rowsReport() {
    static const std::string name = [] {
        std::string path = benchFile("rows.psr");
        writeReport(path, test::ansiRowsReport(kManyRows));
        return path;
    }();
    return name;
}

// `report` over the report of many rows: its peak memory against the report's size.
void reportRows(benchmark::State& state, const std::vector<std::string>& args,
                const char* stdoutPath) {
    const std::string& report = rowsReport();
    long rss = 0;
    std::vector<double> cpu;
    for (auto _ : state) {
        std::vector<std::string> argv = {KELDRIN_PBL_PATH, "report", report};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult r = runProcess(argv, stdoutPath);
        if (r.exitCode != 0) {
            state.SkipWithError("report failed");
            break;
        }
        rss = std::max(rss, r.maxRssKb);
        cpu.push_back(r.cpuSeconds);
    }
    state.counters["max_rss_mb"] = static_cast<double>(rss) / 1024.0;
    state.counters["cpu_ms"] = median(cpu) * 1000;
    state.counters["report_mb"] =
        static_cast<double>(std::filesystem::file_size(report)) / (1 << 20);
}

void ReportHtmlBig(benchmark::State& state) {
    reportRows(state, {"--html", benchFile("rows.html"), "--all-rows"}, "/dev/null");
}

void ReportJsonBig(benchmark::State& state) {
    reportRows(state, {"--data", "--format", "json"}, "/dev/null");
}

// --- Libraries of many entries ----------------------------------------------------------------

// Entry names and sizes: mixed sizes from 60 bytes (a few fields) to 24 KB (a large
// DataWindow), a few of them far larger.
struct EntrySpec {
    std::string name;
    std::size_t size;
};

std::vector<EntrySpec> entrySpecs(int count, bool ascending) {
    std::vector<EntrySpec> specs;
    std::mt19937 gen(7);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d_entry%06d.%s", i, i % 2 == 0 ? "srd" : "dwo");
        std::size_t size = 60 + gen() % 2000;
        if (i % 10 == 0) size = 2000 + gen() % 22000;
        if (i % 997 == 0) size = 200000;
        specs.push_back({name, size});
    }
    if (!ascending) std::shuffle(specs.begin(), specs.end(), gen);
    return specs;
}

std::u16string wide(const std::string& s) {
    return fs::fromNativeName(s);
}

// Creates a Unicode library at `path` holding `specs`; returns false on any failure.
bool createLibrary(const std::string& path, const std::vector<EntrySpec>& specs) {
    pbl::PblManagerHandle manager(pbl::createPblManager());
    std::remove(path.c_str());
    if (manager->createLibrary(wide(path), 10) != 0) return false;
    pbl::PblLibraryHandle library(manager->openLibrary(wide(path), 1));
    if (!library) return false;
    // Printable ASCII: in a Unicode library every pair of it is a UTF-16 character, so
    // export takes the entries as text, as it takes real sources.
    std::vector<std::uint8_t> data(200000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(' ' + (i * 7 + i / 91) % 90);
    for (const EntrySpec& e : specs) {
        pbl::PblEntryInfo info{};
        if (library->findEntry(e.name.c_str(), info, 1) != 0) return false;
        info.time = 1000000000;
        // Whole UTF-16 characters: export writes sources as text, and an odd byte is none.
        const auto size = static_cast<int>(e.size & ~std::size_t{1});
        if (library->writeEntryData(info, data.data(), size, 0) != 0) return false;
    }
    return library->flush() == 0;
}

const std::string& library20000() {
    static const std::string path = [] {
        std::string p = benchFile("lib20000.pbl");
        if (!createLibrary(p, entrySpecs(20000, false))) std::abort();
        return p;
    }();
    return path;
}

// Enumerates the 20,000-entry library and reads every entry: in file order through the
// bulk reader, as the tools read a whole library, or (`byName`) the way it went before,
// one read per entry in name order.
void readAll(benchmark::State& state, bool byName) {
    const std::string& path = library20000();
    std::vector<std::uint8_t> buffer;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        pbl::PblManagerHandle manager(pbl::createPblManager());
        pbl::PblLibraryHandle library(manager->openLibrary(wide(path), 0));
        test::EntryList reader;
        if (!library || (reader = test::listEntries(*library)).rc != 0) {
            state.SkipWithError("enumeration failed");
            break;
        }
        if (reader.entries.size() != 20000) {
            state.SkipWithError("not 20000 entries");
            break;
        }
        bool readFailed = false;
        if (byName) {
            for (const pbl::PblEntryInfo& info : reader.entries) {
                buffer.resize(static_cast<std::size_t>(info.dataSize));
                if (library->readEntryData(info, buffer.data()) != 0) {
                    readFailed = true;
                    break;
                }
                bytes += info.dataSize;
            }
        } else {
            pbl::BulkReader bulk(*library);
            bulk.read(reader.entries, [&](std::size_t, int result, ByteSpan data) {
                readFailed = result != 0;
                bytes += static_cast<std::int64_t>(data.size());
                return !readFailed;
            });
        }
        if (readFailed) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(bytes);
    state.counters["file_mb"] = static_cast<double>(stdfs::file_size(path)) / (1 << 20);
}

void ReadAll20000(benchmark::State& state) {
    readAll(state, false);
}

void ReadAllByName20000(benchmark::State& state) {
    readAll(state, true);
}

// Runs `command` once per iteration; a failure ends the benchmark with `what`.
void runEach(benchmark::State& state, const std::vector<std::string>& command, const char* what) {
    for (auto _ : state) {
        if (runProcess(command, "/dev/null").exitCode != 0) {
            state.SkipWithError(what);
            break;
        }
    }
}

void Cat20000(benchmark::State& state) {
    runEach(state, {"cat", library20000()}, "cat failed");
}

void Create(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const bool ascending = state.range(1) != 0;
    std::vector<EntrySpec> specs = entrySpecs(count, ascending);
    // Small entries: the cost of the directory, not of copying data.
    for (EntrySpec& e : specs) e.size = 100;
    const std::string path = benchFile("create.pbl");
    for (auto _ : state) {
        if (!createLibrary(path, specs)) {
            state.SkipWithError("create failed");
            break;
        }
    }
    state.counters["us_per_entry"] = benchmark::Counter(
        static_cast<double>(count) * 1e-6,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Rebuild20000(benchmark::State& state) {
    runEach(state, {KELDRIN_PBL_PATH, "rebuild", library20000(), benchFile("rebuilt20000.pbl")},
            "rebuild failed");
}

void Copy20000(benchmark::State& state) {
    runEach(state, {"cp", library20000(), benchFile("copied20000.pbl")}, "cp failed");
}

// The structural check reads every node and entry of the library once.
void Check20000(benchmark::State& state) {
    runEach(state, {KELDRIN_PBL_PATH, "check", library20000()}, "check failed");
}

// Exports `library` into `directory`, which is removed first (outside the timing).
void exportInto(benchmark::State& state, const std::string& library, const std::string& directory) {
    for (auto _ : state) {
        state.PauseTiming();
        stdfs::remove_all(directory);
        state.ResumeTiming();
        if (runProcess({KELDRIN_PBL_PATH, "export", library, directory}, "/dev/null").exitCode !=
            0) {
            state.SkipWithError("export failed");
            break;
        }
    }
}

void Export20000(benchmark::State& state) {
    exportInto(state, library20000(), benchFile("exported20000"));
}

// cp -r of the very files the export wrote.
// Export over its own earlier export: every file is replaced one by one.
void ExportOver20000(benchmark::State& state) {
    const std::string directory = benchFile("exportedover20000");
    if (!stdfs::exists(directory) &&
        runProcess({KELDRIN_PBL_PATH, "export", library20000(), directory}, "/dev/null").exitCode !=
            0) {
        state.SkipWithError("export failed");
        return;
    }
    runEach(state, {KELDRIN_PBL_PATH, "export", library20000(), directory}, "export failed");
}

void CopyTree20000(benchmark::State& state) {
    const std::string from = benchFile("tree20000");
    if (!stdfs::exists(from) &&
        runProcess({KELDRIN_PBL_PATH, "export", library20000(), from}, "/dev/null").exitCode != 0) {
        state.SkipWithError("export failed");
        return;
    }
    const std::string to = benchFile("copiedtree20000");
    for (auto _ : state) {
        state.PauseTiming();
        stdfs::remove_all(to);
        state.ResumeTiming();
        if (runProcess({"cp", "-r", from, to}, "/dev/null").exitCode != 0) {
            state.SkipWithError("cp -r failed");
            break;
        }
    }
}

// The largest library of the corpus beside the repository, when it is there.
std::string largestCorpusLibrary() {
    const stdfs::path corpus = stdfs::path(KELDRIN_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code ec;
    std::string best;
    std::uintmax_t bestSize = 0;
    for (auto it = stdfs::recursive_directory_iterator(corpus, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        std::string ext = it->path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::error_code sizeError;
        if (ext != ".pbl" || !it->is_regular_file(sizeError)) continue;
        std::uintmax_t size = it->file_size(sizeError);
        if (!sizeError && size > bestSize) {
            bestSize = size;
            best = it->path().string();
        }
    }
    return best;
}

void ExportReal(benchmark::State& state) {
    static const std::string library = largestCorpusLibrary();
    if (library.empty()) {
        state.SkipWithError("no corpus library");
        return;
    }
    state.counters["file_mb"] = static_cast<double>(stdfs::file_size(library)) / (1 << 20);
    exportInto(state, library, benchFile("exportedreal"));
}

// The static site of the same library: the model of every source, a page per object and
// the DataWindows drawn, against ExportReal.
void SiteReal(benchmark::State& state) {
    static const std::string library = largestCorpusLibrary();
    if (library.empty()) {
        state.SkipWithError("no corpus library");
        return;
    }
    const std::string site = benchFile("sitereal");
    for (auto _ : state) {
        if (runProcess({KELDRIN_PBL_PATH, "site", library, site}, "/dev/null").exitCode != 0) {
            state.SkipWithError("site failed");
            break;
        }
    }
}

// The PowerScript model of 20,000 window sources (about a million lines), read and made
// into one application's tree.
void ScriptModel20000(benchmark::State& state) {
    const std::vector<std::string> sources = test::windowSources(20000);
    for (auto _ : state) {
        script::Application app;
        const std::size_t lib = app.addLibrary("big.pbl");
        for (std::size_t i = 0; i < sources.size(); ++i)
            app.add(lib, script::readSource("w_" + std::to_string(i) + ".srw", sources[i]));
        app.finish();
        benchmark::DoNotOptimize(app.tree().size());
    }
}

BENCHMARK(Convert64MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(CopySync64MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Cat64MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(ConvertTiny)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ReadAll20000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(ReadAllByName20000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Cat20000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Export20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(ExportOver20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(CopyTree20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(ExportReal)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(SiteReal)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Rebuild20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(Copy20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(Check20000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(ScriptModel20000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ReportHtmlBig)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(ReportJsonBig)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(Create)
    ->ArgsProduct({{1000, 10000, 50000}, {0, 1}})
    ->ArgNames({"entries", "ascending"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
}  // namespace keldrin

int main(int argc, char** argv) {
    // First, while the bench is small: see Launcher.
    keldrin::Launcher::start();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
