// The objects of several libraries taken as one application, as PowerBuilder's library
// list takes them: the first library that holds a name wins and its later namesakes are
// shadowed. Over that: the inheritance tree (system classes at its roots, ancestors that
// no library holds marked missing, cycles of ancestors noted) and the uses of a name.
//
// Every walk is iterative and every lookup hashed, so the cost stays linear in the
// sources whatever their ancestors and names say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "script/script_model.h"

namespace keldrin::script {

struct AppObject {
    std::size_t library = 0;
    ObjectModel model;
    // The index of the object that wins over this one, or nothing when this one wins.
    std::optional<std::size_t> shadowedBy;
};

struct TreeRow {
    std::string name;
    std::optional<std::size_t> object;  // nothing for a system class or a missing ancestor
    std::size_t depth = 0;
    // "system", "missing", "cycle" (an object whose ancestors lead back to it), or "".
    const char* status = "";
};

struct Use {
    std::size_t object = 0;
    std::uint32_t line = 0;
    // "descendant", "control", "variable", "argument", "create", "member", "call", "name",
    // "text" or "dataobject".
    const char* how = "";
    std::string detail;  // the control, variable or script it is in
};

class Application {
  public:
    std::size_t addLibrary(std::string name);
    void add(std::size_t library, ObjectModel model);
    // Settles shadowing and ancestors; call after the last add.
    void finish();

    const std::vector<std::string>& libraries() const { return libraries_; }
    const std::vector<AppObject>& objects() const { return objects_; }
    // Application-wide notes: shadowed names, cycles of ancestors.
    const std::vector<std::string>& notes() const { return notes_; }

    // The object that a name stands for (the first library's), or nothing.
    std::optional<std::size_t> find(std::string_view name) const;
    // Ancestors that no library holds and that are no system class, with how many
    // objects name each, in name order.
    std::vector<std::pair<std::string, std::size_t>> missingAncestors() const;

    // The inheritance tree in depth-first order (children in name order). With a name,
    // only its ancestors and its descendants.
    std::vector<TreeRow> tree(std::optional<std::string_view> name = std::nullopt) const;
    // Every place that uses `name`, in library, entry and line order.
    std::vector<Use> uses(std::string_view name) const;

  private:
    std::vector<std::string> libraries_;
    std::vector<AppObject> objects_;
    std::vector<std::string> notes_;
    std::unordered_map<std::string, std::size_t> winners_;  // folded name -> object
    std::vector<bool> cyclic_;
};

}  // namespace keldrin::script
