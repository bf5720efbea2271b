#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "face.h"
#include "runcore.h"

#include <memory>

namespace ffexe {

// A recording from a live FLV source: the feeder ffmpeg reads the source
// and keeps its time on the wall clock; the writer ffmpeg, whose standard
// input is the feeder's output, records it (commandline.cpp). The feeder's
// log is the source's; a stop asks the feeder, and the writer ends with the
// end of what it is fed.
class RelayRun : public Face
{
public:
    RelayRun(std::string program, Invocation invocation);
    int run() override;

private:
    bool start(const std::vector<std::string>& feeder_args, const std::vector<std::string>& writer_args);
    void read_feeder_log();
    void retry_for_video();
    // Ends both children and waits for them.
    void kill();

    std::string m_program;
    Invocation m_invocation;
    RunCore m_core;
    std::unique_ptr<ChildProcess> m_feeder, m_writer;
    std::unique_ptr<ChildLog> m_feeder_log, m_writer_log;
};

} // namespace ffexe
