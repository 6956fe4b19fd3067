#include "dw/report_output.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "base/exceptions.h"
#include "base/json.h"
#include "base/text.h"
#include "convert/report_plan.h"
#include "dw/display_format.h"
#include "dw/report_nested.h"

namespace keldrin::dw {
namespace {

constexpr char16_t kDropDownPrefix[] = u"datadddw_";

std::string csvField(const std::string& value, bool spreadsheetSafe) {
    // A spreadsheet runs a cell that starts so as a formula; a leading quote makes it text.
    const bool formula = spreadsheetSafe && !value.empty() &&
                         std::string_view("=+-@\t\r").find(value.front()) != std::string_view::npos;
    std::string text = formula ? "'" + value : value;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Runs a read of the report; false when the report refuses it.
template <typename Read>
bool succeeds(Read read) {
    try {
        read();
        return true;
    } catch (const NotFoundException&) {
    } catch (const IOException&) {
    } catch (const NotSupportedFormatException&) {
    }
    return false;
}

// Every stream path of the report; nothing, with a note, when its structure cannot be
// walked.
std::vector<std::u16string> streamPaths(PsrContainer& container, std::vector<std::string>& notes) {
    std::vector<PsrStreamInfo> streams;
    if (!succeeds([&] { streams = container.listStreams(); }))
        notes.push_back("the report's streams cannot be listed");
    std::vector<std::u16string> paths;
    paths.reserve(streams.size());
    for (PsrStreamInfo& stream : streams) paths.push_back(std::move(stream.path));
    return paths;
}

// Reads a stream; false with a note when the report does not give it.
bool readNamed(PsrContainer& container, const std::u16string& path, Bytes& bytes,
               std::vector<std::string>& notes) {
    try {
        container.readStream(path, bytes);
        return true;
    } catch (const NotFoundException&) {
        notes.push_back("the report has no stream '" + utf16ToUtf8(path) + "'");
    } catch (const IOException&) {
        notes.push_back("stream '" + utf16ToUtf8(path) + "' cannot be read");
    } catch (const NotSupportedFormatException&) {
        notes.push_back("stream '" + utf16ToUtf8(path) + "' cannot be read");
    }
    return false;
}

// Parses a source stream into `dw`; false with a note naming the stream and offset.
bool loadSource(PsrContainer& container, const std::u16string& path, DataWindow& dw,
                std::vector<std::string>& notes) {
    Bytes bytes;
    if (!readNamed(container, path, bytes, notes)) return false;
    // The first character is plain ASCII ("r" of "release"): in UTF-16 its second byte
    // is zero.
    const bool unicode = bytes.size() >= 2 && bytes[1] == 0;
    std::optional<std::u16string> text = sourceFromBytes(bytes.data(), bytes.size(), unicode);
    if (!text) {
        notes.push_back("stream '" + utf16ToUtf8(path) + "' does not convert from the code page");
        return false;
    }
    Damage error;
    if (!parseDataWindow(*text, dw, error)) {
        notes.push_back("stream '" + utf16ToUtf8(path) + "' does not parse: " + describe(error));
        return false;
    }
    return true;
}

// The child DataWindow's source stream, "dwstg/source_N", or nothing.
std::optional<std::u16string> childSource(PsrContainer& container, const std::u16string& name) {
    ReportPlan plan;
    Bytes buffer;
    if (!succeeds([&] { readPlanDataWindows(container, buffer, plan); })) return std::nullopt;
    const PlannedDataWindow* child = plan.findChild(name);
    if (child == nullptr) return std::nullopt;
    return child->sourceStream;
}

// For "datadddw_A_B_C" the main DataWindow's column B names its drop-down DataWindow
// (dddw.name), whose source is a child's: the samples all fit this reading.
std::optional<std::u16string> dropDownSource(PsrContainer& container, const std::u16string& stream,
                                             std::vector<std::string>& notes) {
    const std::u16string prefix = kDropDownPrefix;
    if (stream.rfind(prefix, 0) != 0) return std::nullopt;
    const std::size_t first = stream.find(u'_', prefix.size());
    const std::size_t second = first == std::u16string::npos ? first : stream.find(u'_', first + 1);
    if (second == std::u16string::npos) return std::nullopt;
    const std::string id = utf16ToUtf8(stream.substr(first + 1, second - first - 1));
    DataWindow main;
    std::vector<std::string> ignored;
    if (!loadSource(container, u"source", main, ignored)) return std::nullopt;
    for (const Object& object : main.objects) {
        if (object.kind != "column" || object.attr("id") != id) continue;
        const std::string dddw = object.attr("dddw.name");
        if (dddw.empty()) return std::nullopt;
        std::optional<std::u16string> source = childSource(container, utf8ToUtf16(dddw));
        if (!source)
            notes.push_back("the drop-down DataWindow '" + dddw + "' has no source in the report");
        return source;
    }
    return std::nullopt;
}

// For "datanest_R_B_C", the DataWindow of the main DataWindow's report object B (see
// report_nested.h for how sure that reading is).
std::optional<std::u16string> nestSource(PsrContainer& container, const std::u16string& stream) {
    const std::optional<NestName> name = parseNestName(stream);
    if (!name) return std::nullopt;
    DataWindow main;
    std::vector<std::string> ignored;
    if (!loadSource(container, u"source", main, ignored)) return std::nullopt;
    std::size_t ordinal = 0;
    for (const Object& object : main.objects)
        if (object.kind == "report" && ++ordinal == name->object)
            return childSource(container, utf8ToUtf16(object.attr("dataobject")));
    return std::nullopt;
}

void render(const ReportData& data, Format format, const TextSink& out) {
    if (format == Format::kJson)
        writeJson(data, out);
    else
        writeCsv(data, format == Format::kCsvSafe, out);
}

int finish(const ReportData& data, Format format, const TextSink& out,
           std::vector<std::string>& notes) {
    render(data, format, out);
    notes.insert(notes.end(), data.notes.begin(), data.notes.end());
    return data.partial() ? kDataPartial : kDataComplete;
}

bool sameName(const std::string& a, const std::string& b) {
    return !a.empty() && lowerAscii(a) == lowerAscii(b);
}

// The rows of the nested report `name` (its object's name or its DataWindow's), every
// outer row's in turn; nothing when the main DataWindow has no such report object.
std::optional<int> writeNestedRows(PsrContainer& container, const std::string& name, Format format,
                                   const TextSink& out, std::vector<std::string>& notes) {
    DataWindow main;
    ReportData rows;
    bool hasRows = false;
    std::vector<std::string> ignored;
    if (!readMainDataWindow(container, main, rows, hasRows, ignored)) return std::nullopt;
    const bool named = std::any_of(main.objects.begin(), main.objects.end(), [&](const Object& o) {
        return o.kind == "report" &&
               (sameName(o.name, name) || sameName(o.attr("dataobject"), name));
    });
    if (!named) return std::nullopt;
    // A composite's children are drawn once, whatever its own rows.
    if (!hasRows && !isComposite(main)) {
        notes.push_back(
            "the main DataWindow's rows cannot be read, so the rows of nested report '" + name +
            "' cannot be matched to them");
        return kDataFailed;
    }
    std::vector<NestedReport> nested;
    std::vector<std::string> found;
    const bool whole =
        loadNestedReports(container, main, hasRows ? rows.rows.size() : 0, nested, found);
    for (const NestedReport& report : nested) {
        if (!sameName(report.key, name) && !sameName(report.dataObject, name)) continue;
        if (!report.dw) {
            notes.insert(notes.end(), found.begin(), found.end());
            return kDataFailed;
        }
        render(nestedRowsByParent(report), format, out);
        notes.insert(notes.end(), found.begin(), found.end());
        return whole ? kDataComplete : kDataPartial;
    }
    return std::nullopt;
}

}  // namespace

namespace {

void appendJsonValues(std::string& out, const ReportData& data, const std::vector<DataValue>& row) {
    out += "{";
    for (std::size_t i = 0; i < row.size() && i < data.columns.size(); ++i) {
        if (i != 0) out += ", ";
        appendJsonString(out, data.columns[i].name);
        out += ": ";
        switch (row[i].kind) {
            case ValueKind::kNull:
                out += "null";
                break;
            case ValueKind::kNumber:
            case ValueKind::kLong:
            case ValueKind::kDecimal:
                out += row[i].text;
                break;
            default:
                appendJsonString(out, row[i].text);
        }
    }
    out += "}";
}

// CSV or JSON made a row at a time and handed on in pieces of about kPieceBytes.
class RowWriter {
  public:
    RowWriter(Format format, const TextSink& sink) : format_(format), sink_(sink) {}

    void begin(const ReportData& data) {
        if (format_ == Format::kJson) {
            out_ = "[";
            return;
        }
        for (std::size_t i = 0; i < data.columns.size(); ++i) {
            if (i != 0) out_.push_back(',');
            out_ += csvField(data.columns[i].name, format_ == Format::kCsvSafe);
        }
        out_ += "\r\n";
    }

    void row(const ReportData& data, const std::vector<DataValue>& values) {
        if (format_ == Format::kJson) {
            out_ += rows_ == 0 ? "\n  " : ",\n  ";
            appendJsonValues(out_, data, values);
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (i != 0) out_.push_back(',');
                out_ += csvField(values[i].text, format_ == Format::kCsvSafe);
            }
            out_ += "\r\n";
        }
        ++rows_;
        if (out_.size() >= kPieceBytes) {
            sink_(out_);
            out_.clear();
        }
    }

    void end() {
        if (format_ == Format::kJson) out_ += rows_ == 0 ? "]\n" : "\n]\n";
        sink_(out_);
        out_.clear();
    }

  private:
    Format format_;
    const TextSink& sink_;
    std::string out_;
    std::size_t rows_ = 0;
};

void writeRows(const ReportData& data, Format format, const TextSink& sink) {
    RowWriter writer(format, sink);
    writer.begin(data);
    for (const std::vector<DataValue>& row : data.rows) writer.row(data, row);
    writer.end();
}

}  // namespace

void writeCsv(const ReportData& data, bool spreadsheetSafe, const TextSink& sink) {
    writeRows(data, spreadsheetSafe ? Format::kCsvSafe : Format::kCsv, sink);
}

std::string toCsv(const ReportData& data, bool spreadsheetSafe) {
    std::string out;
    writeCsv(data, spreadsheetSafe, [&](std::string_view piece) { out += piece; });
    return out;
}

void appendJsonRow(std::string& out, const ReportData& data, std::size_t r) {
    appendJsonValues(out, data, data.rows[r]);
}

void writeJson(const ReportData& data, const TextSink& sink) {
    writeRows(data, Format::kJson, sink);
}

std::string toJson(const ReportData& data) {
    std::string out;
    writeJson(data, [&](std::string_view piece) { out += piece; });
    return out;
}

bool readChildDataWindow(PsrContainer& container, const std::string& name, DataWindow& dw,
                         std::vector<std::string>& notes) {
    const std::optional<std::u16string> source = childSource(container, utf8ToUtf16(name));
    if (!source) {
        notes.push_back("the report has no DataWindow '" + name + "'");
        return false;
    }
    return loadSource(container, *source, dw, notes);
}

bool readMainDataWindow(PsrContainer& container, DataWindow& dw, ReportData& rows, bool& hasRows,
                        std::vector<std::string>& notes) {
    hasRows = false;
    if (!loadSource(container, u"source", dw, notes)) return false;
    Bytes bytes;
    if (!readNamed(container, u"data", bytes, notes)) return true;
    Damage damage;
    hasRows = decodeReportData(bytes, "data", &dw, rows, damage);
    if (!hasRows) notes.push_back(damage.what);
    return true;
}

int writeReportData(PsrContainer& container, const std::string& dwName, Format format,
                    std::string& out, std::vector<std::string>& notes) {
    return writeReportData(
        container, dwName, format, [&](std::string_view piece) { out += piece; }, notes);
}

int writeReportData(PsrContainer& container, const std::string& dwName, Format format,
                    const TextSink& out, std::vector<std::string>& notes) {
    const std::u16string nested = kNestedStorage;
    std::u16string name = utf8ToUtf16(dwName);
    if (name.rfind(nested, 0) == 0) name.erase(0, nested.size());
    // The main DataWindow's rows are in "data"; only a named one needs the listing.
    const std::vector<std::u16string> streams =
        name.empty() ? std::vector<std::u16string>() : streamPaths(container, notes);
    const auto holds = [&](const std::u16string& path) {
        return std::find(streams.begin(), streams.end(), path) != streams.end();
    };

    std::u16string stream = u"data";
    std::optional<std::u16string> source = u"source";
    if (!name.empty() && holds(nested + name)) {
        stream = nested + name;
        source = dropDownSource(container, name, notes);
        if (!source) source = nestSource(container, name);
        if (!source)
            notes.push_back("no DataWindow source is known for stream '" + utf16ToUtf8(stream) +
                            "': its columns are named and typed by the stream alone");
    } else if (!name.empty()) {
        if (std::optional<int> status =
                writeNestedRows(container, utf16ToUtf8(name), format, out, notes))
            return *status;
        source = childSource(container, name);
        if (!source) {
            notes.push_back("the report has no DataWindow or stream '" + dwName + "'");
            return kDataFailed;
        }
        DataWindow child;
        if (!loadSource(container, *source, child, notes)) return kDataFailed;
        // A child's rows are the nested stream whose columns are its table's. A nested
        // report keeps one such stream per row of the report around it: the first is
        // shown, and a note names the others rather than let them pass unseen.
        std::vector<std::string> ignored;
        std::optional<ReportData> shown;
        std::vector<std::string> others;
        for (const std::u16string& path : streams) {
            if (path.rfind(nested, 0) != 0) continue;
            Bytes bytes;
            if (!readNamed(container, path, bytes, ignored)) continue;
            ReportData data;
            Damage damage;
            if (!decodeReportData(bytes, utf16ToUtf8(path), &child, data, damage)) continue;
            if (shown)
                others.push_back(utf16ToUtf8(path));
            else
                shown = std::move(data);
        }
        if (!shown) {
            notes.push_back("the report holds no saved rows for DataWindow '" + dwName + "'");
            return kDataFailed;
        }
        if (!others.empty()) {
            std::string list;
            for (const std::string& path : others) list += (list.empty() ? "" : ", ") + path;
            notes.push_back("DataWindow '" + dwName + "' has saved rows in " +
                            std::to_string(others.size() + 1) + " streams; shown: " +
                            shown->stream + "; name one of the others for its rows: " + list);
        }
        return finish(*shown, format, out, notes);
    }

    DataWindow declared;
    if (source && !loadSource(container, *source, declared, notes)) return kDataFailed;
    Bytes bytes;
    if (!readNamed(container, stream, bytes, notes)) return kDataFailed;
    ReportData data;
    Damage damage;
    const bool nestsReports =
        name.empty() && std::any_of(declared.objects.begin(), declared.objects.end(),
                                    [](const Object& o) { return o.kind == "report"; });
    if (!nestsReports) {
        // Row by row: the rows are read twice, once to know they are all there (a report
        // that fails writes nothing) and once to write them, so that millions of rows are
        // never held decoded at once.
        const DataWindow* table = source ? &declared : nullptr;
        const RowSink skip = [](const ReportData&, const std::vector<DataValue>&) {};
        if (!decodeReportData(bytes, utf16ToUtf8(stream), table, data, damage, skip)) {
            notes.push_back(damage.what);
            return kDataFailed;
        }
        RowWriter writer(format, out);
        writer.begin(data);
        decodeReportData(bytes, utf16ToUtf8(stream), table, data, damage,
                         [&](const ReportData& header, const std::vector<DataValue>& row) {
                             writer.row(header, row);
                         });
        writer.end();
        notes.insert(notes.end(), data.notes.begin(), data.notes.end());
        return data.partial() ? kDataPartial : kDataComplete;
    }
    if (!decodeReportData(bytes, utf16ToUtf8(stream), source ? &declared : nullptr, data, damage)) {
        notes.push_back(damage.what);
        return kDataFailed;
    }
    if (name.empty() && std::any_of(declared.objects.begin(), declared.objects.end(),
                                    [](const Object& o) { return o.kind == "report"; })) {
        // Nested reports: JSON nests their rows under the row they belong to; CSV is flat,
        // so it names where they are.
        std::vector<NestedReport> nestedReports;
        std::vector<std::string> found;
        const bool whole =
            loadNestedReports(container, declared, data.rows.size(), nestedReports, found);
        if (format == Format::kJson) {
            out(toNestedJson(data, nestedReports));
            notes.insert(notes.end(), data.notes.begin(), data.notes.end());
            notes.insert(notes.end(), found.begin(), found.end());
            return whole && !data.partial() ? kDataComplete : kDataPartial;
        }
        for (const NestedReport& report : nestedReports)
            notes.push_back("the rows of nested report '" + report.key + "' are not in CSV: --dw " +
                            report.key + " gives them, --format json nests them");
    }
    return finish(data, format, out, notes);
}

}  // namespace keldrin::dw
