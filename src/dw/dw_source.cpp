#include "dw/dw_source.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "base/bytes.h"
#include "base/text.h"

namespace keldrin::dw {
namespace {

bool isSpace(char16_t c) {
    return c <= u' ' || c == 0xFEFF;  // a byte-order mark at the start reads as space
}

bool endsWord(char16_t c) {
    return isSpace(c) || c == u'(' || c == u')' || c == u'=' || c == u',' || c == u'"' ||
           c == u'\'';
}

int digitValue(char16_t c, int base) {
    int v = -1;
    if (c >= u'0' && c <= u'9') v = c - u'0';
    if (c >= u'a' && c <= u'f') v = c - u'a' + 10;
    if (c >= u'A' && c <= u'F') v = c - u'A' + 10;
    return v < base ? v : -1;
}

std::string offsetText(std::size_t offset) {
    return "character " + std::to_string(offset);
}

class Parser {
  public:
    Parser(std::u16string_view text, Damage& error) : t_(text), error_(error) {}

    bool parse(SourceText& out) {
        skipSpace();
        if (!readRelease(out.release)) return false;
        while (true) {
            skipSpace();
            if (pos_ == t_.size()) return true;
            Group group;
            group.offset = pos_;
            std::u16string_view keyword = word();
            if (keyword.empty())
                return fail(
                    std::string("a group keyword was expected, not '") + describe(t_[pos_]) + "'",
                    pos_);
            group.keyword = utf16ToUtf8(keyword);
            skipSpace();
            if (pos_ == t_.size() || t_[pos_] != u'(')
                return fail("'(' was expected after \"" + group.keyword + "\"", pos_);
            const std::size_t open = pos_++;
            if (!readItems(group.items, 1, open)) return false;
            out.groups.push_back(std::move(group));
        }
    }

  private:
    static std::string describe(char16_t c) { return utf16ToUtf8(std::u16string(1, c)); }

    bool fail(std::string reason, std::size_t at) {
        error_ = Damage{std::move(reason), static_cast<std::int64_t>(at), {}};
        return false;
    }

    void skipSpace() {
        while (pos_ < t_.size() && isSpace(t_[pos_])) ++pos_;
    }

    std::u16string_view word() {
        const std::size_t start = pos_;
        while (pos_ < t_.size() && !endsWord(t_[pos_])) ++pos_;
        return t_.substr(start, pos_ - start);
    }

    // "release 6;" or "release 10.5;". A text without one parses (the release is then
    // empty): pieces of sources, e.g. a DataWindow made in code, may leave it out.
    bool readRelease(std::string& release) {
        constexpr std::u16string_view kRelease = u"release";
        if (t_.substr(pos_, kRelease.size()) != kRelease) return true;
        const std::size_t at = pos_;
        pos_ += kRelease.size();
        if (pos_ < t_.size() && !isSpace(t_[pos_])) {  // a group named "releasex(": no statement
            pos_ = at;
            return true;
        }
        skipSpace();
        const std::size_t start = pos_;
        while (pos_ < t_.size() && ((t_[pos_] >= u'0' && t_[pos_] <= u'9') || t_[pos_] == u'.'))
            ++pos_;
        if (pos_ == start) return fail("the release statement has no number", start);
        release = utf16ToUtf8(t_.substr(start, pos_ - start));
        skipSpace();
        if (pos_ == t_.size() || t_[pos_] != u';')
            return fail("the release statement does not end with ';'", pos_);
        ++pos_;
        return true;
    }

    // The items of a list whose '(' stands at `open`, up to and past its ')'.
    bool readItems(std::vector<Item>& items, std::size_t depth, std::size_t open) {
        if (depth > kMaxDepth)
            return fail("lists nest deeper than " + std::to_string(kMaxDepth), open);
        while (true) {
            skipSpace();
            if (pos_ == t_.size())
                return fail("the list opened at " + offsetText(open) + " is not closed", pos_);
            const char16_t c = t_[pos_];
            if (c == u')') {
                ++pos_;
                return true;
            }
            if (c == u',') {
                ++pos_;
                continue;
            }
            Item item;
            item.offset = pos_;
            if (c == u'(' || c == u'"' || c == u'\'') {
                if (!readValue(item.value, depth)) return false;
            } else {
                std::u16string_view w = word();
                if (w.empty()) return fail("'" + describe(c) + "' was not expected", pos_);
                skipSpace();
                if (pos_ < t_.size() && t_[pos_] == u'=') {
                    item.key = utf16ToUtf8(w);
                    ++pos_;
                    skipSpace();
                    if (!readValue(item.value, depth)) return false;
                } else {
                    item.value.text = utf16ToUtf8(w);
                }
            }
            items.push_back(std::move(item));
        }
    }

    bool readValue(Value& value, std::size_t depth) {
        if (pos_ == t_.size()) return fail("a value was expected", pos_);
        const char16_t c = t_[pos_];
        if (c == u'(') {
            value.isList = true;
            const std::size_t open = pos_++;
            return readItems(value.list, depth + 1, open);
        }
        if (c == u'"' || c == u'\'') {
            value.quoted = true;
            return readQuoted(value.text);
        }
        const std::size_t start = pos_;
        std::u16string_view w = word();
        if (w.empty()) return fail("a value was expected, not '" + describe(c) + "'", pos_);
        // PowerBuilder writes some settings with no space between a number and the next
        // key ("method=0distill.customPostScript=..."): the number is the value and
        // the rest of the word the next item's key.
        if (pos_ < t_.size() && t_[pos_] == u'=') {
            const std::size_t digits = numberPrefix(w);
            if (digits == 0 || digits == w.size()) return fail("'=' was not expected", pos_);
            pos_ = start + digits;
            w = w.substr(0, digits);
        }
        // A size right after a type word belongs to it: type=char(10), decimal(3).
        if (pos_ < t_.size() && t_[pos_] == u'(') {
            const std::size_t open = pos_;
            std::size_t open_lists = 0;
            do {
                if (t_[pos_] == u'(') ++open_lists;
                if (t_[pos_] == u')') --open_lists;
                ++pos_;
            } while (open_lists != 0 && pos_ < t_.size());
            if (open_lists != 0)
                return fail("the list opened at " + offsetText(open) + " is not closed", pos_);
            w = t_.substr(start, pos_ - start);
        }
        value.text = utf16ToUtf8(w);
        return true;
    }

    static std::size_t numberPrefix(std::u16string_view w) {
        std::size_t n = 0;
        if (n < w.size() && (w[n] == u'-' || w[n] == u'+')) ++n;
        const std::size_t first = n;
        while (n < w.size() && ((w[n] >= u'0' && w[n] <= u'9') || w[n] == u'.')) ++n;
        return n == first ? 0 : n;
    }

    // Up to `count` digits of `base` after the escape letter; -1 when there are none.
    int escapedNumber(int base, std::size_t count) {
        int value = 0;
        std::size_t used = 0;
        while (used < count && pos_ < t_.size() && digitValue(t_[pos_], base) >= 0) {
            value = value * base + digitValue(t_[pos_], base);
            ++pos_;
            ++used;
        }
        return used == 0 ? -1 : value;
    }

    bool readQuoted(std::string& out) {
        const char16_t quote = t_[pos_];
        const std::size_t open = pos_++;
        std::u16string text;
        while (true) {
            if (pos_ == t_.size())
                return fail("the string opened at " + offsetText(open) + " is not closed", pos_);
            char16_t c = t_[pos_++];
            if (c == quote) break;
            if (c != u'~' || pos_ == t_.size()) {
                text.push_back(c);
                continue;
            }
            c = t_[pos_++];
            // ~hXX and ~oNNN: a code in hex or octal; ~ddd: one in decimal.
            const bool hex = c == u'h' || c == u'H';
            if (hex || c == u'o' || c == u'O') {
                const int number = escapedNumber(hex ? 16 : 8, hex ? 2 : 3);
                text.push_back(number >= 0 ? static_cast<char16_t>(number) : c);
                continue;
            }
            if (c >= u'0' && c <= u'9') {
                --pos_;
                text.push_back(static_cast<char16_t>(escapedNumber(10, 3)));
                continue;
            }
            static constexpr std::u16string_view kLetters = u"nrtbfv";
            static constexpr std::u16string_view kControls = u"\n\r\t\b\f\v";
            const std::size_t letter = kLetters.find(c);
            // ~" ~' ~~ and every other character stand for themselves.
            text.push_back(letter == std::u16string_view::npos ? c : kControls[letter]);
        }
        out = utf16ToUtf8(text);
        return true;
    }

    std::u16string_view t_;
    Damage& error_;
    std::size_t pos_ = 0;
};

void appendDisplay(const Value& value, std::string& out);

void appendItems(const std::vector<Item>& items, std::string& out) {
    out.push_back('(');
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out.push_back(' ');
        if (!items[i].key.empty()) out += items[i].key + "=";
        appendDisplay(items[i].value, out);
    }
    out.push_back(')');
}

void appendDisplay(const Value& value, std::string& out) {
    if (!value.isList) {
        out += value.quoted && value.text.empty() ? "\"\"" : value.text;
        return;
    }
    appendItems(value.list, out);
}

int toInt(const std::string& text) {
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Keywords of the groups that draw something; every other group (table, bands, sparse,
// htmltable, export settings...) is not an object.
constexpr std::array kObjectKinds = {"text",      "column",         "compute",    "line",
                                     "rectangle", "roundrectangle", "ellipse",    "bitmap",
                                     "report",    "graph",          "button",     "groupbox",
                                     "ole",       "tableblob",      "inkpicture", "animation"};

bool isObjectKind(const std::string& keyword) {
    return std::find(kObjectKinds.begin(), kObjectKinds.end(), keyword) != kObjectKinds.end();
}

const Value* findIn(const std::vector<Item>& items, std::string_view key) {
    for (const Item& item : items)
        if (item.key == key) return &item.value;
    return nullptr;
}

std::string textIn(const std::vector<Item>& items, std::string_view key) {
    const Value* v = findIn(items, key);
    return v == nullptr ? std::string() : v->display();
}

}  // namespace

std::string Value::display() const {
    std::string out;
    if (!isList) return text;
    appendDisplay(*this, out);
    return out;
}

const Value* Group::find(std::string_view key) const {
    return findIn(items, key);
}

std::string Group::text(std::string_view key, std::string_view fallback) const {
    const Value* v = find(key);
    return v == nullptr ? std::string(fallback) : v->display();
}

std::string TableColumn::baseType() const {
    return type.substr(0, type.find('('));
}

const TableColumn* DataWindow::column(std::string_view name) const {
    for (const TableColumn& c : columns)
        if (c.name == name) return &c;
    return nullptr;
}

bool parseSourceText(std::u16string_view text, SourceText& out, Damage& error) {
    out = SourceText{};
    return Parser(text, error).parse(out);
}

bool parseDataWindow(std::u16string_view text, DataWindow& out, Damage& error) {
    if (!parseSourceText(text, out.text, error)) return false;
    for (const Group& g : out.text.groups) {
        if (g.keyword == "datawindow") {
            if (out.datawindow == nullptr) out.datawindow = &g;
        } else if (g.keyword == "header" || g.keyword == "detail" || g.keyword == "summary" ||
                   g.keyword == "footer") {
            out.bands.push_back(Band{g.keyword, toInt(g.text("height")), g.text("color"), 0, {}});
        } else if (g.keyword == "group") {
            const int level = toInt(g.text("level"));
            std::vector<std::string> by;
            if (const Value* v = g.find("by"); v != nullptr && v->isList)
                for (const Item& i : v->list) by.push_back(i.value.display());
            const std::string n = std::to_string(level);
            out.bands.push_back(Band{"header." + n, toInt(g.text("header.height")),
                                     g.text("header.color"), level, by});
            out.bands.push_back(Band{"trailer." + n, toInt(g.text("trailer.height")),
                                     g.text("trailer.color"), level, by});
        } else if (g.keyword == "table") {
            out.table = &g;
            for (const Item& item : g.items) {
                if (item.key != "column" || !item.value.isList) continue;
                TableColumn column;
                column.name = textIn(item.value.list, "name");
                column.type = textIn(item.value.list, "type");
                column.dbname = textIn(item.value.list, "dbname");
                column.items = item.value.list;
                out.columns.push_back(std::move(column));
            }
        } else if (isObjectKind(g.keyword)) {
            out.objects.push_back(Object{g.keyword, g.text("name"), g.text("band"), &g});
        }
    }
    return true;
}

std::optional<std::u16string> sourceFromBytes(const std::uint8_t* data, std::size_t size,
                                              bool unicode) {
    ByteSpan bytes(data, size);
    if (unicode) {
        std::u16string text = decodeUtf16Le(bytes);
        text.erase(std::min(text.find(u'\0'), text.size()));
        return text;
    }
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return decodeAnsi(bytes.first(static_cast<std::size_t>(end - bytes.begin())));
}

}  // namespace keldrin::dw
