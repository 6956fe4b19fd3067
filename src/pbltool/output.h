// What keldrin-pbl prints: the output stream that reports a failed write, and the one
// JSON writer behind every --json (one object per line; a list as an array of them).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/json.h"

namespace keldrin::tool {

class Output {
  public:
    explicit Output(std::FILE* file) : file_(file) {}

    void write(std::string_view bytes);
    void line(std::string_view text);
    // Everything reached the stream, or ToolFailure naming standard output.
    void finish();

  private:
    std::FILE* file_;
    bool failed_ = false;
};

// One JSON object, its members in the order they are added.
class JsonObject {
  public:
    JsonObject& text(std::string_view key, std::string_view utf8);
    JsonObject& number(std::string_view key, std::int64_t value);
    // An array of objects, on the object's one line.
    JsonObject& array(std::string_view key, const std::vector<JsonObject>& objects);
    // {"key": value, ...} on one line.
    std::string str() const;

  private:
    void member(std::string_view key, const std::string& value);
    std::string members_;
};

// One object on one line.
void writeJson(Output& out, const JsonObject& object);
// "[]" for none; otherwise "[", one object per line (comma after all but the last), "]".
void writeJsonArray(Output& out, const std::vector<JsonObject>& objects);

}  // namespace keldrin::tool
