#include "demolive.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

namespace {

const int kPollMs = 100;
const int kGiveUpMs = 60 * 1000;
// What the state label begins with once the transcoder reports progress.
const QString kProgress = QStringLiteral("时间：");

} // namespace

DemoLive::DemoLive(HostApp* host, const Options& options)
    : Demo(host, options)
{
    connect(&m_poll, &QTimer::timeout, this, &DemoLive::poll);
}

void DemoLive::start()
{
    m_host->send(QStringLiteral("msg_show_movielive"));
    m_window = top_level(QStringLiteral("VideoLiveWidget"));
    m_list = m_window ? m_window->findChild<QListWidget*>(QStringLiteral("listWidget")) : nullptr;
    m_state = m_window ? m_window->findChild<QLabel*>(QStringLiteral("lb_state")) : nullptr;
    m_button = m_window ? m_window->findChild<QPushButton*>(QStringLiteral("pb_start_stop")) : nullptr;
    auto* url = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("le_rtmp_url")) : nullptr;
    auto* key = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("le_rtmp_key")) : nullptr;
    if (!m_list || !m_state || !m_button || !url || !key) {
        finish(1, QStringLiteral("the live push window is not as expected"));
        return;
    }
    if (m_options.address.isEmpty()) {
        finish(1, QStringLiteral("no server address given (--address rtmp://HOST:PORT/APP/STREAM)"));
        return;
    }

    // The list reads its file once the event loop runs; wait for that, then
    // replace what an earlier run left in it.
    auto* load = m_list->findChild<QTimer*>(QStringLiteral("load_timer"));
    if (load && load->isActive())
        connect(
            load, &QTimer::timeout, this, [this, url, key] { push(url, key); }, Qt::QueuedConnection);
    else
        push(url, key);
}

void DemoLive::push(QLineEdit* url, QLineEdit* key)
{
    QMetaObject::invokeMethod(m_list, "clearPlayList");
    for (const QString& file : m_options.files)
        QMetaObject::invokeMethod(m_list, "add_movieItem", Q_ARG(QString, QFileInfo(file).absoluteFilePath()),
                                  Q_ARG(bool, false));
    url->setText(m_options.address);
    key->clear();
    std::printf("demo: %d file(s) in the live list, pushing to %s\n", m_list->count(), qPrintable(url->text()));
    std::fflush(stdout);
    m_button->click();
    m_poll.start(kPollMs);
}

void DemoLive::poll()
{
    m_waited_ms += kPollMs;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        m_poll.stop();
        const QString text = box->text();
        if (QAbstractButton* ok = box->buttons().value(0))
            ok->click();
        finish(1, QStringLiteral("the window said \"%1\"").arg(text));
        return;
    }
    // The first records carry no rate yet; the shot should show the push under way.
    const QString state = m_state->text();
    if (!state.startsWith(kProgress) || state.contains(QStringLiteral("fps:0  "))) {
        if (m_waited_ms > kGiveUpMs) {
            m_poll.stop();
            finish(1, QStringLiteral("no progress from the push: \"%1\"").arg(m_state->text()));
        }
        return;
    }
    m_poll.stop();
    std::printf("demo: the push is running: %s\n", qPrintable(m_state->text()));
    save_shot(m_window, QStringLiteral("VideoLiveWidget-pushing"));
    m_button->click();
    std::printf("demo: stopped; the button reads \"%s\"\n", qPrintable(m_button->text()));
    std::fflush(stdout);
    finish(m_button->text() == QStringLiteral("开始") ? 0 : 1);
}
