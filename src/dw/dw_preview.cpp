#include "dw/dw_preview.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "base/damage.h"
#include "dw/display_format.h"
#include "dw/dw_source.h"
#include "dw/report_html.h"

namespace keldrin::dw {
namespace {

// A short text in the place of a DataWindow that is not drawn.
std::string noteBlock(const std::string& text) {
    return "<div class=\"note\" style=\"padding:2px 4px;color:#800000;white-space:normal\">" +
           escapeHtml(text) + "</div>\n";
}

// One source parsed, once per page however often it is nested.
struct Parsed {
    DataWindow dw;
    std::string problem;  // why it is not drawn; empty when it parsed
};

std::unique_ptr<Parsed> parse(const std::string& name, const PreviewSource& from) {
    auto parsed = std::make_unique<Parsed>();
    const std::u16string& source = from.text;
    if (!from.problem.empty()) {
        parsed->problem = name + ": " + from.problem;
        return parsed;
    }
    if (source.size() > kPreviewMaxSourceChars) {
        parsed->problem = name + ": the source is too long to draw (" +
                          std::to_string(source.size()) + " characters, at most " +
                          std::to_string(kPreviewMaxSourceChars) + ")";
        return parsed;
    }
    Damage error;
    if (!parseDataWindow(source, parsed->dw, error))
        parsed->problem = name + ": the source does not parse: " + describe(error);
    else if (parsed->dw.datawindow == nullptr)
        parsed->problem = name + ": the source holds no datawindow(...) group";
    return parsed;
}

class Previewer {
  public:
    explicit Previewer(const SourceLookup& lookup) : lookup_(lookup) {
        options_.emptyRow = true;
        options_.editFields = true;
        options_.nested = [this](const Object& o) { return nested(o); };
    }

    Preview page(const std::string& name, const PreviewSource& source, const std::string& title) {
        Preview preview;
        const Parsed& top = remember(name, parse(name, source));
        if (!top.problem.empty()) {
            notes_.push_back(top.problem);
            preview.html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                           escapeHtml(title) + "</title></head>\n<body style=\"margin:0\">\n" +
                           "<div class=\"dw\">\n" + noteBlock(top.problem) + "</div>\n" +
                           "</body></html>\n";
        } else {
            stack_.push_back(name);
            ++drawn_;
            preview.html = renderHtml(top.dw, title, options_);
            preview.drawn = true;
        }
        preview.notes = std::move(notes_);
        return preview;
    }

  private:
    static std::string key(const std::string& name) { return lowerAscii(name); }

    const Parsed& remember(const std::string& name, std::unique_ptr<Parsed> parsed) {
        return *(parsed_[key(name)] = std::move(parsed));
    }

    // The parsed source of `name`, or nullptr when the library holds none.
    const Parsed* find(const std::string& name) {
        const auto it = parsed_.find(key(name));
        if (it != parsed_.end()) return it->second.get();
        std::optional<PreviewSource> source = lookup_ ? lookup_(name) : std::nullopt;
        if (!source) {
            parsed_[key(name)] = nullptr;
            return nullptr;
        }
        return &remember(name, parse(name, *source));
    }

    // A note both in the frame and among the page's notes.
    std::string refuse(const std::string& text) {
        notes_.push_back(text);
        return noteBlock(text);
    }

    std::optional<std::string> nested(const Object& o) {
        std::string name = trimBlanks(o.attr("dataobject"));
        name = name.substr(0, name.find('\t'));
        if (name.empty()) return std::nullopt;
        const std::string inside = stack_.empty() ? std::string() : " (in " + stack_.back() + ")";
        if (std::any_of(stack_.begin(), stack_.end(),
                        [&](const std::string& drawing) { return key(drawing) == key(name); }))
            return refuse(name + ": not drawn: it nests itself" + inside);
        if (stack_.size() > kPreviewMaxDepth)
            return refuse(name + ": not drawn: nested more than " +
                          std::to_string(kPreviewMaxDepth) + " deep" + inside);
        if (drawn_ >= kPreviewMaxDrawn || bytes_ >= kPreviewMaxPageBytes)
            return refuse(name + ": not drawn: the page holds as many DataWindows as it takes");
        const Parsed* child = find(name);
        // Not in the library: the frame with its name, which is all the page can know.
        if (child == nullptr)
            return "<div class=\"missing\" style=\"padding:2px 4px;color:#808080\">" +
                   escapeHtml(name) + "</div>\n";
        if (!child->problem.empty()) return refuse(child->problem);
        stack_.push_back(name);
        ++drawn_;
        std::string html = renderElement(child->dw, options_);
        stack_.pop_back();
        bytes_ += html.size();
        return html;
    }

    const SourceLookup& lookup_;
    PageOptions options_;
    std::map<std::string, std::unique_ptr<Parsed>> parsed_;
    std::vector<std::string> stack_;  // the DataWindows being drawn, outermost first
    std::vector<std::string> notes_;
    std::size_t drawn_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace

Preview previewHtml(const std::string& name, const PreviewSource& source,
                    const SourceLookup& lookup, const std::string& title) {
    return Previewer(lookup).page(name, source, title);
}

}  // namespace keldrin::dw
