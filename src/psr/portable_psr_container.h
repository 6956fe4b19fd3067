// A report in the platform-independent PSR format (layout in portable_layout.h). open()
// walks all records once and keeps only a directory of the streams (path, position,
// length); readStream goes back to the file by name and reads the one stream asked for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "psr/psr_container.h"

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
    std::u16string formatDescription() const override;

    bool unicode() const { return unicode_; }
    const std::vector<PsrStreamEntry>& entries() const { return entries_; }

  private:
    enum class RecordResult { kMore, kEnd };

    Bytes readBytes(std::int32_t n);
    std::int32_t readInt32();
    std::u16string readString();
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
};

}  // namespace keldrin
