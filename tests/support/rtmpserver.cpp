#include "rtmpserver.h"

#include "testmedia.h"

#include <QTcpSocket>
#include <QTest>

namespace {

const char* const k_config = R"(load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off; master_process off; worker_processes 1;
pid %1/nginx.pid; error_log %1/error.log info;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:%2; application live { live on; } } }
)";

} // namespace

bool RtmpServer::start()
{
    if (!m_dir.isValid())
        return false;
    // Another program may take the free port before nginx binds it; try a few.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (start_on(testmedia::free_port()))
            return true;
    return false;
}

bool RtmpServer::start_on(quint16 port)
{
    stop();
    const QString conf = m_dir.filePath("nginx.conf");
    if (!testmedia::write_file(conf, QString::fromLatin1(k_config).arg(m_dir.path()).arg(port).toUtf8()))
        return false;
    m_port = port;
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // -e: nginx logs there before it has read the configuration.
    m_process.start("nginx", {"-e", m_dir.filePath("error.log"), "-c", conf, "-p", m_dir.path()});
    if (!m_process.waitForStarted(10000) || !wait_until_accepting()) {
        stop();
        return false;
    }
    return true;
}

bool RtmpServer::wait_until_accepting()
{
    // Refused at once while nginx is still starting; it ends when the port was
    // taken or the configuration refused.
    bool accepting = false;
    return QTest::qWaitFor(
               [&] {
                   QTcpSocket socket;
                   socket.connectToHost(QHostAddress::LocalHost, m_port);
                   accepting = socket.waitForConnected(500);
                   return accepting || m_process.state() == QProcess::NotRunning;
               },
               20000) &&
           accepting;
}

bool RtmpServer::publish(const QString& clip, const QString& stream)
{
    QProcess& publisher = m_publishers.emplace_back();
    publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    publisher.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1", "-i",
                               clip, "-c", "copy", "-f", "flv", url(stream)});
    return QTest::qWaitFor([&] { return log().contains(QString("publish: name='%1'").arg(stream)); }, 60000);
}

void RtmpServer::stop()
{
    for (QProcess& publisher : m_publishers) {
        publisher.kill();
        publisher.waitForFinished();
    }
    m_publishers.clear();
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

QString RtmpServer::log() const
{
    return QString::fromUtf8(testmedia::read_file(m_dir.filePath("error.log")));
}
