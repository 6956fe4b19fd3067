#include "script/script_model.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

namespace keldrin::script {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

bool isIdentStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isIdentChar(char c) {
    return isIdentStart(c) || (c >= '0' && c <= '9') || c == '$' || c == '#' || c == '%';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

// The line without a trailing `//` comment (one outside a string).
std::string_view withoutLineComment(std::string_view s) {
    char quote = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '~')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            return trim(s.substr(0, i));
        }
    }
    return trim(s);
}

// Splits on white space; a word is at most what the line holds.
std::vector<std::string_view> words(std::string_view s, std::size_t most = 8) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size() && out.size() < most) {
        while (i < s.size() && isSpace(s[i])) ++i;
        std::size_t start = i;
        while (i < s.size() && !isSpace(s[i])) ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

bool startsWithWord(std::string_view line, std::string_view word) {
    if (line.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lower(line[i]) != word[i]) return false;
    return line.size() == word.size() || !isIdentChar(line[word.size()]);
}

// "end function", "end  event" ...: `first` then `second`, as whole words.
bool isPair(std::string_view line, std::string_view first, std::string_view second) {
    if (!startsWithWord(line, first)) return false;
    std::string_view rest = line.substr(first.size());
    if (rest.empty() || !isSpace(rest.front())) return false;
    return startsWithWord(trim(rest), second);
}

constexpr std::array<const char*, 12> kAccessWords = {
    "public",        "private",  "protected", "privatewrite", "protectedwrite", "privateread",
    "protectedread", "constant", "indirect",  "global",       "shared",         "static"};

bool isModifier(std::string_view word) {
    for (const char* access : kAccessWords)
        if (sameName(word, access)) return true;
    return false;
}

bool isAccess(std::string_view word) {
    return sameName(word, "public") || sameName(word, "private") || sameName(word, "protected");
}

// Words that are PowerScript itself, never a name of the application's.
const char* const kKeywords[] = {"alias",
                                 "and",
                                 "autoinstantiate",
                                 "call",
                                 "case",
                                 "catch",
                                 "choose",
                                 "close",
                                 "commit",
                                 "connect",
                                 "constant",
                                 "continue",
                                 "create",
                                 "cursor",
                                 "declare",
                                 "delete",
                                 "describe",
                                 "descriptor",
                                 "destroy",
                                 "disconnect",
                                 "do",
                                 "dynamic",
                                 "else",
                                 "elseif",
                                 "end",
                                 "enumerated",
                                 "event",
                                 "execute",
                                 "exit",
                                 "external",
                                 "false",
                                 "fetch",
                                 "finally",
                                 "first",
                                 "for",
                                 "forward",
                                 "from",
                                 "function",
                                 "global",
                                 "goto",
                                 "halt",
                                 "if",
                                 "immediate",
                                 "indirect",
                                 "insert",
                                 "into",
                                 "intrinsic",
                                 "is",
                                 "last",
                                 "library",
                                 "loop",
                                 "namespace",
                                 "native",
                                 "next",
                                 "not",
                                 "of",
                                 "on",
                                 "open",
                                 "or",
                                 "parent",
                                 "post",
                                 "prior",
                                 "private",
                                 "privateread",
                                 "privatewrite",
                                 "procedure",
                                 "protected",
                                 "protectedread",
                                 "protectedwrite",
                                 "prototypes",
                                 "public",
                                 "readonly",
                                 "ref",
                                 "return",
                                 "rollback",
                                 "rpcfunc",
                                 "select",
                                 "selectblob",
                                 "shared",
                                 "static",
                                 "step",
                                 "subroutine",
                                 "super",
                                 "system",
                                 "systemread",
                                 "systemwrite",
                                 "then",
                                 "this",
                                 "throw",
                                 "throws",
                                 "to",
                                 "trigger",
                                 "true",
                                 "try",
                                 "type",
                                 "until",
                                 "update",
                                 "updateblob",
                                 "using",
                                 "variables",
                                 "while",
                                 "with",
                                 "within",
                                 "xor",
                                 "_debug",
                                 "sqlca",
                                 "sqlda",
                                 "sqlsa",
                                 "any",
                                 "blob",
                                 "boolean",
                                 "byte",
                                 "char",
                                 "character",
                                 "date",
                                 "datetime",
                                 "dec",
                                 "decimal",
                                 "double",
                                 "int",
                                 "integer",
                                 "long",
                                 "longlong",
                                 "longptr",
                                 "real",
                                 "string",
                                 "time",
                                 "uint",
                                 "ulong",
                                 "unsignedint",
                                 "unsignedinteger",
                                 "unsignedlong",
                                 "where",
                                 "values",
                                 "set",
                                 "order",
                                 "by",
                                 "group",
                                 "having",
                                 "null"};

bool isFoldedKeyword(std::string_view folded) {
    static const std::unordered_map<std::string_view, bool> set = [] {
        std::unordered_map<std::string_view, bool> m;
        for (const char* k : kKeywords) m.emplace(k, true);
        return m;
    }();
    return set.count(folded) != 0;
}

const char* const kSystemClasses[] = {"adoresultset",
                                      "animation",
                                      "application",
                                      "arraybounds",
                                      "checkbox",
                                      "classdefinition",
                                      "commandbutton",
                                      "connection",
                                      "connectioninfo",
                                      "connectobject",
                                      "contextinformation",
                                      "contextkeyword",
                                      "corbaobject",
                                      "datastore",
                                      "datawindow",
                                      "datawindowchild",
                                      "datepicker",
                                      "dividebyzeroerror",
                                      "drawobject",
                                      "dropdownlistbox",
                                      "dropdownpicturelistbox",
                                      "dwobject",
                                      "dynamicdescriptionarea",
                                      "dynamicstagingarea",
                                      "editmask",
                                      "environment",
                                      "error",
                                      "exception",
                                      "function_object",
                                      "graph",
                                      "graphicobject",
                                      "grobject",
                                      "groupbox",
                                      "hprogressbar",
                                      "hscrollbar",
                                      "htrackbar",
                                      "inet",
                                      "internetresult",
                                      "line",
                                      "listbox",
                                      "listview",
                                      "listviewitem",
                                      "mailsession",
                                      "mdiclient",
                                      "menu",
                                      "menucascade",
                                      "message",
                                      "monthcalendar",
                                      "multilineedit",
                                      "nonvisualobject",
                                      "nullobjecterror",
                                      "olecontrol",
                                      "olecustomcontrol",
                                      "oleobject",
                                      "olestorage",
                                      "olestream",
                                      "omcontrol",
                                      "omcustomcontrol",
                                      "omobject",
                                      "omstorage",
                                      "omstream",
                                      "orb",
                                      "oval",
                                      "picture",
                                      "picturebutton",
                                      "picturehyperlink",
                                      "picturelistbox",
                                      "pipeline",
                                      "powerobject",
                                      "profilecall",
                                      "profileclass",
                                      "profileline",
                                      "profileroutine",
                                      "profiling",
                                      "radiobutton",
                                      "rectangle",
                                      "resultset",
                                      "resultsets",
                                      "richtextedit",
                                      "roundrectangle",
                                      "runtimeerror",
                                      "singlelineedit",
                                      "statichyperlink",
                                      "statictext",
                                      "structure",
                                      "tab",
                                      "throwable",
                                      "timing",
                                      "traceactivitynode",
                                      "tracefile",
                                      "transaction",
                                      "transactionserver",
                                      "treeview",
                                      "treeviewitem",
                                      "userobject",
                                      "vprogressbar",
                                      "vscrollbar",
                                      "vtrackbar",
                                      "window",
                                      "windowobject",
                                      "inkedit",
                                      "inkpicture",
                                      "ribbonbar",
                                      "webbrowser",
                                      "httpclient",
                                      "jsonparser",
                                      "jsongenerator",
                                      "restclient",
                                      "ulongptr",
                                      "dragobject",
                                      "extobject",
                                      "graxis",
                                      "grdispattr",
                                      "mlsync",
                                      "mlsynchronization",
                                      "pbdom_object",
                                      "ejbconnection",
                                      "ejbtransaction",
                                      "listviewitem",
                                      "sslcallback",
                                      "sslserviceprovider",
                                      "errorlogging",
                                      "service",
                                      "pdfdocument",
                                      "scriptdefinition",
                                      "typedefinition",
                                      "variablecardinalitydefinition",
                                      "variabledefinition",
                                      "enumerationdefinition",
                                      "enumerationitemdefinition"};

std::string_view stripBraces(std::string_view type) {
    std::size_t brace = type.find('{');
    if (brace != std::string_view::npos) type = type.substr(0, brace);
    return trim(type);
}

// Top-level comma split, outside quotes, parentheses, brackets and braces.
std::vector<std::string_view> splitCommas(std::string_view s) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == '~')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(s.substr(start, i - start)));
            start = i + 1;
        }
    }
    out.push_back(trim(s.substr(start)));
    return out;
}

std::string collapse(std::string_view s) {
    std::string out;
    bool space = false;
    for (char c : trim(s)) {
        if (isSpace(c)) {
            space = true;
            continue;
        }
        if (space && !out.empty()) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

// The header of a script or prototype: `[access...] KIND [type RET] [RET] NAME (ARGS)`,
// what follows the first `;` outside the parentheses being the script's first line.
struct Header {
    std::string access;
    std::string kind;  // folded: function, subroutine, event, on
    std::string returnType;
    std::string name;
    std::vector<std::string> arguments;
    std::string_view rest;  // after the header's `;` (the body's start), or after `)`
    bool ok = false;
};

Header parseHeader(std::string_view line) {
    Header h;
    std::size_t open = std::string_view::npos;
    std::size_t close = std::string_view::npos;
    std::size_t semi = std::string_view::npos;
    char quote = 0;
    int depth = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote) {
            if (c == '~')
                ++i;
            else if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(') {
            if (depth++ == 0 && open == std::string_view::npos) open = i;
        } else if (c == ')') {
            if (depth > 0 && --depth == 0 && close == std::string_view::npos) close = i;
        } else if (c == ';' && depth == 0) {
            semi = i;
            break;
        }
    }
    std::size_t headEnd = open != std::string_view::npos ? open : semi;
    if (headEnd == std::string_view::npos) headEnd = line.size();
    std::vector<std::string_view> head = words(line.substr(0, headEnd), 16);
    std::size_t w = 0;
    while (w < head.size() && isModifier(head[w])) {
        if (isAccess(head[w])) h.access = foldName(head[w]);
        ++w;
    }
    if (w >= head.size()) return h;
    h.kind = foldName(head[w++]);
    if (h.kind == "function") {
        // RET may be several words ("unsigned long" is not PowerScript, but keep any).
        if (head.size() - w < 2) return h;
        h.name = std::string(head.back());
        std::string ret;
        for (std::size_t i = w; i + 1 < head.size(); ++i) {
            if (!ret.empty()) ret.push_back(' ');
            ret += head[i];
        }
        h.returnType = ret;
    } else if (h.kind == "subroutine" || h.kind == "on") {
        if (head.size() - w != 1) return h;
        h.name = std::string(head[w]);
    } else if (h.kind == "event") {
        if (w < head.size() && sameName(head[w], "type") && head.size() - w == 3) {
            h.returnType = std::string(head[w + 1]);
            h.name = std::string(head[w + 2]);
        } else if (head.size() - w == 1) {
            h.name = std::string(head[w]);
        } else {
            return h;
        }
    } else {
        return h;
    }
    if (open != std::string_view::npos) {
        if (close == std::string_view::npos) return h;
        std::string_view args = trim(line.substr(open + 1, close - open - 1));
        if (!args.empty())
            for (std::string_view a : splitCommas(args)) h.arguments.push_back(collapse(a));
    }
    if (semi != std::string_view::npos)
        h.rest = line.substr(semi + 1);
    else if (close != std::string_view::npos)
        h.rest = line.substr(close + 1);
    h.ok = !h.name.empty();
    return h;
}

// `global type X from Y [within Z]`, `type X from Y [within Z]`.
std::optional<TypeDecl> parseTypeLine(std::string_view line, bool& global) {
    std::vector<std::string_view> w = words(withoutLineComment(line), 8);
    std::size_t i = 0;
    global = false;
    if (i < w.size() && sameName(w[i], "global")) {
        global = true;
        ++i;
    }
    if (w.size() < i + 4 || !sameName(w[i], "type") || !sameName(w[i + 2], "from"))
        return std::nullopt;
    TypeDecl decl;
    decl.name = std::string(w[i + 1]);
    decl.ancestor = std::string(w[i + 3]);
    std::size_t next = i + 4;
    if (w.size() >= i + 6 && sameName(w[i + 4], "within")) {
        decl.within = std::string(w[i + 5]);
        next = i + 6;
    }
    // `autoinstantiate`: a user object created with the variable that holds it.
    if (next < w.size() && sameName(w[next], "autoinstantiate")) ++next;
    if (next != w.size()) return std::nullopt;
    return decl;
}

enum class State : std::uint8_t { Top, Forward, Type, Variables, Prototypes, Externals, Body };

class Reader {
  public:
    Reader(std::string_view entryName, std::string_view text) : text_(text) {
        model_.entry = std::string(entryName);
        model_.kind = kindFromEntryName(entryName);
        model_.name = std::string(objectNameOf(entryName));
    }

    ObjectModel run() {
        if (text_.size() >= 3 && std::memcmp(text_.data(), "\xEF\xBB\xBF", 3) == 0)
            text_.remove_prefix(3);
        // A DataWindow, query, pipeline or project source is not PowerScript: it is named
        // and counted, never read for scripts (src/dw reads DataWindows).
        bool script = model_.kind != ObjectKind::DataWindow && model_.kind != ObjectKind::Query &&
                      model_.kind != ObjectKind::Pipeline && model_.kind != ObjectKind::Project;
        std::size_t start = 0;
        while (start < text_.size()) {
            std::size_t end = text_.find('\n', start);
            if (end == std::string_view::npos) end = text_.size();
            ++line_;
            if (script) take(text_.substr(start, end - start));
            start = end + 1;
        }
        model_.lines = line_;
        finish();
        return std::move(model_);
    }

  private:
    void take(std::string_view raw) {
        std::string_view t = trim(raw);
        // An export file may end in a binary data section (OLE controls' storage): no
        // source, and nothing to note.
        if (binary_) {
            if (t.starts_with("End of PowerBuilder Binary Data Section")) binary_ = false;
            return;
        }
        if (t.starts_with("Start of PowerBuilder Binary Data Section")) {
            binary_ = true;
            return;
        }
        // A line may be handled twice: a section that ends without its `end` line hands
        // the line that ended it back to the top level.
        for (int pass = 0; pass < 2; ++pass) {
            switch (state_) {
                case State::Top:
                    top(t);
                    return;
                case State::Forward:
                    if (forward(t)) return;
                    break;
                case State::Type:
                    if (typeLine(t)) return;
                    break;
                case State::Variables:
                    if (variableLine(t)) return;
                    break;
                case State::Prototypes:
                    if (prototypeLine(t)) return;
                    break;
                case State::Externals:
                    if (externalLine(t)) return;
                    break;
                case State::Body:
                    bodyLine(raw, t);
                    return;
            }
            note(sectionStart_, line_ - 1, "section has no end line: ends before this line");
            state_ = State::Top;
        }
    }

    void finish() {
        flushUnparsed();
        switch (state_) {
            case State::Top:
                break;
            case State::Body:
                model_.scripts.back().lastLine = line_;
                note(model_.scripts.back().firstLine, line_,
                     "script " + model_.scripts.back().name + " has no end line");
                break;
            default:
                note(sectionStart_, line_, "section has no end line");
                break;
        }
        if (!sawType_ &&
            (model_.kind != ObjectKind::DataWindow && model_.kind != ObjectKind::Query &&
             model_.kind != ObjectKind::Pipeline && model_.kind != ObjectKind::Project))
            note(1, line_, "no `global type` declaration: the object's ancestor is unknown");
        if (model_.kind == ObjectKind::Unknown) model_.kind = kindFromAncestor(model_.ancestor);
    }

    static ObjectKind kindFromAncestor(std::string_view ancestor) {
        if (sameName(ancestor, "application")) return ObjectKind::Application;
        if (sameName(ancestor, "window")) return ObjectKind::Window;
        if (sameName(ancestor, "menu")) return ObjectKind::Menu;
        if (sameName(ancestor, "function_object")) return ObjectKind::Function;
        if (sameName(ancestor, "structure")) return ObjectKind::Structure;
        if (ancestor.empty()) return ObjectKind::Unknown;
        return ObjectKind::UserObject;
    }

    void note(std::uint32_t first, std::uint32_t last, std::string text) {
        if (model_.unparsed.size() >= kMostNotes) return;
        model_.unparsed.push_back(Unparsed{first, last < first ? first : last, std::move(text)});
    }

    void unparsed(const char* why) {
        if (pendingFirst_ != 0 && pendingLast_ + 1 == line_ && pendingWhy_ == why) {
            pendingLast_ = line_;
            return;
        }
        flushUnparsed();
        pendingFirst_ = pendingLast_ = line_;
        pendingWhy_ = why;
    }

    void flushUnparsed() {
        if (pendingFirst_ == 0) return;
        note(pendingFirst_, pendingLast_, pendingWhy_);
        pendingFirst_ = 0;
    }

    static bool isComment(std::string_view t) {
        return t.empty() || t.starts_with("//") || t.starts_with("/*") || t.starts_with("*") ||
               t.starts_with("$PBExport") || t.starts_with("$pbexport");
    }

    void enter(State state) {
        flushUnparsed();
        state_ = state;
        sectionStart_ = line_;
    }

    void top(std::string_view t) {
        if (isComment(t)) return;
        std::string_view code = withoutLineComment(t);
        if (sameName(code, "forward")) return enter(State::Forward);
        if (isPair(code, "forward", "prototypes")) return enter(State::Prototypes);
        if (isPair(code, "type", "prototypes")) return enter(State::Externals);
        if (isPair(code, "global", "variables")) return variables("global");
        if (isPair(code, "shared", "variables")) return variables("shared");
        if (isPair(code, "type", "variables")) return variables("instance");
        bool global = false;
        if (std::optional<TypeDecl> decl = parseTypeLine(code, global))
            return typeStart(*decl, global);
        Header h = parseHeader(code);
        if (h.ok) return scriptStart(h);
        // `global w_main w_main`: the object's own global instance.
        std::vector<std::string_view> w = words(code, 4);
        if (w.size() == 3 && sameName(w[0], "global")) {
            if (!sameName(w[1], w[2]) || !sameName(w[1], model_.name))
                addVariable("global", "", w[1], w[2]);
            return;
        }
        if (isPair(code, "release", "") || startsWithWord(code, "release")) return;
        unparsed("not a declaration, section or script");
    }

    void variables(const char* scope) {
        enter(State::Variables);
        scope_ = scope;
        access_.clear();
        continued_ = false;
    }

    bool forward(std::string_view t) {
        if (isComment(t)) return true;
        std::string_view code = withoutLineComment(t);
        if (isPair(code, "end", "forward")) {
            state_ = State::Top;
            return true;
        }
        if (isPair(code, "end", "type")) return true;
        bool global = false;
        if (parseTypeLine(code, global)) return true;
        std::vector<std::string_view> w = words(code, 4);
        if (w.size() == 3 && sameName(w[0], "global") && !sameName(w[1], "type")) {
            // global transaction sqlca: the application's global objects.
            if (!sameName(w[1], w[2])) addVariable("global", "", w[1], w[2]);
            return true;
        }
        if (w.size() == 2 && !isFoldedKeyword(foldName(w[0]))) return true;  // a control's instance
        return false;
    }

    void typeStart(const TypeDecl& decl, bool global) {
        enter(State::Type);
        TypeDecl d = decl;
        d.line = line_;
        if (global && !sawType_) {
            sawType_ = true;
            if (!sameName(d.name, model_.name) && !model_.name.empty())
                note(line_, line_,
                     "the source declares " + d.name + " but the entry is named " + model_.name);
            model_.name = d.name;
            model_.ancestor = d.ancestor;
            model_.within = d.within;
            model_.typeLine = line_;
            inObjectType_ = true;
        } else {
            inObjectType_ = false;
            // A control's declaration repeats in the body after the forward block; the
            // body's copy, with its properties, is the one kept.
            model_.controls.push_back(std::move(d));
        }
        owner_ = decl.name;
        if (model_.kind == ObjectKind::Unknown && global)
            model_.kind = kindFromAncestor(decl.ancestor);
    }

    bool typeLine(std::string_view t) {
        if (isComment(t)) return true;
        std::string_view code = withoutLineComment(t);
        if (isPair(code, "end", "type")) {
            state_ = State::Top;
            return true;
        }
        bool global = false;
        if (parseTypeLine(code, global)) return false;   // the previous type had no end
        if (startsWithWord(code, "event")) return true;  // a user event's declaration
        if (inObjectType_ && model_.kind == ObjectKind::Structure) {
            declaration("field", code);
            return true;
        }
        // integer width = 3378, string dataobject = "d_x": properties; a DataObject names
        // a DataWindow.
        std::size_t eq = code.find('=');
        if (eq != std::string_view::npos) {
            std::vector<std::string_view> left = words(code.substr(0, eq), 4);
            if (!left.empty() && sameName(left.back(), "dataobject")) {
                std::string_view value = trim(code.substr(eq + 1));
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    addReference(value.substr(1, value.size() - 2), RefKind::DataObject);
            }
        }
        return true;
    }

    bool variableLine(std::string_view t) {
        if (isComment(t)) return true;
        std::string_view code = withoutLineComment(t);
        if (isPair(code, "end", "variables")) {
            state_ = State::Top;
            return true;
        }
        if (continued_) {
            continued_ = !code.empty() && code.back() == '&';
            return true;
        }
        // A script or section start means the section's end line is missing.
        Header h = parseHeader(code);
        bool global = false;
        if (h.ok || parseTypeLine(code, global) || isPair(code, "forward", "prototypes") ||
            isPair(code, "type", "prototypes") || isPair(code, "type", "variables"))
            return false;
        // public: / private: / protected: as labels, alone or before a declaration.
        for (const char* label : {"public:", "private:", "protected:"}) {
            std::size_t n = std::strlen(label);
            if (code.size() >= n && sameName(code.substr(0, n), label)) {
                access_ = std::string(label, n - 1);
                code = trim(code.substr(n));
                if (code.empty()) return true;
            }
        }
        continued_ = !code.empty() && code.back() == '&';
        declaration(scope_, code);
        return true;
    }

    // TYPE NAME [= VALUE] [, NAME ...] with modifiers before the type.
    void declaration(const char* scope, std::string_view code) {
        std::string access = access_;
        std::size_t i = 0;
        while (true) {
            std::size_t start = i;
            while (i < code.size() && isSpace(code[i])) ++i;
            std::size_t wordStart = i;
            while (i < code.size() && !isSpace(code[i])) ++i;
            std::string_view word = code.substr(wordStart, i - wordStart);
            if (word.empty() || !isModifier(word)) {
                i = start;
                break;
            }
            if (isAccess(word)) access = foldName(word);
        }
        code = trim(code.substr(i));
        // The type: one word, with a {precision} that may stand apart ("decimal {2}").
        std::size_t t = 0;
        while (t < code.size() && !isSpace(code[t]) && code[t] != '{') ++t;
        std::string_view type = code.substr(0, t);
        std::string_view rest = trim(code.substr(t));
        if (!rest.empty() && rest.front() == '{') {
            std::size_t close = rest.find('}');
            rest =
                close == std::string_view::npos ? std::string_view() : trim(rest.substr(close + 1));
        }
        if (type.empty() || !isIdentStart(type.front()) || rest.empty()) {
            unparsed("a declaration that is not TYPE NAME");
            return;
        }
        for (std::string_view declarator : splitCommas(rest)) {
            std::size_t n = 0;
            while (n < declarator.size() && (isIdentChar(declarator[n]) || declarator[n] == '-'))
                ++n;
            if (n == 0 || !isIdentStart(declarator.front())) {
                unparsed("a declaration that is not TYPE NAME");
                return;
            }
            addVariable(scope, access, type, declarator.substr(0, n));
            std::size_t eq = declarator.find('=');
            if (sameName(declarator.substr(0, n), "dataobject") && eq != std::string_view::npos) {
                std::string_view value = trim(declarator.substr(eq + 1));
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
                    addReference(value.substr(1, value.size() - 2), RefKind::DataObject);
            }
        }
    }

    void addVariable(const char* scope, std::string_view access, std::string_view type,
                     std::string_view name) {
        Variable v;
        v.scope = scope;
        v.access = std::string(access);
        v.type = std::string(stripBraces(type));
        v.name = std::string(name);
        v.line = line_;
        model_.variables.push_back(std::move(v));
    }

    bool prototypeLine(std::string_view t) {
        if (isComment(t)) return true;
        std::string_view code = withoutLineComment(t);
        if (isPair(code, "end", "prototypes")) {
            state_ = State::Top;
            return true;
        }
        if (code.ends_with(":")) return true;  // public: in a proxy
        Header h = parseHeader(code);
        if (h.ok && (h.kind == "function" || h.kind == "subroutine" || h.kind == "event"))
            return true;
        return false;
    }

    bool externalLine(std::string_view t) {
        if (isComment(t)) return true;
        std::string_view code = withoutLineComment(t);
        if (isPair(code, "end", "prototypes")) {
            state_ = State::Top;
            return true;
        }
        if (code.ends_with(":")) return true;
        Header h = parseHeader(code);
        if (!h.ok || (h.kind != "function" && h.kind != "subroutine")) {
            bool global = false;
            if (parseTypeLine(code, global) || isPair(code, "type", "variables")) return false;
            unparsed("an external function that is not FUNCTION TYPE NAME (ARGS) LIBRARY \"X\"");
            return true;
        }
        ExternalFunction f;
        f.name = h.name;
        f.returnType = h.returnType;
        f.line = line_;
        std::string_view rest = trim(h.rest);
        std::vector<std::string_view> w = words(rest, 2);
        if (!w.empty() && sameName(w[0], "library")) {
            std::string_view lib = trim(rest.substr(7));
            if (lib.size() >= 2 && (lib.front() == '"' || lib.front() == '\'')) {
                std::size_t close = lib.find(lib.front(), 1);
                if (close != std::string_view::npos) lib = lib.substr(1, close - 1);
            }
            f.library = std::string(lib);
        } else if (!w.empty() && sameName(w[0], "rpcfunc")) {
            f.library = "rpcfunc";
        }
        model_.externals.push_back(std::move(f));
        return true;
    }

    void scriptStart(const Header& h) {
        flushUnparsed();
        Script s;
        s.kind = h.kind == "function"     ? "function"
                 : h.kind == "subroutine" ? "subroutine"
                 : h.kind == "event"      ? "event"
                                          : "on";
        s.access = h.access;
        s.returnType = h.returnType;
        s.name = h.name;
        s.owner = owner_.empty() ? model_.name : owner_;
        // event cb_ok::clicked names its owner itself.
        std::size_t colons = s.name.find("::");
        if (colons != std::string::npos) {
            s.owner = s.name.substr(0, colons);
            s.name = s.name.substr(colons + 2);
        }
        s.arguments = h.arguments;
        s.firstLine = s.lastLine = line_;
        endWord_ = h.kind;
        model_.scripts.push_back(std::move(s));
        state_ = State::Body;
        sectionStart_ = line_;
        inBlockComment_ = false;
        scanCode(h.rest);
    }

    void bodyLine(std::string_view raw, std::string_view t) {
        if (isPair(t, "end", endWord_)) {
            model_.scripts.back().lastLine = line_;
            state_ = State::Top;
            return;
        }
        scanCode(raw);
    }

    void addReference(std::string_view name, RefKind kind) {
        // A name repeated on one line is one use of it; the look back is bounded so a
        // line of millions of names stays linear.
        std::size_t back = 0;
        for (auto it = model_.references.rbegin(); it != model_.references.rend() && back < 16;
             ++it, ++back) {
            if (it->line != line_) break;
            if (it->kind == kind && sameName(it->name, name)) return;
        }
        // Each use costs a few dozen bytes: past a bound, a source of millions of names
        // keeps the first ones and says so, rather than a model many times its size.
        if (model_.references.size() >= kMostReferences) {
            if (!referencesCut_)
                note(line_, line_,
                     "more than " + std::to_string(kMostReferences) +
                         " uses of names: the rest are not recorded");
            referencesCut_ = true;
            return;
        }
        model_.references.push_back(Reference{std::string(name), line_, kind});
    }

    // The names a line of code uses: identifiers outside comments, and names in quotes.
    void scanCode(std::string_view s) {
        std::size_t i = 0;
        bool afterCreate = false;
        bool afterDot = false;
        bool dataObject = false;  // after `dataobject =`
        while (i < s.size()) {
            if (inBlockComment_) {
                std::size_t close = s.find("*/", i);
                if (close == std::string_view::npos) return;
                inBlockComment_ = false;
                i = close + 2;
                continue;
            }
            char c = s[i];
            if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') return;
            if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
                inBlockComment_ = true;
                i += 2;
                continue;
            }
            if (c == '"' || c == '\'') {
                std::size_t j = i + 1;
                bool plain = true;
                while (j < s.size() && s[j] != c) {
                    if (s[j] == '~') {
                        plain = false;
                        ++j;
                    } else if (!isIdentChar(s[j])) {
                        plain = false;
                    }
                    ++j;
                }
                std::string_view inside = s.substr(i + 1, std::min(j, s.size()) - i - 1);
                if (plain && !inside.empty() && inside.size() <= 80 && isIdentStart(inside.front()))
                    addReference(inside, dataObject ? RefKind::DataObject : RefKind::Text);
                i = j + 1;
                afterCreate = afterDot = dataObject = false;
                continue;
            }
            if (isIdentStart(c)) {
                std::size_t j = i;
                while (j < s.size() && isIdentChar(s[j])) ++j;
                std::string_view ident = s.substr(i, j - i);
                std::size_t k = j;
                while (k < s.size() && isSpace(s[k])) ++k;
                char next = k < s.size() ? s[k] : '\0';
                bool scoped = next == ':' && k + 1 < s.size() && s[k + 1] == ':';
                // Folded on the stack: every word of PowerScript is short, and a longer
                // identifier is no keyword.
                std::array<char, 24> buffer{};
                std::string_view folded;
                if (ident.size() <= buffer.size()) {
                    for (std::size_t n = 0; n < ident.size(); ++n) buffer[n] = lower(ident[n]);
                    folded = std::string_view(buffer.data(), ident.size());
                }
                bool wasCreate = afterCreate;
                bool wasDot = afterDot;
                afterCreate = folded == "create";
                afterDot = false;
                dataObject = false;
                if (folded == "dataobject") {
                    std::size_t m = k;
                    if (m < s.size() && s[m] == '=') dataObject = true;
                }
                i = j;
                if (wasDot || isFoldedKeyword(folded)) continue;
                if (wasCreate && folded == "using") continue;
                RefKind kind = wasCreate     ? RefKind::Create
                               : next == '.' ? RefKind::Member
                               : scoped      ? RefKind::Member
                               : next == '(' ? RefKind::Call
                                             : RefKind::Name;
                addReference(ident, kind);
                continue;
            }
            if (c == '.')
                afterDot = true;
            else if (c == ':' && i + 1 < s.size() && s[i + 1] == ':') {
                afterDot = true;
                ++i;
            } else if (c == '=') {
                // keeps dataObject for the value
            } else if (!isSpace(c)) {
                afterDot = false;
                dataObject = false;
            }
            if (!isSpace(c) && c != '=' && c != '.') afterCreate = false;
            ++i;
        }
    }

    static constexpr std::size_t kMostNotes = 1000;
    static constexpr std::size_t kMostReferences = 1'000'000;

    std::string_view text_;
    ObjectModel model_;
    State state_ = State::Top;
    std::uint32_t line_ = 0;
    std::uint32_t sectionStart_ = 0;
    std::uint32_t pendingFirst_ = 0;
    std::uint32_t pendingLast_ = 0;
    const char* pendingWhy_ = "";
    const char* scope_ = "instance";
    std::string access_;
    std::string owner_;
    std::string endWord_;
    bool sawType_ = false;
    bool inObjectType_ = false;
    bool inBlockComment_ = false;
    bool continued_ = false;
    bool binary_ = false;
    bool referencesCut_ = false;
};

}  // namespace

const char* kindName(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Application:
            return "application";
        case ObjectKind::Window:
            return "window";
        case ObjectKind::Menu:
            return "menu";
        case ObjectKind::UserObject:
            return "user object";
        case ObjectKind::Function:
            return "function";
        case ObjectKind::Structure:
            return "structure";
        case ObjectKind::DataWindow:
            return "datawindow";
        case ObjectKind::Query:
            return "query";
        case ObjectKind::Pipeline:
            return "pipeline";
        case ObjectKind::Project:
            return "project";
        case ObjectKind::Proxy:
            return "proxy";
        case ObjectKind::Unknown:
            break;
    }
    return "unknown";
}

ObjectKind kindFromEntryName(std::string_view entryName) {
    std::size_t dot = entryName.rfind('.');
    if (dot == std::string_view::npos) return ObjectKind::Unknown;
    std::string ext = foldName(entryName.substr(dot + 1));
    if (ext == "sra") return ObjectKind::Application;
    if (ext == "srw") return ObjectKind::Window;
    if (ext == "srm") return ObjectKind::Menu;
    if (ext == "sru") return ObjectKind::UserObject;
    if (ext == "srf") return ObjectKind::Function;
    if (ext == "srs") return ObjectKind::Structure;
    if (ext == "srd") return ObjectKind::DataWindow;
    if (ext == "srq") return ObjectKind::Query;
    if (ext == "srp") return ObjectKind::Pipeline;
    if (ext == "srj") return ObjectKind::Project;
    if (ext == "srx") return ObjectKind::Proxy;
    return ObjectKind::Unknown;
}

std::string_view objectNameOf(std::string_view entryName) {
    std::size_t dot = entryName.rfind('.');
    return dot == std::string_view::npos ? entryName : entryName.substr(0, dot);
}

std::string foldName(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = lower(c);
    return out;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

const char* refKindName(RefKind kind) {
    switch (kind) {
        case RefKind::Create:
            return "create";
        case RefKind::Member:
            return "member";
        case RefKind::Call:
            return "call";
        case RefKind::Name:
            return "name";
        case RefKind::Text:
            return "text";
        case RefKind::DataObject:
            return "dataobject";
    }
    return "name";
}

std::size_t ObjectModel::functionCount() const {
    return static_cast<std::size_t>(
        std::count_if(scripts.begin(), scripts.end(), [](const Script& s) {
            return std::strcmp(s.kind, "function") == 0 || std::strcmp(s.kind, "subroutine") == 0;
        }));
}

std::size_t ObjectModel::eventCount() const {
    return scripts.size() - functionCount();
}

ObjectModel readSource(std::string_view entryName, std::string_view text) {
    return Reader(entryName, text).run();
}

std::vector<std::ptrdiff_t> controlParents(const ObjectModel& model) {
    std::unordered_map<std::string, std::ptrdiff_t> index;
    for (std::size_t i = 0; i < model.controls.size(); ++i)
        index.emplace(foldName(model.controls[i].name), static_cast<std::ptrdiff_t>(i));
    std::vector<std::ptrdiff_t> parents(model.controls.size(), -1);
    for (std::size_t i = 0; i < model.controls.size(); ++i) {
        auto it = index.find(foldName(model.controls[i].within));
        if (it != index.end() && it->second != static_cast<std::ptrdiff_t>(i))
            parents[i] = it->second;
    }
    // A loop of names (a within b, b within a) would make the tree a cycle: the control
    // that closes it sits on the object instead. Each control is walked once.
    std::vector<std::uint8_t> state(parents.size(), 0);  // 0 new, 1 on the walk, 2 placed
    std::vector<std::size_t> walk;
    for (std::size_t i = 0; i < parents.size(); ++i) {
        std::size_t at = i;
        walk.clear();
        while (state[at] == 0) {
            state[at] = 1;
            walk.push_back(at);
            std::ptrdiff_t p = parents[at];
            if (p < 0) break;
            if (state[static_cast<std::size_t>(p)] == 1) {
                parents[at] = -1;
                break;
            }
            at = static_cast<std::size_t>(p);
        }
        for (std::size_t w : walk) state[w] = 2;
    }
    return parents;
}

bool isSystemClass(std::string_view name) {
    static const std::unordered_map<std::string_view, bool> set = [] {
        std::unordered_map<std::string_view, bool> m;
        for (const char* k : kSystemClasses) m.emplace(k, true);
        return m;
    }();
    return set.count(foldName(name)) != 0;
}

bool isKeyword(std::string_view word) {
    return word.size() <= 32 && isFoldedKeyword(foldName(word));
}

}  // namespace keldrin::script
