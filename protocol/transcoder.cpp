#include "transcoder.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <locale.h>
#include <optional>
#include <utility>

namespace protocol {

namespace {

constexpr char progress_marker[] = "zo_progress";
constexpr char record_separator = '|';
// The marker, frame, fps, size in kB, the time as hours, minutes, seconds and
// hundredths, and the bitrate in kbit/s.
constexpr char progress_format[] =
    "%s|frame= %lld fps= %.2f size= %lldkB|time=%02lld:%02lld:%02lld.%02lld bitrate= %.1fkbits/s\n";
// The counters are read with their blanks removed; the time goes into a field of 64 bytes.
constexpr char counters_scan[] = "frame=%dfps=%fsize=%" SCNd64 "kB";
constexpr char timing_scan[] = "time=%63s bitrate=%fkbits/s";
static_assert(time_field == 64, "the timing scan cuts the time at 63 bytes");
constexpr char finish_marker[] = "zo_finished";
constexpr char number_separator[] = "_";

struct PhraseText
{
    Outcome outcome;
    const char* text;
};
// In the order a reader looks for them.
constexpr PhraseText phrases[] = {
    {Outcome::UnsupportedFormat, "Could not write header"},   {Outcome::ConnectFailed, "failed to connect socket"},
    {Outcome::NoStream, "failed to read RTMP packet header"}, {Outcome::UnknownProtocol, "Protocol not found"},
    {Outcome::UnknownAddress, "No such file or directory"},   {Outcome::Untrusted, "server certificate not trusted"},
};

// sscanf reads "%f" by LC_NUMERIC, which a Qt application takes from the
// user's environment; the transcoder always writes a decimal point.
class CNumericLocale
{
public:
    CNumericLocale()
    {
        static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
        if (cLocale)
            m_previous = uselocale(cLocale);
    }
    ~CNumericLocale()
    {
        if (m_previous)
            uselocale(m_previous);
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t m_previous = locale_t(nullptr);
};

// Keeps a printed number short enough for the record's buffer.
double bounded(double value)
{
    return std::fmin(std::fmax(value, 0.0), 1e9);
}

} // namespace

std::string write_progress(const ProgressRecord& record)
{
    const long long cs = record.centiseconds > 0 ? record.centiseconds : 0;
    const long long kb = record.size_kb > 0 ? record.size_kb : 0;
    char text[256];
    CNumericLocale numeric;
    std::snprintf(text, sizeof text, progress_format, progress_marker, record.frame, bounded(record.fps), kb,
                  cs / 360000, cs / 6000 % 60, cs / 100 % 60, cs % 100, bounded(record.bitrate));
    return text;
}

int read_progress(std::string_view text, ProgressFields& fields)
{
    const int pieces = int(std::count(text.begin(), text.end(), record_separator)) + 1;
    if (pieces < 3)
        return pieces;

    const size_t first = text.find(record_separator);
    const size_t second = text.find(record_separator, first + 1);
    size_t third = text.find(record_separator, second + 1);
    if (third == std::string_view::npos)
        third = text.size();

    // Zero-terminated copies for sscanf.
    std::string counters;
    counters.reserve(second - first);
    for (size_t i = first + 1; i < second; ++i) {
        if (text[i] != ' ')
            counters += text[i];
    }
    const std::string timing(text.substr(second + 1, third - second - 1));

    // Unmatched conversions leave their targets alone, so each field keeps
    // its previous value.
    int frame = fields.frame;
    float fps = fields.fps;
    int64_t size = fields.size;
    float bitrate = fields.bitrate;
    {
        CNumericLocale numeric;
        std::sscanf(counters.c_str(), counters_scan, &frame, &fps, &size);
        std::sscanf(timing.c_str(), timing_scan, fields.time, &bitrate);
    }
    fields.frame = frame;
    fields.fps = fps;
    fields.size = size;
    fields.bitrate = bitrate;
    return pieces;
}

std::string write_finish()
{
    return std::string(finish_marker) + "\n";
}

const char* phrase(Outcome outcome)
{
    for (const PhraseText& p : phrases) {
        if (p.outcome == outcome)
            return p.text;
    }
    return "";
}

std::string write_phrase(Outcome outcome)
{
    return std::string(phrase(outcome)) + "\n";
}

Chunk classify(std::string_view text, const std::vector<Outcome>& wanted)
{
    if (text.substr(0, sizeof progress_marker - 1) == progress_marker)
        return {ChunkKind::Progress, Outcome::UnsupportedFormat};
    for (const PhraseText& p : phrases) {
        if (std::find(wanted.begin(), wanted.end(), p.outcome) != wanted.end() &&
            text.find(p.text) != std::string_view::npos)
            return {ChunkKind::ErrorPhrase, p.outcome};
    }
    if (text.find(finish_marker) != std::string_view::npos)
        return {ChunkKind::Finished, Outcome::UnsupportedFormat};
    return {};
}

std::string numbered_name(const std::string& stem, const std::string& number, const std::string& ext)
{
    return stem + number_separator + number + ext;
}

std::string numbered_name(const std::string& stem, int number, const std::string& ext)
{
    return numbered_name(stem, std::to_string(number), ext);
}

void split_extension(const std::string& path, std::string& stem, std::string& ext)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    stem = has_ext ? path.substr(0, dot) : path;
    ext = has_ext ? path.substr(dot) : std::string();
}

std::string recording_file(const std::string& path, int number)
{
    if (number <= 1)
        return path;
    std::string stem, ext;
    split_extension(path, stem, ext);
    return numbered_name(stem, number, ext);
}

namespace {

constexpr std::string_view entry_marker = "zo_entry|";
constexpr std::string_view dest_marker = "zo_dest|";
// A destination's outcome in one word; none of them is part of a phrase.
constexpr PhraseText dest_words[] = {
    {Outcome::UnsupportedFormat, "format"}, {Outcome::ConnectFailed, "connect"},  {Outcome::NoStream, "refused"},
    {Outcome::UnknownProtocol, "protocol"}, {Outcome::UnknownAddress, "address"}, {Outcome::Untrusted, "certificate"},
};
constexpr char dest_lost[] = "lost";

// A number of at most 18 digits, or -1.
long long number_of(std::string_view digits)
{
    if (digits.empty() || digits.size() > 18)
        return -1;
    long long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A record "<marker><number>|<rest>": its number and the rest; none when the line is not one.
std::optional<std::pair<long long, std::string_view>> numbered(std::string_view line, std::string_view marker)
{
    if (line.substr(0, marker.size()) != marker)
        return std::nullopt;
    line.remove_prefix(marker.size());
    const size_t bar = line.find('|');
    const long long number = number_of(line.substr(0, bar));
    if (bar == std::string_view::npos || number < 0)
        return std::nullopt;
    return std::pair{number, line.substr(bar + 1)};
}

constexpr std::string_view file_marker = "zo_file|";
constexpr std::string_view next_marker = "zo_next|";

} // namespace

namespace {

std::string file_record(std::string_view marker, const std::string& path)
{
    if (path.empty() || path.find_first_of("\r\n") != std::string::npos)
        return {};
    return std::string(marker) + path + "\n";
}

} // namespace

std::string write_file_done(const std::string& path)
{
    return file_record(file_marker, path);
}

std::string write_next_file(const std::string& path)
{
    return file_record(next_marker, path);
}

bool is_file_record(std::string_view line)
{
    return line.substr(0, file_marker.size()) == file_marker || line.substr(0, next_marker.size()) == next_marker;
}

std::optional<FileRecord> read_file_record(std::string_view line)
{
    if (!is_file_record(line))
        return std::nullopt;
    const bool next = line.substr(0, next_marker.size()) == next_marker;
    line.remove_prefix(next ? next_marker.size() : file_marker.size());
    // Everything to the end of the line: a name may hold "|" and spaces.
    return FileRecord{next ? FileEvent::Next : FileEvent::Done, std::string(line)};
}

std::string write_entry(long long entry, EntryState state, const std::string& why)
{
    const char* word = state == EntryState::On ? "on" : state == EntryState::Want ? "want" : "skipped";
    std::string line = std::string(entry_marker) + std::to_string(entry) + '|' + word;
    if (state == EntryState::Skipped)
        line += '|' + why.substr(0, why.find_first_of("\r\n"));
    return line + "\n";
}

bool is_entry_record(std::string_view line)
{
    return line.substr(0, entry_marker.size()) == entry_marker;
}

EntryRecord read_entry(std::string_view line)
{
    EntryRecord record;
    const auto parts = numbered(line, entry_marker);
    if (!parts)
        return record;
    const auto [entry, rest] = *parts;
    if (rest == "on") {
        record.state = EntryState::On;
    } else if (rest == "want") {
        record.state = EntryState::Want;
    } else if (rest == "skipped" || rest.substr(0, 8) == "skipped|") {
        record.state = EntryState::Skipped;
        record.why = std::string(rest.substr(rest.size() > 8 ? 8 : rest.size()));
    } else {
        return record;
    }
    record.entry = entry;
    return record;
}

std::string write_dest(int destination, DestState state, std::optional<Outcome> outcome)
{
    std::string line =
        std::string(dest_marker) + std::to_string(destination) + (state == DestState::On ? "|on" : "|down|");
    if (state == DestState::Down) {
        const char* word = dest_lost;
        for (const PhraseText& w : dest_words) {
            if (outcome && w.outcome == *outcome)
                word = w.text;
        }
        line += word;
    }
    return line + "\n";
}

bool is_dest_record(std::string_view line)
{
    return line.substr(0, dest_marker.size()) == dest_marker;
}

DestRecord read_dest(std::string_view line)
{
    DestRecord record;
    const auto parts = numbered(line, dest_marker);
    if (!parts || parts->first > 1000000)
        return record;
    const auto [destination, rest] = *parts;
    if (rest == "on") {
        record.state = DestState::On;
    } else if (rest.substr(0, 5) == "down|") {
        const std::string_view word = rest.substr(5);
        for (const PhraseText& w : dest_words) {
            if (word == w.text)
                record.outcome = w.outcome;
        }
        if (!record.outcome && word != dest_lost)
            return record;
        record.state = DestState::Down;
    } else {
        return record;
    }
    record.destination = int(destination);
    return record;
}

} // namespace protocol
