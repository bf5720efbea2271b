#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "face.h"
#include "feed.h"
#include "runcore.h"

#include <memory>
#include <vector>

namespace ffexe {

// A recording from a live FLV or transport stream source: the feeder ffmpeg
// reads the source and passes its bytes on; what FFmpeg.exe makes of them
// (LiveFeed, TsFeed) goes to the
// writer ffmpeg, which records it. When the source's pictures change in a way
// the file cannot hold, that writer finishes its file and a new one records
// the next. The feeder's log is the source's; a stop asks the feeder, and the
// writers end with the end of what they are fed.
class RelayRun : public Face
{
public:
    // `args`: the plug-in's arguments, from which each file's writer is made.
    RelayRun(std::string program, std::vector<std::string> args, long long timeout_us, Invocation invocation);
    int run() override;

private:
    // A writer and what it records. The last one records now; the ones before finish their files.
    struct Writer
    {
        std::unique_ptr<ChildProcess> child;
        std::unique_ptr<ChildLog> log;
        ProgressParser progress;
        Recording recording; // the core's while it is the last
        std::string pending; // what it has yet to take
        bool fed = false;    // nothing more comes: its input closes once it has taken the rest
        bool open() const { return child->stderr_fd() >= 0 || child->progress_fd() >= 0; }
    };

    bool start_writer(const std::vector<std::string>& args);
    void read_source();
    void next_file();
    void write_to(Writer& writer);
    void poll_writers(PollSet& poll);
    // Completes the files of the writers before the last that have ended.
    void retire_writers();
    std::vector<ChildProcess*> children() const;

    std::string m_program;
    std::vector<std::string> m_args;
    long long m_timeout_us;
    Invocation m_invocation;
    RunCore m_core;
    std::unique_ptr<Feed> m_feed;
    std::unique_ptr<ChildProcess> m_feeder;
    std::unique_ptr<ChildLog> m_feeder_log;
    std::vector<std::unique_ptr<Writer>> m_writers;
};

} // namespace ffexe
