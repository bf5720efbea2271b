#pragma once

#include "demo.h"

#include <QTimer>

// Drives the conversion window: drops the files on its table, picks ".mp4"
// and "720P", starts, waits for the end-of-run message, saves a screenshot of
// the finished table and prints where everything is.
class DemoConvert : public Demo
{
    Q_OBJECT
public:
    DemoConvert(HostApp* host, const Options& options);

    void start() override;

private:
    void poll();

    QWidget* m_window = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
};
