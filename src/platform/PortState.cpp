#include "platform/PortState.h"

#include <charconv>
#include <cstdlib>
#include <map>

#include "platform/PortNumber.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

enum class ESeries {
    Up, Requests, Bytes, Retries, LastContact, Start, Updated, Stopped, Done, Size
};

struct SSeries {
    ESeries id;
    const char* name;
    const char* type;
    const char* help;
};

constexpr SSeries kSeries[] = {
    {ESeries::Up, "rs232_up", "gauge",
     "1 while the port is open, 0 while it waits for its device or after the server stopped."},
    {ESeries::Requests, "rs232_requests_total", "counter",
     "Finished requests by type and result (served, refused by the server, failed)."},
    {ESeries::Bytes, "rs232_transferred_bytes_total", "counter",
     "File content bytes moved over the line."},
    {ESeries::Retries, "rs232_line_retries_total", "counter",
     "Blocks sent again and NAKs given."},
    {ESeries::LastContact, "rs232_last_contact_timestamp_seconds", "gauge",
     "Unix time of the last byte from the client, 0 before any."},
    {ESeries::Start, "rs232_start_timestamp_seconds", "gauge", "Unix time the server started."},
    {ESeries::Updated, "rs232_updated_timestamp_seconds", "gauge",
     "Unix time this state was written."},
    {ESeries::Stopped, "rs232_stopped_timestamp_seconds", "gauge",
     "Unix time the server stopped normally, 0 while it runs."},
    {ESeries::Done, "rs232_transfer_done_bytes", "gauge",
     "Bytes moved of the transfer in progress, 0 when none."},
    {ESeries::Size, "rs232_transfer_size_bytes", "gauge",
     "Size of the transfer in progress, 0 when none."},
};

constexpr const char* kPrefix = "port";
constexpr const char* kSuffix = ".prom";
constexpr const char* kUpload = "upload";
constexpr const char* kDownload = "download";

// A label value: backslash, double quote and line feed escaped as the exposition format asks,
// and every byte that is not part of valid UTF-8 spelled \x and two lower-case hex digits, so
// that the value is always valid UTF-8 (an exporter refuses the whole file otherwise).
std::string LabelValue(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += text[i];
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x80) {
            out += text[i];
        } else if (const size_t n = Utf8SequenceLength(text, i); n > 0) {
            out.append(text, i, n);
            i += n - 1;
        } else {
            out += FormatText("\\\\x%02x", c);
        }
    }
    return out;
}

int Index(std::string_view value, const char* const* labels, int count) {
    for (int i = 0; i < count; ++i)
        if (value == labels[i]) return i;
    return -1;
}

// Splits `name{k="v",...} value`; false when the line is not a sample.
bool ParseSample(std::string_view line, std::string_view& name,
                 std::map<std::string, std::string>& labels, double& value) {
    size_t i = line.find_first_of("{ ");
    if (i == std::string_view::npos) return false;
    name = line.substr(0, i);
    labels.clear();
    if (line[i] == '{') {
        ++i;
        while (i < line.size() && line[i] != '}') {
            const size_t eq = line.find("=\"", i);
            if (eq == std::string_view::npos) return false;
            std::string key(line.substr(i, eq - i)), text;
            for (i = eq + 2; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    ++i;
                    text += line[i] == 'n' ? '\n' : line[i];
                } else {
                    text += line[i];
                }
            }
            if (i >= line.size()) return false;
            labels[key] = text;
            ++i;  // the closing quote
            if (i < line.size() && line[i] == ',') ++i;
        }
        ++i;
    }
    // The value, then nothing or a time stamp.
    const size_t start = line.find_first_not_of(' ', std::min(i, line.size()));
    if (start == std::string_view::npos) return false;
    const std::string number(line.substr(start, line.find(' ', start) - start));
    char* end = nullptr;
    value = std::strtod(number.c_str(), &end);
    return !number.empty() && end == number.c_str() + number.size();
}

// The largest count a state file holds: what a signed 64-bit number takes.
constexpr double kMaxCount = 9.2e18;

}  // namespace

int64_t SPortState::Count(int result) const {
    int64_t sum = 0;
    for (const auto& kind : requests) sum += kind[result];
    return sum;
}

std::string PortStateFileName(int port) { return FormatText("%s%d%s", kPrefix, port, kSuffix); }

int FileNamePort(std::string_view name) {
    const std::string_view prefix = kPrefix, suffix = kSuffix;
    if (!name.starts_with(prefix) || !name.ends_with(suffix)) return 0;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size() || !IsPortNumber(port)) return 0;
    // Only the name the server gives: no leading zero.
    return name == PortStateFileName(port) ? port : 0;
}

std::string FormatPortState(const SPortState& s) {
    const std::string port = FormatText("port=\"%d\"", s.port);
    const auto number = [](int64_t v) { return std::to_string(v); };
    std::string out;
    for (const SSeries& series : kSeries) {
        out += FormatText("# HELP %s %s\n# TYPE %s %s\n", series.name, series.help, series.name,
                          series.type);
        const auto sample = [&](const std::string& labels, int64_t value) {
            out += std::string(series.name) + "{" + labels + "} " + number(value) + "\n";
        };
        switch (series.id) {
            case ESeries::Up:
                sample(port + ",device=\"" + LabelValue(s.device) + "\"", s.up ? 1 : 0);
                break;
            case ESeries::Requests:
                for (int r = 0; r < kRequestKinds; ++r)
                    for (int k = 0; k < kResultKinds; ++k)
                        sample(FormatText("%s,request=\"%s\",result=\"%s\"", port.c_str(),
                                          kRequestLabels[r], kResultLabels[k]),
                               s.requests[r][k]);
                break;
            case ESeries::Bytes:
                sample(port + ",direction=\"" + kUpload + "\"", s.uploaded);
                sample(port + ",direction=\"" + kDownload + "\"", s.downloaded);
                break;
            case ESeries::Retries: sample(port, s.retries); break;
            case ESeries::LastContact: sample(port, s.lastContact); break;
            case ESeries::Start: sample(port, s.started); break;
            case ESeries::Updated: sample(port, s.updated); break;
            case ESeries::Stopped: sample(port, s.stopped); break;
            case ESeries::Done: sample(port, s.transferDone); break;
            case ESeries::Size: sample(port, s.transferSize); break;
        }
    }
    return out;
}

bool ParsePortState(std::string_view text, int port, SPortState& s, std::string& why) {
    s = SPortState{};
    s.port = port;
    bool seenUp = false;
    std::map<std::string, std::string> labels;
    const std::string portText = std::to_string(port);
    for (int lineNumber = 1; !text.empty(); ++lineNumber) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        std::string_view name;
        double number = 0;
        if (line.empty() || line[0] == '#') continue;
        if (!ParseSample(line, name, labels, number)) {
            why = FormatText("line %d is not a sample", lineNumber);
            return false;
        }
        for (const SSeries& series : kSeries) {
            if (name != series.name) continue;
            if (labels["port"] != portText) {
                why = FormatText("%s of port \"%s\" on line %d", series.name, labels["port"].c_str(),
                                 lineNumber);
                return false;
            }
            if (!(number >= 0 && number <= kMaxCount)) {  // NaN fails both
                why = FormatText("%s is %g on line %d", series.name, number, lineNumber);
                return false;
            }
            const auto value = static_cast<int64_t>(number);
            switch (series.id) {
                case ESeries::Up:
                    if (number != 0 && number != 1) {
                        why = FormatText("rs232_up is neither 0 nor 1 on line %d", lineNumber);
                        return false;
                    }
                    seenUp = true;
                    s.up = value != 0;
                    s.device = labels["device"];
                    break;
                case ESeries::Requests: {
                    const int r = Index(labels["request"], kRequestLabels, kRequestKinds);
                    const int k = Index(labels["result"], kResultLabels, kResultKinds);
                    if (r >= 0 && k >= 0) s.requests[r][k] = value;
                    break;
                }
                case ESeries::Bytes:
                    (labels["direction"] == kUpload ? s.uploaded : s.downloaded) = value;
                    break;
                case ESeries::Retries: s.retries = value; break;
                case ESeries::LastContact: s.lastContact = value; break;
                case ESeries::Start: s.started = value; break;
                case ESeries::Updated: s.updated = value; break;
                case ESeries::Stopped: s.stopped = value; break;
                case ESeries::Done: s.transferDone = value; break;
                case ESeries::Size: s.transferSize = value; break;
            }
        }
    }
    if (!seenUp) why = "no rs232_up series";
    return seenUp;
}

}  // namespace rs232
