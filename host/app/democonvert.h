#pragma once

#include "demo.h"

#include <QTimer>

// Drives the conversion window: drops the files on its table, picks ".mp4"
// and "720P" (or each of the formats asked, at the files' own size, one run
// after another), starts, waits for the end-of-run message, saves a
// screenshot of the finished table and prints where everything is.
class DemoConvert : public Demo
{
    Q_OBJECT
public:
    DemoConvert(HostApp* host, const Options& options);

    void start() override;

private:
    void run_next();
    void poll();

    QWidget* m_window = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
    QStringList m_formats; // still to run
    QString m_size;
    bool m_shot = false;
};
