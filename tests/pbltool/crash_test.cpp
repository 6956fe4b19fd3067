// Crashes in the middle of every changing command: the process stops at each of the
// command's writes, syncs, truncates, renames and removals in turn (the file layer's
// fault hook), optionally followed by a power cut that loses or tears what was written
// since the last sync. The next opener must find the library as it was before the
// command or as the command left it, sound, and one ordinary put must keep it sound.
// A last test kills real processes at random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/fault_hook.h"
#include "base/file.h"
#include "base/text.h"
#include "pbl/journal.h"
#include "pbl/library.h"
#include "pbltool/tool.h"
#include "support/library_content.h"
#include "support/pbl_checker.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace fsys = std::filesystem;

// Stops "the process" at its N-th changing file operation: that operation and every
// later one fail without touching the disk, as if the process had died there. In power
// cut mode it also remembers, for each 512-byte sector written since the file's last
// sync, what the sector held at that sync, so that the cut can put back any of them.
class CrashHook : public fs::FaultHook {
  public:
    explicit CrashHook(long crashAt, bool powerCut) : crashAt_(crashAt), powerCut_(powerCut) {}
    ~CrashHook() override {
        for (auto& [key, file] : files_) ::close(file.fd);
    }

    bool before(fs::FaultOp op, std::FILE* file, std::int64_t offset, std::size_t length,
                const std::u16string&) override {
        if (dead_) return false;
        if (++count_ == crashAt_) {
            dead_ = true;
            return false;
        }
        if (!powerCut_ || file == nullptr) return true;
        if (op == fs::FaultOp::kSync) {
            forget(file);
        } else if (op == fs::FaultOp::kWrite) {
            remember(file, offset, static_cast<std::int64_t>(length));
        } else if (op == fs::FaultOp::kTruncate) {
            Unsynced& f = track(file);
            const std::int64_t size = currentSize(f.fd);
            if (offset < size) remember(file, offset, size - offset);
        }
        return true;
    }

    bool durable() const override { return false; }
    long operations() const { return count_; }
    bool crashed() const { return dead_; }

    // Every sector written since its file's last sync keeps its new bytes or gets its
    // old ones back, by coin; a file that grew keeps its length or loses the growth.
    void cutPower(std::mt19937& random) {
        for (auto& [key, f] : files_) {
            for (const auto& [sector, old] : f.sectors) {
                if (random() % 2 == 0) continue;
                if (old.empty()) continue;  // past the synced end: the length decides
                (void)::pwrite(f.fd, old.data(), old.size(), sector);
            }
            if (currentSize(f.fd) != f.syncedSize && random() % 2 == 0)
                (void)::ftruncate(f.fd, f.syncedSize);
        }
    }

  private:
    struct Unsynced {
        int fd = -1;
        std::int64_t syncedSize = 0;
        std::map<std::int64_t, std::vector<std::uint8_t>> sectors;  // offset -> bytes at sync
    };
    static constexpr std::int64_t kSector = 512;

    static std::int64_t currentSize(int fd) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? st.st_size : 0;
    }
    static std::pair<dev_t, ino_t> keyOf(std::FILE* file) {
        struct stat st {};
        (void)::fstat(::fileno(file), &st);
        return {st.st_dev, st.st_ino};
    }
    Unsynced& track(std::FILE* file) {
        auto [it, added] = files_.try_emplace(keyOf(file));
        if (added) {
            // A description of its own: a dup would share the stream's lock and keep
            // it after the stream is closed.
            const std::string self = "/proc/self/fd/" + std::to_string(::fileno(file));
            it->second.fd = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
            it->second.syncedSize = currentSize(it->second.fd);
        }
        return it->second;
    }
    void forget(std::FILE* file) {
        auto it = files_.find(keyOf(file));
        if (it == files_.end()) return;
        ::close(it->second.fd);
        files_.erase(it);
    }
    void remember(std::FILE* file, std::int64_t offset, std::int64_t length) {
        Unsynced& f = track(file);
        for (std::int64_t s = offset - offset % kSector; s < offset + length; s += kSector) {
            if (f.sectors.count(s) != 0) continue;
            std::vector<std::uint8_t> old;
            if (s < f.syncedSize) {
                old.resize(static_cast<std::size_t>(std::min(kSector, f.syncedSize - s)));
                if (::pread(f.fd, old.data(), old.size(), s) != static_cast<ssize_t>(old.size()))
                    old.clear();
            }
            f.sectors.emplace(s, std::move(old));
        }
    }

    long crashAt_;
    bool powerCut_;
    long count_ = 0;
    bool dead_ = false;
    std::map<std::pair<dev_t, ino_t>, Unsynced> files_;
};

// Every entry of the library at `path`: its comment size, and its comment and body. An
// entry named "" says that the library could not be opened.
std::map<std::string, std::string> entryMap(const std::string& path) {
    const test::LibraryContent content = test::readLibraryContent(fs::fromNativeName(path));
    if (!content.opened) return {{"", "<cannot open>"}};
    std::map<std::string, std::string> out;
    for (const auto& [name, entry] : content.entries)
        out[name] = std::to_string(entry.commentSize) + "|" +
                    std::string(entry.data.begin(), entry.data.end());
    return out;
}

// What a library holds, as one comparable value: every entry's name, comment and body,
// the library comment and the library data (times left out: put stamps the current
// second unless told otherwise, and import keeps file times).
std::string snapshot(const std::string& path) {
    const std::map<std::string, std::string> entries = entryMap(path);
    if (auto failed = entries.find(""); failed != entries.end()) return failed->second;
    std::string out;
    for (const auto& [name, content] : entries) {
        out += name;
        out += '|';
        out += content;
        out += '\n';
    }
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle lib(manager->openLibrary(fs::fromNativeName(path), 0));
    if (!lib) return out;
    int size = 0;
    (void)lib->getComment(nullptr, size);
    std::string comment(static_cast<std::size_t>(size), '\0');
    if (lib->getComment(comment.data(), size) != pbl::kPblOk) return "<cannot read comment>";
    size = 0;
    (void)lib->readLibraryData(nullptr, size);
    std::string data(static_cast<std::size_t>(size), '\0');
    if (lib->readLibraryData(data.data(), size) != pbl::kPblOk) return "<cannot read data>";
    return out + "comment|" + comment + "\ndata|" + data;
}

int runTool(const std::vector<std::string>& args) {
    std::vector<std::u16string> wide;
    wide.reserve(args.size());
    for (const std::string& a : args) wide.push_back(fs::fromNativeName(a));
    std::FILE* sink = std::tmpfile();
    PblToolStreams streams{.in = stdin, .out = sink, .err = sink};
    const int rc = runPblTool(wide, streams);
    std::fclose(sink);
    return rc;
}

class CrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/keldrin-crash-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Outside the crash points too, syncs cost the tests nothing.
        fs::installFaultHook(&quiet_);
        // Commands that stamp the current time (put without --time, import, add-report)
        // must write the same bytes in every run, or a run that crosses a second would be
        // taken for a library that is neither the old nor the new one.
        ASSERT_EQ(::setenv("SOURCE_DATE_EPOCH", "1100000000", 1), 0);
        // Large and small entries, a comment and library data, in both variants' forms
        // the commands meet: the base library is ANSI, the Unicode one is made below.
        for (int i = 0; i < 12; ++i) {
            const std::size_t size = i % 4 == 0 ? 40000 + 977 * static_cast<std::size_t>(i)
                                                : 200 + 97 * static_cast<std::size_t>(i);
            std::string body(size, static_cast<char>('a' + i));
            for (std::size_t k = 0; k < size; k += 61) body[k] = '\n';
            test::writeAll(dir_ / ("src_" + std::to_string(i) + ".srd"), body);
        }
        test::writeAll(dir_ / "big.srd", std::string(300000, 'B'));
        test::writeAll(dir_ / "small.srd", "small new body");
        test::writeAll(dir_ / "libdata.bin", std::string(3000, 'L'));
        fsys::create_directory(dir_ / "import");
        for (int i = 0; i < 25; ++i)
            test::writeAll(dir_ / "import" / ("w_imported_" + std::to_string(i) + ".srw"),
                           "$PBExportHeader$w_imported_" + std::to_string(i) +
                               ".srw\r\nforward\r\nglobal type w_imported_" + std::to_string(i) +
                               " from window\r\nend type\r\n" +
                               std::string(static_cast<std::size_t>(i) * 300, 'x') + "\r\n");
    }
    void TearDown() override {
        ::unsetenv("SOURCE_DATE_EPOCH");
        fs::installFaultHook(nullptr);
        fsys::remove_all(dir_);
    }

    std::string base(int version) {
        std::string lib = (dir_ / ("base" + std::to_string(version) + ".pbl")).string();
        if (fsys::exists(lib)) return lib;
        EXPECT_EQ(runTool({"create", lib, std::to_string(version)}), 0);
        for (int i = 0; i < 12; ++i) {
            const std::string name = "src_" + std::to_string(i) + ".srd";
            EXPECT_EQ(runTool({"put", lib, name, (dir_ / name).string(), "--comment",
                               "comment " + std::to_string(i), "--time", "1000000000"}),
                      0);
        }
        EXPECT_EQ(runTool({"rm", lib, "src_5.srd"}), 0);  // free blocks inside the file
        EXPECT_EQ(runTool({"comment", lib, "the library's comment"}), 0);
        EXPECT_EQ(runTool({"libdata", lib, "--set", (dir_ / "libdata.bin").string()}), 0);
        return lib;
    }

    struct Tally {
        int oldState = 0;
        int newState = 0;
        int points = 0;
    };

    // Runs `command` (LIB stands for the library) once to learn its operations and the
    // new state, then once stopped at each operation, with and without a power cut.
    Tally crashEverywhere(int version, const std::vector<std::string>& command) {
        Tally tally;
        const std::string original = base(version);
        const std::string work = (dir_ / "work.pbl").string();
        auto fresh = [&] {
            // The library and whatever a stopped command left beside it (its journal,
            // temporaries, a backup).
            for (const auto& item : fsys::directory_iterator(dir_))
                if (item.path().filename().string().rfind("work.pbl", 0) == 0)
                    fsys::remove(item.path());
            fsys::copy_file(original, work);
        };
        auto args = [&] {
            std::vector<std::string> a = command;
            for (std::string& s : a)
                if (s == "LIB") s = work;
            return a;
        };
        const std::string before = snapshot(original);
        fresh();
        CrashHook counter(-1, false);
        fs::installFaultHook(&counter);
        const int rc = runTool(args());
        fs::installFaultHook(&quiet_);
        EXPECT_EQ(rc, 0) << command[0];
        const std::string after = snapshot(work);
        const Bytes originalBytes = checks::readWholeFile(fs::fromNativeName(original));
        const Bytes afterBytes = checks::readWholeFile(fs::fromNativeName(work));
        EXPECT_TRUE(after != before || afterBytes != originalBytes)
            << command[0] << " changed nothing";
        const long total = counter.operations();
        for (int cut = 0; cut < 2; ++cut) {
            for (long at = 1; at <= total; ++at) {
                fresh();
                {
                    CrashHook hook(at, cut == 1);
                    fs::installFaultHook(&hook);
                    (void)runTool(args());
                    fs::installFaultHook(&quiet_);
                    EXPECT_TRUE(hook.crashed());
                    std::mt19937 random(static_cast<unsigned>(at * 7919 + cut));
                    if (cut == 1) hook.cutPower(random);
                }
                ++tally.points;
                const std::string state = snapshot(work);
                const std::string where = command[0] + " stopped at operation " +
                                          std::to_string(at) + " of " + std::to_string(total) +
                                          (cut == 1 ? " with a power cut" : "");
                if (state == before)
                    ++tally.oldState;
                else if (state == after)
                    ++tally.newState;
                else
                    ADD_FAILURE() << where << ": neither the old nor the new library: "
                                  << state.substr(0, 200);
                EXPECT_FALSE(fsys::exists(work + ".journal")) << where;
                // A process that stops leaves what it wrote with the system, journal
                // included: the library is then the old or new one byte for byte.
                if (cut == 0) {
                    const Bytes bytes = checks::readWholeFile(fs::fromNativeName(work));
                    EXPECT_TRUE(bytes == originalBytes || bytes == afterBytes)
                        << where << ": not the old or the new file byte for byte";
                }
                EXPECT_EQ(checks::checkLibraryStructure(work), "") << where;
                EXPECT_EQ(runTool({"put", work, "after_crash.srd", (dir_ / "small.srd").string()}),
                          0)
                    << where;
                EXPECT_EQ(checks::checkLibraryStructure(work), "") << where << ", then a put";
            }
        }
        // The last operation commits, so a stop at any point of a journaled change
        // gives the old library; the commands that replace the file may give either.
        EXPECT_GT(tally.oldState, 0) << command[0];
        std::printf("%-10s %ld operations, %d points: %d old, %d new\n", command[0].c_str(), total,
                    tally.points, tally.oldState, tally.newState);
        return tally;
    }

    fsys::path dir_;
    CrashHook quiet_{-1, false};
};

TEST_F(CrashTest, EveryChangingCommandIsOldOrNewAfterACrashAnywhere) {
    const std::string big = (dir_ / "big.srd").string();
    const std::string small = (dir_ / "small.srd").string();
    const std::vector<std::vector<std::string>> commands = {
        {"put", "LIB", "src_0.srd", big, "--time", "1000000001"},  // replaces in place
        {"put", "LIB", "src_4.srd", small, "--comment", "shrunk"},
        {"put", "LIB", "new_entry.srd", small, "--comment", "new"},
        {"rm", "LIB", "src_8.srd"},
        {"comment", "LIB", "another comment"},
        {"libdata", "LIB", "--set", small},
        {"import", "LIB", (dir_ / "import").string()},
        {"add-report", "LIB", KELDRIN_SOURCE_DIR "/examples/example.psr"},
        {"optimize", "LIB"},
    };
    for (int version : {6, 10}) {
        for (const auto& command : commands) {
            // The example report was saved by PowerBuilder 9: it goes into ANSI libraries.
            if (command[0] == "add-report" && version >= 10) continue;
            crashEverywhere(version, command);
        }
    }
}

// A journal that is not whole, or not this library's, is never played back: the
// library is refused with the reason and both files stay as they are.
TEST_F(CrashTest, ForeignOrDamagedJournalIsRefusedAndKept) {
    const std::string lib = base(10);
    const std::string journal = lib + ".journal";
    const std::vector<std::uint8_t> bytes = checks::readWholeFile(fs::fromNativeName(lib));
    Bytes good = pbl::journal::encode(u"other.pbl", 1024, {{0, std::vector<std::uint8_t>(512, 7)}});
    Bytes damaged = pbl::journal::encode(fs::fromNativeName(lib), 1024,
                                         {{0, std::vector<std::uint8_t>(512, 7)}});
    damaged[20] ^= 1;  // inside the header's checksummed fields
    Bytes notOurs(600, 'x');
    Bytes shortAndNotOurs = {'n', 'o', 't', 'e', 's'};
    for (const Bytes* journalBytes : {&good, &damaged, &notOurs, &shortAndNotOurs}) {
        test::writeAll(journal, std::string(journalBytes->begin(), journalBytes->end()));
        EXPECT_EQ(snapshot(lib).rfind("<cannot open", 0), 0u);
        EXPECT_NE(runTool({"put", lib, "x.srd", (dir_ / "small.srd").string()}), 0);
        EXPECT_EQ(runTool({"check", lib}), 1);  // the journal is the problem
        EXPECT_EQ(checks::readWholeFile(fs::fromNativeName(lib)), bytes);
        EXPECT_EQ(test::readAll(journal), std::string(journalBytes->begin(), journalBytes->end()));
    }
    // A journal whose header never reached the disk (nothing, zeros, or the start of
    // the header) asks for nothing.
    for (const std::string& unwritten :
         {std::string(), std::string(512, '\0'), std::string(good.begin(), good.begin() + 100)}) {
        test::writeAll(journal, unwritten);
        EXPECT_EQ(runTool({"ls", lib}), 0);
        EXPECT_FALSE(fsys::exists(journal));
        EXPECT_EQ(checks::readWholeFile(fs::fromNativeName(lib)), bytes);
    }
}

// A reader that may not write the library does not roll a journal back, and does not
// read a library that may be half changed either.
TEST_F(CrashTest, ReaderWithoutWriteAccessRefusesAHotJournal) {
    const std::string lib = base(6);
    const std::string journal = lib + ".journal";
    const std::string before = snapshot(lib);
    // A journal as a crash leaves it: the change's old bytes, the library already new.
    {
        const std::vector<std::uint8_t> old = checks::readWholeFile(fs::fromNativeName(lib));
        ASSERT_EQ(runTool({"comment", lib, "changed"}), 0);
        std::map<std::int64_t, std::vector<std::uint8_t>> blocks;
        blocks[0] = std::vector<std::uint8_t>(old.begin(), old.begin() + 512);
        Bytes j = pbl::journal::encode(fs::fromNativeName(lib),
                                       static_cast<std::int64_t>(old.size()), blocks);
        test::writeAll(journal, std::string(j.begin(), j.end()));
    }
    ::chmod(lib.c_str(), 0444);
    EXPECT_EQ(snapshot(lib).rfind("<cannot open", 0), 0u);
    EXPECT_TRUE(fsys::exists(journal));
    ::chmod(lib.c_str(), 0644);
    EXPECT_EQ(snapshot(lib), before);  // a reader with write access rolls it back
    EXPECT_FALSE(fsys::exists(journal));
}

// What a crash leaves when nobody plays its journal back (another program opened the
// library, or the journal was lost): salvage recovers every entry the change did not
// touch, byte for byte, into a sound library, and never touches the damaged one.
TEST_F(CrashTest, SalvageRecoversWhatAnUnjournaledCrashLeft) {
    const std::string original = base(10);
    const std::string work = (dir_ / "torn.pbl").string();
    const std::string out = (dir_ / "salvaged.pbl").string();
    const std::map<std::string, std::string> before = entryMap(original);
    const std::vector<std::vector<std::string>> commands = {
        {"put", work, "src_0.srd", (dir_ / "big.srd").string()},
        {"import", work, (dir_ / "import").string()},
    };
    int points = 0;
    int whole = 0;  // salvage lost nothing
    for (const auto& command : commands) {
        fsys::remove(work);
        fsys::copy_file(original, work);
        CrashHook counter(-1, false);
        fs::installFaultHook(&counter);
        (void)runTool(command);
        fs::installFaultHook(&quiet_);
        for (long at = 1; at <= counter.operations(); ++at) {
            fsys::remove(work);
            fsys::remove(work + ".journal");
            fsys::remove(out);
            fsys::copy_file(original, work);
            {
                CrashHook hook(at, true);
                fs::installFaultHook(&hook);
                (void)runTool(command);
                fs::installFaultHook(&quiet_);
                std::mt19937 random(static_cast<unsigned>(at));
                hook.cutPower(random);
            }
            ++points;
            fsys::remove(work + ".journal");
            const std::vector<std::uint8_t> damaged =
                checks::readWholeFile(fs::fromNativeName(work));
            const int rc = runTool({"salvage", work, out});
            EXPECT_TRUE(rc == 0 || rc == 1) << command[0] << " at " << at;
            if (rc == 0) ++whole;
            EXPECT_EQ(checks::readWholeFile(fs::fromNativeName(work)), damaged);
            EXPECT_EQ(checks::checkLibraryStructure(out), "") << command[0] << " at " << at;
            const std::map<std::string, std::string> recovered = entryMap(out);
            for (const auto& [name, line] : before) {
                // The entry the put replaced may come back old, new, or not at all.
                if (command[0] == "put" && name == "src_0.srd") continue;
                auto it = recovered.find(name);
                EXPECT_TRUE(it != recovered.end() && it->second == line)
                    << command[0] << " at " << at << ": untouched entry " << name
                    << " was not recovered";
            }
        }
    }
    std::printf("salvage after crashes with the journal thrown away: %d points, %d lost nothing\n",
                points, whole);
}

// Real processes killed with SIGKILL at random moments of a large import.
TEST_F(CrashTest, KilledImportIsOldOrNew) {
#if !defined(KELDRIN_PBL_PATH)
    GTEST_SKIP() << "keldrin-pbl is not built";
#else
    const std::string original = base(10);
    fsys::create_directory(dir_ / "many");
    for (int i = 0; i < 400; ++i)
        test::writeAll(dir_ / "many" / ("n_" + std::to_string(i) + ".srs"),
                       "$PBExportHeader$n_" + std::to_string(i) + ".srs\r\nglobal type n_" +
                           std::to_string(i) + " from structure\r\nend type\r\n" +
                           std::string(static_cast<std::size_t>(i % 7) * 900, 's'));
    const std::string work = (dir_ / "killed.pbl").string();
    auto import = [&] {
        fsys::remove(work);
        fsys::copy_file(original, work);
        return test::ProcessSpec{.program = KELDRIN_PBL_PATH,
                                 .args = {"import", work, (dir_ / "many").string()}};
    };
    const std::string before = snapshot(original);
    ASSERT_EQ(test::runProcess(import()).exitCode, 0);
    const std::string after = snapshot(work);
    std::mt19937 random(20261208);
    int oldState = 0;
    int newState = 0;
    for (int round = 0; round < 12; ++round) {
        test::Process process(import());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
        ::kill(process.pid(), SIGKILL);
        (void)process.finish();
        const std::string state = snapshot(work);
        if (state == before) {
            ++oldState;
            EXPECT_EQ(checks::readWholeFile(fs::fromNativeName(work)),
                      checks::readWholeFile(fs::fromNativeName(original)))
                << "round " << round << ": the old library, but not byte for byte";
        } else if (state == after)
            ++newState;
        else
            ADD_FAILURE() << "round " << round << ": neither the old nor the new library";
        EXPECT_EQ(checks::checkLibraryStructure(work), "") << "round " << round;
    }
    std::printf("killed import: %d old, %d new\n", oldState, newState);
#endif
}

// A disk that fills after `allowed` writes: each later write and sync fails as a full
// disk does, so the messages the user gets then can be seen.
class FullDiskHook : public fs::FaultHook {
  public:
    explicit FullDiskHook(long allowed) : allowed_(allowed) {}
    bool before(fs::FaultOp op, std::FILE*, std::int64_t, std::size_t,
                const std::u16string&) override {
        if (op != fs::FaultOp::kWrite && op != fs::FaultOp::kSync) return true;
        return ++count_ <= allowed_;
    }
    bool durable() const override { return false; }
    bool diskFull() const override { return true; }

  private:
    long allowed_;
    long count_ = 0;
};

// The tool's exit code and its error stream.
std::pair<int, std::string> runToolTold(const std::vector<std::string>& args) {
    std::vector<std::u16string> wide;
    wide.reserve(args.size());
    for (const std::string& a : args) wide.push_back(fs::fromNativeName(a));
    std::FILE* err = std::tmpfile();
    std::FILE* out = std::tmpfile();
    PblToolStreams streams{.in = stdin, .out = out, .err = err};
    const int rc = runPblTool(wide, streams);
    std::string told;
    std::rewind(err);
    for (int c = std::fgetc(err); c != EOF; c = std::fgetc(err))
        told.push_back(static_cast<char>(c));
    std::fclose(err);
    std::fclose(out);
    return {rc, told};
}

TEST_F(CrashTest, AFullDiskIsNamedAsTheSystemNamesIt) {
    const std::string lib = base(10);
    const std::string before = test::readAll(lib);
    const std::string big = (dir_ / "big.srd").string();
    for (long allowed : {0L, 1L, 3L}) {
        SCOPED_TRACE(allowed);
        FullDiskHook full(allowed);
        fs::installFaultHook(&full);
        auto [rc, told] = runToolTold({"put", lib, "d_new.srd", big});
        fs::installFaultHook(&quiet_);
        EXPECT_EQ(rc, 1);
        EXPECT_NE(told.find("no space left on device"), std::string::npos) << told;
        EXPECT_EQ(told.find("read-only"), std::string::npos) << told;
        EXPECT_EQ(test::readAll(lib), before);
    }
}

// An export that meets a full disk part-way takes back the files it had written; one
// it replaced stays replaced, whole.
TEST_F(CrashTest, AnExportThatFailsPartWayTakesBackItsFiles) {
    const std::string lib = base(6);
    const fsys::path out = dir_ / "exported";
    fsys::create_directory(out);
    test::writeAll(out / "src_0.srd", "there before");
    test::writeAll(out / "notes.txt", "not the export's");
    FullDiskHook full(4);
    fs::installFaultHook(&full);
    auto [rc, told] = runToolTold({"export", lib, out.string()});
    fs::installFaultHook(&quiet_);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(told.find("no space left on device"), std::string::npos) << told;
    std::vector<std::string> left;
    for (const auto& item : fsys::directory_iterator(out)) left.push_back(item.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"notes.txt", "src_0.srd"}));
    // Replaced whole or not at all.
    const std::string first = test::readAll(out / "src_0.srd");
    EXPECT_TRUE(first == "there before" || first.rfind("$PBExportHeader$src_0.srd", 0) == 0)
        << first.substr(0, 40);
}

// Into a directory that does not exist yet, an export appears whole or not at all: a
// full disk at any of its writes leaves no directory and nothing beside it, and the
// finished one holds what an export into an existing directory writes, times included.
TEST_F(CrashTest, AnExportIntoANewDirectoryAppearsWholeOrNotAtAll) {
    const std::string lib = base(6);
    const fsys::path parent = dir_ / "new" / "deeper";
    const fsys::path out = parent / "exported";
    for (long allowed : {0L, 2L, 5L}) {
        SCOPED_TRACE(allowed);
        FullDiskHook full(allowed);
        fs::installFaultHook(&full);
        auto [rc, told] = runToolTold({"export", lib, out.string()});
        fs::installFaultHook(&quiet_);
        EXPECT_EQ(rc, 1);
        EXPECT_NE(told.find("no space left on device"), std::string::npos) << told;
        EXPECT_FALSE(fsys::exists(out));
        EXPECT_TRUE(fsys::is_empty(parent));
    }
    const fsys::path existing = dir_ / "existing";
    fsys::create_directory(existing);
    ASSERT_EQ(runToolTold({"export", lib, existing.string()}).first, 0);
    ASSERT_EQ(runToolTold({"export", lib, out.string() + "/"}).first, 0);
    EXPECT_EQ(test::listing(out), test::listing(existing));
    EXPECT_EQ(test::listing(parent), std::set<std::string>{"exported"});
    for (const std::string& name : test::listing(existing)) {
        EXPECT_EQ(test::readAll(out / name), test::readAll(existing / name)) << name;
        EXPECT_EQ(fsys::last_write_time(out / name), fsys::last_write_time(existing / name))
            << name;
    }
}

}  // namespace
}  // namespace keldrin
