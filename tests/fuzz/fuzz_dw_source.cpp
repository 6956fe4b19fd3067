// Fuzz target: DataWindow source text of any content, read as the code page's bytes and
// as UTF-16, parsed into groups and into the model. A text that does not parse is an
// answer; a crash, a hang or an unbounded allocation is a finding.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "dw/dw_source.h"

#ifndef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace keldrin::fuzz_dw_source {

void parseBoth(const std::uint8_t* data, std::size_t size, bool unicode) {
    std::optional<std::u16string> text = dw::sourceFromBytes(data, size, unicode);
    if (!text) return;
    dw::DataWindow model;
    Damage error;
    if (!dw::parseDataWindow(*text, model, error)) return;
    // Walk the model as a reader of it would.
    for (const dw::Object& object : model.objects) (void)object.attr("x");
    for (const dw::TableColumn& column : model.columns) (void)column.baseType();
    for (const dw::Group& group : model.text.groups)
        for (const dw::Item& item : group.items) (void)item.value.display();
}

void run(const std::uint8_t* data, std::size_t size) {
    parseBoth(data, size, false);
    parseBoth(data, size, true);
}

}  // namespace keldrin::fuzz_dw_source

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_dw_source::run(data, size);
    return 0;
}
