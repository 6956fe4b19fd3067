#include "pbltool/line_diff.h"

#include <algorithm>
#include <functional>
#include <optional>

namespace keldrin::tool {

namespace {

// Past this many differing lines the shortest edit script costs more time and memory
// (quadratic in it) than it is worth: the rest is shown as one replaced block. The same
// goes for the line comparisons, which a long entry full of near repeats multiplies.
constexpr std::size_t kMaxEditDistance = 2000;
constexpr std::int64_t kMaxComparisons = 50'000'000;

// Both sides' lines with their hashes, so that telling two lines apart costs one
// comparison of numbers, and telling them equal one pass over their bytes.
class LinePair {
  public:
    LinePair(const Lines& a, const Lines& b, LineHash hash) : a_(a), b_(b) {
        hashA_.reserve(a.size());
        hashB_.reserve(b.size());
        for (std::string_view line : a) hashA_.push_back(hash(line));
        for (std::string_view line : b) hashB_.push_back(hash(line));
    }
    bool same(std::size_t i, std::size_t j) const {
        return hashA_[i] == hashB_[j] && a_[i] == b_[j];
    }

  private:
    const Lines& a_;
    const Lines& b_;
    std::vector<std::uint64_t> hashA_;
    std::vector<std::uint64_t> hashB_;
};

// The shortest edit script between a[a0, a1) and b[b0, b1) by Myers' algorithm, or
// nothing when it is longer than kMaxEditDistance.
std::optional<std::vector<Edit>> shortestEdits(const LinePair& lines, std::size_t a0,
                                               std::size_t a1, std::size_t b0, std::size_t b1) {
    const auto n = static_cast<std::int64_t>(a1 - a0);
    const auto m = static_cast<std::int64_t>(b1 - b0);
    const std::int64_t most = std::min<std::int64_t>(n + m, kMaxEditDistance);
    // trace[d] holds the furthest x on each diagonal k in [-d, d] after d edits.
    std::vector<std::vector<std::int64_t>> trace;
    std::vector<std::int64_t> v(static_cast<std::size_t>(2 * most + 3), 0);
    const std::int64_t offset = most + 1;
    auto at = [&](std::vector<std::int64_t>& row, std::int64_t k) -> std::int64_t& {
        return row[static_cast<std::size_t>(k + offset)];
    };
    std::int64_t found = -1;
    std::int64_t comparisons = 0;
    for (std::int64_t d = 0; d <= most && found < 0; ++d) {
        for (std::int64_t k = -d; k <= d; k += 2) {
            std::int64_t x = (k == -d || (k != d && at(v, k - 1) < at(v, k + 1)))
                                 ? at(v, k + 1)
                                 : at(v, k - 1) + 1;
            std::int64_t y = x - k;
            const std::int64_t startX = x;
            while (x < n && y < m &&
                   lines.same(static_cast<std::size_t>(a0 + x), static_cast<std::size_t>(b0 + y))) {
                ++x;
                ++y;
            }
            comparisons += x - startX + 1;
            if (comparisons > kMaxComparisons) return std::nullopt;
            at(v, k) = x;
            // Only the corner itself: a move past the grid's edge (x > n) leads nowhere, and
            // a path through it must not count as reaching the end.
            if (x == n && y == m) found = d;
        }
        trace.emplace_back(v.begin() + static_cast<std::ptrdiff_t>(offset - d),
                           v.begin() + static_cast<std::ptrdiff_t>(offset + d + 1));
    }
    if (found < 0) return std::nullopt;

    std::vector<Edit> edits;
    std::int64_t x = n;
    std::int64_t y = m;
    for (std::int64_t d = found; d > 0; --d) {
        const std::vector<std::int64_t>& previous = trace[static_cast<std::size_t>(d - 1)];
        auto prev = [&](std::int64_t k) { return previous[static_cast<std::size_t>(k + d - 1)]; };
        std::int64_t k = x - y;
        std::int64_t prevK = (k == -d || (k != d && prev(k - 1) < prev(k + 1))) ? k + 1 : k - 1;
        std::int64_t prevX = prev(prevK);
        std::int64_t prevY = prevX - prevK;
        while (x > prevX && y > prevY) {
            --x;
            --y;
            edits.push_back({EditKind::kSame, static_cast<std::size_t>(a0 + x),
                             static_cast<std::size_t>(b0 + y)});
        }
        if (prevK == k + 1)
            edits.push_back({EditKind::kInsert, 0, static_cast<std::size_t>(b0 + prevY)});
        else
            edits.push_back({EditKind::kDelete, static_cast<std::size_t>(a0 + prevX), 0});
        x = prevX;
        y = prevY;
    }
    while (x > 0 && y > 0) {
        --x;
        --y;
        edits.push_back(
            {EditKind::kSame, static_cast<std::size_t>(a0 + x), static_cast<std::size_t>(b0 + y)});
    }
    std::reverse(edits.begin(), edits.end());
    return edits;
}

}  // namespace

std::uint64_t hashLine(std::string_view line) {
    return std::hash<std::string_view>{}(line);
}

std::vector<Edit> lineEdits(const Lines& a, const Lines& b, LineHash hash) {
    const LinePair lines(a, b, hash);
    std::size_t head = 0;
    while (head < a.size() && head < b.size() && lines.same(head, head)) ++head;
    std::size_t tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
           lines.same(a.size() - 1 - tail, b.size() - 1 - tail))
        ++tail;
    std::vector<Edit> edits;
    for (std::size_t i = 0; i < head; ++i) edits.push_back({EditKind::kSame, i, i});
    std::size_t a1 = a.size() - tail;
    std::size_t b1 = b.size() - tail;
    if (auto middle = shortestEdits(lines, head, a1, head, b1)) {
        edits.insert(edits.end(), middle->begin(), middle->end());
    } else {
        for (std::size_t i = head; i < a1; ++i) edits.push_back({EditKind::kDelete, i, 0});
        for (std::size_t j = head; j < b1; ++j) edits.push_back({EditKind::kInsert, 0, j});
    }
    for (std::size_t t = 0; t < tail; ++t) edits.push_back({EditKind::kSame, a1 + t, b1 + t});
    return edits;
}

}  // namespace keldrin::tool
