// The source text of a DataWindow, as a report's "source" stream and a library's ".srd"
// entry hold it, parsed into groups and then into a small model.
//
// The text is a release statement and a run of groups:
//   release 6;
//   datawindow(units=0 color=78682240 ...)
//   header(height=0 ) detail(height=948 color="536870912" )
//   table(column=(type=number name=emp_id dbname="employee.emp_id" ) column=(...)
//         retrieve="..." update="employee" )
//   text(band=header text="Name" x="11" y="6" height="52" width="292" font.face="Arial" )
//   column(name=emp_id band=detail id=1 x="457" ... )
// A group is a keyword and a parenthesised list of items. An item is `key=value` or a
// bare value (the `arguments=(("a", number))` pairs and `data(...)` rows have those); a
// value is a word (numbers, names, dotted names), a quoted string or a nested list.
// Quoted strings take '"' or '\'' and the tilde escapes (~" ~' ~~ ~t ~r ~n ~b ~f ~v,
// ~ddd decimal, ~hXX hex, ~oNNN octal); any other character after "~" stands for itself.
//
// The parser never throws: a text that does not follow this shape gives a reason and
// the character offset where it stops. Nesting is bounded (kMaxDepth), and every step
// consumes input, so no text can make it loop or recurse without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/damage.h"

namespace keldrin::dw {

struct Item;

// A value: a word or quoted text (its decoded UTF-8 text), or a nested list.
struct Value {
    std::string text;
    bool quoted = false;
    bool isList = false;
    std::vector<Item> list;

    // The list written back in the source's own shape; the text for a word or a string.
    std::string display() const;
};

struct Item {
    std::string key;  // empty for a bare value
    Value value;
    std::size_t offset = 0;  // where the item starts in the text
};

struct Group {
    std::string keyword;
    std::vector<Item> items;
    std::size_t offset = 0;

    // The first item named `key`, or nullptr.
    const Value* find(std::string_view key) const;
    // Its text (a list's display form), or `fallback` when there is no such item.
    std::string text(std::string_view key, std::string_view fallback = "") const;
};

struct SourceText {
    std::string release;  // "6", "9", "10.5"; empty when the text has no release statement
    std::vector<Group> groups;
};

inline constexpr std::size_t kMaxDepth = 64;

// Parses the UTF-16 text; false and `error` set when it does not parse (its offset
// counts characters from the start of the text).
bool parseSourceText(std::u16string_view text, SourceText& out, Damage& error);

// ---- The model taken from the groups ----

struct TableColumn {
    std::string name;         // may be empty (a blob column)
    std::string type;         // as declared: "char(40)", "number", "decimal(3)", "datetime"
    std::string dbname;       // may be empty
    std::vector<Item> items;  // every attribute of the column=(...) list

    // "char", "number", "decimal", ...: the declared type without its size.
    std::string baseType() const;
};

struct Band {
    std::string name;  // header, detail, summary, footer, header.1, trailer.1, ...
    int height = 0;
    std::string color;
    int groupLevel = 0;                // 1.. for a group's header and trailer, 0 otherwise
    std::vector<std::string> groupBy;  // the group's columns, for group bands
};

struct Object {
    std::string kind;  // text, column, compute, line, rectangle, roundrectangle, ellipse,
                       // bitmap, report, graph, button, groupbox, ...
    std::string name;
    std::string band;
    const Group* group = nullptr;  // every attribute, in the parsed text it points into

    std::string attr(std::string_view key, std::string_view fallback = "") const {
        return group != nullptr ? group->text(key, fallback) : std::string(fallback);
    }
};

// The model keeps pointers into `text.groups`: it owns the parsed text, and copies of a
// DataWindow would point into the copied-from text, so it is not copyable.
struct DataWindow {
    SourceText text;
    const Group* datawindow = nullptr;  // the datawindow(...) group, nullptr when absent
    std::vector<Band> bands;            // in the order the source declares them
    std::vector<TableColumn> columns;
    const Group* table = nullptr;
    std::vector<Object> objects;

    DataWindow() = default;
    DataWindow(const DataWindow&) = delete;
    DataWindow& operator=(const DataWindow&) = delete;

    // The datawindow group's attribute, or `fallback`.
    std::string attr(std::string_view key, std::string_view fallback = "") const {
        return datawindow != nullptr ? datawindow->text(key, fallback) : std::string(fallback);
    }
    const TableColumn* column(std::string_view name) const;
};

// Parses the text and builds the model; false and `error` set when it does not parse.
// A table column may have no name: blob columns in old libraries have none.
bool parseDataWindow(std::u16string_view text, DataWindow& out, Damage& error);

// Source bytes as a report stream or a library entry holds them: UTF-16LE when
// `unicode`, else text in the ANSI code page. The bytes end at the first terminator.
// nullopt when the ANSI bytes do not convert.
std::optional<std::u16string> sourceFromBytes(const std::uint8_t* data, std::size_t size,
                                              bool unicode);

}  // namespace keldrin::dw
