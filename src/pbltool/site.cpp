// keldrin-pbl site: an application's libraries as a static site of plain HTML pages, read
// from their sources (src/script) without PowerBuilder: an index, an overview, a page per
// object and a drawing per DataWindow (src/dw). No page runs script and every link is
// relative, so the site reads the same from a folder, a zip or any static host.
//
// Page names come from the entries' names made safe (ASCII letters, digits, "_", "-" and
// "." only, lower case, numbered when two names fold to one), so no name a library holds
// can reach outside the site or land on another object's page.
//
// The site is written whole into a new directory beside OUT_DIR and takes OUT_DIR's
// place by rename: a run that fails or is stopped leaves OUT_DIR as it was. An existing
// OUT_DIR is replaced only when it is empty or an earlier site (it holds kMarker), so a
// mistyped directory is never removed.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/replacement_file.h"
#include "base/text.h"
#include "dw/dw_preview.h"
#include "dw/report_html.h"
#include "pbl/export_file.h"
#include "pbltool/application_load.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/scan.h"
#include "pbltool/text.h"
#include "script/application.h"

namespace keldrin::tool {
namespace {

constexpr std::u16string_view kMarker = u"keldrin-site.txt";
// A source longer than this is shown up to here on its page, with a note: the page of a
// 10 MB script stays a page a browser opens.
constexpr std::size_t kMaxShownSourceBytes = std::size_t{2} << 20;
constexpr std::size_t kMaxShownLines = 40000;
// How far the page follows an ancestor chain (a cycle stops it sooner).
constexpr std::size_t kMaxChain = 64;
constexpr std::size_t kMaxTableBytes = std::size_t{256} << 10;
constexpr std::size_t kLargestShown = 25;
constexpr std::size_t kMaxControlIndent = 24;
// What a page lists of the places that use its object.
constexpr std::size_t kMaxUsesShown = 500;

// HTML text with control bytes shown as \xHH: a NUL in a source is no character a page
// may hold.
std::string esc(std::string_view text) {
    std::string out = dw::escapeHtml(text);
    if (std::none_of(out.begin(), out.end(), [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7F;
        }))
        return out;
    std::string shown;
    for (char c : out) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\n') || u == 0x7F) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            shown += "\\x";
            shown.push_back(kHex[u >> 4]);
            shown.push_back(kHex[u & 15]);
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

using Loaded = LoadedApplication;

// References cut to one per name and kind: the pages say who uses an object, not every
// line, and the model of a large application stays small.
void thinReferences(script::ObjectModel& model) {
    std::unordered_set<std::string> seen;
    std::vector<script::Reference> kept;
    for (script::Reference& r : model.references) {
        std::string key = script::foldName(r.name);
        key.push_back(static_cast<char>('0' + static_cast<int>(r.kind)));
        if (seen.insert(std::move(key)).second) kept.push_back(std::move(r));
    }
    model.references = std::move(kept);
}

Loaded load(ToolContext& context, const std::vector<std::u16string>& libraries, bool progress) {
    LoadOptions options;
    options.trim = thinReferences;
    // A site without one of its libraries would look whole and be wrong.
    options.unreadableLibrary = "no site is written";
    options.progress = progress;
    return loadApplication(context, libraries, options);
}

// A page name from an entry name: only characters every file system and URL take as
// they are, lower case so that names differing in case alone are told apart below.
std::string safeStem(std::string_view entry) {
    std::string out;
    for (char c : entry) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || c == '_' || c == '-')
            out.push_back(static_cast<char>(std::tolower(u)));
        else if (c == '.' && !out.empty())
            out.push_back('.');
        else
            out.push_back('_');
        if (out.size() >= 80) break;
    }
    if (out.empty()) out = "_";
    return out;
}

class PageNames {
  public:
    std::string take(std::string_view entry) {
        const std::string stem = safeStem(entry);
        std::string name = stem + ".html";
        for (int n = 2; !taken_.insert(name).second; ++n)
            name = stem + "-" + std::to_string(n) + ".html";
        return name;
    }

  private:
    std::set<std::string> taken_;
};

// ---- PowerScript highlighting -------------------------------------------------------

// One line of source as HTML. `inComment`: inside a /* */ comment, carried from line to
// line; strings end with their line.
std::string highlightLine(std::string_view line, bool& inComment) {
    std::string out;
    std::size_t i = 0;
    const std::size_t n = line.size();
    auto span = [&out](const char* cls, std::string_view text) {
        out += "<span class=\"";
        out += cls;
        out += "\">";
        out += esc(text);
        out += "</span>";
    };
    while (i < n) {
        if (inComment) {
            const std::size_t close = line.find("*/", i);
            const std::size_t end = close == std::string_view::npos ? n : close + 2;
            span("c", line.substr(i, end - i));
            if (close != std::string_view::npos) inComment = false;
            i = end;
            continue;
        }
        const char c = line[i];
        if (c == '/' && i + 1 < n && line[i + 1] == '/') {
            span("c", line.substr(i));
            break;
        }
        if (c == '/' && i + 1 < n && line[i + 1] == '*') {
            inComment = true;
            const std::size_t close = line.find("*/", i + 2);
            const std::size_t end = close == std::string_view::npos ? n : close + 2;
            span("c", line.substr(i, end - i));
            if (close != std::string_view::npos) inComment = false;
            i = end;
            continue;
        }
        if (c == '"' || c == '\'') {
            std::size_t j = i + 1;
            while (j < n && line[j] != c) j += line[j] == '~' ? 2 : 1;
            const std::size_t end = std::min(n, j + 1);
            span("s", line.substr(i, end - i));
            i = end;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (std::isalpha(u) != 0 || c == '_') {
            std::size_t j = i;
            while (j < n &&
                   (std::isalnum(static_cast<unsigned char>(line[j])) != 0 || line[j] == '_' ||
                    line[j] == '$' || line[j] == '#' || line[j] == '%' || line[j] == '-'))
                ++j;
            // A hyphen belongs to a name only between letters (PowerScript's a-b names).
            while (j > i + 1 && line[j - 1] == '-') --j;
            const std::string_view word = line.substr(i, j - i);
            if (script::isKeyword(word))
                span("k", word);
            else
                out += esc(word);
            i = j;
            continue;
        }
        std::size_t j = i + 1;
        while (j < n && line[j] != '/' && line[j] != '"' && line[j] != '\'' &&
               std::isalpha(static_cast<unsigned char>(line[j])) == 0 && line[j] != '_')
            ++j;
        out += esc(line.substr(i, j - i));
        i = j;
    }
    return out;
}

std::string highlightedSource(std::string_view text, std::string& note) {
    std::string out = "<pre class=\"src\">";
    bool inComment = false;
    std::size_t lineNo = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lineNo;
        if (start >= kMaxShownSourceBytes || lineNo > kMaxShownLines) {
            note = "the source is shown up to line " + std::to_string(lineNo - 1) + " of " +
                   std::to_string(
                       1 +
                       static_cast<std::size_t>(std::count(
                           text.begin() + static_cast<std::ptrdiff_t>(start), text.end(), '\n')) +
                       lineNo - 1);
            break;
        }
        const std::string number = std::to_string(lineNo);
        out += "<span class=\"l\" id=\"L";
        out += number;
        out += "\"><a class=\"n\" href=\"#L";
        out += number;
        out += "\">";
        out += number;
        out += "</a>";
        out += highlightLine(line, inComment);
        out += "</span>\n";
        start = end + 1;
    }
    out += "</pre>\n";
    return out;
}

// ---- DataWindow sources -------------------------------------------------------------

struct TableColumn {
    std::string name;
    std::string type;
    std::string dbname;
};

struct TablePart {
    std::string text;
    std::string retrieve;
    std::vector<TableColumn> columns;
};

// The value after `key=` at `at` in a table part: a quoted value to its closing quote
// (~" inside), or a bare one to a space or a closing parenthesis (balanced for char(10)).
std::string valueAt(std::string_view text, std::size_t at) {
    if (at < text.size() && text[at] == '"') {
        std::string out;
        for (std::size_t i = at + 1; i < text.size(); ++i) {
            if (text[i] == '~' && i + 1 < text.size()) {
                out.push_back(text[++i]);
                continue;
            }
            if (text[i] == '"') break;
            out.push_back(text[i]);
        }
        return out;
    }
    std::size_t i = at;
    int depth = 0;
    while (i < text.size() && text[i] != ' ' && text[i] != '\n' && text[i] != '\r' &&
           !(text[i] == ')' && depth == 0)) {
        depth += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
        ++i;
    }
    return std::string(text.substr(at, i - at));
}

std::string valueOf(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while ((at = text.find(key, at)) != std::string_view::npos) {
        const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '(';
        if (starts && at + key.size() < text.size() && text[at + key.size()] == '=')
            return valueAt(text, at + key.size() + 1);
        at += key.size();
    }
    return {};
}

// The `table(...)` part of a DataWindow's source: its columns and its retrieve.
TablePart tablePart(std::string_view source) {
    TablePart part;
    std::size_t start = source.find("\ntable(");
    if (start == std::string_view::npos) return part;
    ++start;
    // The part runs on over lines that start with a space, as the painter writes it.
    std::size_t end = start;
    while (end < source.size()) {
        const std::size_t eol = source.find('\n', end);
        if (eol == std::string_view::npos) {
            end = source.size();
            break;
        }
        end = eol + 1;
        if (end >= source.size() || (source[end] != ' ' && source[end] != '\t')) break;
    }
    end = std::min(end, start + kMaxTableBytes);
    const std::string_view table = source.substr(start, end - start);
    part.text = std::string(table);
    part.retrieve = valueOf(table, "retrieve");
    std::size_t at = 0;
    while ((at = table.find("column=(", at)) != std::string_view::npos) {
        at += 8;
        std::size_t close = at;
        int depth = 1;
        bool quoted = false;
        while (close < table.size() && depth > 0) {
            const char c = table[close];
            if (c == '~')
                ++close;
            else if (c == '"')
                quoted = !quoted;
            else if (!quoted && c == '(')
                ++depth;
            else if (!quoted && c == ')')
                --depth;
            ++close;
        }
        const std::string_view column = table.substr(at, close - at);
        part.columns.push_back(
            {valueOf(column, "name"), valueOf(column, "type"), valueOf(column, "dbname")});
        at = close;
    }
    return part;
}

// ---- Pages ---------------------------------------------------------------------------

const char* kStyle = R"(body{font-family:sans-serif;margin:1em 2em;color:#222}
a{color:#0645ad}
nav{margin-bottom:1em}
table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
pre.src{background:#f8f8f8;border:1px solid #ddd;padding:4px;overflow:auto}
pre.src .n{display:inline-block;width:4em;color:#999;text-decoration:none;user-select:none}
.k{color:#00a;font-weight:bold}
.s{color:#a11}
.c{color:#070;font-style:italic}
.note{background:#fff4d6;border:1px solid #e0c060;padding:4px}
.missing{color:#a00}
iframe{width:100%;height:30em;border:1px solid #ccc}
)";

// `body`: attributes of the body element, for the object pages' library and entry, which
// checks of the site read.
std::string pageHead(const std::string& title, const std::string& root,
                     const std::string& body = std::string()) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
           esc(title) + "</title>\n<link rel=\"stylesheet\" href=\"" + root +
           "style.css\"></head>\n<body" + body + ">\n<nav><a href=\"" + root +
           "index.html\">Index</a> | <a href=\"" + root + "overview.html\">Overview</a></nav>\n";
}

const char* kPageEnd = "</body></html>\n";

class SiteWriter {
  public:
    explicit SiteWriter(std::u16string directory) : directory_(std::move(directory)) {}

    void write(const std::u16string& relative, const std::string& content) {
        std::u16string target = directory_;
        std::size_t start = 0;
        while (true) {
            const std::size_t slash = relative.find(u'/', start);
            target = path::join(target, relative.substr(start, slash - start));
            if (slash == std::u16string::npos) break;
            start = slash + 1;
        }
        // The site's own new directory, which no one else writes in. A site is cheap to
        // make again, so its pages are not waited onto the disk, as `export` does not wait
        // for its files without --sync.
        writeNewFile(
            target,
            std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
            fs::Durability::kNone);
        ++pages_;
    }
    std::size_t pages() const { return pages_; }

  private:
    std::u16string directory_;
    std::size_t pages_ = 0;
};

struct UseRow {
    std::size_t object;
    std::uint32_t line;
    std::string how;
};

class Site {
  public:
    Site(ToolContext& context, Loaded& loaded, SiteWriter& writer, bool progress)
        : context_(context),
          loaded_(loaded),
          app_(loaded.app),
          writer_(writer),
          progress_(progress) {
        PageNames names;
        PageNames dwNames;
        for (const script::AppObject& o : app_.objects()) {
            pages_.push_back(names.take(o.model.entry));
            dwPages_.push_back(o.model.kind == script::ObjectKind::DataWindow
                                   ? dwNames.take(o.model.entry)
                                   : std::string());
        }
        children_.resize(app_.objects().size());
        uses_.resize(app_.objects().size());
        for (std::size_t i = 0; i < app_.objects().size(); ++i) {
            const script::AppObject& o = app_.objects()[i];
            auto use = [&](std::string_view name, std::uint32_t line, std::string how) {
                const std::optional<std::size_t> target = app_.find(name);
                if (target && *target != i) uses_[*target].push_back({i, line, std::move(how)});
            };
            if (!o.model.ancestor.empty()) {
                const std::optional<std::size_t> parent = app_.find(o.model.ancestor);
                if (parent && *parent != i) children_[*parent].push_back(i);
            }
            for (const script::TypeDecl& c : o.model.controls)
                use(c.ancestor, c.line, "control " + c.name);
            for (const script::Variable& v : o.model.variables)
                use(v.type, v.line, "variable " + v.name);
            for (const script::Reference& r : o.model.references)
                use(r.name, r.line, script::refKindName(r.kind));
        }
    }

    void writeAll() {
        writer_.write(u"style.css", kStyle);
        writer_.write(std::u16string(kMarker),
                      "Written by keldrin-pbl site. `keldrin-pbl site` replaces this "
                      "directory whole when it makes the site again.\n");
        writeIndex();
        writeOverview();
        for (std::size_t i = 0; i < app_.objects().size(); ++i) {
            writeObject(i);
            if (progress_ && (i % 50 == 0 || i + 1 == app_.objects().size()))
                std::fprintf(context_.io.err, "\rwrote %zu of %zu pages", i + 1,
                             app_.objects().size());
        }
        if (progress_) std::fprintf(context_.io.err, "\n");
    }

    std::size_t notes() const { return notes_; }

  private:
    std::string link(std::size_t object, const std::string& root) const {
        const script::AppObject& o = app_.objects()[object];
        return "<a href=\"" + root + "o/" + pages_[object] + "\">" + esc(o.model.name) + "</a>";
    }

    // A name as a link to the object it stands for, or as text (system, missing).
    std::string nameLink(std::string_view name, const std::string& root) const {
        if (name.empty()) return "-";
        if (const std::optional<std::size_t> o = app_.find(name)) return link(*o, root);
        if (script::isSystemClass(name)) return esc(name) + " (system)";
        return "<span class=\"missing\">" + esc(name) + " (missing)</span>";
    }

    std::string libraryName(std::size_t object) const {
        return app_.libraries()[app_.objects()[object].library];
    }

    void writeIndex() {
        std::string page = pageHead("Index", "");
        page += "<h1>Libraries</h1>\n<ul>\n";
        std::vector<std::size_t> perLibrary(app_.libraries().size());
        for (const script::AppObject& o : app_.objects()) ++perLibrary[o.library];
        for (std::size_t l = 0; l < app_.libraries().size(); ++l)
            page += "<li>" + esc(app_.libraries()[l]) + " (" + std::to_string(perLibrary[l]) +
                    " objects)</li>\n";
        page += "</ul>\n<h1>Objects by kind</h1>\n";
        std::map<std::string, std::vector<std::size_t>> byKind;
        for (std::size_t i = 0; i < app_.objects().size(); ++i)
            byKind[script::kindName(app_.objects()[i].model.kind)].push_back(i);
        for (auto& [kind, objects] : byKind) {
            std::sort(objects.begin(), objects.end(), [this](std::size_t a, std::size_t b) {
                return script::foldName(app_.objects()[a].model.name) <
                       script::foldName(app_.objects()[b].model.name);
            });
            page += "<h2>" + esc(kind) + " (" + std::to_string(objects.size()) + ")</h2>\n<ul>\n";
            for (std::size_t i : objects) {
                page += "<li>" + link(i, "") + " <small>" + esc(libraryName(i));
                if (app_.objects()[i].shadowedBy) page += ", shadowed";
                page += "</small></li>\n";
            }
            page += "</ul>\n";
        }
        page += kPageEnd;
        writer_.write(u"index.html", page);
    }

    void writeOverview() {
        std::string page = pageHead("Overview", "");
        page +=
            "<h1>Overview</h1>\n<h2>Objects by "
            "kind</h2>\n<table>\n<tr><th>Kind</th><th>Objects</th></tr>\n";
        std::map<std::string, std::size_t> counts;
        for (const script::AppObject& o : app_.objects()) ++counts[script::kindName(o.model.kind)];
        for (const auto& [kind, count] : counts)
            page += "<tr><td>" + esc(kind) + "</td><td>" + std::to_string(count) + "</td></tr>\n";
        page += "<tr><th>all</th><th>" + std::to_string(app_.objects().size()) +
                "</th></tr>\n</table>\n";

        std::vector<std::size_t> order(app_.objects().size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            return app_.objects()[a].model.lines > app_.objects()[b].model.lines;
        });
        page +=
            "<h2>The largest "
            "objects</h2>\n<table>\n<tr><th>Object</th><th>Library</th><th>Lines</th></tr>\n";
        for (std::size_t k = 0; k < std::min(order.size(), kLargestShown); ++k)
            page += "<tr><td>" + link(order[k], "") + "</td><td>" + esc(libraryName(order[k])) +
                    "</td><td>" + std::to_string(app_.objects()[order[k]].model.lines) +
                    "</td></tr>\n";
        page +=
            "</table>\n<h2>External "
            "functions</h2>\n<table>\n<tr><th>Function</th><th>Returns</th><th>Library</"
            "th><th>Declared in</th></tr>\n";
        for (std::size_t i = 0; i < app_.objects().size(); ++i)
            for (const script::ExternalFunction& f : app_.objects()[i].model.externals)
                page += "<tr><td>" + esc(f.name) + "</td><td>" +
                        esc(f.returnType.empty() ? "(subroutine)" : f.returnType) + "</td><td>" +
                        esc(f.library) + "</td><td>" + link(i, "") + "</td></tr>\n";
        page += "</table>\n<h2>Missing ancestors</h2>\n";
        const auto missing = app_.missingAncestors();
        if (missing.empty())
            page += "<p>None: every ancestor is in the libraries or is a system class.</p>\n";
        else {
            page += "<table>\n<tr><th>Ancestor</th><th>Objects that name it</th></tr>\n";
            for (const auto& [name, count] : missing)
                page += "<tr><td class=\"missing\">" + esc(name) + "</td><td>" +
                        std::to_string(count) + "</td></tr>\n";
            page += "</table>\n";
        }
        if (!app_.notes().empty()) {
            page += "<h2>Notes</h2>\n<ul>\n";
            for (const std::string& note : app_.notes()) page += "<li>" + esc(note) + "</li>\n";
            page += "</ul>\n";
        }
        page += kPageEnd;
        writer_.write(u"overview.html", page);
    }

    std::string chain(std::size_t object) const {
        std::string out = "<ol class=\"chain\">\n";
        std::vector<bool> seen(app_.objects().size());
        seen[object] = true;
        std::string name = app_.objects()[object].model.ancestor;
        for (std::size_t depth = 0; !name.empty() && depth < kMaxChain; ++depth) {
            const std::optional<std::size_t> next = app_.find(name);
            out += "<li>" + nameLink(name, "../") + "</li>\n";
            if (!next) break;
            if (seen[*next]) {
                out += "<li class=\"missing\">(a cycle: the chain comes back here)</li>\n";
                break;
            }
            seen[*next] = true;
            name = app_.objects()[*next].model.ancestor;
        }
        return out + "</ol>\n";
    }

    std::string controlTree(const script::ObjectModel& m) const {
        if (m.controls.empty()) return "<p>No controls.</p>\n";
        const std::vector<std::ptrdiff_t> parents = script::controlParents(m);
        std::vector<std::vector<std::size_t>> kids(m.controls.size());
        std::vector<std::size_t> roots;
        for (std::size_t i = 0; i < parents.size(); ++i) {
            if (parents[i] < 0 || static_cast<std::size_t>(parents[i]) >= m.controls.size())
                roots.push_back(i);
            else
                kids[static_cast<std::size_t>(parents[i])].push_back(i);
        }
        std::string out = "<ul class=\"controls\">\n";
        std::vector<bool> shown(m.controls.size());
        auto row = [&](std::size_t i, std::size_t depth) {
            shown[i] = true;
            const script::TypeDecl& c = m.controls[i];
            out += "<li style=\"margin-left:" + std::to_string(std::min(depth, kMaxControlIndent)) +
                   "em\">" + esc(c.name) + " <small>(" + nameLink(c.ancestor, "../") +
                   ", line <a href=\"#L" + std::to_string(c.line) + "\">" + std::to_string(c.line) +
                   "</a>)</small></li>\n";
        };
        // Depth first without recursion; a control the walk never reaches (its
        // `within` chain loops) is listed after the rest.
        std::vector<std::pair<std::size_t, std::size_t>> stack;
        for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.emplace_back(*it, 0);
        while (!stack.empty()) {
            const auto [i, depth] = stack.back();
            stack.pop_back();
            if (shown[i]) continue;
            row(i, depth);
            for (auto it = kids[i].rbegin(); it != kids[i].rend(); ++it)
                stack.emplace_back(*it, depth + 1);
        }
        for (std::size_t i = 0; i < m.controls.size(); ++i)
            if (!shown[i]) row(i, 0);
        return out + "</ul>\n";
    }

    std::string scripts(const script::ObjectModel& m) const {
        if (m.scripts.empty()) return "<p>No functions or events.</p>\n";
        std::string out = "<table>\n<tr><th>Kind</th><th>Name</th><th>Of</th><th>Lines</th></tr>\n";
        for (std::size_t k = 0; k < m.scripts.size(); ++k) {
            const script::Script& s = m.scripts[k];
            const std::string id = "s" + std::to_string(k + 1);
            std::string signature = s.name + "(";
            for (std::size_t a = 0; a < s.arguments.size(); ++a)
                signature += (a > 0 ? ", " : "") + s.arguments[a];
            signature += ")";
            if (!s.returnType.empty()) signature += " returns " + s.returnType;
            out += "<tr id=\"" + id + "\"><td>" + esc(s.kind) + "</td><td><a href=\"#L" +
                   std::to_string(s.firstLine) + "\">" + esc(signature) + "</a></td><td>" +
                   esc(s.owner) + "</td><td>" + std::to_string(s.firstLine) + "-" +
                   std::to_string(s.lastLine) + "</td></tr>\n";
        }
        return out + "</table>\n";
    }

    void writeObject(std::size_t i) {
        const script::AppObject& o = app_.objects()[i];
        const script::ObjectModel& m = o.model;
        std::string page = pageHead(
            m.name + " (" + libraryName(i) + ")", "../",
            " data-library=\"" + esc(libraryName(i)) + "\" data-entry=\"" + esc(m.entry) + "\"");
        page += "<h1>" + esc(m.name) + "</h1>\n";
        page += "<table class=\"facts\">\n<tr><th>Kind</th><td>" + esc(script::kindName(m.kind)) +
                "</td></tr>\n<tr><th>Library</th><td>" + esc(libraryName(i)) +
                "</td></tr>\n<tr><th>Entry</th><td>" + esc(m.entry) +
                "</td></tr>\n<tr><th>Ancestor</th><td id=\"ancestor\" data-ancestor=\"" +
                esc(m.ancestor) + "\">" + nameLink(m.ancestor, "../") + "</td></tr>\n";
        if (!m.within.empty())
            page += "<tr><th>Within</th><td>" + nameLink(m.within, "../") + "</td></tr>\n";
        page += "<tr><th>Lines</th><td>" + std::to_string(m.lines) +
                "</td></tr>\n<tr><th>Controls</th><td>" + std::to_string(m.controls.size()) +
                "</td></tr>\n<tr><th>Functions</th><td>" + std::to_string(m.functionCount()) +
                "</td></tr>\n<tr><th>Events</th><td>" + std::to_string(m.eventCount()) +
                "</td></tr>\n<tr><th>Variables</th><td>" + std::to_string(m.variables.size()) +
                "</td></tr>\n";
        if (o.shadowedBy)
            page += "<tr><th>Shadowed by</th><td>" + link(*o.shadowedBy, "../") + " in " +
                    esc(libraryName(*o.shadowedBy)) + "</td></tr>\n";
        page += "</table>\n";

        std::vector<std::string> pageNotes;
        // Shadowing is on the error stream once, among the application's notes.
        const std::size_t quietNotes = o.shadowedBy ? 1 : 0;
        if (o.shadowedBy)
            pageNotes.push_back("a namesake in an earlier library wins: this object is shadowed");

        for (const script::Unparsed& u : m.unparsed)
            pageNotes.push_back("lines " + std::to_string(u.firstLine) + "-" +
                                std::to_string(u.lastLine) + ": " + u.note);
        page += "<h2>Ancestors</h2>\n" + chain(i);
        page += "<h2>Descendants</h2>\n";
        if (children_[i].empty())
            page += "<p>None.</p>\n";
        else {
            page += "<ul>\n";
            for (std::size_t c : children_[i]) page += "<li>" + link(c, "../") + "</li>\n";
            page += "</ul>\n";
        }
        page += "<h2>Controls</h2>\n" + controlTree(m);
        page += "<h2>Functions and events</h2>\n" + scripts(m);

        std::optional<std::string> text;
        if (i < loaded_.records.size()) text = scanOf(i).sourceText(*loaded_.records[i]);
        if (m.kind == script::ObjectKind::DataWindow && text)
            page += dataWindow(i, *text, pageNotes);

        page += "<h2>Used by</h2>\n";
        const std::vector<UseRow>& uses = uses_[i];
        if (uses.empty())
            page += "<p>Nothing in these libraries names it.</p>\n";
        else {
            page += "<table>\n<tr><th>Object</th><th>Line</th><th>How</th></tr>\n";
            for (std::size_t k = 0; k < std::min(uses.size(), kMaxUsesShown); ++k)
                page += "<tr><td>" + link(uses[k].object, "../") + "</td><td>" +
                        std::to_string(uses[k].line) + "</td><td>" + esc(uses[k].how) +
                        "</td></tr>\n";
            page += "</table>\n";
            if (uses.size() > kMaxUsesShown)
                page += "<p>and " + std::to_string(uses.size() - kMaxUsesShown) + " more.</p>\n";
        }

        page += "<h2>Source</h2>\n";
        if (!text) {
            pageNotes.push_back("the source could not be read again");
        } else {
            std::string shownNote;
            page += highlightedSource(*text, shownNote);
            if (!shownNote.empty()) pageNotes.push_back(shownNote);
        }
        if (!pageNotes.empty()) {
            std::string notes = "<div class=\"note\"><h2>Notes</h2>\n<ul>\n";
            for (std::size_t k = 0; k < pageNotes.size(); ++k) {
                const std::string& note = pageNotes[k];
                notes += "<li>" + esc(note) + "</li>\n";
                if (k < quietNotes) continue;
                context_.note(libraryName(i) + ":" + escapeControls(m.entry) + ": " +
                              escapeControls(note));
                ++notes_;
            }
            notes += "</ul></div>\n";
            const std::size_t at = page.find("<h2>Ancestors</h2>");
            page.insert(at, notes);
        }
        page += kPageEnd;
        writer_.write(u"o/" + utf8ToUtf16(pages_[i]), page);
    }

    LibraryScan& scanOf(std::size_t object) {
        return *loaded_.scans[app_.objects()[object].library];
    }

    std::string dataWindow(std::size_t i, const std::string& text,
                           std::vector<std::string>& notes) {
        std::string out = "<h2>DataWindow</h2>\n";
        const std::string previewName = "../dw/" + dwPages_[i];
        // The drawing is its own page: it carries its own styles, and the object's page
        // stays light.
        out += "<p><a href=\"" + previewName + "\">The drawing on its own page</a></p>\n";
        out += "<iframe src=\"" + previewName + "\" title=\"drawing\"></iframe>\n";
        dw::PreviewSource source;
        if (text.size() > dw::kPreviewMaxSourceChars)
            source.problem = "the source is too long to draw";
        else
            source.text = utf8ToUtf16(text);
        dw::SourceLookup lookup =
            [this](const std::string& name) -> std::optional<dw::PreviewSource> {
            const std::optional<std::size_t> found = app_.find(name);
            if (!found || app_.objects()[*found].model.kind != script::ObjectKind::DataWindow ||
                *found >= loaded_.records.size())
                return std::nullopt;
            std::optional<std::string> nested = scanOf(*found).sourceText(*loaded_.records[*found]);
            if (!nested) return dw::PreviewSource{{}, "cannot be read"};
            if (nested->size() > dw::kPreviewMaxSourceChars)
                return dw::PreviewSource{{}, "the source is too long to draw"};
            return dw::PreviewSource{utf8ToUtf16(*nested), {}};
        };
        const script::ObjectModel& m = app_.objects()[i].model;
        dw::Preview preview = dw::previewHtml(m.name, source, lookup, m.entry);
        for (const std::string& note : preview.notes) notes.push_back("drawing: " + note);
        writer_.write(u"dw/" + utf8ToUtf16(dwPages_[i]), preview.html);

        const TablePart table = tablePart(text);
        out += "<h3>Columns</h3>\n";
        if (table.columns.empty())
            out += "<p>No columns.</p>\n";
        else {
            out += "<table>\n<tr><th>Name</th><th>Type</th><th>Database name</th></tr>\n";
            for (const TableColumn& c : table.columns)
                out += "<tr><td>" + esc(c.name) + "</td><td>" + esc(c.type) + "</td><td>" +
                       esc(c.dbname) + "</td></tr>\n";
            out += "</table>\n";
        }
        out += "<h3>SQL</h3>\n";
        if (!table.retrieve.empty())
            out += "<pre class=\"sql\">" + esc(table.retrieve) + "</pre>\n";
        else
            out += "<p>No retrieve.</p>\n";
        if (!table.text.empty())
            out += "<details><summary>The table part</summary><pre>" + esc(table.text) +
                   "</pre></details>\n";
        return out;
    }

    ToolContext& context_;
    Loaded& loaded_;
    const script::Application& app_;
    SiteWriter& writer_;
    bool progress_;
    std::vector<std::string> pages_;
    std::vector<std::string> dwPages_;
    std::vector<std::vector<std::size_t>> children_;
    std::vector<std::vector<UseRow>> uses_;
    std::size_t notes_ = 0;
};

// A directory `site` may replace: empty, or holding the mark of an earlier site.
bool replaceable(const std::u16string& directory) {
    const std::optional<std::vector<std::u16string>> names = fs::listDirectory(directory);
    if (!names) return false;
    return names->empty() || std::find(names->begin(), names->end(), kMarker) != names->end();
}

}  // namespace

void runSite(ToolContext& context, const ParsedArgs& args) {
    std::vector<std::u16string> libraries(args.positional.begin(), args.positional.end() - 1);
    const std::u16string out = withoutTrailingSeparators(args.positional.back());
    if (out.empty()) throw UsageFailure{"site needs an output directory"};
    for (const std::u16string& library : libraries)
        if (fs::sameFile(library, out))
            throw ToolFailure{displayPath(out) + ": is one of the libraries"};
    const bool exists = fs::fileExists(out);
    if (exists) {
        if (!fs::isDirectory(out)) throw ToolFailure{displayPath(out) + ": is not a directory"};
        if (!replaceable(out))
            throw ToolFailure{displayPath(out) +
                              ": is neither empty nor a site this command "
                              "wrote (no " +
                              utf16ToUtf8(kMarker) + "); it is left as it is"};
    }
    const bool progress = fs::isTerminal(context.io.err);

    Loaded loaded = load(context, libraries, progress);
    if (progress) std::fprintf(context.io.err, "\n");
    for (const std::string& note : loaded.app.notes()) context.note(escapeControls(note));

    const std::u16string parent = path::parent(out);
    if (!parent.empty() && !fs::makeDirectories(parent))
        throw ToolFailure{displayPath(parent) + ": cannot create the directory"};
    TemporaryDirectory fresh(out, u"site");
    for (const char16_t* sub : {u"o", u"dw"})
        if (!fs::makeDirectory(path::join(fresh.path(), sub)))
            throw ToolFailure{displayPath(fresh.path()) + ": cannot create a directory in it"};
    SiteWriter writer(fresh.path());
    Site site(context, loaded, writer, progress);
    site.writeAll();

    // Every rename below is to a name that is free: renameNoReplace moves directories on
    // both systems, where a replacing move would not on Windows.
    if (exists) {
        TemporaryDirectory aside(out, u"old");
        // The name is only reserved; the old site takes it by rename. No interrupt comes
        // between the two renames: it would remove the old site with the name it took.
        aside.removeNow();
        interrupt::HoldOff swap;
        if (!fs::renameNoReplace(out, aside.path())) {
            aside.release();
            throw ToolFailure{displayPath(out) + ": cannot move it aside"};
        }
        if (!fs::renameNoReplace(fresh.path(), out)) {
            // Put the old site back where it was.
            if (!fs::renameNoReplace(aside.path(), out)) {
                aside.release();
                throw ToolFailure{displayPath(out) +
                                  ": cannot put the new site in place; the old one is " +
                                  displayPath(aside.path())};
            }
            aside.release();
            throw ToolFailure{displayPath(out) + ": cannot put the new site in place"};
        }
        fresh.release();
        // The aside directory goes with `aside`.
    } else {
        if (!fs::renameNoReplace(fresh.path(), out))
            throw ToolFailure{displayPath(out) + ": cannot put the site in place"};
        fresh.release();
    }
    context.out.line(displayPath(out) + ": " + std::to_string(writer.pages()) + " files, " +
                     std::to_string(loaded.app.objects().size()) + " objects");
    if (loaded.troubled) context.exitCode = kPblToolFailed;
}

}  // namespace keldrin::tool
