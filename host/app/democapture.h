#pragma once

#include "demo.h"

#include <QElapsedTimer>
#include <QTimer>

// Drives the capture window: sets the stream address (--address) and the
// save folder (--output), records to ".mp4" for a few seconds, saves a
// screenshot while it records, stops and prints the recorded file and its
// duration. With --reconnect it turns reconnect on drop on and follows the
// capture through the stream going away and coming back into a second file,
// with a screenshot of each state.
class DemoCapture : public Demo
{
    Q_OBJECT
public:
    DemoCapture(HostApp* host, const Options& options);

    void start() override;

private:
    void poll();
    void stop();
    // Reconnect on drop: the capture's state label, once it has reached `prefix`.
    bool state_reached(const QString& prefix);

    QWidget* m_window = nullptr;
    QStringList m_files; // recorded into, in order
    QTimer m_poll;
    QElapsedTimer m_recording;
    bool m_shot = false;
    enum class Phase { Recording, Dropping, Returning, Second } m_phase = Phase::Recording;
    QElapsedTimer m_phase_time;
};
