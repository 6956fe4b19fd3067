// POSIX backend of the structured-storage layer: our own Compound File Binary reader
// (cfb_reader.h) stands in for ole32. The file is opened read-only for as long as the
// root storage or anything opened from it lives; the reader is shared by all of them.
#include <utility>

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
    ReportDamage lastProblem() const override { return cursor_.lastProblem(); }

  private:
    cfb::CfbReader::StreamCursor cursor_;
};

class CfbStorage : public Storage {
  public:
    CfbStorage(std::shared_ptr<cfb::CfbReader> reader, std::uint32_t index)
        : reader_(std::move(reader)), index_(index) {}

    Status openStorage(const std::u16string& name, std::unique_ptr<Storage>& out) override {
        std::optional<std::uint32_t> child = reader_->findChild(index_, name);
        if (!child || reader_->entry(*child).type != cfb::EntryType::kStorage)
            return Status::kNotFound;
        out = std::make_unique<CfbStorage>(reader_, *child);
        return Status::kOk;
    }

    Status openStream(const std::u16string& name, std::unique_ptr<Stream>& out) override {
        std::optional<std::uint32_t> child = reader_->findChild(index_, name);
        if (!child || reader_->entry(*child).type != cfb::EntryType::kStream)
            return Status::kNotFound;
        out = std::make_unique<CfbStream>(reader_, *child);
        return Status::kOk;
    }

  private:
    std::shared_ptr<cfb::CfbReader> reader_;
    std::uint32_t index_;
};

}  // namespace

Status openRootStorage(const std::u16string& fileName, std::unique_ptr<Storage>& out,
                       ReportDamage* damage) {
    std::FILE* file = fs::openFile(fileName, "rb");
    if (file == nullptr) return Status::kFailed;
    ReportDamage found;
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
