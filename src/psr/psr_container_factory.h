// Picks the container of a report file: the OLE compound file first, then the
// platform-independent format. Only a "not this format" answer moves on to the next
// kind; a missing or unreadable file ends the search at once.
#pragma once

#include <memory>
#include <string>

#include "psr/psr_container.h"
#include "psr/report_damage.h"

namespace keldrin {

class PsrContainerFactory {
  public:
    virtual ~PsrContainerFactory() = default;
    // The one factory, created on first use.
    static PsrContainerFactory& instance();
    // An opened container; NotFoundException, IOException or NotSupportedFormatException.
    virtual std::shared_ptr<PsrContainer> openPsr(const std::u16string& fileName);
    // The same, keeping in `why` what made a reader refuse the file (nothing found: no
    // more is known than the exception says). For tools that tell the user.
    std::shared_ptr<PsrContainer> openPsr(const std::u16string& fileName, Damage& why);
};

}  // namespace keldrin
