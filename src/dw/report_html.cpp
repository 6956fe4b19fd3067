#include "dw/report_html.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>

#include "base/exceptions.h"
#include "base/text.h"
#include "dw/display_format.h"
#include "dw/report_graph.h"
#include "dw/report_nested.h"
#include "dw/report_output.h"

namespace keldrin::dw {
namespace {

constexpr int kPowerBuilderUnits = 0;
constexpr int kPixels = 1;
constexpr int kThousandthsInch = 2;
constexpr int kThousandthsCm = 3;
constexpr long kTransparentFlag = 0x20000000;
constexpr long kWindowBackground = 0x40000000;
constexpr long kWindowText = 0x02000000;
constexpr long kButtonFace = 0x04000000;
constexpr long kAppWorkspace = 0x08000000;

long toLong(const std::string& text, long fallback = 0) {
    long value = fallback;
    const char* begin = text.data();
    if (!text.empty() && text[0] == '+') ++begin;
    if (std::from_chars(begin, text.data() + text.size(), value).ec != std::errc()) return fallback;
    return value;
}

// An attribute may hold "default~texpression": the page shows the default.
std::string plain(const std::string& text) {
    return text.substr(0, text.find('\t'));
}

// The CSS of an object's font, colours, alignment and border.
std::string objectCss(const Object& o, int units) {
    std::string css;
    std::string face;
    for (char c : plain(o.attr("font.face")))
        if (c != '\'' && c != '\\' && c != ';') face.push_back(c);
    // A face the browser lacks ("MS Sans Serif", "System") falls back to Arial, whose
    // widths are close to the Windows faces the layout was made with; a generic family
    // would be wider and cut the texts short.
    if (!face.empty()) css += "font-family:'" + escapeHtml(face) + "',Arial,sans-serif;";
    const long height = toLong(plain(o.attr("font.height")));
    if (height < 0) css += "font-size:" + std::to_string(-height) + "pt;";
    if (height > 0) css += "font-size:" + std::to_string(toPixels(height, units, false)) + "px;";
    const long weight = toLong(plain(o.attr("font.weight")), 400);
    if (weight != 400) css += "font-weight:" + std::to_string(weight) + ";";
    if (plain(o.attr("font.italic")) == "1") css += "font-style:italic;";
    if (plain(o.attr("font.underline")) == "1") css += "text-decoration:underline;";
    const std::string color = plain(o.attr("color"));
    if (!color.empty()) css += "color:" + cssColor(toLong(color)) + ";";
    const std::string mode = plain(o.attr("background.mode"));
    const std::string background = plain(o.attr("background.color"));
    if (mode != "1" && !background.empty())  // mode 1: transparent
        css += "background:" + cssColor(toLong(background)) + ";";
    static const char* const kAlign[] = {"left", "right", "center", "justify"};
    const long align = toLong(plain(o.attr("alignment")));
    if (align > 0 && align < 4) css += std::string("text-align:") + kAlign[align] + ";";
    switch (toLong(plain(o.attr("border")))) {
        case 1:
            css += "box-shadow:2px 2px 0 #808080;";
            break;
        case 2:
            css += "border:1px solid #000;";
            break;
        case 3:
            css += "border:3px ridge #c0c0c0;";
            break;
        case 4:
            css += "border-bottom:1px solid #000;";
            break;
        case 5:
            css += "border:2px inset #c0c0c0;";
            break;
        case 6:
            css += "border:2px outset #c0c0c0;";
            break;
        default:
            break;
    }
    return css;
}

std::string box(const Object& o, int units) {
    const long x = toLong(plain(o.attr("x")));
    const long y = toLong(plain(o.attr("y")));
    const long w = toLong(plain(o.attr("width")));
    const long h = toLong(plain(o.attr("height")));
    return "left:" + std::to_string(toPixels(x, units, true)) +
           "px;top:" + std::to_string(toPixels(y, units, false)) +
           "px;width:" + std::to_string(toPixels(w, units, true)) +
           "px;height:" + std::to_string(toPixels(h, units, false)) + "px;";
}

// The rows a computed field or a band works on.
struct RowRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// What the reports drawn inside a report may still take, all levels together.
struct NestBudget {
    std::size_t left = kMaxNestedRowsDrawn;
    std::vector<std::string>* notes = nullptr;
    bool spent = false;

    // Takes up to `wanted`; the first refusal leaves a note.
    std::size_t take(std::size_t wanted) {
        const std::size_t given = std::min(wanted, left);
        left -= given;
        if (given < wanted && !spent) {
            spent = true;
            if (notes != nullptr)
                notes->push_back("more than " + std::to_string(kMaxNestedRowsDrawn) +
                                 " frames and rows of nested reports: the rest are not drawn");
        }
        return given;
    }
};

class Renderer {
  public:
    Renderer(const DataWindow& dw, const ReportData* rows, const DropDownRows* dropDowns,
             const std::vector<NestedReport>* nested = nullptr, NestBudget* budget = nullptr,
             std::size_t rowLimit = SIZE_MAX, const PageOptions* options = nullptr)
        : dw_(dw),
          rows_(rows),
          dropDowns_(dropDowns),
          options_(options),
          nested_(nested),
          budget_(budget) {
        units_ = static_cast<int>(toLong(dw.attr("units")));
        for (std::size_t i = 0; i < dw.columns.size(); ++i)
            columnIndex_[lowerAscii(dw.columns[i].name)] = i;
        rowCount_ = std::min(rows_ != nullptr ? rows_->rows.size() : 0, rowLimit);
        // A composite has no rows of its own: its detail band, holding the reports, is
        // drawn once.
        if (isComposite(dw_)) rowCount_ = 1;
        totalRows_ = rowCount_;
    }

    // The page of a report whose detail rows are cut at `rowLimit`: the totals over all
    // rows still count every row, and the page goes to `sink` in pieces (when given).
    void drawRows(std::size_t rowLimit, const TextSink* sink) {
        if (!isComposite(dw_)) {
            totalRows_ = rows_ != nullptr ? rows_->rows.size() : 0;
            rowCount_ = std::min(totalRows_, rowLimit);
        }
        sink_ = sink;
    }

    std::string page(const std::string& title) {
        std::string html =
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escapeHtml(title) +
            "</title>\n<style>\nbody{margin:0;background:#fff}\n"
            ".dw{position:relative;overflow:hidden;font-family:'MS Sans Serif',Arial,sans-serif;"
            "font-size:8pt}\n"
            ".band{position:relative;overflow:hidden}\n"
            ".o{position:absolute;box-sizing:border-box;overflow:hidden;white-space:pre}\n"
            "</style></head>\n<body>\n";
        if (rowCount_ < totalRows_)
            html +=
                "<p class=\"kd-rows-cut\" style=\"margin:4px;font:9pt Arial,sans-serif;"
                "color:#800000\">" +
                std::to_string(rowCount_) + " of " + std::to_string(totalRows_) +
                " rows drawn; --all-rows draws all</p>\n";
        if (sink_ != nullptr) {
            (*sink_)(html);
            html.clear();
        }
        html += body();
        html += "</body></html>\n";
        if (sink_ != nullptr) {
            (*sink_)(html);
            html.clear();
        }
        return html;
    }

    // The DataWindow's bands as one block; height() then tells how tall it is drawn.
    std::string body() {
        long right = 0;
        for (const Object& o : dw_.objects) {
            long edge = toLong(plain(o.attr("x"))) + toLong(plain(o.attr("width")));
            if (o.kind == "line")
                edge = std::max(toLong(plain(o.attr("x1"))), toLong(plain(o.attr("x2"))));
            if (plain(o.attr("visible", "1")) != "0") right = std::max(right, edge);
        }
        const int width = toPixels(right, units_, true);
        // Objects in the background and foreground layers sit over the whole page, not in
        // a band: the page is at least as tall as they reach (a graph DataWindow has
        // nothing else).
        long bottom = 0;
        for (const Object& o : dw_.objects)
            if ((plain(o.band) == "background" || plain(o.band) == "foreground") &&
                plain(o.attr("visible", "1")) != "0")
                bottom =
                    std::max(bottom, toLong(plain(o.attr("y"))) + toLong(plain(o.attr("height"))));
        std::string html = "<div class=\"dw\" style=\"width:" + std::to_string(width) +
                           "px;min-height:" + std::to_string(toPixels(bottom, units_, false)) +
                           "px;background:" + cssColor(toLong(dw_.attr("color"))) + "\">\n";
        minHeight_ = toPixels(bottom, units_, false);
        const std::size_t rowCount = rowCount_;
        const RowRange all{0, std::max(rowCount, totalRows_)};
        html += band("header", all, 0);
        int levels = 0;
        for (const Band& b : dw_.bands) levels = std::max(levels, b.groupLevel);
        std::vector<std::size_t> groupStart(static_cast<std::size_t>(levels) + 1, 0);
        if (rowCount == 0 && options_ != nullptr && options_->emptyRow) {
            for (int level = 1; level <= levels; ++level)
                html += band("header." + std::to_string(level), all, 0);
            html += band("detail", all, 0);
            for (int level = levels; level >= 1; --level)
                html += band("trailer." + std::to_string(level), all, 0);
        }
        for (std::size_t r = 0; r < rowCount; ++r) {
            for (int level = 1; level <= levels; ++level)
                if (r == 0 || groupChanges(level, r)) {
                    // A new group at this level restarts every level below it too.
                    for (int inner = level; inner <= levels; ++inner) {
                        groupStart[inner] = r;
                        html += band("header." + std::to_string(inner),
                                     RowRange{r, groupEnd(inner, r)}, r);
                    }
                    break;
                }
            html += band("detail", RowRange{r, r + 1}, r);
            for (int level = levels; level >= 1; --level)
                if (r + 1 == rowCount || groupChanges(level, r + 1))
                    html += band("trailer." + std::to_string(level),
                                 RowRange{groupStart[level], r + 1}, r);
            if (sink_ != nullptr && html.size() >= kPieceBytes) {
                (*sink_)(html);
                html.clear();
            }
        }
        html += band("summary", all, rowCount == 0 ? 0 : rowCount - 1);
        html += band("footer", all, rowCount == 0 ? 0 : rowCount - 1);
        for (const char* layer : {"background", "foreground"})
            for (const Object& o : dw_.objects)
                if (plain(o.band) == layer) html += object(o, all, 0);
        html += "</div>\n";
        return html;
    }

    int height() const { return std::max(height_, minHeight_); }

  private:
    const Band* findBand(const std::string& name) const {
        for (const Band& b : dw_.bands)
            if (b.name == name) return &b;
        return nullptr;
    }

    const DataValue* value(const std::string& column, std::size_t row) const {
        const auto it = columnIndex_.find(lowerAscii(trimBlanks(column)));
        if (rows_ == nullptr || it == columnIndex_.end() || row >= rows_->rows.size() ||
            it->second >= rows_->rows[row].size())
            return nullptr;
        return &rows_->rows[row][it->second];
    }

    bool groupChanges(int level, std::size_t row) const {
        for (const Band& b : dw_.bands) {
            if (b.groupLevel != level) continue;
            for (const std::string& column : b.groupBy) {
                const DataValue* before = value(column, row - 1);
                const DataValue* now = value(column, row);
                if (before != nullptr && now != nullptr && before->text != now->text) return true;
            }
            return false;
        }
        return false;
    }

    std::size_t groupEnd(int level, std::size_t row) const {
        const std::size_t count = rowCount_;
        std::size_t end = row + 1;
        while (end < count && !groupChanges(level, end)) ++end;
        return end;
    }

    std::string band(const std::string& name, RowRange range, std::size_t row) {
        const Band* b = findBand(name);
        if (b == nullptr || b->height <= 0) return "";
        // A report drawn in the band may make it taller (height.autosize on the report).
        bandBottom_ = 0;
        std::string objects;
        for (const Object& o : dw_.objects)
            if (plain(o.band) == name) objects += object(o, range, row);
        const int pixels = std::max(toPixels(b->height, units_, false), bandBottom_);
        height_ += pixels;
        std::string html = "<div class=\"band\" data-band=\"" + escapeHtml(name) +
                           "\" style=\"height:" + std::to_string(pixels) + "px";
        const std::string color = plain(b->color);
        if (!color.empty()) html += ";background:" + cssColor(toLong(color));
        html += "\">\n" + objects + "</div>\n";
        return html;
    }

    std::string aggregate(const std::string& function, const std::string& column,
                          RowRange range) const {
        double sum = 0;
        std::size_t count = 0;
        std::optional<double> low;
        std::optional<double> high;
        for (std::size_t r = range.begin; r < range.end; ++r) {
            const DataValue* v = value(column, r);
            if (v == nullptr || v->kind == ValueKind::kNull) continue;
            ++count;
            const bool numeric = v->kind == ValueKind::kNumber || v->kind == ValueKind::kLong ||
                                 v->kind == ValueKind::kDecimal;
            if (!numeric) continue;
            sum += v->number;
            low = low ? std::min(*low, v->number) : v->number;
            high = high ? std::max(*high, v->number) : v->number;
        }
        if (function == "count") return std::to_string(count);
        if (function == "sum") return numberText(sum);
        if (function == "avg")
            return count == 0 ? "" : numberText(sum / static_cast<double>(count));
        if (function == "min") return low ? numberText(*low) : "";
        if (function == "max") return high ? numberText(*high) : "";
        return "";
    }

    // What a computed field shows, or nothing for an expression the page does not
    // evaluate.
    std::optional<DataValue> compute(const std::string& expression, RowRange range,
                                     std::size_t row) const {
        const std::string e = trimBlanks(expression);
        if (const DataValue* v = value(e, row)) return *v;
        if (e.size() >= 2 && (e.front() == '"' || e.front() == '\'') && e.back() == e.front())
            return DataValue{ValueKind::kText, e.substr(1, e.size() - 2), 0};
        double number = 0;
        if (std::from_chars(e.data(), e.data() + e.size(), number).ptr == e.data() + e.size() &&
            !e.empty())
            return DataValue{ValueKind::kNumber, e, number};
        const std::string lower = lowerAscii(e);
        if (lower.find("page()") != std::string::npos &&
            lower.find("pagecount()") != std::string::npos)
            return DataValue{ValueKind::kText, "Page 1 of 1", 0};
        const std::size_t open = lower.find('(');
        if (open == std::string::npos || lower.back() != ')') return std::nullopt;
        const std::string function = trimBlanks(lower.substr(0, open));
        if (function != "sum" && function != "count" && function != "avg" && function != "min" &&
            function != "max")
            return std::nullopt;
        std::string inside = lower.substr(open + 1, lower.size() - open - 2);
        std::string scope;
        const std::size_t forAt = inside.find(" for ");
        if (forAt != std::string::npos) {
            scope = trimBlanks(inside.substr(forAt + 5));
            inside = inside.substr(0, forAt);
        }
        const std::string column = trimBlanks(inside);
        if (!columnIndex_.contains(column)) return std::nullopt;
        if (scope == "all")
            range = RowRange{0, std::min(std::max(rowCount_, totalRows_),
                                         rows_ != nullptr ? rows_->rows.size() : 0)};
        else if (!scope.empty() && scope.rfind("group", 0) != 0)
            return std::nullopt;
        const std::string text = aggregate(function, column, range);
        double n = 0;
        std::from_chars(text.data(), text.data() + text.size(), n);
        return DataValue{text.empty() ? ValueKind::kNull : ValueKind::kNumber, text, n};
    }

    std::string object(const Object& o, RowRange range, std::size_t row) {
        if (plain(o.attr("visible", "1")) == "0") return "";
        const std::string place = box(o, units_);
        const std::string css = objectCss(o, units_);
        const std::string name = o.name.empty() ? "" : " data-name=\"" + escapeHtml(o.name) + "\"";
        const std::string open = "<div class=\"o " + o.kind + "\"" + name + " style=\"" + place;
        if (o.kind == "text")
            return open + css + "\">" + escapeHtml(plain(o.attr("text"))) + "</div>\n";
        if (o.kind == "column") {
            // An edit field without a border of its own still shows where it is.
            if (options_ != nullptr && options_->editFields)
                return open + "background:#fff;" + css +
                       (toLong(plain(o.attr("border"))) == 0 ? "border:1px solid #a0a0a0" : "") +
                       "\"></div>\n";
            const long id = toLong(o.attr("id"));
            const DataValue* v = nullptr;
            if (id >= 1 && static_cast<std::size_t>(id) <= dw_.columns.size())
                v = value(dw_.columns[id - 1].name, row);
            else
                v = value(o.name, row);
            std::string shown;
            if (v != nullptr)
                shown = displayText(o, id, *v).value_or(formatValue(*v, plain(o.attr("format"))));
            return open + css + "\">" + escapeHtml(shown) + "</div>\n";
        }
        if (o.kind == "compute") {
            const std::string expression = o.attr("expression");
            std::optional<DataValue> v = compute(expression, range, row);
            if (!v) return open + css + "\" title=\"" + escapeHtml(expression) + "\"></div>\n";
            return open + css + "\">" + escapeHtml(formatValue(*v, plain(o.attr("format")))) +
                   "</div>\n";
        }
        const std::string pen = cssColor(toLong(plain(o.attr("pen.color"))));
        const int penWidth =
            std::max(1, toPixels(toLong(plain(o.attr("pen.width", "1"))), units_, true));
        if (o.kind == "line") {
            const int x1 = toPixels(toLong(plain(o.attr("x1"))), units_, true);
            const int y1 = toPixels(toLong(plain(o.attr("y1"))), units_, false);
            const int x2 = toPixels(toLong(plain(o.attr("x2"))), units_, true);
            const int y2 = toPixels(toLong(plain(o.attr("y2"))), units_, false);
            const int left = std::min(x1, x2);
            const int top = std::min(y1, y2);
            const int w = std::abs(x2 - x1) + penWidth;
            const int h = std::abs(y2 - y1) + penWidth;
            return "<svg class=\"o line\" style=\"left:" + std::to_string(left) +
                   "px;top:" + std::to_string(top) + "px\" width=\"" + std::to_string(w) +
                   "\" height=\"" + std::to_string(h) + "\"><line x1=\"" +
                   std::to_string(x1 - left) + "\" y1=\"" + std::to_string(y1 - top) + "\" x2=\"" +
                   std::to_string(x2 - left) + "\" y2=\"" + std::to_string(y2 - top) +
                   "\" stroke=\"" + pen + "\" stroke-width=\"" + std::to_string(penWidth) +
                   "\"/></svg>\n";
        }
        if (o.kind == "rectangle" || o.kind == "roundrectangle" || o.kind == "ellipse") {
            std::string shape = "border:" + std::to_string(penWidth) + "px solid " + pen +
                                ";background:" + cssColor(toLong(plain(o.attr("brush.color"))));
            if (o.kind == "ellipse") shape += ";border-radius:50%";
            if (o.kind == "roundrectangle") shape += ";border-radius:8px";
            return open + shape + "\"></div>\n";
        }
        if (o.kind == "groupbox")
            return open + css + "border:2px groove #c0c0c0;padding:0 6px\">" +
                   "<span style=\"position:relative;top:-0.7em;background:inherit\">" +
                   escapeHtml(plain(o.attr("text"))) + "</span></div>\n";
        if (o.kind == "button")
            return open + "background:#c0c0c0;border:2px outset #e0e0e0;text-align:center;" + css +
                   "\">" + escapeHtml(plain(o.attr("text"))) + "</div>\n";
        if (o.kind == "graph") {
            // range=0 (the default) graphs every row; any other, the rows of the band.
            const bool everyRow = toLong(plain(o.attr("range", "0"))) == 0;
            const std::size_t rowCount = rows_ != nullptr ? rows_->rows.size() : 0;
            // Over every row it is the same graph wherever it repeats: drawn once.
            const auto drawn = graphs_.find(&o);
            std::pair<std::optional<std::string>, std::string> graph;
            if (everyRow && drawn != graphs_.end()) {
                graph = drawn->second;
            } else {
                graph.first = graphSvg(
                    o, rows_, everyRow ? 0 : range.begin, everyRow ? rowCount : range.end,
                    toPixels(toLong(plain(o.attr("width"))), units_, true),
                    toPixels(toLong(plain(o.attr("height"))), units_, false), graph.second);
                if (everyRow) graphs_.emplace(&o, graph);
            }
            const std::optional<std::string>& svg = graph.first;
            const std::string& why = graph.second;
            const std::string frame =
                open + css +
                "background:" + cssColor(toLong(plain(o.attr("backcolor", "1073741824")))) + ";";
            if (svg) return frame + "\" title=\"graph\">" + *svg + "</div>\n";
            // Not drawn: its frame in its colours, its title and why.
            std::string titleCss;
            const long titleHeight = toLong(plain(o.attr("title.dispattr.font.height")));
            if (titleHeight < 0) titleCss += "font-size:" + std::to_string(-titleHeight) + "pt;";
            titleCss +=
                "font-weight:" +
                std::to_string(toLong(plain(o.attr("title.dispattr.font.weight")), 400)) +
                ";color:" + cssColor(toLong(plain(o.attr("title.dispattr.textcolor", "33554432"))));
            return frame + "text-align:center\" title=\"graph: " + escapeHtml(why) +
                   "\"><span style=\"" + titleCss + "\">" + escapeHtml(plain(o.attr("title"))) +
                   "</span><div class=\"kd-graph-note\" style=\"font-size:8pt;color:#808080\">" +
                   escapeHtml(why) + "</div></div>\n";
        }
        if (o.kind == "report") {
            if (std::optional<std::string> drawn = nestedReport(o, row, css)) return *drawn;
        }
        // Pictures, nested reports not read and the rest: their frame, named.
        std::string what = o.kind;
        for (const char* key : {"filename", "dataobject", "title"})
            if (!o.attr(key).empty()) what += ": " + plain(o.attr(key));
        if (o.kind == "report" && options_ != nullptr && options_->nested)
            if (std::optional<std::string> inside = options_->nested(o))
                return open + "border:1px solid #808080\" title=\"" + escapeHtml(what) + "\">" +
                       *inside + "</div>\n";
        return open + "border:1px dashed #808080\" title=\"" + escapeHtml(what) + "\"></div>\n";
    }

    // A nested report in its frame, with the rows saved for `row`; nothing when it was not
    // read (its frame is drawn empty, and a note has said why).
    std::optional<std::string> nestedReport(const Object& o, std::size_t row,
                                            const std::string& css) {
        const NestedReport* report = nested_ != nullptr ? findNested(*nested_, o) : nullptr;
        if (report == nullptr || !report->dw || budget_ == nullptr || budget_->take(1) == 0)
            return std::nullopt;
        const auto it = report->rows.find(row);
        const ReportData* rows = it != report->rows.end() ? &it->second : nullptr;
        const std::size_t limit = budget_->take(rows != nullptr ? rows->rows.size() : 0);
        Renderer inner(*report->dw, rows, nullptr, &report->inner, budget_, limit);
        const std::string content = inner.body();
        const long y = toLong(plain(o.attr("y")));
        int frameHeight = toPixels(toLong(plain(o.attr("height"))), units_, false);
        if (plain(o.attr("height.autosize")) == "yes")
            frameHeight = std::max(frameHeight, inner.height());
        bandBottom_ = std::max(bandBottom_, toPixels(y, units_, false) + frameHeight);
        const long x = toLong(plain(o.attr("x")));
        const long w = toLong(plain(o.attr("width")));
        const std::string name = o.name.empty() ? "" : " data-name=\"" + escapeHtml(o.name) + "\"";
        return "<div class=\"o report\"" + name + " data-dataobject=\"" +
               escapeHtml(report->dataObject) +
               "\" style=\"left:" + std::to_string(toPixels(x, units_, true)) +
               "px;top:" + std::to_string(toPixels(y, units_, false)) +
               "px;width:" + std::to_string(toPixels(w, units_, true)) +
               "px;height:" + std::to_string(frameHeight) + "px;" + css +
               // The frame's own white-space (pre) would make lines of the line ends
               // between the bands.
               "white-space:normal\">\n" + content + "</div>\n";
    }

    // The text a column shows for `v` in place of its value, if any.
    std::optional<std::string> displayText(const Object& o, long id, const DataValue& v) const {
        if (dropDowns_ != nullptr)
            if (const auto it = dropDowns_->find(id); it != dropDowns_->end()) {
                const ReportData& list = it->second;
                std::optional<std::size_t> data;
                std::optional<std::size_t> display;
                for (std::size_t i = 0; i < list.columns.size(); ++i) {
                    if (list.columns[i].name == plain(o.attr("dddw.datacolumn"))) data = i;
                    if (list.columns[i].name == plain(o.attr("dddw.displaycolumn"))) display = i;
                }
                if (data && display)
                    for (const std::vector<DataValue>& row : list.rows)
                        if (row[*data].text == v.text) return row[*display].text;
                return std::nullopt;
            }
        const bool codeTable = !o.attr("radiobuttons.columns").empty() ||
                               !o.attr("ddlb.limit").empty() ||
                               plain(o.attr("edit.codetable")) == "yes";
        if (!codeTable || id < 1 || static_cast<std::size_t>(id) > dw_.columns.size())
            return std::nullopt;
        std::string values;
        for (const Item& item : dw_.columns[id - 1].items)
            if (item.key == "values") values = item.value.text;
        // "&Active<tab>A/&Terminated<tab>T/...": display text, tab, data value; "&" marks
        // an accelerator key.
        for (std::size_t start = 0; start < values.size();) {
            std::size_t end = values.find('/', start);
            if (end == std::string::npos) end = values.size();
            const std::string pair = values.substr(start, end - start);
            const std::size_t tab = pair.find('\t');
            if (tab != std::string::npos && pair.substr(tab + 1) == v.text) {
                std::string shown;
                for (char c : pair.substr(0, tab))
                    if (c != '&') shown.push_back(c);
                return shown;
            }
            start = end + 1;
        }
        return std::nullopt;
    }

    const DataWindow& dw_;
    const ReportData* rows_;
    const DropDownRows* dropDowns_;
    const PageOptions* options_;
    const std::vector<NestedReport>* nested_;
    NestBudget* budget_;
    std::size_t rowCount_ = 0;   // rows drawn
    std::size_t totalRows_ = 0;  // rows the totals over all rows count
    const TextSink* sink_ = nullptr;
    int height_ = 0;      // pixels: the bands drawn so far
    int minHeight_ = 0;   // pixels: what the background and foreground layers reach
    int bandBottom_ = 0;  // pixels: the lowest report drawn in the current band
    int units_ = kPowerBuilderUnits;
    std::map<std::string, std::size_t> columnIndex_;
    std::map<const Object*, std::pair<std::optional<std::string>, std::string>> graphs_;
};

}  // namespace

int toPixels(long value, int units, bool across) {
    double pixels = static_cast<double>(value);
    switch (units) {
        case kPixels:
            break;
        case kThousandthsInch:
            pixels = pixels * 96 / 1000;
            break;
        case kThousandthsCm:
            pixels = pixels * 96 / 2540;
            break;
        default:
            pixels = across ? pixels * 7 / 32 : pixels / 4;
            break;
    }
    return static_cast<int>(std::lround(pixels));
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string cssColor(long value) {
    const auto v = static_cast<unsigned long>(value) & 0xFFFFFFFFul;
    if ((v & kTransparentFlag) != 0) return "transparent";
    if ((v & kWindowBackground) != 0) return "#ffffff";
    if ((v & kWindowText) != 0) return "#000000";
    if ((v & kButtonFace) != 0) return "#c0c0c0";
    if ((v & kAppWorkspace) != 0) return "#808080";
    char text[8];
    std::snprintf(text, sizeof text, "#%02lx%02lx%02lx", v & 0xFF, (v >> 8) & 0xFF,
                  (v >> 16) & 0xFF);
    return text;
}

std::string renderHtml(const DataWindow& dw, const ReportData* rows, const std::string& title,
                       const DropDownRows* dropDowns, const std::vector<NestedReport>* nested,
                       std::vector<std::string>* notes) {
    NestBudget budget;
    budget.notes = notes;
    return Renderer(dw, rows, dropDowns, nested, &budget).page(title);
}

std::string renderHtml(const DataWindow& dw, const std::string& title, const PageOptions& options) {
    return Renderer(dw, nullptr, nullptr, nullptr, nullptr, SIZE_MAX, &options).page(title);
}

std::string renderElement(const DataWindow& dw, const PageOptions& options) {
    return Renderer(dw, nullptr, nullptr, nullptr, nullptr, SIZE_MAX, &options).body();
}

int writeReportHtml(PsrContainer& container, std::string& out, std::vector<std::string>& notes,
                    const std::string& title, std::size_t rowLimit) {
    return writeReportHtml(
        container, [&](std::string_view piece) { out += piece; }, notes, title, rowLimit);
}

int writeReportHtml(PsrContainer& container, const TextSink& out, std::vector<std::string>& notes,
                    const std::string& title, std::size_t rowLimit) {
    DataWindow dw;
    ReportData rows;
    bool hasRows = false;
    if (!readMainDataWindow(container, dw, rows, hasRows, notes)) return kDataFailed;
    // Drop-down rows are in "neststg/datadddw_0_ID_0", ID the column's (as in every
    // sample); they carry their own column names, which is all the lookup needs.
    DropDownRows dropDowns;
    for (const Object& o : dw.objects) {
        if (o.kind != "column" || o.attr("dddw.name").empty()) continue;
        const std::string stream = "neststg/datadddw_0_" + o.attr("id") + "_0";
        Bytes bytes;
        try {
            container.readStream(utf8ToUtf16(stream), bytes);
        } catch (const NotFoundException&) {
            continue;
        } catch (const IOException&) {
            continue;
        } catch (const NotSupportedFormatException&) {
            continue;
        }
        ReportData list;
        Damage damage;
        if (decodeReportData(bytes, stream, nullptr, list, damage))
            dropDowns[toLong(o.attr("id"))] = std::move(list);
    }
    if (hasRows) notes.insert(notes.end(), rows.notes.begin(), rows.notes.end());
    std::vector<NestedReport> nested;
    const bool nestedWhole =
        loadNestedReports(container, dw, hasRows ? rows.rows.size() : 0, nested, notes);
    const std::size_t noted = notes.size();
    NestBudget budget;
    budget.notes = &notes;
    Renderer renderer(dw, hasRows ? &rows : nullptr, &dropDowns, &nested, &budget);
    renderer.drawRows(rowLimit, &out);
    renderer.page(title);
    const bool whole = hasRows && !rows.partial() && nestedWhole && notes.size() == noted;
    return whole ? kDataComplete : kDataPartial;
}

}  // namespace keldrin::dw
