#include "demolive.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#include <cstdio>

namespace {

const int kPollMs = 100;
const int kGiveUpMs = 60 * 1000;
// The server's outage and the waits between attempts come on top.
const int kReconnectGiveUpMs = 120 * 1000;
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
    // One destination: what this demonstration shows is the single push.
    if (auto* multi = m_window->findChild<QCheckBox*>(QStringLiteral("checkBox_multi")))
        multi->setChecked(false);
    if (auto* reconnect = m_window->findChild<QCheckBox*>(QStringLiteral("checkBox_reconnect")))
        reconnect->setChecked(m_options.reconnect);
    if (auto* seamless = m_window->findChild<QCheckBox*>(QStringLiteral("checkBox_seamless")))
        seamless->setChecked(m_options.seamless);
    std::printf("demo: %d file(s) in the live list, pushing to %s\n", m_list->count(), qPrintable(url->text()));
    std::fflush(stdout);
    m_button->click();
    m_poll.start(kPollMs);
}

bool DemoLive::under_way() const
{
    // The first records carry no rate yet; the shot should show the push under way.
    const QString state = m_state->text();
    return state.startsWith(lead("VideoLiveWidget", "时间：%1   fps:%2  上传：%3kbits/s")) &&
           !state.contains(QStringLiteral("fps:0  "));
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
    const int giveUp = m_phase == Phase::Starting ? kGiveUpMs : kReconnectGiveUpMs;
    const bool reached = m_phase == Phase::Round ? true
                         : m_phase == Phase::Dropping
                             ? (m_state->text() == text("VideoLiveWidget", "连接断开，已停止重连") ||
                                m_state->text().startsWith(lead("VideoLiveWidget", "连接断开，%1秒后重连…")))
                             : under_way();
    if (!reached) {
        if (m_waited_ms > giveUp) {
            m_poll.stop();
            finish(1, QStringLiteral("the push did not get on: \"%1\"").arg(m_state->text()));
        }
        return;
    }
    m_waited_ms = 0;
    switch (m_phase) {
    case Phase::Starting:
        std::printf("demo: the push is running: %s\n", qPrintable(m_state->text()));
        if (m_options.seamless) {
            save_shot(m_window, QStringLiteral("VideoLiveWidget-one-connection-first"));
            m_rows << marked_row();
            m_phase = Phase::Round;
            break;
        }
        if (!m_options.reconnect) {
            save_shot(m_window, QStringLiteral("VideoLiveWidget-pushing"));
            return done();
        }
        save_shot(m_window, QStringLiteral("VideoLiveWidget-before-drop"));
        std::printf("demo: reconnect on drop is on; waiting for the server to go away\n");
        m_phase = Phase::Dropping;
        break;
    case Phase::Round: {
        // The list's mark follows the entry going out, over the one connection, once round.
        const int row = marked_row();
        if (row >= 0 && row != m_rows.last()) {
            m_rows << row;
            std::printf("demo: entry %d goes out now over the same connection: %s\n", row + 1,
                        qPrintable(m_state->text()));
            if (m_rows.size() == 2)
                save_shot(m_window, QStringLiteral("VideoLiveWidget-one-connection-second"));
        }
        m_round_ms += kPollMs;
        if (m_round_ms > kReconnectGiveUpMs) {
            m_poll.stop();
            return finish(1, QStringLiteral("the list did not go round: \"%1\"").arg(m_state->text()));
        }
        if (m_rows.size() > m_list->count()) {
            const auto processes = m_window->findChildren<QProcess*>();
            std::printf("demo: once round the list with %lld transcoder(s) started\n", qlonglong(processes.size()));
            return done();
        }
        return;
    }
    case Phase::Dropping:
        std::printf("demo: the server went away; the window says \"%s\" (button \"%s\", no message box)\n",
                    qPrintable(m_state->text()), qPrintable(m_button->text()));
        save_shot(m_window, QStringLiteral("VideoLiveWidget-reconnecting"));
        m_phase = Phase::Returning;
        break;
    case Phase::Returning: {
        const auto* process = m_window->findChild<QProcess*>();
        const QStringList args = process ? process->arguments() : QStringList();
        const int at = int(args.indexOf(QStringLiteral("-ss")));
        std::printf("demo: the server is back and the push runs again, the same entry resumed from %s s: %s\n",
                    at >= 0 ? qPrintable(args.value(at + 1)) : "0", qPrintable(m_state->text()));
        save_shot(m_window, QStringLiteral("VideoLiveWidget-reconnected"));
        return done();
    }
    }
    std::fflush(stdout);
}

int DemoLive::marked_row() const
{
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->isSelected())
            return row;
    }
    return -1;
}

void DemoLive::done()
{
    m_poll.stop();
    m_button->click();
    std::printf("demo: stopped; the button reads \"%s\"\n", qPrintable(m_button->text()));
    std::fflush(stdout);
    finish(m_button->text() == text("VideoLiveWidget", "开始") ? 0 : 1);
}
