#pragma once

#include "demo.h"

#include <QProcess>
#include <QTimer>

// Drives the repair window: fills in the damaged file and the reference,
// starts the repair, saves a screenshot of the progress dialog while the
// repair engine reports over the pipe and another once it reports the end.
// A third file, if given, is a program started to play the engine's part
// (for builds without the real engine).
class DemoRepair : public Demo
{
    Q_OBJECT
public:
    DemoRepair(HostApp* host, const Options& options);
    ~DemoRepair() override;

    void start() override;

private:
    void poll();

    QWidget* m_window = nullptr;
    QProcess m_standin;
    QTimer m_poll;
    int m_waited_ms = 0;
    bool m_shot = false;
};
