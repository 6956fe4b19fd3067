// The line-by-line differences behind `diff --text`: the shortest edit script between
// two lists of lines, found by Myers' algorithm after the common head and tail are set
// aside.
//
// Lines are told apart by a hash taken once per line; their bytes are compared only when
// the hashes are equal. Comparing bytes first made the cost grow with the line length
// times the comparisons, so lines that differ only at their ends were the slowest to tell
// apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace keldrin::tool {

enum class EditKind { kSame, kDelete, kInsert };
struct Edit {
    EditKind kind;
    std::size_t a;  // line in A (kSame, kDelete)
    std::size_t b;  // line in B (kSame, kInsert)
};

using Lines = std::vector<std::string_view>;
using LineHash = std::uint64_t (*)(std::string_view line);

// The hash lineEdits uses unless told otherwise.
std::uint64_t hashLine(std::string_view line);

// Every line of A and B once, in order, as kept, deleted or inserted. Past a bounded
// number of differing lines (or comparisons) the middle between the common head and tail
// is given as all of A's lines deleted and all of B's inserted. `hash` only decides how
// fast lines are told apart, never the result: tests pass a weak one to prove that.
std::vector<Edit> lineEdits(const Lines& a, const Lines& b, LineHash hash = hashLine);

}  // namespace keldrin::tool
