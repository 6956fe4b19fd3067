// POSIX backend of the structured-storage layer: our own Compound File Binary reader
// (cfb_reader.h) stands in for ole32. The file is opened read-only for as long as the
// root storage or anything opened from it lives; the reader is shared by all of them.
#include <utility>
#include <vector>

#include "base/file.h"
#include "psr/cfb_reader.h"
#include "psr/compound_file.h"

namespace keldrin::cf {
namespace {

class CfbStream : public Stream {
  public:
    CfbStream(std::shared_ptr<cfb::CfbReader> reader, std::uint32_t index)
        : cursor_(std::move(reader), index) {}

    Status read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead) override {
        std::size_t got = 0;
        bool ok = cursor_.read(buffer, count, got);
        bytesRead = static_cast<std::uint32_t>(got);
        return ok ? Status::kOk : Status::kFailed;
    }
    Damage lastProblem() const override { return cursor_.lastProblem(); }

  private:
    cfb::CfbReader::StreamCursor cursor_;
};

class CfbStorage : public Storage {
  public:
    CfbStorage(std::shared_ptr<cfb::CfbReader> reader, std::uint32_t index)
        : reader_(std::move(reader)), index_(index) {}

    Status list(std::vector<Element>& out) override {
        out.clear();
        for (std::uint32_t index : reader_->children(index_)) {
            const cfb::DirectoryEntry& entry = reader_->entry(index);
            const bool storage = entry.type == cfb::EntryType::kStorage;
            out.push_back({entry.name, storage, storage ? 0 : entry.size});
        }
        return Status::kOk;
    }

    Status openStorage(const std::u16string& name, std::unique_ptr<Storage>& out) override {
        return openChild<CfbStorage>(name, cfb::EntryType::kStorage, out);
    }

    Status openStream(const std::u16string& name, std::unique_ptr<Stream>& out) override {
        return openChild<CfbStream>(name, cfb::EntryType::kStream, out);
    }

  private:
    // A child of the wrong kind is as absent as a missing one, as with ole32.
    template <typename Opened, typename Element>
    Status openChild(const std::u16string& name, cfb::EntryType type,
                     std::unique_ptr<Element>& out) {
        std::optional<std::uint32_t> child = reader_->findChild(index_, name);
        if (!child || reader_->entry(*child).type != type) return Status::kNotFound;
        out = std::make_unique<Opened>(reader_, *child);
        return Status::kOk;
    }

    std::shared_ptr<cfb::CfbReader> reader_;
    std::uint32_t index_;
};

}  // namespace

Status openRootStorage(const std::u16string& fileName, std::unique_ptr<Storage>& out,
                       Damage* damage) {
    std::FILE* file = fs::openFile(fileName, "rb");
    if (file == nullptr) return Status::kFailed;
    Damage found;
    std::shared_ptr<cfb::CfbReader> reader =
        cfb::CfbReader::open(cfb::FileSource::adopt(file), found);
    if (!reader) {
        if (damage != nullptr) *damage = found;
        return Status::kFailed;
    }
    out = std::make_unique<CfbStorage>(std::move(reader), cfb::CfbReader::kRootIndex);
    return Status::kOk;
}

}  // namespace keldrin::cf
