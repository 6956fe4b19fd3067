// A model of one PowerScript source as PowerBuilder exports it (the text of `keldrin-pbl
// cat LIB ENTRY --text`, or an export file with its $PBExportHeader$ lines): the object's
// name, kind and ancestor, its controls, variables, scripts, external functions and the
// other objects its code names.
//
// The reader is tolerant: sources are untrusted text, often hand-edited or cut short, so
// it never fails. It walks the text once, line by line, with no recursion on anything the
// input nests; what it cannot place it keeps as an unparsed span with a note.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keldrin::script {

enum class ObjectKind : std::uint8_t {
    Application,
    Window,
    Menu,
    UserObject,
    Function,
    Structure,
    DataWindow,
    Query,
    Pipeline,
    Project,
    Proxy,
    Unknown,
};

// "application", "window", ..., "user object", "datawindow", "unknown".
const char* kindName(ObjectKind kind);
// The kind an entry's extension (.sra ... .srx, in any case) stands for; Unknown for
// any other name.
ObjectKind kindFromEntryName(std::string_view entryName);
// The entry name without its extension.
std::string_view objectNameOf(std::string_view entryName);

// ASCII case folding: PowerScript names compare without regard to case.
std::string foldName(std::string_view name);
bool sameName(std::string_view a, std::string_view b);
// A word of PowerScript itself (a keyword, a type, an SQL word), never a name of the
// application's; in any case.
bool isKeyword(std::string_view word);

// `type cb_ok from commandbutton within w_main`: a control or a nested type.
struct TypeDecl {
    std::string name;
    std::string ancestor;
    std::string within;
    std::uint32_t line = 0;
};

struct Variable {
    const char* scope = "instance";  // "global", "shared", "instance" or "field" (structure)
    std::string access;              // "public", "private", "protected" or empty
    std::string type;
    std::string name;
    std::uint32_t line = 0;
};

struct Script {
    const char* kind = "event";  // "function", "subroutine", "event" or "on"
    std::string access;
    std::string returnType;
    std::string name;
    std::string owner;  // the type whose script it is (a control's name for its events)
    std::vector<std::string> arguments;
    std::uint32_t firstLine = 0;
    std::uint32_t lastLine = 0;
};

struct ExternalFunction {
    std::string name;
    std::string returnType;  // empty for a subroutine
    std::string library;
    std::uint32_t line = 0;
};

enum class RefKind : std::uint8_t {
    Create,      // create X
    Member,      // X.something
    Call,        // X(...)
    Name,        // X anywhere else in code (an argument, an assignment)
    Text,        // "X" or 'X' in code: a DataWindow name, an Open by name
    DataObject,  // dataobject = "X" in a type's properties or in code
};
const char* refKindName(RefKind kind);

// A name the source's code uses. Keywords and the script's own pronouns are left out.
struct Reference {
    std::string name;
    std::uint32_t line = 0;
    RefKind kind = RefKind::Name;
};

struct Unparsed {
    std::uint32_t firstLine = 0;
    std::uint32_t lastLine = 0;
    std::string note;
};

struct ObjectModel {
    std::string entry;
    std::string name;
    ObjectKind kind = ObjectKind::Unknown;
    std::string ancestor;
    std::string within;
    std::uint32_t typeLine = 0;      // the `global type` line, 0 when there is none
    std::vector<TypeDecl> controls;  // in source order; `within` gives the tree
    std::vector<Variable> variables;
    std::vector<Script> scripts;
    std::vector<ExternalFunction> externals;
    std::vector<Reference> references;
    std::vector<Unparsed> unparsed;
    std::uint32_t lines = 0;

    std::size_t functionCount() const;  // functions and subroutines
    std::size_t eventCount() const;     // events and old-style `on` scripts
};

// Never throws for any text (short of running out of memory for the model itself).
ObjectModel readSource(std::string_view entryName, std::string_view text);

// The controls as a tree: for each control, the index of the control it sits within, or
// -1 when it sits on the object itself (or within a name the source never declares).
std::vector<std::ptrdiff_t> controlParents(const ObjectModel& model);

// Classes PowerBuilder itself provides (window, commandbutton, nonvisualobject, ...): the
// roots of every inheritance tree.
bool isSystemClass(std::string_view name);

}  // namespace keldrin::script
