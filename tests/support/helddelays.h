#pragma once

#include "rsrc/formatcwidget/formatcwidget.h"
#include "rsrc/mp4rpwidget.h"
#include "transcode/transcoderjob.h"

#include <QList>
#include <QPointer>

#include <algorithm>
#include <functional>

// While it lives, the delays a window asks for (through `Set`) are held until
// the test lets them pass, so their lengths are checked without waiting them out.
template<typename Step, Step (*Set)(Step)>
struct HeldDelays
{
    struct Pending
    {
        int ms;
        QPointer<QObject> context;
        std::function<void()> step;
    };
    QList<Pending> pending;
    Step previous = Set([this](int ms, QObject* context, std::function<void()> step) {
        pending << Pending{ms, context, step};
    });
    HeldDelays() = default;
    HeldDelays(const HeldDelays&) = delete;
    HeldDelays& operator=(const HeldDelays&) = delete;
    ~HeldDelays() { Set(std::move(previous)); }

    // A delay whose owner has gone would never fire: Qt drops such a timer.
    void forget_dead()
    {
        pending.erase(std::remove_if(pending.begin(), pending.end(), [](const Pending& p) { return !p.context; }),
                      pending.end());
    }
    int count()
    {
        forget_dead();
        return pending.size();
    }
    // Lets the oldest live delay pass, as the clock would after its length; returns that length.
    int pass()
    {
        forget_dead();
        if (pending.isEmpty())
            return -1;
        const Pending p = pending.takeFirst();
        p.step();
        return p.ms;
    }
};

// The live windows' waits before a retry.
using Retries = HeldDelays<TranscoderJob::Scheduler, &TranscoderJob::set_scheduler>;
// The conversion window's pauses between files.
using Pauses = HeldDelays<FormatCWidget::Delay, &FormatCWidget::set_delay>;
// The repair window's tries to take the pipe's name.
using PipeRetries = HeldDelays<Mp4RPWidget::Delay, &Mp4RPWidget::set_delay>;
