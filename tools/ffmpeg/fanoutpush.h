#pragma once

#include "face.h"
#include "fanout.h"
#include "outputwriter.h"

#include "protocol/command.h"

#include <string>
#include <vector>

namespace ffexe {

// A push of one file to several destinations at once: the file is read here
// in real time into FLV (FlvFileSource), which goes to every destination
// (FanOut); its progress and its failures are the push's, each destination's are its own.
// Every destination of a push: its address first, then the others.
std::vector<protocol::PushTarget> push_targets(const protocol::PushCommand& push);

class FanOutPush : public Face
{
public:
    FanOutPush(protocol::PushCommand push, long long timeout_us);
    int run() override;

private:
    protocol::PushCommand m_push;
    OutputWriter m_out;
    FanOut m_fan;
    std::string m_input; // the plug-in's lines so far
    bool m_input_open = true;
};

} // namespace ffexe
