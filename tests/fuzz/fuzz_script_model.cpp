// Fuzz target: PowerScript source text of any content, read into the model under each
// kind of entry, and several sources (the input cut at NUL bytes) taken as one
// application whose tree and uses are walked. A source that does not parse is an answer
// (its notes); a crash, a hang or an unbounded allocation is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "script/application.h"

#ifndef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace keldrin::fuzz_script_model {

void run(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const char* entry : {"w_x.srw", "u_x.sru", "s_x.srs", "x"}) {
        script::ObjectModel model = script::readSource(entry, text);
        (void)script::controlParents(model);
    }
    script::Application app;
    std::size_t first = app.addLibrary("a.pbl");
    std::size_t second = app.addLibrary("b.pbl");
    std::size_t start = 0;
    for (std::size_t n = 0; start <= text.size() && n < 64; ++n) {
        std::size_t end = text.find('\0', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view source = text.substr(start, end - start);
        app.add(n % 3 == 2 ? second : first,
                script::readSource("o" + std::to_string(n) + ".sru", source));
        start = end + 1;
    }
    app.finish();
    (void)app.tree();
    (void)app.missingAncestors();
    if (!app.objects().empty()) {
        const std::string& name = app.objects().front().model.ancestor;
        (void)app.tree(std::string_view(name));
        (void)app.uses(name);
    }
}

}  // namespace keldrin::fuzz_script_model

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_script_model::run(data, size);
    return 0;
}
