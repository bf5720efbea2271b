#include "rtspserver.h"

#include "testmedia.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

// Another Python may come first on PATH; only Debian's own loads the GStreamer bindings.
const char* const k_python = "/usr/bin/python3";

} // namespace

RtspServer::~RtspServer()
{
    stop();
}

bool RtspServer::start(const QString& clip, bool audio)
{
    // Another program may take the free port before the server binds it; try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start_on(testmedia::free_port(), clip, audio))
            return true;
    }
    return false;
}

bool RtspServer::start_on(quint16 port, const QString& clip, bool audio)
{
    stop();
    m_output.clear();
    m_port = port;
    QStringList args{QCoreApplication::applicationDirPath() + "/rtspserver.py", "--port", QString::number(port),
                     "--clip", clip};
    if (audio)
        args << "--audio";
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(k_python, args);
    if (!m_process.waitForStarted(10000))
        return false;

    // The script says "ready" once it listens, or ends when it cannot.
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && !m_output.contains("ready\n")) {
        if (!m_process.waitForReadyRead(500) && m_process.state() == QProcess::NotRunning)
            break;
        m_output += m_process.readAll();
    }
    if (!m_output.contains("ready\n")) {
        qWarning("rtsp server on port %u did not start: %s", port, m_output.constData());
        stop();
        return false;
    }
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(5000);
}

void RtspServer::stop()
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

QString RtspServer::url() const
{
    return QStringLiteral("rtsp://127.0.0.1:%1/stream").arg(m_port);
}

QString RtspServer::log()
{
    m_output += m_process.readAll();
    return QString::fromUtf8(m_output);
}
