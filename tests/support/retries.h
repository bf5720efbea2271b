#pragma once

#include "transcode/transcoderjob.h"

#include <QList>
#include <QPointer>

#include <functional>

// While it lives, the live windows' waits before a retry are held until the
// test lets them pass, so their lengths are checked without waiting them out.
struct Retries
{
    struct Pending
    {
        int ms;
        QPointer<QObject> context;
        std::function<void()> step;
    };
    QList<Pending> pending;
    TranscoderJob::Scheduler previous =
        TranscoderJob::set_scheduler([this](int ms, QObject* context, std::function<void()> step) {
            pending << Pending{ms, context, step};
        });
    Retries() = default;
    Retries(const Retries&) = delete;
    Retries& operator=(const Retries&) = delete;
    ~Retries() { TranscoderJob::set_scheduler(std::move(previous)); }

    // Lets the oldest wait pass, as the clock would after its length; returns that length.
    int pass()
    {
        if (pending.isEmpty())
            return -1;
        const Pending p = pending.takeFirst();
        if (p.context)
            p.step();
        return p.ms;
    }
};
