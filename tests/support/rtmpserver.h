#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <list>

// A real server of the tests on a free loopback port, stopped when it goes.
class LoopbackServer
{
public:
    LoopbackServer() = default;
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    ~LoopbackServer() { stop(); }

    // Terminates the server and waits for it.
    void stop();
    quint16 port() const { return m_port; }
    // What the server printed, for a failing test's message.
    QString output();

    // Starts the server again on the port it had, as a server that was down a while comes back.
    bool restart();

protected:
    // Starts `program` with the arguments `args` gives for a free port and waits until the port accepts connections;
    // another program may take a free port before the server binds it, so a few ports are tried.
    bool start_on_free_port(const QString& program, const std::function<QStringList(quint16)>& args);

private:
    bool start_on(quint16 port);

    QString m_program;
    std::function<QStringList(quint16)> m_args;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};

// nginx with its rtmp module, with its configuration, pid and logs in a
// temporary folder, and the publishers the test starts.
class RtmpServer : public LoopbackServer
{
public:
    ~RtmpServer() { stop(); }

    // With `tls`, rtmps as well on a port of its own: nginx's stream module ends
    // TLS with a certificate made now, self-signed for 127.0.0.1, in front of the rtmp server.
    bool start(bool tls = false);
    // Terminates the publishers and the server and waits for them.
    void stop();
    // Publishes `clip` as `stream` at its own rate in an endless loop with the
    // stock ffmpeg; true once the server has taken the stream.
    bool publish(const QString& clip, const QString& stream);
    // Ends the publisher of `stream` and starts it again, as a streamer who stops and starts; its time stamps begin
    // anew. True once the server has taken the stream again. `away_ms`: how long the streamer is gone; `clip`: what
    // the streamer sends from then on, when not what it sent.
    bool restart_publisher(const QString& stream, int away_ms = 0, const QString& clip = {});

    // rtmp://127.0.0.1:PORT/live/STREAM
    QString url(const QString& stream) const { return QString("rtmp://127.0.0.1:%1/live/%2").arg(port()).arg(stream); }
    // rtmps://127.0.0.1:PORT/live/STREAM, the same stream over TLS.
    QString tls_url(const QString& stream) const
    {
        return QString("rtmps://127.0.0.1:%1/live/%2").arg(m_tls_port).arg(stream);
    }
    // The server's error log, for a failing test's message.
    QString log() const;

private:
    int published(const QString& stream) const;

    QTemporaryDir m_dir;
    std::list<QProcess> m_publishers;
    quint16 m_tls_port = 0;
};

// nginx serving over plain http the files of a folder, for playlists the tests write, or, with
// `upstream`, what the server on that loopback port sends as it comes.
class HttpServer : public LoopbackServer
{
public:
    bool start(const QString& root, quint16 upstream = 0);
    // http://127.0.0.1:PORT/PATH
    QString url(const QString& path) const { return QString("http://127.0.0.1:%1/%2").arg(port()).arg(path); }

private:
    QTemporaryDir m_dir;
};

// The stock ffmpeg serving a clip live to the one reader that comes, from the
// clip's start and round in a loop: SRT in listener mode, FLV over http
// through the http nginx in front of it, or rtmp, starting with a key picture
// as a server that keeps the last one does.
class ClipListener
{
public:
    enum class Kind { Srt, HttpFlv, Rtmp };
    ~ClipListener() { stop(); }
    // True once a reader may come. `codecs`: how the clip is sent.
    bool start(Kind kind, const QString& clip, const QStringList& codecs = {"-c", "copy"});
    void stop();
    QString url() const { return m_url; }

private:
    QProcess m_ffmpeg;
    HttpServer m_http;
    QString m_url;
};
