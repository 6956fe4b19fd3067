#include "script/application.h"

#include <algorithm>
#include <map>
#include <utility>

namespace keldrin::script {

namespace {

// The type word of an argument: `ref string as_x` -> string, `integer ai_v[4]` -> integer.
std::string_view argumentType(std::string_view argument) {
    std::size_t i = 0;
    while (true) {
        while (i < argument.size() && argument[i] == ' ') ++i;
        std::size_t start = i;
        while (i < argument.size() && argument[i] != ' ') ++i;
        std::string_view word = argument.substr(start, i - start);
        if (word.empty()) return word;
        if (sameName(word, "ref") || sameName(word, "readonly")) continue;
        std::size_t brace = word.find('{');
        return brace == std::string_view::npos ? word : word.substr(0, brace);
    }
}

}  // namespace

std::size_t Application::addLibrary(std::string name) {
    libraries_.push_back(std::move(name));
    return libraries_.size() - 1;
}

void Application::add(std::size_t library, ObjectModel model) {
    objects_.push_back(AppObject{library, std::move(model), std::nullopt});
}

void Application::finish() {
    std::stable_sort(objects_.begin(), objects_.end(),
                     [](const AppObject& a, const AppObject& b) { return a.library < b.library; });
    winners_.clear();
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        AppObject& o = objects_[i];
        auto [it, added] = winners_.emplace(foldName(o.model.name), i);
        if (added) continue;
        o.shadowedBy = it->second;
        const AppObject& w = objects_[it->second];
        if (w.library == o.library)
            notes_.push_back(o.model.name + " is defined twice in " + libraries_[o.library] + " (" +
                             w.model.entry + " and " + o.model.entry + "): " + w.model.entry +
                             " is used");
        else
            notes_.push_back(o.model.name + " in " + libraries_[o.library] + " is shadowed by " +
                             libraries_[w.library] + " (" + w.model.entry +
                             "): the first library in the list wins");
    }
    // Cycles of ancestors: each winning object is walked once; a walk that comes back to
    // an object on it marks the loop.
    cyclic_.assign(objects_.size(), false);
    std::vector<std::uint8_t> state(objects_.size(), 0);  // 0 new, 1 on the walk, 2 settled
    std::vector<std::size_t> walk;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        if (objects_[i].shadowedBy) continue;
        walk.clear();
        std::size_t at = i;
        while (state[at] == 0) {
            state[at] = 1;
            walk.push_back(at);
            const std::string& ancestor = objects_[at].model.ancestor;
            if (ancestor.empty()) break;
            auto parent = winners_.find(foldName(ancestor));
            if (parent == winners_.end()) break;
            if (state[parent->second] == 1) {
                auto from = std::find(walk.begin(), walk.end(), parent->second);
                std::string loop;
                for (auto it = from; it != walk.end(); ++it) {
                    cyclic_[*it] = true;
                    loop +=
                        objects_[*it].model.name + " from " + objects_[*it].model.ancestor + ", ";
                }
                loop.resize(loop.size() - 2);
                notes_.push_back("a cycle of ancestors: " + loop +
                                 "; these objects have no root in the inheritance tree");
                break;
            }
            at = parent->second;
        }
        for (std::size_t w : walk) state[w] = 2;
    }
}

std::optional<std::size_t> Application::find(std::string_view name) const {
    auto it = winners_.find(foldName(name));
    if (it == winners_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<std::string, std::size_t>> Application::missingAncestors() const {
    std::map<std::string, std::pair<std::string, std::size_t>> missing;
    for (const AppObject& o : objects_) {
        const std::string& a = o.model.ancestor;
        if (o.shadowedBy || a.empty() || isSystemClass(a) || find(a)) continue;
        auto& entry = missing[foldName(a)];
        if (entry.first.empty()) entry.first = a;
        ++entry.second;
    }
    std::vector<std::pair<std::string, std::size_t>> out;
    out.reserve(missing.size());
    for (auto& [key, value] : missing) out.push_back(std::move(value));
    return out;
}

std::vector<TreeRow> Application::tree(std::optional<std::string_view> name) const {
    // Children by the folded name of their ancestor, in name order.
    std::unordered_map<std::string, std::vector<std::size_t>> children;
    std::map<std::string, std::pair<std::string, const char*>> roots;  // folded -> shown, status
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        const AppObject& o = objects_[i];
        if (o.shadowedBy || o.model.ancestor.empty()) continue;
        if (cyclic_[i]) {
            roots.emplace(foldName(o.model.name), std::make_pair(o.model.name, "cycle"));
            continue;
        }
        std::string key = foldName(o.model.ancestor);
        children[key].push_back(i);
        // System classes show as PowerBuilder spells them, whatever case a source used.
        if (!find(o.model.ancestor)) {
            bool system = isSystemClass(o.model.ancestor);
            roots.emplace(key, std::make_pair(system ? key : o.model.ancestor,
                                              system ? "system" : "missing"));
        }
    }
    for (auto& [key, list] : children)
        std::sort(list.begin(), list.end(), [this](std::size_t a, std::size_t b) {
            return foldName(objects_[a].model.name) < foldName(objects_[b].model.name);
        });

    std::vector<TreeRow> rows;
    std::vector<std::pair<std::size_t, std::size_t>> stack;  // object, depth
    auto pushChildren = [&](const std::string& key, std::size_t depth) {
        auto it = children.find(key);
        if (it == children.end()) return;
        for (auto c = it->second.rbegin(); c != it->second.rend(); ++c)
            stack.emplace_back(*c, depth);
    };
    for (const auto& [key, root] : roots) {
        TreeRow row;
        row.name = root.first;
        row.status = root.second;
        if (row.status[0] == 'c') row.object = find(root.first);
        rows.push_back(row);
        pushChildren(key, 1);
        while (!stack.empty()) {
            auto [object, depth] = stack.back();
            stack.pop_back();
            rows.push_back(TreeRow{objects_[object].model.name, object, depth, ""});
            pushChildren(foldName(objects_[object].model.name), depth + 1);
        }
    }
    if (!name) return rows;

    std::size_t at = rows.size();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (sameName(rows[i].name, *name)) {
            at = i;
            break;
        }
    if (at == rows.size()) return {};
    std::vector<TreeRow> picked;
    // Its ancestors: in depth-first order, the nearest earlier row one level up.
    std::size_t depth = rows[at].depth;
    for (std::size_t i = at; i-- > 0 && depth > 0;)
        if (rows[i].depth < depth) {
            picked.push_back(rows[i]);
            depth = rows[i].depth;
        }
    std::reverse(picked.begin(), picked.end());
    picked.push_back(rows[at]);
    for (std::size_t i = at + 1; i < rows.size() && rows[i].depth > rows[at].depth; ++i)
        picked.push_back(rows[i]);
    return picked;
}

std::vector<Use> Application::uses(std::string_view name) const {
    std::vector<Use> out;
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        const ObjectModel& m = objects_[i].model;
        if (sameName(m.ancestor, name)) out.push_back(Use{i, m.typeLine, "descendant", m.name});
        for (const TypeDecl& c : m.controls)
            if (sameName(c.ancestor, name)) out.push_back(Use{i, c.line, "control", c.name});
        for (const Variable& v : m.variables)
            if (sameName(v.type, name)) out.push_back(Use{i, v.line, "variable", v.name});
        for (const Script& s : m.scripts) {
            if (sameName(s.returnType, name)) out.push_back(Use{i, s.firstLine, "returns", s.name});
            for (const std::string& a : s.arguments)
                if (sameName(argumentType(a), name))
                    out.push_back(Use{i, s.firstLine, "argument", s.name});
        }
        // The script each use is in: scripts are in line order.
        std::size_t script = 0;
        for (const Reference& r : m.references) {
            if (!sameName(r.name, name)) continue;
            while (script < m.scripts.size() && m.scripts[script].lastLine < r.line) ++script;
            std::string detail;
            if (script < m.scripts.size() && m.scripts[script].firstLine <= r.line)
                detail = sameName(m.scripts[script].owner, m.name)
                             ? m.scripts[script].name
                             : m.scripts[script].owner + "." + m.scripts[script].name;
            out.push_back(Use{i, r.line, refKindName(r.kind), std::move(detail)});
        }
    }
    std::stable_sort(out.begin(), out.end(), [this](const Use& a, const Use& b) {
        const AppObject& x = objects_[a.object];
        const AppObject& y = objects_[b.object];
        if (x.library != y.library) return x.library < y.library;
        if (x.model.entry != y.model.entry) return x.model.entry < y.model.entry;
        return a.line < b.line;
    });
    return out;
}

}  // namespace keldrin::script
