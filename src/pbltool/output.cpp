#include "pbltool/output.h"

#include "pbltool/text.h"

namespace keldrin::tool {

void Output::write(std::string_view bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        failed_ = true;
}

void Output::line(std::string_view text) {
    write(text);
    write("\n");
}

void Output::finish() {
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) failed_ = true;
    if (failed_) throw ToolFailure{"cannot write to standard output"};
}

void JsonObject::member(std::string_view key, const std::string& value) {
    if (!members_.empty()) members_ += ", ";
    members_ += jsonString(key);
    members_ += ": ";
    members_ += value;
}

JsonObject& JsonObject::text(std::string_view key, std::string_view utf8) {
    member(key, jsonString(utf8));
    return *this;
}

JsonObject& JsonObject::number(std::string_view key, std::int64_t value) {
    member(key, std::to_string(value));
    return *this;
}

JsonObject& JsonObject::array(std::string_view key, const std::vector<JsonObject>& objects) {
    std::string value = "[";
    for (const JsonObject& object : objects) {
        if (value.size() > 1) value += ", ";
        value += object.str();
    }
    member(key, value + "]");
    return *this;
}

std::string JsonObject::str() const {
    return "{" + members_ + "}";
}

void writeJson(Output& out, const JsonObject& object) {
    out.line(object.str());
}

void writeJsonArray(Output& out, const std::vector<JsonObject>& objects) {
    if (objects.empty()) {
        out.line("[]");
        return;
    }
    out.line("[");
    for (std::size_t i = 0; i < objects.size(); ++i)
        out.line("  " + objects[i].str() + (i + 1 < objects.size() ? "," : ""));
    out.line("]");
}

}  // namespace keldrin::tool
