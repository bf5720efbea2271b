#pragma once

#include <chrono>
#include <optional>

namespace ffexe {

// How ffmpeg is asked to end, step by step: "q" on its input (it finishes the
// file), then SIGINT (also finishes the file; it breaks a stalled open), a
// second SIGINT (breaks a stalled read), and SIGKILL as the last resort.
class StopSequence
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Action { None, Quit, Interrupt, Kill };

    // ffmpeg reads "q" only once its input is open, and needs a moment to
    // write the file's index after SIGINT.
    static constexpr std::chrono::milliseconds k_answer_time{300};
    static constexpr std::chrono::milliseconds k_last_resort{3000};

    bool started() const { return m_step != Step::None; }
    // The first action; nothing if the sequence has begun already.
    Action begin(Clock::time_point now);
    // The next action if its time has come at `now`.
    Action due(Clock::time_point now);
    // When the next action is due; nothing once the last has been taken.
    std::optional<Clock::time_point> deadline() const;

private:
    enum class Step { None, Asked, Interrupted, InterruptedAgain, Killed };

    Step m_step = Step::None;
    Clock::time_point m_deadline;
};

} // namespace ffexe
