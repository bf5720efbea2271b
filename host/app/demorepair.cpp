#include "demorepair.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <cstdio>

namespace {

const int kPollMs = 100;
const int kGiveUpMs = 10 * 60 * 1000;

} // namespace

DemoRepair::DemoRepair(HostApp* host, const Options& options)
    : Demo(host, options)
{
    connect(&m_poll, &QTimer::timeout, this, &DemoRepair::poll);
}

DemoRepair::~DemoRepair()
{
    if (m_standin.state() != QProcess::NotRunning) {
        m_standin.kill();
        m_standin.waitForFinished(5000);
    }
}

void DemoRepair::start()
{
    if (m_options.files.size() < 2) {
        finish(1, QStringLiteral("the repair demonstration needs a damaged file and a reference"));
        return;
    }
    m_host->send(QStringLiteral("msg_show_mp4wd"));
    m_window = top_level(QStringLiteral("Mp4RPWidget"));
    auto* failed = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_failedmp4")) : nullptr;
    auto* okay = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_okaymp4")) : nullptr;
    auto* startButton = m_window ? m_window->findChild<QPushButton*>(QStringLiteral("pb_start")) : nullptr;
    if (!failed || !okay || !startButton) {
        finish(1, QStringLiteral("the repair window is not as expected"));
        return;
    }
    failed->setText(QFileInfo(m_options.files[0]).absoluteFilePath());
    okay->setText(QFileInfo(m_options.files[1]).absoluteFilePath());
    std::printf("demo: repairing %s with the reference %s\n", qPrintable(failed->text()), qPrintable(okay->text()));
    std::fflush(stdout);

    // Polling starts first: a refused input shows a modal box inside the click.
    m_poll.start(kPollMs);
    startButton->click();
    if (!m_poll.isActive())
        return; // refused: already reported
    if (m_options.files.size() > 2) {
        std::printf("demo: %s plays the repair engine's part\n", qPrintable(m_options.files[2]));
        std::fflush(stdout);
        m_standin.setProcessChannelMode(QProcess::ForwardedChannels);
        m_standin.start(m_options.files[2], {});
    }
}

void DemoRepair::poll()
{
    m_waited_ms += kPollMs;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        m_poll.stop();
        save_shot(box, QStringLiteral("Mp4RPWidget-message"));
        const QString text = box->text();
        if (QAbstractButton* ok = box->buttons().value(0))
            ok->click();
        finish(1, QStringLiteral("the repair window refused the inputs: %1").arg(text));
        return;
    }
    QWidget* dialog = top_level(QStringLiteral("ProcessWidget"));
    auto* bar = dialog ? dialog->findChild<QProgressBar*>(QStringLiteral("pb_progress")) : nullptr;
    auto* state = dialog ? dialog->findChild<QLabel*>(QStringLiteral("lb_state")) : nullptr;
    auto* button = dialog ? dialog->findChild<QPushButton*>(QStringLiteral("pb_cancel")) : nullptr;
    if (!bar || !state || !button || !dialog->isVisible()) {
        if (m_waited_ms > kGiveUpMs) {
            m_poll.stop();
            finish(1, QStringLiteral("no progress dialog appeared"));
        }
        return;
    }

    const bool done = button->text() == text("ProcessWidget", "完成");
    if (!m_shot && !done && bar->value() > 0) {
        m_shot = true;
        std::printf("demo: progress %d of %d, \"%s\"\n", bar->value(), bar->maximum(), qPrintable(state->text()));
        save_shot(dialog, QStringLiteral("ProcessWidget-repair"));
    }
    if (done) {
        m_poll.stop();
        // The real engine repairs a short clip faster than a poll: its last report is the picture then.
        std::printf("demo: the engine reported the end, \"%s\"\n", qPrintable(state->text()));
        save_shot(dialog, QString::fromLatin1(m_shot ? "ProcessWidget-done" : "ProcessWidget-repair"));
        const QFileInfo damaged(m_options.files[0]);
        const QFileInfo repaired(damaged.absolutePath() + QStringLiteral("/") + damaged.baseName() +
                                 QStringLiteral("_zo_fixed.mp4"));
        if (m_options.files.size() > 2) {
            finish(0); // the stand-in writes no file
        } else if (repaired.size() > 0) {
            std::printf("demo: repaired file %s (%lld bytes)\n", qPrintable(repaired.absoluteFilePath()),
                        static_cast<long long>(repaired.size()));
            finish(0);
        } else {
            finish(1, QStringLiteral("the engine ended without writing %1").arg(repaired.absoluteFilePath()));
        }
        return;
    }
    if (m_waited_ms > kGiveUpMs) {
        m_poll.stop();
        finish(1, QStringLiteral("the repair did not end in time"));
    }
}
