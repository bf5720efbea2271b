#include "rtmpserver.h"

#include "rtspserver.h"
#include "testmedia.h"

#include <QCoreApplication>
#include <QDir>
#include <QTcpSocket>
#include <QTest>

namespace {

const char* const k_config = R"(load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1;
pid %1/nginx.pid; error_log %1/error.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:%2; application live { live on; } } }
)";
const char* const k_tls_config = R"(stream { server { listen 127.0.0.1:%2 ssl; ssl_certificate %1/cert.pem;
  ssl_certificate_key %1/key.pem; proxy_pass 127.0.0.1:%3; } }
)";

// Playlists are read again as they grow: nothing is cached; a stream passes as it comes.
const char* const k_http_config = R"(daemon off; master_process off; worker_processes 1;
pid %1/nginx.pid; error_log %1/error.log info;
events { worker_connections 64; }
http { access_log off; default_type application/octet-stream;
  types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; }
  server { listen 127.0.0.1:%2; root %3; location / { add_header Cache-Control no-cache; %4 } } }
)";

// Whether something listens on the loopback `port` (a datagram socket is bound to it, for `udp`), without
// connecting, which a server of one reader would take for its reader.
bool bound(quint16 port, bool udp)
{
    const QString local = QString("0100007F:%1").arg(port, 4, 16, QChar('0')).toUpper();
    for (const QByteArray& line : testmedia::read_file(udp ? "/proc/net/udp" : "/proc/net/tcp").split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local.toLatin1() && (udp || f[3] == "0A"))
            return true;
    }
    return false;
}

} // namespace

bool LoopbackServer::start_on_free_port(const QString& program, const std::function<QStringList(quint16)>& args)
{
    m_program = program;
    m_args = args;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start_on(testmedia::free_port()))
            return true;
    }
    stop();
    return false;
}

bool LoopbackServer::restart()
{
    stop();
    return !m_program.isEmpty() && start_on(m_port);
}

bool LoopbackServer::start_on(quint16 port)
{
    stop();
    m_port = port;
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(m_program, m_args(m_port));
    // Refused at once while the server is still starting; it ends when the port was taken or it could not start.
    bool accepting = false;
    const auto settled = [&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        accepting = socket.waitForConnected(500);
        return accepting || m_process.state() == QProcess::NotRunning;
    };
    if (QTest::qWaitFor(settled, 30000) && accepting)
        return true;
    qWarning("server on port %u did not start: %s", m_port, qPrintable(output()));
    return false;
}

void LoopbackServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    m_output += m_process.readAll();
}

QString LoopbackServer::output()
{
    m_output += m_process.readAll();
    return QString::fromUtf8(m_output);
}

bool RtmpServer::start(bool tls)
{
    if (tls && testmedia::run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                          "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                                          m_dir.filePath("key.pem"), "-out", m_dir.filePath("cert.pem")})
                       .code != 0)
        return false;
    m_tls_port = tls ? testmedia::free_port() : 0;
    return m_dir.isValid() && start_on_free_port("nginx", [this](quint16 port) {
               const QString conf = m_dir.filePath("nginx.conf");
               QString text = QString::fromLatin1(k_config).arg(m_dir.path()).arg(port);
               if (m_tls_port) {
                   text.prepend("load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n");
                   text += QString::fromLatin1(k_tls_config).arg(m_dir.path()).arg(m_tls_port).arg(port);
               }
               testmedia::write_file(conf, text.toUtf8());
               // -e: nginx logs there before it has read the configuration.
               return QStringList{"-e", m_dir.filePath("error.log"), "-c", conf, "-p", m_dir.path()};
           });
}

bool HttpServer::start(const QString& root, quint16 upstream)
{
    const QString proxy =
        upstream ? QString("proxy_pass http://127.0.0.1:%1; proxy_buffering off;").arg(upstream) : QString();
    return m_dir.isValid() && start_on_free_port("nginx", [this, root, proxy](quint16 port) {
               const QString conf = m_dir.filePath("nginx.conf");
               testmedia::write_file(
                   conf, QString::fromLatin1(k_http_config).arg(m_dir.path()).arg(port).arg(root, proxy).toUtf8());
               return QStringList{"-e", m_dir.filePath("error.log"), "-c", conf, "-p", m_dir.path()};
           });
}

void RtmpServer::stop()
{
    for (QProcess& publisher : m_publishers) {
        publisher.kill();
        publisher.waitForFinished();
    }
    m_publishers.clear();
    LoopbackServer::stop();
}

bool RtmpServer::publish(const QString& clip, const QString& stream)
{
    QProcess& publisher = m_publishers.emplace_back();
    publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    publisher.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1", "-i",
                               clip, "-c", "copy", "-f", "flv", url(stream)});
    return QTest::qWaitFor([&] { return published(stream) > 0; }, 60000);
}

int RtmpServer::published(const QString& stream) const
{
    return log().count(QString("publish: name='%1'").arg(stream));
}

bool RtmpServer::restart_publisher(const QString& stream, int away_ms, const QString& clip)
{
    for (QProcess& publisher : m_publishers) {
        if (publisher.arguments().value(publisher.arguments().size() - 1) != url(stream))
            continue;
        const int before = published(stream);
        publisher.kill();
        publisher.waitForFinished();
        QTest::qWait(away_ms); // the outage itself, not a wait for something
        if (!clip.isEmpty()) {
            QStringList args = publisher.arguments();
            args[args.indexOf("-i") + 1] = clip;
            publisher.setArguments(args);
        }
        publisher.start();
        return QTest::qWaitFor([&] { return published(stream) > before; }, 60000);
    }
    return false;
}

QString RtmpServer::log() const
{
    return QString::fromUtf8(testmedia::read_file(m_dir.filePath("error.log")));
}

bool RtspServer::start(const QString& clip, bool audio)
{
    // Another Python may come first on PATH; only Debian's own loads the GStreamer bindings. The
    // arguments are kept for a restart.
    return start_on_free_port("/usr/bin/python3", [clip, audio](quint16 port) {
        return QStringList{QCoreApplication::applicationDirPath() + "/rtspserver.py", "--port", QString::number(port),
                           "--clip", clip} +
               (audio ? QStringList{"--audio"} : QStringList());
    });
}

bool ClipListener::start(Kind kind, const QString& clip, const QStringList& codecs)
{
    stop();
    const quint16 port = testmedia::free_port();
    const QString own = kind == Kind::Srt    ? QString("srt://127.0.0.1:%1?mode=listener").arg(port)
                        : kind == Kind::Rtmp ? QString("rtmp://127.0.0.1:%1/live/clip").arg(port)
                                             : QString("http://127.0.0.1:%1/live.flv").arg(port);
    m_ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList out =
        kind == Kind::Srt ? QStringList{"-f", "mpegts", own} : QStringList{"-f", "flv", "-listen", "1", own};
    m_ffmpeg.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1",
                                         "-i", clip} +
                                 codecs + out);
    if (kind == Kind::HttpFlv && !m_http.start(QDir::tempPath(), port))
        return false;
    m_url = kind == Kind::Srt    ? QString("srt://127.0.0.1:%1").arg(port)
            : kind == Kind::Rtmp ? own
                                 : m_http.url("live.flv");
    return QTest::qWaitFor([&] { return bound(port, kind == Kind::Srt); }, 60000);
}

void ClipListener::stop()
{
    m_ffmpeg.kill();
    m_ffmpeg.waitForFinished();
    m_http.stop();
}
