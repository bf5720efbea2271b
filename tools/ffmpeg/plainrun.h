#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "face.h"
#include "runcore.h"

#include <memory>

namespace ffexe {

// One ffmpeg, its log and progress translated into the plug-in's contract;
// ended gently on a stop request. A stream whose first listing shows no video
// is read again, analysed for longer.
class PlainRun : public Face
{
public:
    PlainRun(std::string program, Invocation invocation);
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
};

} // namespace ffexe
