// A report in the platform-independent PSR format (layout in portable_layout.h). open()
// walks all records once and keeps only a directory of the streams (path, position,
// length); readStream goes back to the file by name and reads the one stream asked for.
// A failure throws the exception the conversion knows and keeps why and where it failed,
// for whoever asks lastProblem().
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "psr/psr_container.h"
#include "psr/report_damage.h"

namespace keldrin {

struct PsrStreamEntry {
    std::u16string path;
    std::int64_t offset = 0;
    std::int32_t length = 0;
};

class PortablePsrContainer : public PsrContainer {
  public:
    ~PortablePsrContainer() override;

    std::u16string fileName() const override { return fileName_; }
    void open(const std::u16string& fileName) override;
    void readStream(const std::u16string& path, Bytes& data) override;
    void readStreamInto(const std::u16string& path, const StreamPlace& place) override;
    std::u16string formatDescription() const override;

    // The directory open() read, in the file's order.
    std::vector<PsrStreamInfo> listStreams() override;

    bool unicode() const { return unicode_; }
    const std::vector<PsrStreamEntry>& entries() const { return entries_; }
    // What made the last open or readStream fail; nothing found for a file that is
    // missing or of another format than this one's.
    Damage lastProblem() const override { return damage_; }

  private:
    enum class RecordResult { kMore, kEnd };

    template <typename Exception>
    [[noreturn]] void fail(std::string reason, std::int64_t offset);
    // `what` names the field read, for the damage.
    Bytes readBytes(std::int32_t n, const char* what);
    std::int32_t readInt32(const char* what);
    std::u16string readString(const char* what);
    RecordResult readRecord();
    void readDirectory();
    void closeHandle();

    std::u16string fileName_;
    bool unicode_ = false;
    std::FILE* handle_ = nullptr;
    std::int64_t position_ = 0;
    std::int64_t fileSize_ = 0;
    std::u16string storagePrefix_;
    std::u16string currentName_;
    std::vector<PsrStreamEntry> entries_;
    Damage damage_;

    // The stream at `path`, the last read's damage cleared; NotFoundException when none.
    const PsrStreamEntry* streamEntry(const std::u16string& path);
};

}  // namespace keldrin
