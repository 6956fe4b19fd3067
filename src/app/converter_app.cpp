#include "app/converter_app.h"

#include <memory>

#include "base/console.h"
#include "base/exceptions.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"

namespace keldrin {

namespace {

constexpr std::u16string_view kUsage[] = {
    u"",
    u"Usage: keldrin <source psrfile> [-p <target pblfile>]",
    u"  <source psrfile> - PSR file to be converted to PBL",
    u"  <target psrfile> - target PBL file. Optional. Defaults to PSR name with ",
    u"                     the extension changed to .pbl",
};

}  // namespace

int ConverterApp::run(const std::vector<std::u16string>& arguments) {
    printBanner();
    try {
        parseArguments(arguments);
        execute();
    } catch (const NoArgsException&) {
        printUsage();
        return kExitUsage;
    } catch (const InvalidArgsException& e) {
        console::writeLine(u"Systax error: " + e.message);
        console::writeLine(u"");
        printUsage();
        return kExitError;
    } catch (...) {
        // Every other failure, memory exhaustion included: the conversion has already
        // cleaned up after itself, and the user gets one line without detail.
        console::writeLine(u"Conversion error");
        console::writeLine(u"");
        return kExitError;
    }
    return kExitSuccess;
}

void ConverterApp::parseArguments(const std::vector<std::u16string>& arguments) {
    if (arguments.empty()) throw NoArgsException();
    const std::u16string& first = arguments.front();
    if (first.empty() || first.front() == u'-')
        throw InvalidArgsException(u"First argument must be a PSR name");
    sourceName = first;
    targetName.clear();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != u"-p")
            throw InvalidArgsException(u"Unexpected argument: " + arguments[i]);
        ++i;
        if (i == arguments.size()) throw InvalidArgsException(u"Argument -p requires a PBL name");
        // Taken as it stands: it may begin with "-", and empty asks for the default.
        targetName = arguments[i];
    }
}

void ConverterApp::execute() {
    std::shared_ptr<PsrContainer> container = PsrContainerFactory::instance().openPsr(sourceName);
    container->convert(targetName);
}

void ConverterApp::printBanner() {
    console::writeLine(
        u"Keldrin v" KELDRIN_VERSION
        u" - PowerBuilder report to library converter, published by the Keldrin project");
    console::writeLine(u"Updates are published with the Keldrin sources and release notes.");
}

void ConverterApp::printUsage() {
    for (std::u16string_view line : kUsage) console::writeLine(line);
}

int runKeldrin(const std::vector<std::u16string>& arguments) {
    ConverterApp app;
    return app.run(arguments);
}

}  // namespace keldrin
