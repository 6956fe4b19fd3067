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
    Damage ignored;
    return openPsr(fileName, ignored);
}

std::shared_ptr<PsrContainer> PsrContainerFactory::openPsr(const std::u16string& fileName,
                                                           Damage& why) {
    why = Damage{};
    auto ole = std::make_shared<OlePsrContainer>();
    try {
        ole->open(fileName);
        return ole;
    } catch (const NotSupportedFormatException&) {
    }
    auto portable = std::make_shared<PortablePsrContainer>();
    try {
        portable->open(fileName);
        return portable;
    } catch (const NotSupportedFormatException&) {
        why = portable->lastProblem();
    } catch (const IOException&) {
        why = portable->lastProblem();
        throw;
    }
    throw NotSupportedFormatException();
}

}  // namespace keldrin
