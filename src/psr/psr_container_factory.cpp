#include "psr/psr_container_factory.h"

#include "base/exceptions.h"
#include "psr/ole_psr_container.h"
#include "psr/portable_psr_container.h"

namespace keldrin {

PsrContainerFactory& PsrContainerFactory::instance() {
    static PsrContainerFactory* factory = new PsrContainerFactory();
    return *factory;
}

std::shared_ptr<PsrContainer> PsrContainerFactory::openPsr(const std::u16string& fileName) {
    try {
        std::shared_ptr<PsrContainer> ole = std::make_shared<OlePsrContainer>();
        ole->open(fileName);
        return ole;
    } catch (const NotSupportedFormatException&) {
    }
    try {
        std::shared_ptr<PsrContainer> portable = std::make_shared<PortablePsrContainer>();
        portable->open(fileName);
        return portable;
    } catch (const NotSupportedFormatException&) {
    }
    throw NotSupportedFormatException();
}

}  // namespace keldrin
