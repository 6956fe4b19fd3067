// A graph object drawn from the saved rows: its values gathered per category and series
// as the DataWindow declares them, then drawn as inline SVG.
//
// graphtype (as PowerBuilder numbers them; docs/psr-data.md gives the evidence):
//   1 area, 2 bar, 3 bar 3D, 4 bar 3D objects, 5 stacked bar, 6 stacked bar 3D objects,
//   7 column, 8 column 3D, 9 column 3D objects, 10 stacked column, 11 stacked column 3D
//   objects, 12 line, 13 pie, 14 scatter, 15 area 3D, 16 line 3D, 17 pie 3D.
// The 3D kinds are drawn flat.
//
// category, series and values are DataWindow expressions. values is one expression, or
// one per series when series is a list of quoted names ("Salaries", "@overlay~tAverage");
// a name starting "@overlay" and a tab is drawn as a line over the bars. An expression may
// use columns, numbers, quoted text, + - * /, comparisons, and/or/not, if(c, a, b) and
// sum/count/avg/min/max(x [for graph|all]): "for graph" is over the rows of one category
// and series, without a range over all the rows the graph shows. A values expression with
// no aggregate takes the value of the last row of its category and series.
//
// Every drawn data point is one element with class "kd-mark": a rect for bars and columns,
// a circle for line, area and scatter points and overlays, a path for a pie slice.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dw/dw_source.h"
#include "dw/report_data.h"

namespace keldrin::dw {

// What one graph is drawn from.
struct GraphData {
    struct Series {
        std::string name;
        bool overlay = false;
        std::vector<std::optional<double>> values;  // one per category; nullopt: no point
    };
    std::vector<std::string> categories;
    std::vector<Series> series;
};

// Bounds on what one graph gathers: beyond them it is not drawn.
inline constexpr std::size_t kMaxGraphCategories = 1000;
inline constexpr std::size_t kMaxGraphSeries = 64;
inline constexpr std::size_t kMaxGraphPoints = 10000;
inline constexpr std::size_t kMaxGraphExpression = 4096;  // characters of one attribute

// Gathers the graph's values from rows [begin, end) of `rows`, whose columns are named by
// the stream (or the DataWindow's table). False with `why` when an attribute is missing,
// does not parse, uses what the page does not evaluate, or exceeds the bounds above.
bool aggregateGraph(const Object& graph, const ReportData& rows, std::size_t begin, std::size_t end,
                    GraphData& out, std::string& why);

// The SVG for a graph `width` x `height` pixels, or nullopt with `why` when its type is
// not drawn or its values cannot be gathered.
std::optional<std::string> graphSvg(const Object& graph, const ReportData* rows, std::size_t begin,
                                    std::size_t end, int width, int height, std::string& why);

}  // namespace keldrin::dw
