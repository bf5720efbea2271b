#pragma once

#include <QProcess>
#include <QString>

// A real RTSP server (GStreamer's RTSP server library, driven by
// rtspserver.py under Debian's own Python 3) on a free loopback port,
// serving one H.264 clip, with or without its AAC audio, in an endless loop.
class RtspServer
{
public:
    RtspServer() = default;
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;
    ~RtspServer();

    // Starts serving `clip` (an MP4 with H.264 video) and waits until the port accepts connections.
    bool start(const QString& clip, bool audio = false);
    // Terminates the server and waits for it.
    void stop();

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    quint16 port() const { return m_port; }
    // rtsp://127.0.0.1:PORT/stream
    QString url() const;
    // What the server wrote, for a failing test's message.
    QString log();

private:
    bool start_on(quint16 port, const QString& clip, bool audio);

    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};
