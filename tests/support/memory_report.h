// A report held in memory: its streams by path, for tests of what is read from a report
// without a file on disk.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/exceptions.h"
#include "psr/psr_container.h"

namespace keldrin::test {

class MemoryReport : public PsrContainer {
  public:
    std::map<std::u16string, Bytes> streams;
    std::u16string name = u"memory.psr";

    std::u16string fileName() const override { return name; }
    void open(const std::u16string& fileName) override { name = fileName; }
    void readStream(const std::u16string& path, Bytes& data) override {
        auto found = streams.find(path);
        if (found == streams.end()) throw NotFoundException();
        data = found->second;
    }
    std::u16string formatDescription() const override { return u"memory"; }
    std::vector<PsrStreamInfo> listStreams() override {
        std::vector<PsrStreamInfo> list;
        for (const auto& [path, bytes] : streams) list.push_back({path, bytes.size()});
        return list;
    }
};

}  // namespace keldrin::test
