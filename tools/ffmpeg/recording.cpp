#include "recording.h"

#include "commandline.h"
#include "mp4finish.h"
#include "outputwriter.h"
#include "progressrecord.h"

#include "protocol/transcoder.h"

#include <cstdio>
#include <unistd.h>

namespace ffexe {

Recording::Recording(const Invocation& invocation)
    : m_finish_mp4(invocation.finish_mp4)
    , m_output(invocation.sync_output)
    , m_number(invocation.file_number)
    , m_plan(invocation.segments)
{
    if (m_plan)
        m_segments.emplace(*m_plan);
}

void Recording::note(const ProgressBlock& block)
{
    if (block.frame > 0 || block.out_time_us > 0)
        m_media_written = true;
}

void Recording::complete_segments(OutputWriter& out, bool ended)
{
    if (!m_segments)
        return;
    for (int n : m_segments->completed(ended)) {
        std::string path = m_plan->written(n);
        std::string error;
        if (m_plan->fragmented && finish_fragmented_mp4(path, &error) == Mp4Finish::Failed)
            out.add_text("FFmpeg.exe: " + path + " stays a fragmented MP4: " + error + "\n");
        if (m_plan->final_name(n) != path && std::rename(path.c_str(), m_plan->final_name(n).c_str()) == 0)
            path = m_plan->final_name(n);
        if (!sync_to_disk(path))
            out.add_text("FFmpeg.exe: " + path + " could not be forced to the disk\n");
        out.add_text(protocol::write_file_done(path));
    }
}

bool Recording::finish(OutputWriter& out)
{
    if (!m_media_written) {
        // A file with headers only (ffmpeg writes them before the first key frame) does not play.
        const std::string path = m_plan ? m_plan->written(m_plan->first) : m_output;
        if (!path.empty()) {
            if (std::remove(path.c_str()) == 0)
                out.add_text("FFmpeg.exe: nothing was recorded; " + path + " is removed\n");
            return false;
        }
    }
    if (!m_finish_mp4.empty()) {
        std::string error;
        if (finish_fragmented_mp4(m_finish_mp4, &error) == Mp4Finish::Failed)
            out.add_text("FFmpeg.exe: the recording stays a fragmented MP4: " + error + "\n");
    }
    complete_segments(out, true);
    if (!m_output.empty() && !sync_to_disk(m_output))
        out.add_text("FFmpeg.exe: the recording could not be forced to the disk\n");
    if (!m_output.empty() && ::access(m_output.c_str(), F_OK) == 0)
        out.add_text(protocol::write_file_done(m_output));
    return true;
}

std::string Recording::current() const
{
    return m_plan ? m_plan->final_name(m_segments->writing()) : m_output;
}

int Recording::next_number() const
{
    return m_segments ? m_segments->writing() + 1 : m_number + 1;
}

} // namespace ffexe
