#include "repair.h"

#include "boxes.h"
#include "fitcheck.h"
#include "indexrepair.h"
#include "mappedfile.h"
#include "reference.h"
#include "soundonly.h"
#include "timestamps.h"
#include "walker.h"
#include "writer.h"

#include "protocol/repair.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace vidmend {

const char* state_word(Outcome outcome)
{
    // The value is the exit code, by which the protocol keeps the words.
    return protocol::repair_end_word(int(outcome));
}

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa = {}, sb = {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A file with an index that libavformat reads, with video samples in it.
bool has_usable_index(const std::string& path, const FileLayout& layout)
{
    if (!layout.has_moov)
        return false;
    Reference probe;
    std::string ignored;
    return read_reference(path, probe, ignored) == ReferenceStatus::Ok;
}

class Run
{
public:
    Run(const Job& job, Reporter& reporter)
        : m_job(job)
        , m_reporter(reporter)
        , m_gate(std::chrono::milliseconds(200))
    {}

    RepairResult go();

private:
    RepairResult fail(Outcome outcome, std::string message)
    {
        m_result.outcome = outcome;
        m_result.message = std::move(message);
        m_result.progress = m_progress;
        return m_result;
    }
    // False once the receiver has asked to stop.
    bool tell(int progress, const char* state)
    {
        if (m_stop)
            return false;
        m_progress = progress;
        if (m_gate.due(progress, k_progress_total, state, ProgressGate::Clock::now()))
            m_stop = !m_reporter.report(progress, k_progress_total, state);
        return !m_stop;
    }
    // The recording's audio is not what the reference says (another codec,
    // other channels): rebuilt with the reference's settings it would play as noise.
    RepairResult foreign_audio(int audio)
    {
        const RefTrack& t = m_ref.tracks[m_ref.audio[size_t(audio)]];
        const int channels = t.par->ch_layout.nb_channels;
        const std::string layout = channels == 1   ? "mono"
                                   : channels == 2 ? "stereo"
                                                   : std::to_string(channels) + " channels";
        return fail(Outcome::AudioMismatch, "the audio in " + m_job.damaged + " is not the reference's (" +
                                                t.codec_name + ", " + layout +
                                                "): record a reference with the same settings");
    }
    RepairResult stopped() { return fail(Outcome::Stopped, "stopped"); }
    // Each step below gives the run's result when the run ends there, nothing when it goes on.
    std::optional<RepairResult> open_files();
    // What the files say before the media is walked: notes, and the reference's fitness.
    std::optional<RepairResult> ready_to_walk(const IndexRepair& indexed);
    std::optional<RepairResult> check_reference(bool damaged_indexed);
    // Repairs a file whose index is lost by walking its media with the reference.
    RepairResult from_walk();
    WalkResult walk_media(bool again);
    // Whether a walk with a reference of sound alone found little but sound.
    bool holds_sound_alone(const WalkResult& walk) const;
    // The sound's clock said another rate: the reference takes it and the media is walked again.
    std::optional<RepairResult> walk_at_sound_rate(WalkResult& walk, Timing& timing);
    void learn_own_sound(const WalkResult& walk);
    // Whether what the walk found is this reference's kind of recording.
    std::optional<RepairResult> check_found(const WalkResult& walk);
    RepairResult write_walked(const WalkResult& walk);
    void summarise(const WalkResult& walk, const Timing& timing);
    RepairResult from_index(IndexRepair& indexed, const uint8_t* file, bool reference_ok);
    // Writes the output through `write` (given the path to write) under a
    // temporary name, and gives it its name only once it is whole.
    RepairResult deliver(const std::function<bool(const std::string&, std::string&)>& write,
                         const std::function<bool()>& write_stopped);

    const Job& m_job;
    Reporter& m_reporter;
    ProgressGate m_gate;
    bool m_stop = false;
    int m_progress = 0;
    RepairResult m_result;
    Reference m_ref;
    MappedFile m_damaged;
    MappedFile m_reference;
    FileLayout m_layout;
    ReferenceStatus m_status = ReferenceStatus::Unreadable;
    std::string m_error;
    uint64_t m_lost_head = 0; // bytes before the first media when the file's head is lost
    bool m_sound_only = false;
};

RepairResult Run::go()
{
    if (!tell(0, "parsing"))
        return stopped();
    if (auto failed = open_files())
        return *failed;
    // A file with an index of its own needs no reference, unless it is whole.
    IndexRepair indexed(m_damaged.data(), m_damaged.size(), m_layout);
    if (indexed.state() == IndexState::Whole && m_status != ReferenceStatus::Ok)
        return fail(Outcome::Swapped, "the two files look swapped: " + m_job.damaged +
                                          " is whole and the reference has no complete index");
    if (indexed.state() == IndexState::Whole)
        return fail(Outcome::Intact, m_job.damaged + " is whole: every sample its index lists is in it, there is "
                                                     "nothing to repair");
    if (indexed.state() == IndexState::Cut)
        return from_index(indexed, m_damaged.data(), m_status == ReferenceStatus::Ok);
    if (auto failed = ready_to_walk(indexed))
        return *failed;
    return from_walk();
}

std::optional<RepairResult> Run::open_files()
{
    if (same_file(m_job.output, m_job.reference) || same_file(m_job.output, m_job.damaged) ||
        same_file(m_job.reference, m_job.damaged))
        return fail(Outcome::Usage, "the reference, the damaged file and the output must be three different files");
    if (!m_reference.open(m_job.reference, m_error) || !m_damaged.open(m_job.damaged, m_error))
        return fail(Outcome::Unreadable, "cannot read " + m_error);
    m_layout = scan_boxes(m_damaged.data(), m_damaged.size());
    m_status = read_reference(m_job.reference, m_ref, m_error);
    if (!m_layout.iso && m_status == ReferenceStatus::Ok && m_damaged.size() > 0) {
        // No box where a file begins: its head may be lost (a card whose first
        // sectors went) with the media after it whole.
        Walker search(m_ref, m_damaged.data());
        m_lost_head = search.find_start(0, m_damaged.size());
        if (m_lost_head < m_damaged.size())
            m_layout.media.push_back({m_lost_head, m_damaged.size(), true});
    }
    if (!m_layout.iso && m_layout.media.empty())
        return fail(Outcome::NotMp4, m_job.damaged + " is not an MP4 file");
    return std::nullopt;
}

std::optional<RepairResult> Run::ready_to_walk(const IndexRepair& indexed)
{
    // A movie box written in part (into space reserved for it at the head) may
    // still open: the media is walked all the same.
    const bool damaged_indexed = !indexed.partial() && has_usable_index(m_job.damaged, m_layout);
    if (indexed.partial())
        m_result.summary.notes.push_back("the index at the head of the file was written only in part: the media "
                                         "is walked with the reference");
    if (m_layout.reserved > 0)
        m_result.summary.notes.push_back("passed over " + std::to_string(m_layout.reserved) +
                                         " bytes of zeros between boxes (space reserved for an index)");
    // A reference of sound alone repairs a recording of sound alone.
    m_sound_only = m_status == ReferenceStatus::NoVideo && m_ref.video < 0 && !m_ref.audio.empty();
    if (auto failed = check_reference(damaged_indexed))
        return failed;
    if (damaged_indexed)
        return fail(Outcome::Intact, m_job.damaged + " has a complete index: there is nothing to repair");
    if (m_layout.media.empty())
        return fail(Outcome::NotMp4, m_job.damaged + " holds no media data (mdat)");
    for (const RefTrack& t : m_ref.tracks)
        if (t.kind == TrackKind::Skipped)
            m_result.summary.notes.push_back("skipped the reference's " + t.note);
    if (m_lost_head > 0)
        m_result.summary.notes.push_back("the first " + std::to_string(m_lost_head) +
                                         " bytes hold no box structure and no media that fits the reference: "
                                         "the head of the file is lost");
    return std::nullopt;
}

std::optional<RepairResult> Run::check_reference(bool damaged_indexed)
{
    if (m_status != ReferenceStatus::Ok && !m_sound_only) {
        if (damaged_indexed)
            return fail(Outcome::Swapped, "the two files look swapped: " + m_job.damaged +
                                              " has a complete index and the reference has none");
        const FileLayout ref_layout = scan_boxes(m_reference.data(), m_reference.size());
        if (m_status == ReferenceStatus::Unreadable && ref_layout.iso && !ref_layout.has_moov)
            m_error = "the reference has no index (moov) either: choose a healthy recording";
        return fail(m_status == ReferenceStatus::NoVideo       ? Outcome::NoVideo
                    : m_status == ReferenceStatus::Unsupported ? Outcome::Unsupported
                                                               : Outcome::Unreadable,
                    m_error);
    }
    if (m_sound_only)
        return std::nullopt;
    RefTrack& video = m_ref.tracks[m_ref.video];
    if (video.step <= 0 && m_job.fps > 0) // a reference of one picture tells no frame duration
        video.step = std::max<int64_t>(1, std::llround(1.0 / (m_job.fps * av_q2d(video.time_base))));
    if (video.step <= 0)
        return fail(Outcome::Unreadable, "the reference does not tell its frame rate");
    return std::nullopt;
}

RepairResult Run::from_walk()
{
    if (!tell(0, "rebuilding"))
        return stopped();
    const Clock::time_point walk_start = Clock::now();
    WalkResult walk = walk_media(false);
    // A recording with pictures does not split into the sound of a reference
    // without them; a hole of zeros in one of sound alone is no picture.
    if (!walk.stats.stopped && m_sound_only && !holds_sound_alone(walk))
        return fail(Outcome::NoVideo, "the reference has no video track, and " + m_job.damaged +
                                          " is not a recording of its sound alone");
    // The walk is over: a failure from here on says so.
    if (walk.stats.stopped || !tell(600, "rebuilding"))
        return stopped();
    if (walk.stats.foreign_audio >= 0)
        return foreign_audio(walk.stats.foreign_audio);
    Timing timing = m_sound_only ? sound_only_timestamps(m_ref, walk.samples) : assign_timestamps(m_ref, walk.samples);
    if (timing.audio_rate > 0)
        if (auto failed = walk_at_sound_rate(walk, timing))
            return *failed;
    m_result.summary.walk_seconds = seconds_since(walk_start);
    summarise(walk, timing);
    if (auto failed = check_found(walk))
        return *failed;
    return write_walked(walk);
}

WalkResult Run::walk_media(bool again)
{
    // `again`: a second walk, once the sound's own rate is known; the progress shown stays where it is.
    Walker walker(m_ref, m_damaged.data());
    WalkResult result = walker.walk(m_layout.media, [this, again](uint64_t done, uint64_t total) {
        return tell(again ? 600 : int(done * 600 / std::max<uint64_t>(total, 1)), "rebuilding");
    });
    if (m_lost_head > 0) {
        // A damaged spot before the first sample: what came before it is unknown.
        result.stats.payload += m_lost_head;
        result.stats.skipped += m_lost_head;
        ++result.stats.skipped_runs;
        result.stats.spans.insert(result.stats.spans.begin(), {0, m_lost_head});
        if (!result.samples.empty())
            result.samples.front().loss = uint32_t(std::min<uint64_t>(m_lost_head, UINT32_MAX));
    }
    return result;
}

bool Run::holds_sound_alone(const WalkResult& walk) const
{
    uint64_t zeros = 0;
    for (const auto& [begin, end] : walk.stats.spans)
        zeros += uint64_t(std::count(m_damaged.data() + begin, m_damaged.data() + end, uint8_t(0)));
    return walk.stats.foreign_audio < 0 && walk.stats.audio_bytes * 2 >= walk.stats.payload - zeros;
}

std::optional<RepairResult> Run::walk_at_sound_rate(WalkResult& walk, Timing& timing)
{
    // The walk takes up again after damage where the sound's frames run
    // as the reference's do in time: it is walked again at the sound's own rate.
    const int said = m_ref.tracks[m_ref.audio.front()].sample_rate, real = timing.audio_rate;
    const std::string rates = std::to_string(real) + " Hz, not at the reference's " + std::to_string(said) + " Hz";
    const std::string why = timing.clock_why;
    bool kept = set_audio_rate(m_ref, said, real);
    if (kept) {
        learn_own_sound(walk);
        walk = walk_media(true);
        if (walk.stats.stopped || !tell(600, "rebuilding"))
            return stopped();
        if (walk.stats.foreign_audio >= 0)
            return foreign_audio(walk.stats.foreign_audio);
        timing = assign_timestamps(m_ref, walk.samples);
        kept = timing.audio_rate == 0;
    }
    if (!kept)
        return fail(Outcome::SettingsMismatch, "the audio in " + m_job.damaged + " was recorded at " + rates + " (" +
                                                   why +
                                                   "); choose a reference from the same device with the same "
                                                   "settings");
    m_result.summary.notes.push_back("the audio was recorded at " + rates + " (" + why + "): the repaired file says " +
                                     std::to_string(real) + " Hz");
    return std::nullopt;
}

void Run::learn_own_sound(const WalkResult& walk)
{
    // The sound's frames at its own rate look a little unlike the
    // reference's (more bands, say): the frames the walk found before
    // any damage show what they look like.
    for (int a : m_ref.audio) {
        RefTrack& t = m_ref.tracks[size_t(a)];
        std::vector<std::vector<uint8_t>> own;
        for (const Sample& s : walk.samples) {
            if (s.loss && !own.empty())
                break;
            if (s.track == a && own.size() < t.examples.size())
                own.emplace_back(m_damaged.data() + s.pos, m_damaged.data() + s.pos + s.size);
        }
        if (own.size() < 32)
            continue;
        for (const std::vector<uint8_t>& frame : own) {
            t.min_size = std::min(t.min_size, uint32_t(frame.size()));
            t.max_size = std::max(t.max_size, uint32_t(frame.size()));
        }
        t.examples = std::move(own);
    }
}

std::optional<RepairResult> Run::check_found(const WalkResult& walk)
{
    // Far fewer pictures than the reference's bytes per picture promise: the
    // reference was recorded with other settings.
    const Summary& found = m_result.summary;
    uint64_t ref_bytes = 0;
    for (const RefTrack& t : m_ref.tracks)
        ref_bytes += t.bytes;
    const uint64_t expected =
        m_sound_only ? 1 : found.payload / std::max<uint64_t>(1, ref_bytes / m_ref.tracks[m_ref.video].samples);
    if (found.tracks.front().samples == 0 || found.tracks.front().samples * 20 < expected)
        return fail(Outcome::NothingFound,
                    "the video in " + m_job.damaged + " does not match the reference's settings: nothing to recover");
    // Before anything is written: the reference's settings must decode the recording.
    const Fit fit = check_fit(m_ref, walk.samples, m_damaged.data());
    if (!fit.ok)
        return fail(Outcome::SettingsMismatch, "the reference was recorded with other settings than " + m_job.damaged +
                                                   ": " + fit.problem +
                                                   "; choose a reference from the same device with the same settings");
    if (fit.own_sets)
        m_result.summary.notes.push_back("the recording carries its own parameter sets (" + std::to_string(fit.width) +
                                         "x" + std::to_string(fit.height) + "); the repaired file uses them");
    return std::nullopt;
}

RepairResult Run::write_walked(const WalkResult& walk)
{
    if (!tell(600, "writing"))
        return stopped();
    const Clock::time_point write_start = Clock::now();
    Mp4Writer writer;
    const auto write = [&](const std::string& part, std::string& error) {
        return writer.open(part, m_ref, error) &&
               writer.write_all(
                   walk.samples, m_damaged.data(),
                   [this](uint64_t done, uint64_t total) {
                       return tell(600 + int(done * 399 / std::max<uint64_t>(total, 1)), "writing");
                   },
                   error) &&
               writer.finish(error);
    };
    RepairResult result = deliver(write, [&] { return writer.stopped(); });
    m_result.summary.write_seconds = seconds_since(write_start);
    return result.outcome == Outcome::Done ? m_result : result;
}

RepairResult Run::deliver(const std::function<bool(const std::string&, std::string&)>& write,
                          const std::function<bool()>& write_stopped)
{
    const std::string part = m_job.output + ".part";
    std::string error;
    bool written = write(part, error);
    if (write_stopped()) {
        std::remove(part.c_str());
        return stopped();
    }
    if (written && std::rename(part.c_str(), m_job.output.c_str()) != 0) {
        error = "cannot name the repaired file " + m_job.output;
        written = false;
    }
    if (!written) {
        std::remove(part.c_str());
        return fail(Outcome::WriteFailed, error);
    }
    m_result.outcome = Outcome::Done;
    m_result.message = "repaired file written to " + m_job.output;
    m_result.progress = k_progress_total;
    return m_result;
}

RepairResult Run::from_index(IndexRepair& indexed, const uint8_t* file, bool reference_ok)
{
    // Media no index describes is walked with the reference's help: after a
    // movie box that lists only the first part of it, or past the last fragment
    // header, one lost or cut off.
    if (!indexed.undescribed().empty()) {
        if (!reference_ok || m_ref.tracks[m_ref.video].step <= 0)
            return fail(Outcome::Unreadable, "the media after what the index of " + m_job.damaged +
                                                 " describes can only be read with a healthy reference: " +
                                                 "choose one from the same device with the same settings");
        if (!tell(0, "rebuilding"))
            return stopped();
        // The file's own writer interleaved its tracks as its index shows.
        std::vector<RefSample> own = indexed.own_layout(m_ref);
        if (own.size() >= 16)
            m_ref.layout = std::move(own);
        Walker walker(m_ref, file);
        const std::vector<ByteRange> ranges = indexed.walk_ranges(m_ref);
        WalkResult walk = walker.walk(ranges, [this](uint64_t done, uint64_t total) {
            return tell(int(done * 500 / std::max<uint64_t>(total, 1)), "rebuilding");
        });
        if (walk.stats.stopped)
            return stopped();
        if (walk.stats.foreign_audio >= 0)
            return foreign_audio(walk.stats.foreign_audio);
        // Each track takes up where the index gives it a time.
        const std::vector<std::optional<int64_t>> start = indexed.walk_start(m_ref, walk.samples);
        for (size_t t = 0; t < start.size(); ++t)
            if (start[t])
                m_ref.tracks[t].first_pts = *start[t];
        assign_timestamps(m_ref, walk.samples);
        if (walk.stats.video_bytes * 20 < walk.stats.payload && walk.stats.payload > (64u << 10))
            return fail(Outcome::NothingFound, "the media after what the index of " + m_job.damaged +
                                                   " describes does not match the reference's settings");
        indexed.add_walked(m_ref, walk.samples);
        m_result.summary.spans = walk.stats.spans;
    }
    indexed.summarise(m_result.summary);
    if (indexed.kept() == 0)
        return fail(Outcome::NothingFound,
                    "no sample the index of " + m_job.damaged + " lists lies wholly in the file: nothing to recover");
    if (!tell(500, "writing"))
        return stopped();
    const Clock::time_point write_start = Clock::now();
    const auto write = [&](const std::string& part, std::string& error) {
        return indexed.write(
            part,
            [this](uint64_t done, uint64_t total) {
                return tell(500 + int(done * 499 / std::max<uint64_t>(total, 1)), "writing");
            },
            error);
    };
    RepairResult result = deliver(write, [&] { return indexed.stopped(); });
    m_result.summary.write_seconds = seconds_since(write_start);
    return result.outcome == Outcome::Done ? m_result : result;
}

void Run::summarise(const WalkResult& walk, const Timing& timing)
{
    Summary& s = m_result.summary;
    s.damaged_spots = walk.stats.skipped_runs;
    s.spans = walk.stats.spans;
    s.stray_frames = walk.stats.dropped_frames;
    char clock[96];
    if (m_ref.video < 0)
        std::snprintf(clock, sizeof clock, "its own rate (no video)");
    else if (timing.audio_clock)
        std::snprintf(clock, sizeof clock, "the audio's clock (%.3f fps)", timing.frame_rate);
    else
        std::snprintf(clock, sizeof clock, "the reference's frame rate (%.3f fps)",
                      1.0 / (double(m_ref.tracks[m_ref.video].step) * av_q2d(m_ref.tracks[m_ref.video].time_base)));
    s.clock = clock;
    if (!timing.clock_why.empty())
        s.clock += ": " + timing.clock_why;
    s.payload = walk.stats.payload;
    s.used = walk.stats.video_bytes + walk.stats.audio_bytes;
    s.skipped = walk.stats.skipped;
    s.dropped = walk.stats.dropped_tail;
    s.decoder_calls = walk.stats.decoder_calls;
    std::vector<uint64_t> count(m_ref.tracks.size(), 0);
    std::vector<int64_t> first(m_ref.tracks.size(), INT64_MAX), last(m_ref.tracks.size(), INT64_MIN);
    std::vector<int64_t> step(m_ref.tracks.size(), 0);
    for (const Sample& sample : walk.samples) {
        ++count[sample.track];
        first[sample.track] = std::min(first[sample.track], sample.pts);
        if (sample.pts >= last[sample.track]) {
            last[sample.track] = sample.pts;
            step[sample.track] = sample.duration;
        }
    }
    std::vector<int> order;
    if (m_ref.video >= 0)
        order.push_back(m_ref.video);
    order.insert(order.end(), m_ref.audio.begin(), m_ref.audio.end());
    double longest_audio = 0;
    for (int t : order) {
        const RefTrack& track = m_ref.tracks[t];
        TrackSummary ts;
        ts.kind = track.kind == TrackKind::Video ? "video" : "audio";
        ts.codec = track.codec_name;
        ts.samples = ts.walked = count[t];
        ts.lost = timing.lost[t];
        if (count[t])
            ts.seconds = double(last[t] - first[t] + step[t]) * av_q2d(track.time_base);
        if (track.kind == TrackKind::Audio)
            longest_audio = std::max(longest_audio, ts.seconds);
        s.tracks.push_back(ts);
    }
    if (!m_ref.audio.empty() && m_ref.video >= 0)
        s.mismatch = s.tracks.front().seconds - longest_audio;
}

} // namespace

RepairResult repair(const Job& job, Reporter& reporter)
{
    // The decoder is fed bytes that are not AAC on purpose; its complaints are expected.
    av_log_set_level(AV_LOG_QUIET);
    Run run(job, reporter);
    return run.go();
}

std::string format_summary(const Summary& s)
{
    std::string text;
    char line[256];
    const double percent = s.payload ? 100.0 * double(s.used) / double(s.payload) : 0;
    std::snprintf(line, sizeof line,
                  "media data: %llu bytes, %llu used (%.2f%%), %llu skipped, %llu cut off at the end\n",
                  (unsigned long long)s.payload, (unsigned long long)s.used, percent, (unsigned long long)s.skipped,
                  (unsigned long long)s.dropped);
    text += line;
    if (s.damaged_spots) {
        std::snprintf(line, sizeof line, "damage: %llu damaged spots, %llu bytes skipped\n",
                      (unsigned long long)s.damaged_spots, (unsigned long long)s.skipped);
        text += line;
    }
    for (size_t i = 0; i < s.tracks.size(); ++i) {
        const TrackSummary& t = s.tracks[i];
        std::snprintf(line, sizeof line,
                      "track %zu (%s, %s): %llu samples, %llu from the file's own index, %llu walked, %.3f s", i + 1,
                      t.kind.c_str(), t.codec.c_str(), (unsigned long long)t.samples,
                      (unsigned long long)(t.samples - t.walked), (unsigned long long)t.walked, t.seconds);
        text += line;
        if (s.damaged_spots) {
            std::snprintf(line, sizeof line, ", %.3f s estimated lost to damage", t.lost);
            text += line;
        }
        text += "\n";
    }
    for (const auto& [begin, end] : s.spans) {
        std::snprintf(line, sizeof line, "damaged span skipped: bytes %llu to %llu (%llu bytes)\n",
                      (unsigned long long)begin, (unsigned long long)end, (unsigned long long)(end - begin));
        text += line;
    }
    if (s.stray_frames) {
        std::snprintf(line, sizeof line, "audio frames after damage that fit no track, dropped: %llu\n",
                      (unsigned long long)s.stray_frames);
        text += line;
    }
    if (!s.clock.empty())
        text += (s.tracks.empty() || s.tracks.front().kind == "video" ? "video laid out on " : "sound laid out on ") +
                s.clock + "\n";
    if (s.tracks.size() > 1 && s.tracks.front().kind == "video") {
        if (std::fabs(s.mismatch) >= 0.5)
            std::snprintf(line, sizeof line, "audio and video lengths differ by %.3f s\n", s.mismatch);
        else
            std::snprintf(line, sizeof line, "audio and video lengths agree (%.3f s apart)\n", s.mismatch);
        text += line;
    }
    for (const std::string& note : s.notes)
        text += "note: " + note + "\n";
    return text;
}

} // namespace vidmend
