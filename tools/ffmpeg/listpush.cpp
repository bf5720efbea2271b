#include "listpush.h"

#include "isobmff.h"

#include "protocol/command.h"
#include "protocol/transcoder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ffexe {

namespace {

// How much of the entries is read ahead of the publisher: enough that the
// next entry's reader is going before the publisher gets to it, also at a
// high bit rate; the pipe to the publisher holds as much again.
constexpr size_t k_read_ahead = 4u << 20;
constexpr int k_pipe_size = 1 << 20;
// The next entry is asked for this long before the publisher gets to it, so
// that what the user changes in the list until then still counts.
constexpr long long k_ask_ahead_us = 3000000;

} // namespace

std::optional<ListPlan> list_plan(const std::vector<std::string>& args)
{
    const std::optional<protocol::PushCommand> push = protocol::read_list_push(args);
    if (!push)
        return std::nullopt;
    ListPlan plan{push->file, {}, push->address, push->realtime};
    if (push->from_ms > 0)
        plan.from = std::to_string(push->from_ms / 1000) + "." + std::to_string(1000 + push->from_ms % 1000).substr(1);
    return plan;
}

std::vector<std::string> publisher_args(const ListPlan& plan)
{
    std::vector<std::string> args{"-hide_banner", "-nostats", "-y", "-progress", "pipe:3"};
    if (plan.realtime)
        args.push_back("-re");
    // Read as a live stream: the time stamps run on across the entries (see
    // TagRetimer) and new sequence headers come in the middle.
    for (const char* arg :
         {"-f", "live_flv", "-i", "pipe:0", "-c", "copy", "-f", "flv", "-flvflags", "no_duration_filesize"})
        args.push_back(arg);
    args.push_back(plan.url);
    return args;
}

std::vector<std::string> reader_args(const std::string& path, const std::string& from, bool in_band, bool silence)
{
    std::vector<std::string> args{"-hide_banner", "-nostats", "-nostdin", "-loglevel", "error", "-progress", "pipe:3"};
    if (!from.empty()) {
        args.push_back("-ss");
        args.push_back(from);
    }
    args.push_back("-i");
    args.push_back(path);
    // Only the silence is encoded, for as long as the pictures last; one
    // fixed set-up, as a new one may come at any entry anyway.
    if (silence) {
        for (const char* arg : {"-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo", "-map", "0:V:0", "-map", "1:a",
                                "-c:v", "copy", "-c:a", "aac", "-shortest"})
            args.push_back(arg);
    } else {
        args.push_back("-c");
        args.push_back("copy");
    }
    // H.264 with its parameter sets before each key frame as well: a reader
    // that records the stream into a file with one set of headers (MP4, AVI)
    // still decodes the entries of another picture size.
    if (in_band) {
        args.push_back("-bsf:v");
        args.push_back("h264_mp4toannexb");
    }
    // No end-of-sequence tag: the stream goes on with the next entry.
    for (const char* arg : {"-f", "flv", "-flvflags", "no_sequence_end+no_duration_filesize", "pipe:1"})
        args.push_back(arg);
    return args;
}

void EntryClock::read(long long length_us, bool left_out)
{
    Entry& last = m_entries.back();
    last.left_out = left_out;
    m_entries.push_back({last.start_us + (left_out ? 0 : std::max(length_us, 0LL)), false});
}

void EntryClock::end()
{
    if (m_entries.size() > 1 && m_on < static_cast<long long>(m_entries.size()) - 1)
        m_entries.pop_back();
}

long long EntryClock::next_start() const
{
    return m_entries.back().start_us;
}

std::optional<long long> EntryClock::reached(long long out_us)
{
    std::optional<long long> now_on;
    while (m_on + 1 < static_cast<long long>(m_entries.size()) && m_entries[size_t(m_on + 1)].start_us <= out_us) {
        ++m_on;
        if (!m_entries[size_t(m_on)].left_out)
            now_on = m_on;
    }
    return now_on;
}

long long EntryClock::within(long long out_us) const
{
    const long long start = m_on >= 0 ? m_entries[size_t(m_on)].start_us : 0;
    return std::max(out_us - start, 0LL);
}

std::string HeaderCut::feed(const char* data, size_t size)
{
    const size_t take = std::min(k_size - m_header.size(), size);
    m_header.append(data, take);
    std::string out;
    if (m_keep && take > 0 && m_header.size() == k_size)
        out = m_header;
    if (size > take) {
        m_body = true;
        out.append(data + take, size - take);
    }
    return out;
}

std::optional<bool> HeaderCut::has_sound() const
{
    if (m_header.size() < 5)
        return std::nullopt;
    return (m_header[4] & 0x04) != 0;
}

namespace {

// FLV's fields are big-endian, most of them three bytes long.
uint32_t be24_at(const std::string& bytes, size_t at)
{
    return isobmff::be24(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

void put_be24(std::string& bytes, size_t at, uint32_t value)
{
    bytes[at] = char((value >> 16) & 0xff);
    bytes[at + 1] = char((value >> 8) & 0xff);
    bytes[at + 2] = char(value & 0xff);
}

// A tag's time: three bytes and an extension byte for the highest.
long long tag_time(const std::string& tag)
{
    return static_cast<long long>(static_cast<unsigned char>(tag[7])) << 24 | be24_at(tag, 4);
}

void set_tag_time(std::string& tag, long long ms)
{
    const auto t = static_cast<uint32_t>(std::max(ms, 0LL));
    put_be24(tag, 4, t & 0xffffff);
    tag[7] = char((t >> 24) & 0xff);
}

// The composition time of an H.264 or HEVC picture (shown minus decoded).
bool has_composition(const std::string& tag)
{
    const int codec = static_cast<unsigned char>(tag[11]) & 0x0f;
    return tag.size() >= 11 + 5 + 4 && (codec == 7 || codec == 12);
}

long long composition(const std::string& tag)
{
    if (!has_composition(tag))
        return 0;
    long value = long(be24_at(tag, 13));
    if (value & 0x800000)
        value -= 0x1000000;
    return value;
}

void set_composition(std::string& tag, long long value)
{
    if (!has_composition(tag))
        return;
    put_be24(tag, 13, static_cast<uint32_t>(value) & 0xffffff);
}

enum class TagKind { Picture, Sound, Other };

// Sequence headers, script data and command frames carry no time of their own.
TagKind tag_kind(const std::string& tag)
{
    const int type = tag[0] & 0x1f;
    if (tag.size() < 11 + 2 + 4)
        return TagKind::Other;
    const auto d0 = static_cast<unsigned char>(tag[11]), d1 = static_cast<unsigned char>(tag[12]);
    if (type == 9) {
        if ((d0 >> 4) == 5)
            return TagKind::Other;
        const int codec = d0 & 0x0f;
        return (codec == 7 || codec == 12) && d1 != 1 ? TagKind::Other : TagKind::Picture;
    }
    if (type == 8)
        return (d0 >> 4) == 10 && d1 != 1 ? TagKind::Other : TagKind::Sound;
    return TagKind::Other;
}

// Sound held this long at most for an entry's first picture: past it the
// entry is taken as sound alone.
constexpr int k_sound_held = 100;

} // namespace

void TagRetimer::begin_entry(size_t verbatim)
{
    m_partial.clear();
    m_verbatim = verbatim;
    m_script_kept = verbatim > 0;
    m_held.clear();
    m_held_sound = 0;
    m_offset.reset();
    m_start = m_next_start;
    m_pictures = false;
    m_audio_floor = m_last_audio;
}

std::string TagRetimer::feed(const char* data, size_t size)
{
    std::string out;
    const size_t verbatim = std::min(m_verbatim, size);
    out.append(data, verbatim);
    m_verbatim -= verbatim;
    m_partial.append(data + verbatim, size - verbatim);
    size_t at = 0;
    while (m_partial.size() - at >= 11) {
        const size_t whole = 11 + be24_at(m_partial, at + 1) + 4;
        if (m_partial.size() - at < whole)
            break;
        out += place(m_partial.substr(at, whole));
        at += whole;
    }
    m_partial.erase(0, at);
    return out;
}

std::string TagRetimer::place(std::string tag)
{
    // A later entry's metadata tells the publisher nothing (it writes its
    // own), and parsing it off the pipe now and then loses its place in the
    // stream, and with it the entry's key frame.
    if ((tag[0] & 0x1f) == 18 && !m_script_kept)
        return {};
    const TagKind kind = tag_kind(tag);
    if (!m_offset) {
        // The entry's offset comes from its first picture, so that the
        // pictures run on by exactly one frame; what comes before it waits.
        m_held.push_back(std::move(tag));
        if (kind == TagKind::Picture) {
            // Shown one frame after the last picture before it; the first
            // entry keeps its own times.
            const long long at = tag_time(m_held.back());
            return release(m_last_video < 0 ? 0 : m_start - at - composition(m_held.back()));
        }
        if (kind == TagKind::Sound && ++m_held_sound > k_sound_held)
            return end_entry_hold();
        return {};
    }
    long long at = tag_time(tag) + *m_offset;
    switch (kind) {
    case TagKind::Picture: {
        // Decoding times only go on; the first pictures of an entry that
        // shows them later than it decodes them (B-frames) are squeezed in
        // after the last of the entry before, their display times kept.
        const long long shown = at + composition(tag);
        if (m_pictures && at > m_last_source)
            m_video_step = at - m_last_source;
        m_last_source = at;
        if (m_last_video >= 0)
            at = std::max(at, m_last_video + 1);
        at = std::min(at, shown);
        set_composition(tag, shown - at);
        m_last_video = at;
        m_last_shown = std::max(m_last_shown, shown);
        m_pictures = true;
        break;
    }
    case TagKind::Sound:
        if (at <= m_audio_floor) {
            ++m_dropped;
            return {};
        }
        if (m_last_audio > m_audio_floor && at > m_last_audio)
            m_audio_step = at - m_last_audio;
        m_last_audio = std::max(m_last_audio, at);
        break;
    case TagKind::Other:
        at = std::max(at, 0LL);
        break;
    }
    set_tag_time(tag, at);
    return tag;
}

std::string TagRetimer::end_entry_hold()
{
    // No picture: the entry's first sound begins where the entry does.
    for (const std::string& tag : m_held) {
        if (tag_kind(tag) == TagKind::Sound)
            return release(m_start - tag_time(tag));
    }
    return release(m_start);
}

std::string TagRetimer::release(long long offset)
{
    m_offset = offset;
    std::vector<std::string> held;
    held.swap(m_held);
    std::string out;
    for (std::string& tag : held)
        out += place(std::move(tag));
    return out;
}

std::string TagRetimer::end_entry()
{
    std::string out = m_offset ? std::string() : end_entry_hold();
    if (m_pictures)
        m_next_start = std::max(m_next_start, m_last_shown + m_video_step);
    else if (m_last_audio > m_audio_floor)
        m_next_start = std::max(m_next_start, m_last_audio + m_audio_step);
    return out;
}

ListPush::ListPush(std::string program, ListPlan plan)
    : m_program(std::move(program))
    , m_plan(std::move(plan))
    , m_writer([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
{}

int ListPush::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!m_publisher.start(m_program, publisher_args(m_plan), error)) {
        std::fprintf(stderr, "FFmpeg.exe: cannot start the ffmpeg program '%s': %s\n", m_program.c_str(),
                     error.c_str());
        return 127;
    }
    ::fcntl(m_publisher.stdin_fd(), F_SETPIPE_SZ, k_pipe_size);
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    start_reader(m_plan.first, m_plan.from);

    enum Role { PublisherLog, PublisherProgress, PublisherInput, ReaderOutput, ReaderLog, ReaderProgress, Answer };
    while (m_publisher.stderr_fd() >= 0 || m_publisher.progress_fd() >= 0) {
        const auto now = OutputWriter::Clock::now();
        const std::optional<OutputWriter::Clock::time_point> wake = m_writer.flush(now);
        if (m_list_done && !m_reader && m_pending.empty() && m_publisher.stdin_fd() >= 0)
            m_publisher.close_stdin(); // the publisher ends with what it has

        std::vector<pollfd> fds;
        std::vector<Role> roles;
        const auto watch = [&](int fd, short events, Role role) {
            if (fd >= 0) {
                fds.push_back({fd, events, 0});
                roles.push_back(role);
            }
        };
        watch(m_publisher.stderr_fd(), POLLIN, PublisherLog);
        watch(m_publisher.progress_fd(), POLLIN, PublisherProgress);
        if (!m_pending.empty())
            watch(m_publisher.stdin_fd(), POLLOUT, PublisherInput);
        if (m_reader) {
            if (m_pending.size() < k_read_ahead)
                watch(m_reader->stdout_fd(), POLLIN, ReaderOutput);
            watch(m_reader->stderr_fd(), POLLIN, ReaderLog);
            watch(m_reader->progress_fd(), POLLIN, ReaderProgress);
        }
        if (m_asking)
            watch(STDIN_FILENO, POLLIN, Answer);

        int timeout = -1;
        if (wake)
            timeout = int(
                std::max<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(*wake - now).count() + 1, 0));
        if (::poll(fds.data(), fds.size(), timeout) < 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            switch (roles[i]) {
            case PublisherLog:
                read_publisher_log();
                break;
            case PublisherProgress:
                read_publisher_progress();
                break;
            case PublisherInput:
                write_to_publisher();
                break;
            case ReaderOutput:
                read_reader_output();
                break;
            case ReaderLog:
            case ReaderProgress:
                read_reader_side(fds[i].fd);
                break;
            case Answer:
                read_answer();
                break;
            }
        }
        if (m_reader && m_reader->stdout_fd() < 0 && m_reader->stderr_fd() < 0 && m_reader->progress_fd() < 0)
            reader_done();
    }

    for (const protocol::Outcome phrase : m_phrases.finish())
        m_writer.add_text(protocol::write_phrase(phrase));
    if (m_reader)
        m_reader->send_signal(SIGKILL);
    const int code = m_publisher.wait();
    if (code == 0)
        m_writer.add_text(protocol::write_finish());
    m_writer.drain();
    return code;
}

void ListPush::start_reader(const std::string& path, const std::string& from, bool in_band, bool silence)
{
    m_reader = std::make_unique<ChildProcess>();
    m_cut = std::make_unique<HeaderCut>(m_entry == 0);
    m_retimer.begin_entry(m_entry == 0 ? HeaderCut::k_size : 0);
    m_reader_progress = ProgressParser();
    m_reader_time_us = 0;
    m_reader_said.clear();
    m_reader_said_done = false;
    std::string error;
    m_reader_path = path;
    m_reader_from = from;
    m_in_band = in_band;
    m_silence = silence;
    m_again_with_silence = false;
    if (!m_reader->start(m_program, reader_args(path, from, in_band, silence), error, true)) {
        m_reader_said = "cannot start ffmpeg: " + error;
        m_reader = std::make_unique<ChildProcess>(); // ends at once, left out
    }
}

void ListPush::reader_done()
{
    const int code = m_reader->wait();
    if (m_again_with_silence) {
        m_reader.reset();
        const std::string path = m_reader_path, from = m_reader_from;
        start_reader(path, from, m_in_band, true);
        return;
    }
    const bool left_out = !m_cut->body_seen();
    // Video other than H.264 goes as it is.
    if (left_out && m_in_band && m_reader_said.find("bitstream filter") != std::string::npos) {
        m_reader.reset();
        const std::string path = m_reader_path, from = m_reader_from;
        start_reader(path, from, false, m_silence);
        return;
    }
    if (left_out) {
        std::string why = m_reader_said_done ? m_reader_said : std::string(strip_log_prefix(m_reader_said));
        if (why.empty())
            why = "ffmpeg ended with " + std::to_string(code);
        // Worded so that the window never takes it for a failure of the push.
        for (const protocol::Outcome outcome :
             {protocol::Outcome::UnsupportedFormat, protocol::Outcome::ConnectFailed, protocol::Outcome::NoStream,
              protocol::Outcome::UnknownProtocol, protocol::Outcome::UnknownAddress}) {
            if (why.find(protocol::phrase(outcome)) != std::string::npos)
                why = "its streams cannot go into FLV as they are";
        }
        m_writer.add_text(protocol::write_entry(m_entry, protocol::EntryState::Skipped, why));
    }
    m_pending += m_retimer.end_entry();
    m_clock.read((m_retimer.next_start_ms() - m_retimer.start_ms()) * 1000, left_out);
    m_reader.reset();
    ++m_entry;
    m_want = true;
    ask_when_due();
}

void ListPush::ask_when_due()
{
    if (!m_want || m_published_us + k_ask_ahead_us < m_clock.next_start())
        return;
    m_want = false;
    m_writer.add_text(protocol::write_entry(m_entry, protocol::EntryState::Want));
    m_asking = true;
}

void ListPush::read_answer()
{
    const std::optional<std::string> chunk = read_chunk(STDIN_FILENO, 4096);
    if (!chunk) {
        // Nobody left to ask: the list ends here.
        m_asking = false;
        m_list_done = true;
        return;
    }
    m_answer += *chunk;
    const size_t end = m_answer.find('\n');
    if (end == std::string::npos)
        return;
    const std::string path = m_answer.substr(0, end);
    m_answer.erase(0, end + 1);
    m_asking = false;
    if (path.empty()) {
        m_list_done = true;
        m_clock.end();
    } else
        start_reader(path, {});
}

void ListPush::read_publisher_log()
{
    const std::optional<std::string> text = read_chunk(m_publisher.stderr_fd(), 16384);
    if (!text) {
        m_publisher.close_stderr();
        return;
    }
    m_writer.add_text(*text);
    for (const protocol::Outcome phrase : m_phrases.feed(text->data(), text->size()))
        m_writer.add_text(protocol::write_phrase(phrase));
}

void ListPush::read_publisher_progress()
{
    const std::optional<std::string> chunk = read_chunk(m_publisher.progress_fd(), 4096);
    if (!chunk) {
        m_publisher.close_progress();
        return;
    }
    for (ProgressBlock block : m_publisher_progress.feed(chunk->data(), chunk->size())) {
        m_published_us = std::max(m_published_us, block.out_time_us);
        if (const std::optional<long long> on = m_clock.reached(block.out_time_us))
            m_writer.add_text(protocol::write_entry(*on, protocol::EntryState::On));
        // The window follows its entry: the time is the entry's own.
        block.out_time_us = m_clock.within(block.out_time_us);
        if (!block.end)
            m_writer.add_progress(format_record(block));
    }
    ask_when_due();
}

void ListPush::write_to_publisher()
{
    const ssize_t n = ::write(m_publisher.stdin_fd(), m_pending.data(), m_pending.size());
    if (n > 0) {
        m_pending.erase(0, size_t(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // The publisher is gone; what it says about it ends this run.
        m_pending.clear();
        m_publisher.close_stdin();
    }
}

void ListPush::read_reader_output()
{
    const std::optional<std::string> chunk = read_chunk(m_reader->stdout_fd(), 65536);
    if (!chunk) {
        m_reader->close_stdout();
        return;
    }
    if (chunk->empty() || m_again_with_silence || m_publisher.stdin_fd() < 0)
        return;
    const std::string bytes = m_cut->feed(chunk->data(), chunk->size());
    if (!m_silence && m_cut->has_sound() == false) {
        // Nothing of it has gone on: its header is held until whole.
        m_again_with_silence = true;
        m_reader->send_signal(SIGKILL);
        return;
    }
    m_pending += m_retimer.feed(bytes.data(), bytes.size());
}

void ListPush::read_reader_side(int fd)
{
    const std::optional<std::string> chunk = read_chunk(fd, 4096);
    const bool progress = fd == m_reader->progress_fd();
    if (!chunk) {
        progress ? m_reader->close_progress() : m_reader->close_stderr();
        return;
    }
    if (progress) {
        for (const ProgressBlock& block : m_reader_progress.feed(chunk->data(), chunk->size()))
            m_reader_time_us = std::max(m_reader_time_us, block.out_time_us);
        return;
    }
    // Only its first complaint, why the entry could not be read: one line,
    // which never holds the phrases of a failed push, that come after it.
    if (m_reader_said_done)
        return;
    m_reader_said += *chunk;
    const size_t end = m_reader_said.find_first_of("\r\n");
    if (end != std::string::npos || m_reader_said.size() > 300) {
        m_reader_said = std::string(strip_log_prefix(m_reader_said.substr(0, std::min<size_t>(end, 300))));
        m_reader_said_done = true;
    }
}

} // namespace ffexe
