#pragma once

#include "demo.h"

#include <QElapsedTimer>
#include <QTimer>

// Drives the capture window: sets the stream address (--address) and the
// save folder (--output), records to ".mp4" for a few seconds, saves a
// screenshot while it records, stops and prints the recorded file and its
// duration.
class DemoCapture : public Demo
{
    Q_OBJECT
public:
    DemoCapture(HostApp* host, const Options& options);

    void start() override;

private:
    void poll();
    void stop();

    QWidget* m_window = nullptr;
    QString m_file;
    QTimer m_poll;
    QElapsedTimer m_recording;
    bool m_shot = false;
};
