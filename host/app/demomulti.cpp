#include "demomulti.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>

#include <algorithm>
#include <cstdio>

namespace {

const int kPollMs = 100;
// The server's outage and the waits between attempts come on top of getting on air.
const int kGiveUpMs = 120 * 1000;
// The list's columns: address, key, self-signed certificate accepted, state.
const int kColAddress = 0, kColAnyCertificate = 2, kColState = 3;

} // namespace

DemoMulti::DemoMulti(HostApp* host, const Options& options)
    : Demo(host, options)
{
    connect(&m_poll, &QTimer::timeout, this, &DemoMulti::poll);
}

void DemoMulti::start()
{
    m_host->send(QStringLiteral("msg_show_movielive"));
    m_window = top_level(QStringLiteral("VideoLiveWidget"));
    auto* list = m_window ? m_window->findChild<QListWidget*>(QStringLiteral("listWidget")) : nullptr;
    m_table = m_window ? m_window->findChild<QTableWidget*>(QStringLiteral("tableWidget_destinations")) : nullptr;
    m_state = m_window ? m_window->findChild<QLabel*>(QStringLiteral("lb_state")) : nullptr;
    m_button = m_window ? m_window->findChild<QPushButton*>(QStringLiteral("pb_start_stop")) : nullptr;
    if (!list || !m_table || !m_state || !m_button) {
        finish(1, QStringLiteral("the live push window is not as expected"));
        return;
    }
    if (m_options.addresses.size() < 2) {
        finish(1, QStringLiteral("give two addresses at least (--address URL --address URL ...)"));
        return;
    }
    // The list reads its file once the event loop runs; wait for that.
    auto* load = list->findChild<QTimer*>(QStringLiteral("load_timer"));
    if (load && load->isActive())
        connect(load, &QTimer::timeout, this, &DemoMulti::push, Qt::QueuedConnection);
    else
        push();
}

void DemoMulti::push()
{
    auto* list = m_window->findChild<QListWidget*>(QStringLiteral("listWidget"));
    QMetaObject::invokeMethod(list, "clearPlayList");
    for (const QString& file : m_options.files)
        QMetaObject::invokeMethod(list, "add_movieItem", Q_ARG(QString, QFileInfo(file).absoluteFilePath()),
                                  Q_ARG(bool, false));
    m_window->findChild<QLineEdit*>(QStringLiteral("le_rtmp_url"))->setText(m_options.addresses.first());
    m_window->findChild<QLineEdit*>(QStringLiteral("le_rtmp_key"))->clear();
    for (const char* name : {"checkBox_multi", "checkBox_reconnect", "checkBox_seamless"}) {
        if (auto* box = m_window->findChild<QCheckBox*>(QLatin1String(name)))
            box->setChecked(true);
    }
    m_table->setRowCount(1);
    auto* add = m_window->findChild<QPushButton*>(QStringLiteral("pb_dest_add"));
    for (const QString& address : m_options.addresses.mid(1)) {
        add->click();
        const int row = m_table->rowCount() - 1;
        m_table->item(row, kColAddress)->setText(address);
        // The demo's TLS front has a certificate it made itself.
        if (address.startsWith(QLatin1String("rtmps://")))
            m_table->item(row, kColAnyCertificate)->setCheckState(Qt::Checked);
    }
    std::printf("demo: %d file(s) in the live list over one connection, pushed to %lld destinations at once\n",
                list->count(), qlonglong(m_options.addresses.size()));
    std::fflush(stdout);
    m_button->click();
    m_poll.start(kPollMs);
}

QStringList DemoMulti::states() const
{
    QStringList all;
    for (int row = 0; row < m_table->rowCount(); ++row)
        all << m_table->item(row, kColState)->text();
    return all;
}

void DemoMulti::tell(const char* what, const QString& shot)
{
    std::printf("demo: %s\n", what);
    for (int row = 0; row < m_table->rowCount(); ++row)
        std::printf("demo:   %s  %s\n", qPrintable(m_table->item(row, kColAddress)->text()),
                    qPrintable(m_table->item(row, kColState)->text()));
    std::fflush(stdout);
    save_shot(m_window, shot);
}

void DemoMulti::poll()
{
    m_waited_ms += kPollMs;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        m_poll.stop();
        const QString said = box->text();
        if (QAbstractButton* ok = box->buttons().value(0))
            ok->click();
        return finish(1, QStringLiteral("the window said \"%1\"").arg(said));
    }
    const QStringList now = states();
    const QString on = text("VideoLiveWidget", "推流中");
    const qsizetype on_air = now.count(on);
    const qsizetype waiting = std::count_if(now.begin(), now.end(), [](const QString& state) {
        return state.endsWith(text("VideoLiveWidget", "%1秒后重连…").section(QStringLiteral("%1"), 1));
    });
    const bool reached = m_phase == Phase::Dropping ? on_air == now.size() - 1 && waiting == 1 : on_air == now.size();
    if (!reached) {
        if (m_waited_ms > kGiveUpMs) {
            m_poll.stop();
            finish(1, QStringLiteral("the destinations did not get there: %1").arg(now.join(QStringLiteral(" | "))));
        }
        return;
    }
    m_waited_ms = 0;
    switch (m_phase) {
    case Phase::Starting:
        tell("every destination is on air; waiting for one server to go away", "VideoLiveWidget-destinations-on-air");
        m_phase = Phase::Dropping;
        return;
    case Phase::Dropping:
        tell("one server went away: that destination waits to reconnect, the others stay on air",
             "VideoLiveWidget-destination-reconnecting");
        m_phase = Phase::Returning;
        return;
    case Phase::Returning:
        tell("the server is back and its destination is on air again by itself", "VideoLiveWidget-destination-back");
        m_poll.stop();
        m_button->click();
        std::printf("demo: stopped; the button reads \"%s\"\n", qPrintable(m_button->text()));
        std::fflush(stdout);
        finish(m_button->text() == text("VideoLiveWidget", "开始") ? 0 : 1);
    }
}
