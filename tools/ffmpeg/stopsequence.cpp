#include "stopsequence.h"

namespace ffexe {

StopSequence::Action StopSequence::begin(Clock::time_point now)
{
    if (m_step != Step::None)
        return Action::None;
    m_step = Step::Asked;
    m_deadline = now + k_answer_time;
    return Action::Quit;
}

StopSequence::Action StopSequence::due(Clock::time_point now)
{
    if (m_step == Step::None || m_step == Step::Killed || now < m_deadline)
        return Action::None;
    switch (m_step) {
    case Step::Asked:
        m_step = Step::Interrupted;
        m_deadline = now + k_answer_time;
        return Action::Interrupt;
    case Step::Interrupted:
        m_step = Step::InterruptedAgain;
        m_deadline = now + k_last_resort;
        return Action::Interrupt;
    case Step::InterruptedAgain:
        m_step = Step::Killed;
        return Action::Kill;
    case Step::None:
    case Step::Killed:
        break;
    }
    return Action::None;
}

std::optional<StopSequence::Clock::time_point> StopSequence::deadline() const
{
    if (m_step == Step::None || m_step == Step::Killed)
        return std::nullopt;
    return m_deadline;
}

} // namespace ffexe
