#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <list>

// A real rtmp server (nginx with its rtmp module) on a free loopback port,
// with its configuration, pid and logs in a temporary folder.
class RtmpServer
{
public:
    ~RtmpServer() { stop(); }

    // Starts the server and waits until its port accepts connections.
    bool start();
    // Terminates the server and its publishers and waits for them.
    void stop();
    // Publishes `clip` as `stream` at its own rate in an endless loop with the
    // stock ffmpeg; true once the server has taken the stream.
    bool publish(const QString& clip, const QString& stream);

    quint16 port() const { return m_port; }
    // rtmp://127.0.0.1:PORT/live/STREAM
    QString url(const QString& stream) const { return QString("rtmp://127.0.0.1:%1/live/%2").arg(m_port).arg(stream); }
    // The server's error log, for a failing test's message.
    QString log() const;

private:
    bool start_on(quint16 port);
    bool wait_until_accepting();

    QTemporaryDir m_dir;
    QProcess m_process;
    std::list<QProcess> m_publishers;
    quint16 m_port = 0;
};
