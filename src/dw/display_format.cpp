#include "dw/display_format.h"

#include <charconv>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

namespace keldrin::dw {
namespace {

// "#,##0.00" and its kin: a prefix, digits with or without grouping, decimals, a suffix
// ("%" multiplies by 100). Sections after ";" are for negative values.
std::optional<std::string> formatNumber(double value, const std::string& given) {
    // "[currency]" is the system's currency format: a US system's is assumed.
    std::string format = lowerAscii(given) == "[currency]" ? "$#,##0.00;($#,##0.00)" : given;
    // Colour tokens ("[RED]") choose the ink, which the text does not carry.
    for (std::size_t open = format.find('['); open != std::string::npos;
         open = format.find('[', open)) {
        const std::size_t close = format.find(']', open);
        if (close == std::string::npos) break;
        format.erase(open, close - open + 1);
    }
    std::string section = format;
    const std::size_t semicolon = format.find(';');
    bool negativeSection = false;
    if (semicolon != std::string::npos) {
        if (value < 0) {
            section = format.substr(semicolon + 1);
            section = section.substr(0, section.find(';'));
            negativeSection = true;
        } else {
            section = format.substr(0, semicolon);
        }
    }
    const std::size_t first = section.find_first_of("#0");
    const std::size_t last = section.find_last_of("#0");
    if (first == std::string::npos) return std::nullopt;
    const std::string pattern = section.substr(first, last - first + 1);
    std::string prefix = section.substr(0, first);
    std::string suffix = section.substr(last + 1);
    const bool grouping = pattern.find(',') != std::string::npos;
    const std::size_t point = pattern.find('.');
    const int decimals =
        point == std::string::npos ? 0 : static_cast<int>(pattern.size() - point - 1);
    double v = negativeSection ? -value : value;
    if (suffix.find('%') != std::string::npos) v *= 100;
    if (!std::isfinite(v) || std::fabs(v) > 1e18) return std::nullopt;
    // PowerBuilder rounds halves away from zero; printf alone would round them to even.
    const double scale = std::pow(10.0, decimals);
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.*f", decimals,
                  std::round(std::fabs(v) * scale) / scale);
    std::string text = digits;
    std::string whole = text.substr(0, text.find('.'));
    const std::string fraction =
        text.find('.') == std::string::npos ? "" : text.substr(text.find('.'));
    if (grouping)
        for (int at = static_cast<int>(whole.size()) - 3; at > 0; at -= 3) whole.insert(at, ",");
    if (whole == "0" && pattern.find('0') == std::string::npos) whole.clear();
    const std::string sign = v < 0 ? "-" : "";
    for (std::string* s : {&prefix, &suffix}) {
        std::string cleaned;
        for (char c : *s)
            if (c != '"' && c != '\\') cleaned.push_back(c);
        *s = cleaned;
    }
    return prefix + sign + whole + fraction + suffix;
}

// The number of `iso` at [at, at + 2) without a leading zero.
std::string unpadded(const std::string& iso, std::size_t at) {
    return iso[at] == '0' ? iso.substr(at + 1, 1) : iso.substr(at, 2);
}

// "mm/dd/yyyy", "yyyy-mm-dd", "mmm d, yy", "mmmm dd, yyyy", "hh:mm AM/PM" and the like,
// for a value "YYYY-MM-DDTHH:MM:SS". PowerBuilder's rule for "mm": minutes right after
// hours, the month everywhere else. Month names are English, as a US system shows them.
std::optional<std::string> formatDate(const std::string& iso, const std::string& format) {
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    if (iso.size() < 19) return std::nullopt;
    const std::string lower = lowerAscii(format);
    if (lower.find_first_of("ymdhs") == std::string::npos) return std::nullopt;
    const int month = (iso[5] - '0') * 10 + (iso[6] - '0');
    if (month < 1 || month > 12) return std::nullopt;
    const int hour = (iso[11] - '0') * 10 + (iso[12] - '0');
    const bool twelveHours = lower.find("am/pm") != std::string::npos;
    std::string out;
    bool afterHours = false;
    for (std::size_t i = 0; i < lower.size();) {
        const auto starts = [&](const char* token) {
            return lower.compare(i, std::strlen(token), token) == 0;
        };
        std::string piece;
        std::size_t length = 1;
        bool hours = false;
        if (starts("yyyy")) {
            piece = iso.substr(0, 4);
            length = 4;
        } else if (starts("yy")) {
            piece = iso.substr(2, 2);
            length = 2;
        } else if (starts("mmmm")) {
            piece = kMonths[month - 1];
            length = 4;
        } else if (starts("mmm")) {
            piece = std::string(kMonths[month - 1]).substr(0, 3);
            length = 3;
        } else if (starts("mm")) {
            piece = afterHours ? iso.substr(14, 2) : iso.substr(5, 2);
            length = 2;
        } else if (starts("m")) {
            piece = afterHours ? unpadded(iso, 14) : unpadded(iso, 5);
        } else if (starts("dd")) {
            piece = iso.substr(8, 2);
            length = 2;
        } else if (starts("d")) {
            piece = unpadded(iso, 8);
        } else if (starts("hh") || starts("h")) {
            const int shown = twelveHours ? (hour % 12 == 0 ? 12 : hour % 12) : hour;
            length = starts("hh") ? 2 : 1;
            piece = std::to_string(shown);
            if (length == 2 && shown < 10) piece.insert(0, 1, '0');
            hours = true;
        } else if (starts("ss")) {
            piece = iso.substr(17, 2);
            length = 2;
        } else if (starts("am/pm")) {
            piece = hour < 12 ? "AM" : "PM";
            length = 5;
        } else {
            piece = format.substr(i, 1);
            out += piece;
            ++i;
            continue;
        }
        afterHours = hours;
        out += piece;
        i += length;
    }
    return out;
}

}  // namespace

std::string trimBlanks(const std::string& text) {
    const std::size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    const std::size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string formatValue(const DataValue& value, const std::string& format) {
    const std::string f = trimBlanks(format);
    if (value.kind == ValueKind::kNull) return "";
    if (f.empty() || lowerAscii(f) == "[general]") {
        if (value.kind == ValueKind::kDateTime) return value.text.substr(0, 10);
        return value.text;
    }
    if (value.kind == ValueKind::kNumber || value.kind == ValueKind::kLong ||
        value.kind == ValueKind::kDecimal)
        return formatNumber(value.number, f).value_or(value.text);
    if (value.kind == ValueKind::kDateTime) return formatDate(value.text, f).value_or(value.text);
    return value.text;
}

std::string numberText(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace keldrin::dw
