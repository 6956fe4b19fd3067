// A report in an OLE compound file. open() only looks at the first four bytes; every
// readStream opens the compound file anew through the structured-storage layer
// (compound_file.h), walks one storage per "/" of the path, reads the stream whole and
// releases everything before it returns. Damage in the compound structure surfaces as
// IOException from readStream, never from open(); lastProblem() then says why, as far as
// the structured-storage layer can tell.
#pragma once

#include <string>
#include <vector>

#include "psr/psr_container.h"
#include "psr/report_damage.h"

namespace keldrin {

class OlePsrContainer : public PsrContainer {
  public:
    // Size of one read of a stream.
    static constexpr std::uint32_t kReadChunk = 2048;

    std::u16string fileName() const override { return fileName_; }
    void open(const std::u16string& fileName) override;
    void readStream(const std::u16string& path, Bytes& data) override;
    // Straight into the caller's pieces, in chunks, without the stream whole in between.
    void readStreamInto(const std::u16string& path, const StreamPlace& place) override;
    std::u16string formatDescription() const override { return u"OLE compound storage"; }
    // What the structured-storage layer enumerates, storage by storage, each storage's
    // streams at its place; the file is opened anew for the walk, as for readStream.
    std::vector<PsrStreamInfo> listStreams() override;
    // What made the last readStream or listStreams fail; nothing found for a missing
    // element.
    Damage lastProblem() const override { return damage_; }

  private:
    std::u16string fileName_;
    Damage damage_;
};

}  // namespace keldrin
