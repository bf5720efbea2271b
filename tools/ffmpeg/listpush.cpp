#include "listpush.h"

#include "fanoutpush.h"
#include "pollset.h"

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
// How much of a reader's complaint is kept.
constexpr size_t k_complaint = 300;
// How long several destinations are given, once the list has gone out, to send what they still hold.
constexpr auto k_last_sends = std::chrono::seconds(5);

std::string seconds_text(long long ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", ms / 1000, ms % 1000);
    return text;
}

} // namespace

std::vector<std::string> publisher_args(const protocol::PushCommand& push)
{
    std::vector<std::string> args{"-hide_banner", "-nostats", "-y", "-progress", "pipe:3"};
    if (push.realtime)
        args.push_back("-re");
    // Read as a live stream: the time stamps run on across the entries (see
    // TagRetimer) and new sequence headers come in the middle.
    for (const char* arg : {"-f", "live_flv", "-i", "pipe:0", "-c", "copy"})
        args.push_back(arg);
    // To several destinations: FLV to us, who send it on.
    const bool fan_out = !push.also.empty();
    const std::vector<std::string> output = fan_out ? std::vector<std::string>{"-f", "flv"}
                                                    : protocol::push_output_options(push.address, push.any_certificate);
    args.insert(args.end(), output.begin(), output.end());
    if (output[1] == "flv")
        args.insert(args.end(), {"-flvflags", "no_duration_filesize"});
    args.push_back(fan_out ? "pipe:1" : push.address);
    return args;
}

std::vector<std::string> reader_args(const std::string& path, const std::string& from, bool in_band, bool silence)
{
    std::vector<std::string> args{"-hide_banner", "-nostats", "-nostdin", "-loglevel", "error"};
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

ListPush::ListPush(std::string program, protocol::PushCommand push, long long timeout_us)
    : m_program(std::move(program))
    , m_push(std::move(push))
    , m_out([](const std::string& bytes) { write_all(STDOUT_FILENO, bytes); })
    , m_publisher_log(&m_out, ChildLog::Mode::Forward)
{
    if (!m_push.also.empty())
        m_fan = std::make_unique<FanOut>(push_targets(m_push), timeout_us, m_out);
}

int ListPush::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!m_publisher.start(m_program, publisher_args(m_push), error, bool(m_fan))) {
        report_start_failure(m_program, error);
        return 127;
    }
    ::fcntl(m_publisher.stdin_fd(), F_SETPIPE_SZ, k_pipe_size);
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    start_reader(m_push.file, m_push.from_ms > 0 ? seconds_text(m_push.from_ms) : std::string());
    if (m_fan)
        m_fan->begin();

    while (m_publisher.stderr_fd() >= 0 || m_publisher.progress_fd() >= 0 || m_publisher.stdout_fd() >= 0) {
        PollSet poll;
        if (const std::optional<OutputWriter::Clock::time_point> due = m_out.flush(OutputWriter::Clock::now()))
            poll.wake_by(*due + std::chrono::milliseconds(1));
        if (m_list_done && !m_reader && m_pending.empty() && m_publisher.stdin_fd() >= 0)
            m_publisher.close_stdin(); // the publisher ends with what it has
        poll.add(m_publisher.stderr_fd(), POLLIN, [this] { m_publisher_log.read(m_publisher); });
        poll.add(m_publisher.progress_fd(), POLLIN, [this] { read_publisher_progress(); });
        if (!m_pending.empty())
            poll.add(m_publisher.stdin_fd(), POLLOUT, [this] { write_to_publisher(); });
        if (m_reader) {
            if (m_pending.size() < k_read_ahead)
                poll.add(m_reader->stdout_fd(), POLLIN, [this] { read_reader_output(); });
            poll.add(m_reader->stderr_fd(), POLLIN, [this] { m_reader_log->read(*m_reader); });
            poll.add(m_reader->progress_fd(), POLLIN, [this] { read_reader_progress(); });
        }
        if (m_fan) {
            poll.add(m_publisher.stdout_fd(), POLLIN, [this] { read_publisher_output(); });
            poll.add(m_fan->news_fd(), POLLIN, [this] { m_fan->report(); });
        }
        if ((m_asking || m_fan) && m_input_open)
            poll.add(STDIN_FILENO, POLLIN, [this] { read_answer(); });
        poll.wait();
        if (m_reader && m_reader->stdout_fd() < 0 && m_reader->stderr_fd() < 0 && m_reader->progress_fd() < 0)
            reader_done();
    }

    m_publisher_log.finish(ChildLog::Clock::now());
    if (m_reader)
        m_reader->send_signal(SIGKILL);
    const int code = m_publisher.wait();
    if (m_fan)
        m_fan->finish(std::chrono::steady_clock::now() + k_last_sends);
    if (code == 0)
        m_out.add_text(protocol::write_finish());
    m_out.drain();
    return code;
}

void ListPush::start_reader(const std::string& path, const std::string& from, bool in_band, bool silence)
{
    m_reader = std::make_unique<ChildProcess>();
    m_reader_log = std::make_unique<ChildLog>(nullptr, ChildLog::Mode::Quiet);
    // Only its first complaint, why the entry could not be read: one line,
    // which never holds the phrases of a failed push, that come after it.
    m_reader_said.clear();
    m_reader_log->on_line = [this](std::string_view line) {
        if (m_reader_said.empty())
            m_reader_said = std::string(strip_log_prefix(line.substr(0, k_complaint)));
    };
    m_cut = std::make_unique<HeaderCut>(m_entry == 0);
    m_retimer.begin_entry(m_entry == 0 ? flv::k_file_header : 0, silence);
    m_reader_path = path;
    m_reader_from = from;
    m_in_band = in_band;
    m_silence = silence;
    m_again_with_silence = false;
    std::string error;
    if (!m_reader->start(m_program, reader_args(path, from, in_band, silence), error, true)) {
        m_reader_said = "cannot start ffmpeg: " + error;
        m_reader = std::make_unique<ChildProcess>(); // ends at once, left out
    }
}

void ListPush::reader_done()
{
    const int code = m_reader->wait();
    m_reader_log->finish(ChildLog::Clock::now());
    const bool left_out = !m_cut->body_seen();
    const std::string path = m_reader_path, from = m_reader_from;
    if (m_again_with_silence) {
        m_reader.reset();
        start_reader(path, from, m_in_band, true);
        return;
    }
    // Video other than H.264 goes as it is.
    if (left_out && m_in_band && m_reader_said.find("bitstream filter") != std::string::npos) {
        m_reader.reset();
        start_reader(path, from, false, m_silence);
        return;
    }
    if (left_out)
        m_out.add_text(protocol::write_entry(m_entry, protocol::EntryState::Skipped, reader_failure(code)));
    m_pending += m_retimer.end_entry();
    m_clock.read((m_retimer.next_start_ms() - m_retimer.start_ms()) * 1000, left_out);
    m_reader.reset();
    ++m_entry;
    m_want = true;
    ask_when_due();
}

std::string ListPush::reader_failure(int code) const
{
    for (const protocol::Outcome outcome :
         {protocol::Outcome::UnsupportedFormat, protocol::Outcome::ConnectFailed, protocol::Outcome::NoStream,
          protocol::Outcome::UnknownProtocol, protocol::Outcome::UnknownAddress}) {
        if (m_reader_said.find(protocol::phrase(outcome)) != std::string::npos)
            return "its streams cannot go into FLV as they are";
    }
    return m_reader_said.empty() ? "ffmpeg ended with " + std::to_string(code) : m_reader_said;
}

void ListPush::ask_when_due()
{
    if (!m_want || m_published_us + k_ask_ahead_us < m_clock.next_start())
        return;
    m_want = false;
    m_out.add_text(protocol::write_entry(m_entry, protocol::EntryState::Want));
    // Nobody left to ask: the list ends here.
    m_asking = m_input_open;
    m_list_done = !m_input_open;
}

void ListPush::read_answer()
{
    m_input_open = read_push_input(m_answer, m_fan.get(), [this](const std::string& path) {
        if (!m_asking)
            return;
        m_asking = false;
        if (path.empty()) {
            m_list_done = true;
            m_clock.end();
        } else {
            start_reader(path, {});
        }
    });
    if (!m_input_open && m_asking) {
        // Nobody left to ask: the list ends here.
        m_asking = false;
        m_list_done = true;
    }
}

void ListPush::read_publisher_output()
{
    const std::optional<std::string> chunk = read_chunk(m_publisher.stdout_fd(), 65536);
    if (!chunk)
        m_publisher.close_stdout();
    else
        m_fan->feed(chunk->data(), chunk->size());
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
            m_out.add_text(protocol::write_entry(*on, protocol::EntryState::On));
        // The window follows its entry: the time is the entry's own.
        block.out_time_us = m_clock.within(block.out_time_us);
        if (!block.end)
            m_out.add_progress(format_record(block));
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

void ListPush::read_reader_progress()
{
    // Nothing of it is used; the pipe closes when the reader ends.
    if (!read_chunk(m_reader->progress_fd(), 4096))
        m_reader->close_progress();
}

} // namespace ffexe
