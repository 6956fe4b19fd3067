// Line ends between PowerBuilder, which stores and exports CRLF, and a checkout that has
// only LF (git on Linux, or core.autocrlf).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "pbl/export_file.h"

namespace keldrin::tool {

// Whether an export file, given piece by piece as it is read, holds a carriage return
// anywhere. One that holds none came from a checkout that turned PowerBuilder's CRLF
// into LF; one that holds any is taken as it is, since real entries mix line ends.
class CarriageReturnScan {
  public:
    void add(ByteSpan piece);
    // In a UTF-16LE file a CR is the unit 0D 00; in the others a 0D byte, which is the
    // character itself (an ANSI lead byte's partner is never below 0x40).
    bool found(pbl::ExportEncoding encoding) const {
        return encoding == pbl::ExportEncoding::kUtf16Le ? unit_ : byte_;
    }

  private:
    std::uint64_t offset_ = 0;
    bool byte_ = false;
    bool unit_ = false;
    bool unitStarted_ = false;  // the last piece ended in a 0D at an even offset
};

// Every LF as CRLF (the text holds no CR).
std::string lfToCrlf(std::string_view text);
std::u16string lfToCrlf(std::u16string_view text);

// Every CRLF as LF, a lone CR left as it is: how two texts compare without regard to
// their line ends.
std::string crlfToLf(std::string_view text);

}  // namespace keldrin::tool
