// Window sources made up for the PowerScript model's tests and benchmark: each with a
// control, instance variables, four functions and an event, in the shape PowerBuilder
// exports them (about 50 lines each).
#pragma once

#include <string>
#include <vector>

namespace keldrin::test {

inline std::vector<std::string> windowSources(int count) {
    std::vector<std::string> sources;
    sources.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string n = "w_" + std::to_string(i);
        std::string s = "forward\nglobal type " + n + " from w_base\nend type\n";
        s += "type cb_1 from commandbutton within " + n + "\nend type\nend forward\n\n";
        s += "global type " + n + " from w_base\ninteger width = 100\ncb_1 cb_1\nend type\n";
        s += "global " + n + " " + n +
             "\n\ntype variables\nstring is_a\nlong il_b\nend variables\n\n";
        for (int f = 0; f < 4; ++f)
            s += "public function long wf_" + std::to_string(f) +
                 " (string as_x);long ll_i\nfor ll_i = 1 to 10\n\tdw_1.dataobject = \"d_x\"\n"
                 "\tll_i = f_count(as_x) // comment\nnext\nreturn ll_i\nend function\n\n";
        s += "type cb_1 from commandbutton within " + n +
             "\nstring text = \"OK\"\nend type\n\nevent clicked;Open(w_other)\nend event\n";
        sources.push_back(std::move(s));
    }
    return sources;
}

}  // namespace keldrin::test
