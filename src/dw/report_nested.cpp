#include "dw/report_nested.h"

#include <algorithm>

#include "base/exceptions.h"
#include "base/json.h"
#include "base/text.h"
#include "dw/display_format.h"
#include "dw/report_output.h"

namespace keldrin::dw {
namespace {

constexpr char16_t kNestPrefix[] = u"datanest_";
constexpr std::size_t kMaxNestNumberDigits = 9;

// The DataWindows of the report objects, each read once however many objects name it.
struct Loader {
    PsrContainer& container;
    std::vector<std::string>& notes;
    std::map<std::string, std::shared_ptr<const DataWindow>> byName;
    std::size_t objectsLeft = kMaxReportObjects;
    bool complete = true;

    void note(std::string text) {
        notes.push_back(std::move(text));
        complete = false;
    }

    std::shared_ptr<const DataWindow> dataWindow(const std::string& name) {
        const std::string key = lowerAscii(name);
        if (const auto it = byName.find(key); it != byName.end()) return it->second;
        auto dw = std::make_shared<DataWindow>();
        std::vector<std::string> why;
        std::shared_ptr<const DataWindow> loaded;
        if (readChildDataWindow(container, name, *dw, why))
            loaded = std::move(dw);
        else
            for (std::string& text : why) note(text.insert(0, "nested report '" + name + "': "));
        byName[key] = loaded;
        return loaded;
    }

    // The report objects of `dw` at `depth` (1: inside the main DataWindow).
    std::vector<NestedReport> objects(const DataWindow& dw, std::size_t depth) {
        std::vector<NestedReport> out;
        std::size_t ordinal = 0;
        for (const Object& o : dw.objects) {
            if (o.kind != "report") continue;
            NestedReport report;
            report.frame = &o;
            report.ordinal = ++ordinal;
            report.dataObject = o.attr("dataobject");
            report.key = o.name.empty() ? report.dataObject : o.name;
            if (report.key.empty()) report.key = "report_" + std::to_string(report.ordinal);
            if (report.dataObject.empty()) {
                note("report object " + std::to_string(report.ordinal) +
                     " names no DataWindow (dataobject): drawn as an empty frame");
            } else if (depth > kMaxNestDepth) {
                note("nested report '" + report.dataObject + "' lies deeper than " +
                     std::to_string(kMaxNestDepth) + " levels: drawn as an empty frame");
            } else if (objectsLeft == 0) {
                note("nested report '" + report.dataObject + "': more than " +
                     std::to_string(kMaxReportObjects) +
                     " report objects on one page: drawn as an empty frame");
            } else {
                --objectsLeft;
                report.dw = dataWindow(report.dataObject);
                if (report.dw) report.inner = objects(*report.dw, depth + 1);
            }
            out.push_back(std::move(report));
        }
        return out;
    }
};

bool readQuietly(PsrContainer& container, const std::u16string& path, Bytes& bytes) {
    try {
        container.readStream(path, bytes);
        return true;
    } catch (const NotFoundException&) {
    } catch (const IOException&) {
    } catch (const NotSupportedFormatException&) {
    }
    return false;
}

std::vector<std::u16string> nestStreams(Loader& loader) {
    std::vector<std::u16string> paths;
    try {
        for (const PsrStreamInfo& stream : loader.container.listStreams())
            if (stream.path.rfind(std::u16string(kNestedStorage) + kNestPrefix, 0) == 0)
                paths.push_back(stream.path);
    } catch (const NotFoundException&) {
        loader.note("the report's streams cannot be listed: nested reports drawn without rows");
    } catch (const IOException&) {
        loader.note("the report's streams cannot be listed: nested reports drawn without rows");
    } catch (const NotSupportedFormatException&) {
        loader.note("the report's streams cannot be listed: nested reports drawn without rows");
    }
    return paths;
}

}  // namespace

std::optional<NestName> parseNestName(std::u16string_view name) {
    const std::u16string_view prefix = kNestPrefix;
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    name.remove_prefix(prefix.size());
    std::size_t numbers[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        std::size_t digits = 0;
        while (!name.empty() && name[0] >= u'0' && name[0] <= u'9') {
            if (++digits > kMaxNestNumberDigits) return std::nullopt;
            numbers[i] = numbers[i] * 10 + static_cast<std::size_t>(name[0] - u'0');
            name.remove_prefix(1);
        }
        if (digits == 0) return std::nullopt;
        if (i < 2) {
            if (name.empty() || name[0] != u'_') return std::nullopt;
            name.remove_prefix(1);
        }
    }
    if (!name.empty()) return std::nullopt;
    return NestName{numbers[0], numbers[1], numbers[2]};
}

bool isComposite(const DataWindow& dw) {
    return trimBlanks(dw.attr("processing")) == "5";
}

bool loadNestedReports(PsrContainer& container, const DataWindow& parent, std::size_t parentRows,
                       std::vector<NestedReport>& out, std::vector<std::string>& notes) {
    Loader loader{container, notes, {}};
    out = loader.objects(parent, 1);
    if (out.empty()) return loader.complete;
    const bool composite = isComposite(parent);

    for (const std::u16string& path : nestStreams(loader)) {
        const std::string shown = utf16ToUtf8(path);
        const std::optional<NestName> name = parseNestName(
            std::u16string_view(path).substr(std::u16string_view(kNestedStorage).size()));
        if (!name) {
            loader.note("stream '" + shown + "' is not named datanest_ROW_OBJECT_N: not drawn");
            continue;
        }
        if (name->object == 0 || name->object > out.size()) {
            loader.note("stream '" + shown + "' names report object " +
                        std::to_string(name->object) + "; the DataWindow has " +
                        std::to_string(out.size()) + ": not drawn");
            continue;
        }
        NestedReport& report = out[name->object - 1];
        // A composite has no rows of its own: its children are drawn once.
        const std::size_t row = composite ? 0 : name->row - 1;
        if (!composite && (name->row == 0 || name->row > parentRows)) {
            loader.note("stream '" + shown + "' belongs to row " + std::to_string(name->row) +
                        "; the report has " + std::to_string(parentRows) + " rows: not drawn");
            continue;
        }
        if (report.rows.contains(row)) {
            loader.note("stream '" + shown + "' holds rows for " + report.key +
                        " that another stream already gave: not drawn");
            continue;
        }
        if (!report.dw) continue;  // noted when its source failed
        Bytes bytes;
        if (!readQuietly(container, path, bytes)) {
            loader.note("stream '" + shown + "' cannot be read: its frame is drawn without rows");
            continue;
        }
        ReportData data;
        Damage damage;
        if (!decodeReportData(bytes, shown, report.dw.get(), data, damage)) {
            loader.note(damage.what + ": its frame is drawn without rows");
            continue;
        }
        for (const std::string& text : data.notes) loader.note(text);
        report.streams.push_back(shown);
        report.rows.emplace(row, std::move(data));
    }

    const std::size_t framesDrawn = composite ? 1 : parentRows;
    for (const NestedReport& report : out) {
        if (!report.dw) continue;
        std::size_t missing = 0;
        std::string first;
        for (std::size_t r = 0; r < framesDrawn; ++r)
            if (!report.rows.contains(r)) {
                if (missing++ == 0) first = std::to_string(r + 1);
            }
        if (missing != 0)
            loader.note("nested report '" + report.key + "' has no saved rows for " +
                        (composite ? std::string("the composite")
                                   : std::to_string(missing) + " of " + std::to_string(parentRows) +
                                         " rows (the first: row " + first + ")") +
                        ": those frames are drawn without rows");
    }
    return loader.complete;
}

const NestedReport* findNested(const std::vector<NestedReport>& reports, const Object& frame) {
    for (const NestedReport& report : reports)
        if (report.frame == &frame) return &report;
    return nullptr;
}

std::string toNestedJson(const ReportData& main, const std::vector<NestedReport>& nested) {
    std::string out = "[";
    for (std::size_t r = 0; r < main.rows.size(); ++r) {
        out += r == 0 ? "\n  " : ",\n  ";
        appendJsonRow(out, main, r);
        out.pop_back();  // the closing brace: the nested rows go before it
        for (const NestedReport& report : nested) {
            out += main.columns.empty() && &report == &nested.front() ? "" : ", ";
            appendJsonString(out, report.key);
            out += ": ";
            const auto it = report.rows.find(r);
            if (it == report.rows.end()) {
                out += "null";
                continue;
            }
            out += "[";
            for (std::size_t k = 0; k < it->second.rows.size(); ++k) {
                out += k == 0 ? "\n    " : ",\n    ";
                appendJsonRow(out, it->second, k);
            }
            out += it->second.rows.empty() ? "]" : "\n  ]";
        }
        out += "}";
    }
    out += main.rows.empty() ? "]\n" : "\n]\n";
    return out;
}

ReportData nestedRowsByParent(const NestedReport& report) {
    ReportData out;
    out.stream = report.streams.empty() ? std::string() : report.streams.front();
    out.columns.push_back(DataColumn{"parent_row", 4, 12, "long"});
    for (const auto& [row, data] : report.rows) {
        if (out.columns.size() == 1) {
            out.version = data.version;
            out.unicode = data.unicode;
            out.columns.insert(out.columns.end(), data.columns.begin(), data.columns.end());
        }
        const std::string parent = std::to_string(row + 1);
        for (const std::vector<DataValue>& values : data.rows) {
            std::vector<DataValue> line;
            line.reserve(values.size() + 1);
            line.push_back(DataValue{ValueKind::kLong, parent, static_cast<double>(row + 1)});
            line.insert(line.end(), values.begin(), values.end());
            out.rows.push_back(std::move(line));
        }
        out.notes.insert(out.notes.end(), data.notes.begin(), data.notes.end());
        out.unknownValues += data.unknownValues;
        out.trailerBytes += data.trailerBytes;
    }
    // Without rows, the columns are still the DataWindow's.
    if (out.columns.size() == 1 && report.dw)
        for (const TableColumn& column : report.dw->columns)
            out.columns.push_back(DataColumn{column.name, 0, 0, column.type});
    return out;
}

}  // namespace keldrin::dw
