#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "face.h"
#include "fanout.h"
#include "outputwriter.h"
#include "progressrecord.h"

#include "protocol/command.h"

#include <string>
#include <vector>

namespace ffexe {

// A push of one file to several destinations at once: one ffmpeg reads the
// file in real time into FLV, which goes to every destination (FanOut); its
// progress and its failures are the push's, each destination's are its own.
std::vector<std::string> source_args(const protocol::PushCommand& push);
// Every destination of a push: its address first, then the others.
std::vector<protocol::PushTarget> push_targets(const protocol::PushCommand& push);

class FanOutPush : public Face
{
public:
    FanOutPush(std::string program, protocol::PushCommand push, long long timeout_us);
    int run() override;

private:
    void read_source();
    void read_progress();

    std::string m_program;
    protocol::PushCommand m_push;
    OutputWriter m_out;
    ChildProcess m_source;
    ChildLog m_log;
    ProgressParser m_progress;
    FanOut m_fan;
    std::string m_input; // the plug-in's lines so far
    bool m_input_open = true;
};

} // namespace ffexe
