#include "dw/report_graph.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <numbers>

#include "dw/display_format.h"
#include "dw/report_html.h"

namespace keldrin::dw {
namespace {

// ---- Expressions ----

constexpr std::size_t kMaxTreeDepth = 128;

struct Val {
    enum Kind { kNull, kNum, kText } kind = kNull;
    double n = 0;
    std::string s;
};

struct Node {
    enum Kind { kNumber, kText, kColumn, kNeg, kNot, kBinary, kIf, kAggregate } kind = kNumber;
    std::string op;  // binary operator, or the aggregate's function
    double number = 0;
    std::string text;
    std::size_t column = 0;
    bool forGraph = false;  // an aggregate over the rows of one category and series
    std::vector<std::unique_ptr<Node>> children;
};

bool isIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '#' || c == '%' || static_cast<unsigned char>(c) >= 0x80;
}

class ExpressionParser {
  public:
    ExpressionParser(const std::string& text, const ReportData& rows) : t_(text), rows_(rows) {}

    // The comma-separated expressions of an attribute.
    bool parseList(std::vector<std::unique_ptr<Node>>& out, std::string& why) {
        while (true) {
            std::unique_ptr<Node> n = parseOr(0);
            if (!n) break;
            out.push_back(std::move(n));
            skip();
            if (pos_ < t_.size() && t_[pos_] == ',') {
                ++pos_;
                continue;
            }
            break;
        }
        skip();
        if (error_.empty() && pos_ != t_.size())
            error_ = "unexpected text at character " + std::to_string(pos_);
        if (!error_.empty() || out.empty()) {
            why = "'" + t_ + "': " + (error_.empty() ? "no expression" : error_);
            return false;
        }
        return true;
    }

  private:
    void skip() {
        while (pos_ < t_.size() && static_cast<unsigned char>(t_[pos_]) <= ' ') ++pos_;
    }

    bool fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return false;
    }

    // The next word, lower-cased, without consuming it.
    std::string peekWord() {
        skip();
        std::size_t end = pos_;
        while (end < t_.size() && isIdentChar(t_[end])) ++end;
        return lowerAscii(t_.substr(pos_, end - pos_));
    }

    bool takeWord(const std::string& word) {
        const std::string w = peekWord();
        if (w != word) return false;
        pos_ += w.size();
        return true;
    }

    bool takeOp(const std::string& op) {
        skip();
        if (t_.compare(pos_, op.size(), op) != 0) return false;
        pos_ += op.size();
        return true;
    }

    std::unique_ptr<Node> binary(std::string op, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
        auto n = std::make_unique<Node>();
        n->kind = Node::kBinary;
        n->op = std::move(op);
        n->children.push_back(std::move(a));
        n->children.push_back(std::move(b));
        return n;
    }

    bool deep(std::size_t depth) {
        return depth > kMaxTreeDepth && !fail("the expression nests too deeply");
    }

    std::unique_ptr<Node> parseOr(std::size_t depth) {
        if (deep(depth)) return nullptr;
        std::unique_ptr<Node> a = parseAnd(depth + 1);
        std::size_t chain = 0;
        while (a && takeWord("or")) {
            std::unique_ptr<Node> b = parseAnd(depth + 1);
            if (!b || deep(depth + ++chain)) return nullptr;
            a = binary("or", std::move(a), std::move(b));
        }
        return a;
    }

    std::unique_ptr<Node> parseAnd(std::size_t depth) {
        if (deep(depth)) return nullptr;
        std::unique_ptr<Node> a = parseNot(depth + 1);
        std::size_t chain = 0;
        while (a && takeWord("and")) {
            std::unique_ptr<Node> b = parseNot(depth + 1);
            if (!b || deep(depth + ++chain)) return nullptr;
            a = binary("and", std::move(a), std::move(b));
        }
        return a;
    }

    std::unique_ptr<Node> parseNot(std::size_t depth) {
        if (deep(depth)) return nullptr;
        if (takeWord("not")) {
            std::unique_ptr<Node> a = parseNot(depth + 1);
            if (!a) return nullptr;
            auto n = std::make_unique<Node>();
            n->kind = Node::kNot;
            n->children.push_back(std::move(a));
            return n;
        }
        std::unique_ptr<Node> a = parseSum(depth + 1);
        if (!a) return nullptr;
        for (const char* op : {"<>", "<=", ">=", "=", "<", ">"})
            if (takeOp(op)) {
                std::unique_ptr<Node> b = parseSum(depth + 1);
                if (!b) return nullptr;
                return binary(op, std::move(a), std::move(b));
            }
        return a;
    }

    std::unique_ptr<Node> parseSum(std::size_t depth) {
        if (deep(depth)) return nullptr;
        std::unique_ptr<Node> a = parseProduct(depth + 1);
        std::size_t chain = 0;
        while (a) {
            skip();
            if (pos_ >= t_.size() || (t_[pos_] != '+' && t_[pos_] != '-')) break;
            const std::string op(1, t_[pos_++]);
            std::unique_ptr<Node> b = parseProduct(depth + 1);
            if (!b || deep(depth + ++chain)) return nullptr;
            a = binary(op, std::move(a), std::move(b));
        }
        return a;
    }

    std::unique_ptr<Node> parseProduct(std::size_t depth) {
        if (deep(depth)) return nullptr;
        std::unique_ptr<Node> a = parseUnary(depth + 1);
        std::size_t chain = 0;
        while (a) {
            skip();
            if (pos_ >= t_.size() || (t_[pos_] != '*' && t_[pos_] != '/')) break;
            const std::string op(1, t_[pos_++]);
            std::unique_ptr<Node> b = parseUnary(depth + 1);
            if (!b || deep(depth + ++chain)) return nullptr;
            a = binary(op, std::move(a), std::move(b));
        }
        return a;
    }

    std::unique_ptr<Node> parseUnary(std::size_t depth) {
        if (deep(depth)) return nullptr;
        skip();
        if (pos_ < t_.size() && (t_[pos_] == '-' || t_[pos_] == '+')) {
            const bool negate = t_[pos_++] == '-';
            std::unique_ptr<Node> a = parseUnary(depth + 1);
            if (!a || !negate) return a;
            auto n = std::make_unique<Node>();
            n->kind = Node::kNeg;
            n->children.push_back(std::move(a));
            return n;
        }
        return parsePrimary(depth + 1);
    }

    std::unique_ptr<Node> parsePrimary(std::size_t depth) {
        if (deep(depth)) return nullptr;
        skip();
        if (pos_ == t_.size()) {
            fail("the expression ends early");
            return nullptr;
        }
        const char c = t_[pos_];
        auto n = std::make_unique<Node>();
        if (c == '(') {
            ++pos_;
            std::unique_ptr<Node> inner = parseOr(depth + 1);
            if (!inner) return nullptr;
            if (!takeOp(")")) {
                fail("')' was expected at character " + std::to_string(pos_));
                return nullptr;
            }
            return inner;
        }
        if (c == '"' || c == '\'') {
            // ~t, ~n, ~r are a tab, a new line and a return; "~" before any other
            // character (the quote itself, "~") stands for that character.
            n->kind = Node::kText;
            std::size_t at = pos_ + 1;
            while (at < t_.size() && t_[at] != c) {
                if (t_[at] == '~' && at + 1 < t_.size()) {
                    const char e = t_[++at];
                    n->text.push_back(e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e);
                } else {
                    n->text.push_back(t_[at]);
                }
                ++at;
            }
            if (at >= t_.size()) {
                fail("a quoted text is not closed");
                return nullptr;
            }
            pos_ = at + 1;
            return n;
        }
        if ((c >= '0' && c <= '9') || c == '.') {
            const auto r = std::from_chars(t_.data() + pos_, t_.data() + t_.size(), n->number);
            if (r.ec != std::errc() || !std::isfinite(n->number)) {
                fail("a number does not read at character " + std::to_string(pos_));
                return nullptr;
            }
            pos_ = static_cast<std::size_t>(r.ptr - t_.data());
            return n;
        }
        const std::string word = peekWord();
        if (word.empty()) {
            fail(std::string("'") + c + "' was not expected at character " + std::to_string(pos_));
            return nullptr;
        }
        pos_ += word.size();
        if (!takeOp("(")) {
            for (std::size_t i = 0; i < rows_.columns.size(); ++i)
                if (lowerAscii(rows_.columns[i].name) == word) {
                    n->kind = Node::kColumn;
                    n->column = i;
                    return n;
                }
            fail("no column '" + word + "' in the rows");
            return nullptr;
        }
        if (word == "if") {
            n->kind = Node::kIf;
            for (int i = 0; i < 3; ++i) {
                if (i > 0 && !takeOp(",")) {
                    fail("if() takes three arguments");
                    return nullptr;
                }
                std::unique_ptr<Node> arg = parseOr(depth + 1);
                if (!arg) return nullptr;
                n->children.push_back(std::move(arg));
            }
        } else if (word == "sum" || word == "count" || word == "avg" || word == "min" ||
                   word == "max") {
            if (inAggregate_) {
                fail("an aggregate inside an aggregate");
                return nullptr;
            }
            n->kind = Node::kAggregate;
            n->op = word;
            inAggregate_ = true;
            std::unique_ptr<Node> arg = parseOr(depth + 1);
            inAggregate_ = false;
            if (!arg) return nullptr;
            n->children.push_back(std::move(arg));
            if (takeWord("for")) {
                if (takeWord("graph")) {
                    n->forGraph = true;
                } else if (!takeWord("all")) {
                    fail(word + "() over a range other than the graph or all rows");
                    return nullptr;
                }
            }
        } else {
            fail(word + "(), which the page does not evaluate");
            return nullptr;
        }
        if (!takeOp(")")) {
            fail("')' was expected at character " + std::to_string(pos_));
            return nullptr;
        }
        return n;
    }

    const std::string& t_;
    const ReportData& rows_;
    std::size_t pos_ = 0;
    bool inAggregate_ = false;
    std::string error_;
};

bool truth(const Val& v) {
    return (v.kind == Val::kNum && v.n != 0) || (v.kind == Val::kText && !v.s.empty());
}

class Evaluator {
  public:
    Evaluator(const ReportData& rows, std::size_t begin, std::size_t end)
        : rows_(rows), begin_(begin), end_(end) {}

    // `group`: the rows of the category and series being evaluated, for "for graph".
    Val eval(const Node& n, std::size_t row, const std::vector<std::size_t>* group) const {
        switch (n.kind) {
            case Node::kNumber:
                return Val{Val::kNum, n.number, {}};
            case Node::kText:
                return Val{Val::kText, 0, n.text};
            case Node::kColumn:
                return column(n.column, row);
            case Node::kNeg: {
                Val v = eval(*n.children[0], row, group);
                if (v.kind != Val::kNum) return Val{};
                v.n = -v.n;
                return v;
            }
            case Node::kNot:
                return Val{Val::kNum, truth(eval(*n.children[0], row, group)) ? 0.0 : 1.0, {}};
            case Node::kIf:
                return eval(*n.children[truth(eval(*n.children[0], row, group)) ? 1 : 2], row,
                            group);
            case Node::kAggregate:
                return aggregate(n, row, group);
            case Node::kBinary:
                return binary(n, row, group);
        }
        return Val{};
    }

  private:
    Val column(std::size_t index, std::size_t row) const {
        if (row >= rows_.rows.size() || index >= rows_.rows[row].size()) return Val{};
        const DataValue& v = rows_.rows[row][index];
        switch (v.kind) {
            case ValueKind::kNumber:
            case ValueKind::kLong:
            case ValueKind::kDecimal:
                return Val{Val::kNum, v.number, {}};
            case ValueKind::kText:
            case ValueKind::kDateTime:
                return Val{Val::kText, 0, v.text};
            default:
                return Val{};
        }
    }

    Val binary(const Node& n, std::size_t row, const std::vector<std::size_t>* group) const {
        const Val a = eval(*n.children[0], row, group);
        if (n.op == "and" && !truth(a)) return Val{Val::kNum, 0, {}};
        if (n.op == "or" && truth(a)) return Val{Val::kNum, 1, {}};
        const Val b = eval(*n.children[1], row, group);
        if (n.op == "and" || n.op == "or") return Val{Val::kNum, truth(b) ? 1.0 : 0.0, {}};
        if (a.kind == Val::kNull || b.kind == Val::kNull) return Val{};
        if (n.op == "+" && a.kind == Val::kText && b.kind == Val::kText)
            return Val{Val::kText, 0, a.s + b.s};
        if (n.op.size() == 1 && std::string("+-*/").find(n.op) != std::string::npos) {
            if (a.kind != Val::kNum || b.kind != Val::kNum) return Val{};
            switch (n.op[0]) {
                case '+':
                    return Val{Val::kNum, a.n + b.n, {}};
                case '-':
                    return Val{Val::kNum, a.n - b.n, {}};
                case '*':
                    return Val{Val::kNum, a.n * b.n, {}};
                default:
                    return b.n == 0 ? Val{} : Val{Val::kNum, a.n / b.n, {}};
            }
        }
        int order = 0;
        if (a.kind == Val::kNum && b.kind == Val::kNum)
            order = a.n < b.n ? -1 : (a.n > b.n ? 1 : 0);
        else if (a.kind == Val::kText && b.kind == Val::kText)
            order = a.s.compare(b.s) < 0 ? -1 : (a.s == b.s ? 0 : 1);
        else
            return Val{};
        bool result = false;
        if (n.op == "=") result = order == 0;
        if (n.op == "<>") result = order != 0;
        if (n.op == "<") result = order < 0;
        if (n.op == ">") result = order > 0;
        if (n.op == "<=") result = order <= 0;
        if (n.op == ">=") result = order >= 0;
        return Val{Val::kNum, result ? 1.0 : 0.0, {}};
    }

    Val aggregate(const Node& n, std::size_t row, const std::vector<std::size_t>* group) const {
        (void)row;
        // Over every row the value is the same for each category and series: worked out
        // once, so a graph of many points stays linear in its rows.
        const bool everyRow = !n.forGraph || group == nullptr;
        if (everyRow)
            if (const auto it = everyRow_.find(&n); it != everyRow_.end()) return it->second;
        Val v = aggregateOver(n, everyRow ? nullptr : group);
        if (everyRow) everyRow_.emplace(&n, v);
        return v;
    }

    Val aggregateOver(const Node& n, const std::vector<std::size_t>* group) const {
        double sum = 0;
        std::size_t count = 0;
        std::optional<double> low;
        std::optional<double> high;
        auto take = [&](std::size_t r) {
            const Val v = eval(*n.children[0], r, nullptr);
            if (v.kind == Val::kNull) return;
            ++count;
            if (v.kind != Val::kNum) return;
            sum += v.n;
            low = low ? std::min(*low, v.n) : v.n;
            high = high ? std::max(*high, v.n) : v.n;
        };
        if (group != nullptr)
            for (std::size_t r : *group) take(r);
        else
            for (std::size_t r = begin_; r < end_; ++r) take(r);
        if (n.op == "count") return Val{Val::kNum, static_cast<double>(count), {}};
        if (n.op == "sum") return Val{Val::kNum, sum, {}};
        if (n.op == "avg")
            return count == 0 ? Val{} : Val{Val::kNum, sum / static_cast<double>(count), {}};
        if (n.op == "min") return low ? Val{Val::kNum, *low, {}} : Val{};
        return high ? Val{Val::kNum, *high, {}} : Val{};
    }

    const ReportData& rows_;
    std::size_t begin_;
    std::size_t end_;
    mutable std::map<const Node*, Val> everyRow_;
};

bool hasAggregate(const Node& n) {
    if (n.kind == Node::kAggregate) return true;
    return std::any_of(n.children.begin(), n.children.end(),
                       [](const std::unique_ptr<Node>& c) { return hasAggregate(*c); });
}

std::string keyText(const Val& v) {
    if (v.kind == Val::kNum) return numberText(v.n);
    return v.s;
}

// An attribute may hold "default~texpression": the graph uses the default.
std::string plainAttr(const Object& o, std::string_view key, std::string_view fallback = "") {
    std::string text = o.attr(key, fallback);
    return text.substr(0, text.find('\t'));
}

long longAttr(const Object& o, std::string_view key, long fallback) {
    const std::string text = plainAttr(o, key);
    long value = fallback;
    const char* begin = text.data();
    if (!text.empty() && text[0] == '+') ++begin;
    if (std::from_chars(begin, text.data() + text.size(), value).ec != std::errc()) return fallback;
    return value;
}

// Keys in the order PowerBuilder's sort setting gives (0 as they come, 1 ascending,
// 2 descending); numbers compare as numbers when every key is one.
std::vector<std::size_t> sortedOrder(const std::vector<Val>& keys, long sort) {
    std::vector<std::size_t> order(keys.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (sort != 1 && sort != 2) return order;
    const bool numeric =
        std::all_of(keys.begin(), keys.end(), [](const Val& v) { return v.kind == Val::kNum; });
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const bool less = numeric ? keys[a].n < keys[b].n : keys[a].s < keys[b].s;
        const bool more = numeric ? keys[a].n > keys[b].n : keys[a].s > keys[b].s;
        return sort == 1 ? less : more;
    });
    return order;
}

// Distinct keys of the rows, in first-seen order, and each row's key index.
bool distinctKeys(const Node& expression, const Evaluator& e, std::size_t begin, std::size_t end,
                  std::size_t limit, const char* what, std::vector<Val>& keys,
                  std::vector<std::size_t>& rowKey, std::string& why) {
    std::map<std::pair<int, std::string>, std::size_t> index;
    rowKey.assign(end - begin, 0);
    for (std::size_t r = begin; r < end; ++r) {
        Val v = e.eval(expression, r, nullptr);
        const std::pair<int, std::string> key{v.kind, keyText(v)};
        auto it = index.find(key);
        if (it == index.end()) {
            if (keys.size() == limit) {
                why = std::string("more than ") + std::to_string(limit) + " " + what;
                return false;
            }
            it = index.emplace(key, keys.size()).first;
            if (v.kind == Val::kNum) v.s = keyText(v);
            keys.push_back(std::move(v));
        }
        rowKey[r - begin] = it->second;
    }
    return true;
}

// ---- Drawing ----

enum class Shape { kArea, kBar, kColumn, kLine, kPie, kScatter };

struct GraphKind {
    Shape shape;
    bool stacked;
};

std::optional<GraphKind> kindOf(long type) {
    switch (type) {
        case 1:
        case 15:
            return GraphKind{Shape::kArea, false};
        case 2:
        case 3:
        case 4:
            return GraphKind{Shape::kBar, false};
        case 5:
        case 6:
            return GraphKind{Shape::kBar, true};
        case 7:
        case 8:
        case 9:
            return GraphKind{Shape::kColumn, false};
        case 10:
        case 11:
            return GraphKind{Shape::kColumn, true};
        case 12:
        case 16:
            return GraphKind{Shape::kLine, false};
        case 13:
        case 17:
            return GraphKind{Shape::kPie, false};
        case 14:
            return GraphKind{Shape::kScatter, false};
        default:
            return std::nullopt;
    }
}

constexpr const char* kPalette[] = {"#3366cc", "#dc3912", "#ff9900", "#109618", "#990099",
                                    "#0099c6", "#dd4477", "#66aa00", "#b82e2e", "#316395"};
constexpr std::size_t kPaletteSize = sizeof kPalette / sizeof kPalette[0];

std::string fixed(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    return buffer;
}

std::string text(double x, double y, const std::string& body, const std::string& extra = "") {
    return "<text x=\"" + fixed(x) + "\" y=\"" + fixed(y) + "\"" + extra + ">" + escapeHtml(body) +
           "</text>\n";
}

// A round step for about `divisions` intervals over `span`.
double niceStep(double span, long divisions) {
    if (!(span > 0) || !std::isfinite(span)) return 1;
    const double raw = span / static_cast<double>(std::clamp(divisions, 1L, 20L));
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (raw <= m * power) return m * power;
    return 10 * power;
}

class GraphDrawer {
  public:
    GraphDrawer(const Object& o, const GraphData& data, GraphKind kind, int width, int height)
        : o_(o), d_(data), kind_(kind), w_(width), h_(height) {}

    std::string draw() {
        // Drawn at the object's size and fitted inside its frame, whose border takes a
        // few pixels of it.
        std::string svg = "<svg class=\"kd-graph\" viewBox=\"0 0 " + std::to_string(w_) + " " +
                          std::to_string(h_) +
                          "\" style=\"position:absolute;left:0;top:0;width:100%;height:100%\" "
                          "font-family=\"Arial,sans-serif\" font-size=\"10\">\n";
        double top = 4;
        const std::string title = plainAttr(o_, "title");
        if (!title.empty() && title != "(None)") {
            svg += text(w_ / 2.0, 16, title,
                        " text-anchor=\"middle\" font-weight=\"bold\" font-size=\"13\"");
            top = 24;
        }
        double bottom = h_ - 4.0;
        std::vector<std::string> names = legendNames();
        const long legend = longAttr(o_, "legend", 0);
        if (legend != 0 && !names.empty()) {
            std::string items;
            double x = 8;
            for (std::size_t i = 0; i < names.size(); ++i) {
                items += "<rect x=\"" + fixed(x) + "\" y=\"" + fixed(h_ - 14.0) +
                         "\" width=\"9\" height=\"9\" fill=\"" + kPalette[i % kPaletteSize] +
                         "\"/>\n" + text(x + 12, h_ - 6.0, names[i]);
                x += 24 + 6.0 * static_cast<double>(names[i].size());
            }
            svg += "<g class=\"kd-legend\">\n" + items + "</g>\n";
            bottom -= 16;
        }
        if (kind_.shape == Shape::kPie)
            svg += pies(top, bottom);
        else
            svg += axes(top, bottom);
        return svg + "</svg>";
    }

  private:
    std::vector<std::string> legendNames() const {
        std::vector<std::string> names;
        if (kind_.shape == Shape::kPie) {
            for (const std::string& c : d_.categories) names.push_back(c);
            return names;
        }
        for (const GraphData::Series& s : d_.series) names.push_back(s.name);
        if (names.size() == 1 && names[0].empty()) names.clear();
        return names;
    }

    static std::string markTitle(const std::string& series, const std::string& category,
                                 double value) {
        std::string t = series.empty() ? category : series + ", " + category;
        return "<title>" + escapeHtml(t + ": " + numberText(value)) + "</title>";
    }

    std::string data(std::size_t s, std::size_t c, double value) const {
        return " class=\"kd-mark\" data-series=\"" + std::to_string(s) + "\" data-category=\"" +
               escapeHtml(d_.categories[c]) + "\" data-value=\"" + numberText(value) + "\"";
    }

    std::string pies(double top, double bottom) const {
        std::string svg;
        const std::size_t count = std::max<std::size_t>(d_.series.size(), 1);
        const double slot = w_ / static_cast<double>(count);
        const double radius = std::max(4.0, std::min(slot / 2 - 8, (bottom - top) / 2 - 10));
        for (std::size_t s = 0; s < d_.series.size(); ++s) {
            const GraphData::Series& series = d_.series[s];
            double total = 0;
            for (const std::optional<double>& v : series.values)
                if (v && *v > 0) total += *v;
            const double cx = slot * (static_cast<double>(s) + 0.5);
            const double cy = (top + bottom) / 2;
            // Several pies, one per series: each named under it.
            if (d_.series.size() > 1)
                svg += text(cx, std::min(bottom, cy + radius + 12), series.name,
                            " text-anchor=\"middle\"");
            double angle = 0;
            for (std::size_t c = 0; c < series.values.size(); ++c) {
                const std::optional<double>& v = series.values[c];
                if (!v || !(*v > 0) || !(total > 0)) continue;
                const double sweep = *v / total * 2 * std::numbers::pi;
                const double x1 = cx + radius * std::sin(angle);
                const double y1 = cy - radius * std::cos(angle);
                const double x2 = cx + radius * std::sin(angle + sweep);
                const double y2 = cy - radius * std::cos(angle + sweep);
                std::string path;
                if (sweep >= 2 * std::numbers::pi - 1e-9)
                    path = "M" + fixed(cx) + "," + fixed(cy - radius) + "A" + fixed(radius) + "," +
                           fixed(radius) + " 0 1 1 " + fixed(cx - 0.01) + "," + fixed(cy - radius) +
                           "Z";
                else
                    path = "M" + fixed(cx) + "," + fixed(cy) + "L" + fixed(x1) + "," + fixed(y1) +
                           "A" + fixed(radius) + "," + fixed(radius) + " 0 " +
                           (sweep > std::numbers::pi ? "1" : "0") + " 1 " + fixed(x2) + "," +
                           fixed(y2) + "Z";
                svg += "<path d=\"" + path + "\" fill=\"" + kPalette[c % kPaletteSize] +
                       "\" stroke=\"#fff\"" + data(s, c, *v) + ">" +
                       markTitle(series.name, d_.categories[c], *v) + "</path>\n";
                angle += sweep;
            }
        }
        return svg;
    }

    std::string valueLabel(double v) const {
        const std::string format = plainAttr(o_, "values.dispattr.format", "[general]");
        return formatValue(DataValue{ValueKind::kNumber, numberText(v), v}, format);
    }

    std::string axes(double top, double bottom) const {
        const bool horizontal = kind_.shape == Shape::kBar;
        // The value range: stacked kinds add up each category's values.
        double low = 0;
        double high = 0;
        for (std::size_t c = 0; c < d_.categories.size(); ++c) {
            double up = 0;
            double down = 0;
            for (const GraphData::Series& s : d_.series) {
                if (!s.values[c]) continue;
                const double v = *s.values[c];
                if (kind_.stacked && !s.overlay) {
                    (v >= 0 ? up : down) += v;
                } else {
                    high = std::max(high, v);
                    low = std::min(low, v);
                }
            }
            high = std::max(high, up);
            low = std::min(low, down);
        }
        std::optional<double> xLow;
        std::optional<double> xHigh;
        if (kind_.shape == Shape::kScatter)
            for (const std::string& c : d_.categories) {
                double x = 0;
                if (std::from_chars(c.data(), c.data() + c.size(), x).ec != std::errc()) continue;
                xLow = xLow ? std::min(*xLow, x) : x;
                xHigh = xHigh ? std::max(*xHigh, x) : x;
            }
        const double step = niceStep(high - low, longAttr(o_, "values.majordivisions", 5));
        low = std::floor(low / step) * step;
        high = std::ceil(high / step) * step;
        if (high <= low) high = low + step;

        const std::string valuesLabel = plainAttr(o_, "values.label");
        const std::string categoryLabel = plainAttr(o_, "category.label");
        const double left = 58;
        const double right = w_ - 10.0;
        const double plotTop = top + 6;
        const double plotBottom = bottom - 34;
        if (right - left < 10 || plotBottom - plotTop < 10) return "";
        std::string svg = "<rect x=\"" + fixed(left) + "\" y=\"" + fixed(plotTop) + "\" width=\"" +
                          fixed(right - left) + "\" height=\"" + fixed(plotBottom - plotTop) +
                          "\" fill=\"none\" stroke=\"#808080\"/>\n";
        // Where a value lies: across for bars, down for the rest.
        auto valuePos = [&](double v) {
            const double f = (v - low) / (high - low);
            return horizontal ? left + f * (right - left) : plotBottom - f * (plotBottom - plotTop);
        };
        std::size_t ticks = 0;
        for (double v = low; v <= high + step / 2 && ticks < 50; v += step, ++ticks) {
            const double p = valuePos(v);
            if (horizontal)
                svg += "<line x1=\"" + fixed(p) + "\" y1=\"" + fixed(plotTop) + "\" x2=\"" +
                       fixed(p) + "\" y2=\"" + fixed(plotBottom) + "\" stroke=\"#e0e0e0\"/>\n" +
                       text(p, plotBottom + 12, valueLabel(v), " text-anchor=\"middle\"");
            else
                svg += "<line x1=\"" + fixed(left) + "\" y1=\"" + fixed(p) + "\" x2=\"" +
                       fixed(right) + "\" y2=\"" + fixed(p) + "\" stroke=\"#e0e0e0\"/>\n" +
                       text(left - 4, p + 3, valueLabel(v), " text-anchor=\"end\"");
        }
        if (!valuesLabel.empty() && valuesLabel != "(None)")
            svg += horizontal ? text((left + right) / 2, bottom - 4, valuesLabel,
                                     " text-anchor=\"middle\" font-weight=\"bold\"")
                              : text(12, (plotTop + plotBottom) / 2, valuesLabel,
                                     " text-anchor=\"middle\" font-weight=\"bold\" transform=\""
                                     "rotate(-90 12 " +
                                         fixed((plotTop + plotBottom) / 2) + ")\"");
        if (!categoryLabel.empty() && categoryLabel != "(None)")
            svg += horizontal ? text(12, (plotTop + plotBottom) / 2, categoryLabel,
                                     " text-anchor=\"middle\" font-weight=\"bold\" transform=\""
                                     "rotate(-90 12 " +
                                         fixed((plotTop + plotBottom) / 2) + ")\"")
                              : text((left + right) / 2, bottom - 4, categoryLabel,
                                     " text-anchor=\"middle\" font-weight=\"bold\"");

        const std::size_t n = d_.categories.size();
        if (n == 0) return svg;
        // The category axis: one slot per category (scatter places numbers on a scale).
        const double span = horizontal ? plotBottom - plotTop : right - left;
        const double slot = span / static_cast<double>(n);
        auto categoryPos = [&](std::size_t c) {
            if (kind_.shape == Shape::kScatter && xLow && xHigh) {
                double x = 0;
                const std::string& t = d_.categories[c];
                std::from_chars(t.data(), t.data() + t.size(), x);
                const double f = *xHigh > *xLow ? (x - *xLow) / (*xHigh - *xLow) : 0.5;
                return left + 6 + f * (right - left - 12);
            }
            const double mid = slot * (static_cast<double>(c) + 0.5);
            return horizontal ? plotTop + mid : left + mid;
        };
        const std::size_t every = std::max<std::size_t>(
            1, static_cast<std::size_t>(std::ceil(14.0 * static_cast<double>(n) / span)));
        for (std::size_t c = 0; c < n; c += every)
            svg += horizontal ? text(left - 4, categoryPos(c) + 3, d_.categories[c],
                                     " text-anchor=\"end\"")
                              : text(categoryPos(c), plotBottom + 12, d_.categories[c],
                                     " text-anchor=\"middle\"");

        std::size_t bars = 0;
        for (const GraphData::Series& s : d_.series)
            if (!s.overlay) ++bars;
        const bool barLike = kind_.shape == Shape::kBar || kind_.shape == Shape::kColumn;
        const double group = slot * 0.8;
        const double width = kind_.stacked || bars == 0 ? group : group / static_cast<double>(bars);
        std::vector<double> up(n, 0);
        std::vector<double> down(n, 0);
        std::size_t barIndex = 0;
        for (std::size_t s = 0; s < d_.series.size(); ++s) {
            const GraphData::Series& series = d_.series[s];
            const std::string color = kPalette[s % kPaletteSize];
            if (barLike && !series.overlay) {
                for (std::size_t c = 0; c < n; ++c) {
                    if (!series.values[c]) continue;
                    const double v = *series.values[c];
                    double from = 0;
                    if (kind_.stacked) {
                        double& base = v >= 0 ? up[c] : down[c];
                        from = base;
                        base += v;
                    }
                    const double a = valuePos(std::clamp(from, low, high));
                    const double b = valuePos(std::clamp(from + v, low, high));
                    const double start =
                        categoryPos(c) - group / 2 +
                        (kind_.stacked ? 0 : width * static_cast<double>(barIndex));
                    const std::string place =
                        horizontal ? "x=\"" + fixed(std::min(a, b)) + "\" y=\"" + fixed(start) +
                                         "\" width=\"" + fixed(std::abs(b - a)) + "\" height=\"" +
                                         fixed(width) + "\""
                                   : "x=\"" + fixed(start) + "\" y=\"" + fixed(std::min(a, b)) +
                                         "\" width=\"" + fixed(width) + "\" height=\"" +
                                         fixed(std::abs(b - a)) + "\"";
                    svg += "<rect ";
                    svg += place;
                    svg += " fill=\"" + color + "\" stroke=\"#404040\"" + data(s, c, v) + ">" +
                           markTitle(series.name, d_.categories[c], v) + "</rect>\n";
                }
                ++barIndex;
                continue;
            }
            // Lines, areas, scatter points and overlays: a point per value.
            std::string points;
            std::string marks;
            std::optional<double> firstX;
            double lastX = 0;
            for (std::size_t c = 0; c < n; ++c) {
                if (!series.values[c]) continue;
                const double v = *series.values[c];
                const double across = horizontal ? valuePos(v) : categoryPos(c);
                const double y = horizontal ? categoryPos(c) : valuePos(std::clamp(v, low, high));
                points += (points.empty() ? "" : " ") + fixed(across) + "," + fixed(y);
                if (!firstX) firstX = across;
                lastX = across;
                marks += "<circle cx=\"" + fixed(across) + "\" cy=\"" + fixed(y) +
                         "\" r=\"3\" fill=\"" + color + "\"" + data(s, c, v) + ">" +
                         markTitle(series.name, d_.categories[c], v) + "</circle>\n";
            }
            const std::string base = fixed(valuePos(std::max(low, 0.0)));
            if (kind_.shape == Shape::kArea && !series.overlay && firstX && !horizontal) {
                svg += "<polygon points=\"" + fixed(*firstX) + "," + base + " ";
                svg += points;
                svg += " " + fixed(lastX) + "," + base + "\" fill=\"";
                svg += color;
                svg += "\" fill-opacity=\"0.5\" stroke=\"";
                svg += color;
                svg += "\"/>\n";
            } else if (kind_.shape != Shape::kScatter && !points.empty()) {
                svg += "<polyline points=\"";
                svg += points;
                svg += "\" fill=\"none\" stroke=\"" + color + "\" stroke-width=\"2\"/>\n";
            }
            svg += marks;
        }
        return svg;
    }

    const Object& o_;
    const GraphData& d_;
    GraphKind kind_;
    int w_;
    int h_;
};

}  // namespace

bool aggregateGraph(const Object& graph, const ReportData& rows, std::size_t begin, std::size_t end,
                    GraphData& out, std::string& why) {
    out = GraphData{};
    end = std::min(end, rows.rows.size());
    begin = std::min(begin, end);
    const std::string categoryText = plainAttr(graph, "category");
    const std::string valuesText = plainAttr(graph, "values");
    const std::string seriesText = plainAttr(graph, "series");
    if (categoryText.empty() || valuesText.empty()) {
        why = "the graph declares no category or no values";
        return false;
    }
    for (const std::string* t : {&categoryText, &valuesText, &seriesText})
        if (t->size() > kMaxGraphExpression) {
            why = "a graph attribute longer than " + std::to_string(kMaxGraphExpression) +
                  " characters";
            return false;
        }
    std::vector<std::unique_ptr<Node>> category;
    std::vector<std::unique_ptr<Node>> values;
    std::vector<std::unique_ptr<Node>> series;
    if (!ExpressionParser(categoryText, rows).parseList(category, why) ||
        !ExpressionParser(valuesText, rows).parseList(values, why) ||
        (!seriesText.empty() && !ExpressionParser(seriesText, rows).parseList(series, why)))
        return false;
    if (category.size() != 1 || hasAggregate(*category[0])) {
        why = "the category is not one expression over the rows";
        return false;
    }
    const Evaluator e(rows, begin, end);

    // Series: none (one series), a list of names with one values expression each, or an
    // expression whose value names each row's series.
    const bool named = !series.empty() && std::all_of(series.begin(), series.end(),
                                                      [](const std::unique_ptr<Node>& s) {
                                                          return s->kind == Node::kText;
                                                      });
    std::vector<Val> seriesKeys;
    std::vector<std::size_t> rowSeries(end - begin, 0);
    if (series.empty() || named) {
        if (values.size() != std::max<std::size_t>(series.size(), 1)) {
            why = "the graph has " + std::to_string(values.size()) + " values expressions for " +
                  std::to_string(std::max<std::size_t>(series.size(), 1)) + " series";
            return false;
        }
        if (values.size() > kMaxGraphSeries) {
            why = "more than " + std::to_string(kMaxGraphSeries) + " series";
            return false;
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            seriesKeys.push_back(Val{Val::kText, 0, named ? series[i]->text : std::string()});
    } else {
        if (series.size() != 1 || values.size() != 1 || hasAggregate(*series[0])) {
            why = "the series is neither names nor one expression over the rows";
            return false;
        }
        if (!distinctKeys(*series[0], e, begin, end, kMaxGraphSeries, "series", seriesKeys,
                          rowSeries, why))
            return false;
    }
    std::vector<Val> categoryKeys;
    std::vector<std::size_t> rowCategory;
    if (!distinctKeys(*category[0], e, begin, end, kMaxGraphCategories, "categories", categoryKeys,
                      rowCategory, why))
        return false;
    if (categoryKeys.size() * seriesKeys.size() > kMaxGraphPoints) {
        why = "more than " + std::to_string(kMaxGraphPoints) + " points";
        return false;
    }
    const std::vector<std::size_t> categoryOrder =
        sortedOrder(categoryKeys, longAttr(graph, "category.sort", 0));
    const std::vector<std::size_t> seriesOrder =
        named || series.empty() ? sortedOrder(seriesKeys, 0)
                                : sortedOrder(seriesKeys, longAttr(graph, "series.sort", 0));

    // The rows of each category and series.
    std::vector<std::vector<std::size_t>> groups(categoryKeys.size() * seriesKeys.size());
    for (std::size_t r = begin; r < end; ++r)
        groups[rowCategory[r - begin] * seriesKeys.size() + rowSeries[r - begin]].push_back(r);

    for (std::size_t c : categoryOrder) out.categories.push_back(keyText(categoryKeys[c]));
    constexpr std::string_view kOverlay = "@overlay\t";
    for (std::size_t s : seriesOrder) {
        GraphData::Series drawn;
        drawn.name = keyText(seriesKeys[s]);
        if (named && lowerAscii(drawn.name.substr(0, kOverlay.size())) == kOverlay) {
            drawn.overlay = true;
            drawn.name = drawn.name.substr(kOverlay.size());
        }
        const Node& value = *values[named ? s : 0];
        for (std::size_t c : categoryOrder) {
            const std::vector<std::size_t>& rowsOf =
                groups[c * seriesKeys.size() + (named ? 0 : s)];
            std::optional<double> point;
            if (!rowsOf.empty()) {
                const Val v = e.eval(value, rowsOf.back(), &rowsOf);
                if (v.kind == Val::kNum && std::isfinite(v.n)) point = v.n;
            }
            drawn.values.push_back(point);
        }
        out.series.push_back(std::move(drawn));
    }
    return true;
}

std::optional<std::string> graphSvg(const Object& graph, const ReportData* rows, std::size_t begin,
                                    std::size_t end, int width, int height, std::string& why) {
    const long type = longAttr(graph, "graphtype", 0);
    const std::optional<GraphKind> kind = kindOf(type);
    if (!kind) {
        why = plainAttr(graph, "graphtype").empty()
                  ? "the graph declares no graphtype"
                  : "graph type " + plainAttr(graph, "graphtype") + " is not drawn";
        return std::nullopt;
    }
    if (rows == nullptr) {
        why = "no saved rows to draw the graph from";
        return std::nullopt;
    }
    if (width <= 0 || height <= 0 || width > 100000 || height > 100000) {
        why = "the graph has no drawable size";
        return std::nullopt;
    }
    GraphData data;
    if (!aggregateGraph(graph, *rows, begin, end, data, why)) return std::nullopt;
    return GraphDrawer(graph, data, *kind, width, height).draw();
}

}  // namespace keldrin::dw
