#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "face.h"
#include "runcore.h"

#include <functional>
#include <memory>
#include <thread>

namespace ffexe {

// One ffmpeg, its log and progress translated into the plug-in's contract;
// ended gently on a stop request. A stream whose first listing shows no video
// is read again, analysed for longer.
class PlainRun : public Face
{
public:
    PlainRun(std::string program, Invocation invocation, PlaylistCheck playlist_check = nullptr);
    ~PlainRun() override;
    // ffmpeg's standard output goes to `reader`, on a thread of its own, which
    // reads it to its end and closes it; the run ends after it.
    void read_output(std::function<void(int fd)> reader) { m_reader = std::move(reader); }
    int run() override;

private:
    bool start(const std::vector<std::string>& args);
    void read_log();
    void retry_for_video();

    std::string m_program;
    Invocation m_invocation;
    RunCore m_core;
    std::unique_ptr<ChildProcess> m_child;
    std::unique_ptr<ChildLog> m_log;
    std::function<void(int fd)> m_reader;
    std::thread m_reading;
};

} // namespace ffexe
