#include "democapture.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#include <cstdio>

namespace {

const int kPollMs = 200;
const qint64 kShotAfterMs = 4000;
const qint64 kRecordMs = 6000;
// The stream's outage and the retries come on top.
const qint64 kReconnectGiveUpMs = 120000;

// The duration ffprobe reads from a file, as text; empty if it cannot.
QString probe_duration(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                 QStringLiteral("format=duration"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
    if (!probe.waitForFinished(60000))
        return QString();
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

} // namespace

DemoCapture::DemoCapture(HostApp* host, const Options& options)
    : Demo(host, options)
{
    connect(&m_poll, &QTimer::timeout, this, &DemoCapture::poll);
}

void DemoCapture::start()
{
    if (m_options.address.isEmpty()) {
        finish(1, QStringLiteral("the capture needs a stream address (--address)"));
        return;
    }
    m_host->send(QStringLiteral("msg_show_grablive"));
    m_window = top_level(QStringLiteral("GrabLiveWidget"));
    auto* address = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_encode_ip")) : nullptr;
    auto* folder = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_savepath")) : nullptr;
    auto* name = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_file_name")) : nullptr;
    auto* ext = m_window ? m_window->findChild<QComboBox*>(QStringLiteral("comboBox")) : nullptr;
    auto* startButton = m_window ? m_window->findChild<QPushButton*>(QStringLiteral("pushButton_start")) : nullptr;
    if (!address || !folder || !name || !ext || !startButton) {
        finish(1, QStringLiteral("the capture window is not as expected"));
        return;
    }

    QDir().mkpath(m_options.output);
    address->setText(m_options.address);
    folder->setText(QDir(m_options.output).absolutePath());
    ext->setCurrentIndex(ext->findText(QStringLiteral(".mp4")));
    if (auto* reconnect = m_window->findChild<QCheckBox*>(QStringLiteral("checkBox_reconnect")))
        reconnect->setChecked(m_options.reconnect);
    m_files = QStringList{QDir(folder->text()).filePath(name->text() + ext->currentText())};
    std::printf("demo: recording %s into %s\n", qPrintable(m_options.address), qPrintable(m_files.first()));
    std::fflush(stdout);
    startButton->click();
    m_recording.start();
    m_poll.start(kPollMs);
}

void DemoCapture::poll()
{
    // A failure shows a message box, which runs its own event loop: this timer still fires.
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        m_poll.stop();
        std::printf("demo: the window reported \"%s\"\n", qPrintable(box->text()));
        save_shot(box, QStringLiteral("GrabLiveWidget-message"));
        if (QAbstractButton* ok = box->buttons().value(0))
            ok->click();
        finish(1, QStringLiteral("the capture failed"));
        return;
    }
    if (!m_shot && m_recording.elapsed() >= kShotAfterMs) {
        m_shot = true;
        save_shot(m_window, m_options.reconnect ? QStringLiteral("GrabLiveWidget-before-drop")
                                                : QStringLiteral("GrabLiveWidget-recording"));
        if (m_options.reconnect) {
            std::printf("demo: reconnect on drop is on; waiting for the stream to go away\n");
            std::fflush(stdout);
            m_phase = Phase::Dropping;
            m_phase_time.start();
        }
    }
    switch (m_phase) {
    case Phase::Recording:
        if (m_recording.elapsed() >= kRecordMs) {
            m_poll.stop();
            stop();
        }
        break;
    case Phase::Dropping:
        if (state_reached(lead("GrabLiveWidget", "流已断开，重连中…"))) {
            save_shot(m_window, QStringLiteral("GrabLiveWidget-reconnecting"));
            m_phase = Phase::Returning;
        }
        break;
    case Phase::Returning:
        if (state_reached(lead("GrabLiveWidget", "已重连，正在录制：%1"))) {
            const QFileInfo first(m_files.first());
            m_files << first.dir().filePath(first.completeBaseName() + QStringLiteral("_2.") + first.suffix());
            m_phase = Phase::Second;
        }
        break;
    case Phase::Second:
        // A few seconds into the second file.
        if (m_phase_time.elapsed() >= kShotAfterMs) {
            save_shot(m_window, QStringLiteral("GrabLiveWidget-second-file"));
            m_poll.stop();
            stop();
        }
        break;
    }
}

bool DemoCapture::state_reached(const QString& prefix)
{
    const auto* state = m_window->findChild<QLabel*>(QStringLiteral("lb_state"));
    const QString text = state ? state->text() : QString();
    if (text.startsWith(prefix)) {
        std::printf("demo: the window says \"%s\"\n", qPrintable(text));
        std::fflush(stdout);
        m_phase_time.start();
        return true;
    }
    if (m_phase_time.elapsed() > kReconnectGiveUpMs) {
        m_poll.stop();
        finish(1, QStringLiteral("the capture did not get to \"%1\": \"%2\"").arg(prefix, text));
    }
    return false;
}

void DemoCapture::stop()
{
    auto* stopButton = m_window->findChild<QPushButton*>(QStringLiteral("pushButton_stop"));
    QElapsedTimer stopping;
    stopping.start();
    // The stop asks the transcoder to finish and gives it a second.
    stopButton->click();
    std::printf("demo: stopped after %.1f s of recording; the window was idle again %lld ms after stop\n",
                double(m_recording.elapsed() - stopping.elapsed()) / 1000.0,
                static_cast<long long>(stopping.elapsed()));

    bool ok = true;
    for (const QString& file : m_files) {
        const QString duration = probe_duration(file);
        ok = ok && QFileInfo(file).size() > 0 && duration.toDouble() > 0;
        std::printf("demo: recorded %s (%lld bytes, duration %s s)\n", qPrintable(file),
                    static_cast<long long>(QFileInfo(file).size()), duration.isEmpty() ? "?" : qPrintable(duration));
    }
    std::fflush(stdout);
    if (ok)
        finish(0);
    else
        finish(1, QStringLiteral("the recorded file does not play"));
}
