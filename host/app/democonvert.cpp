#include "democonvert.h"

#include "hostapp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>

#include <cstdio>

namespace {

const int kPollMs = 200;
const int kGiveUpMs = 15 * 60 * 1000;

void pick(QComboBox* box, const QString& text)
{
    if (box)
        box->setCurrentIndex(box->findText(text));
}

} // namespace

DemoConvert::DemoConvert(HostApp* host, const Options& options)
    : Demo(host, options)
{
    connect(&m_poll, &QTimer::timeout, this, &DemoConvert::poll);
}

void DemoConvert::start()
{
    m_host->send(QStringLiteral("msg_show_tranformat"));
    m_window = top_level(QStringLiteral("FormatCWidget"));
    auto* table = m_window ? m_window->findChild<QTableWidget*>(QStringLiteral("tableWidget")) : nullptr;
    auto* exportDir = m_window ? m_window->findChild<QLineEdit*>(QStringLiteral("lineEdit_export_dir")) : nullptr;
    auto* startButton = m_window ? m_window->findChild<QPushButton*>(QStringLiteral("pb_start_stop")) : nullptr;
    auto* formats = m_window ? m_window->findChild<QComboBox*>(QStringLiteral("comb_format")) : nullptr;
    if (!table || !exportDir || !startButton || !formats) {
        finish(1, QStringLiteral("the conversion window is not as expected"));
        return;
    }
    QDir().mkpath(m_options.output);
    exportDir->setText(QDir(m_options.output).absolutePath());
    // Each format at the input's own size, or else ".mp4" at 720P.
    m_formats = m_options.formats;
    if (m_formats == QStringList{QStringLiteral("all")}) {
        m_formats.clear();
        for (int i = 0; i < formats->count(); ++i)
            m_formats << formats->itemText(i);
    }
    m_size = m_formats.isEmpty() ? QStringLiteral("720P") : text("FormatCWidget", "原始大小");
    if (m_formats.isEmpty())
        m_formats << QStringLiteral(".mp4");
    run_next();
}

void DemoConvert::run_next()
{
    auto* table = m_window->findChild<QTableWidget*>(QStringLiteral("tableWidget"));
    // The last run's rows go by their remove buttons, as a user would take them off.
    while (table->rowCount() > 0) {
        auto* remove = qobject_cast<QAbstractButton*>(table->cellWidget(0, 5));
        if (!remove)
            break;
        remove->click();
    }
    // Drop the files on the table, as from the desktop.
    QList<QUrl> urls;
    for (const QString& file : m_options.files)
        urls << QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath());
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = table->viewport()->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table->viewport(), &enter);
    QDropEvent drop(at, actions, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table->viewport(), &drop);
    std::printf("demo: dropped %lld file(s) on the conversion table, which now has %d row(s)\n",
                static_cast<long long>(urls.size()), table->rowCount());

    const QString format = m_formats.takeFirst();
    pick(m_window->findChild<QComboBox*>(QStringLiteral("comb_format")), format);
    pick(m_window->findChild<QComboBox*>(QStringLiteral("comb_size")), m_size);
    std::printf("demo: converting to %s at %s through the transcoder into %s\n", qPrintable(format), qPrintable(m_size),
                qPrintable(m_options.output));
    std::fflush(stdout);
    m_waited_ms = 0;
    m_window->findChild<QPushButton*>(QStringLiteral("pb_start_stop"))->click();
    m_poll.start(kPollMs);
}

void DemoConvert::poll()
{
    m_waited_ms += kPollMs;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->text() != text("FormatCWidget", "转码已经结束!")) {
        if (m_waited_ms > kGiveUpMs) {
            m_poll.stop();
            finish(1, QStringLiteral("the conversion did not end in time"));
        }
        return;
    }
    m_poll.stop();
    std::printf("demo: the window reported \"%s\"\n", qPrintable(box->text()));
    if (!m_shot) {
        // A run through the formats keeps the first demonstration's pictures.
        const QString name =
            m_options.formats.isEmpty() ? QStringLiteral("FormatCWidget") : QStringLiteral("FormatCWidget-formats");
        save_shot(m_window, name + QStringLiteral("-finished"));
        save_shot(box, name + QStringLiteral("-message"));
        m_shot = true;
    }

    // The look button of each row carries the path of its converted file.
    auto* table = m_window->findChild<QTableWidget*>(QStringLiteral("tableWidget"));
    int converted = 0;
    for (int row = 0; table && row < table->rowCount(); ++row) {
        const QWidget* look = table->cellWidget(row, 6);
        const QString out = look ? look->toolTip() : QString();
        const bool ok = !out.isEmpty() && QFileInfo(out).size() > 0;
        converted += ok ? 1 : 0;
        std::printf("demo: %s -> %s%s\n", qPrintable(table->item(row, 3)->text()), qPrintable(out),
                    ok ? "" : " (missing!)");
    }
    std::fflush(stdout);
    if (QAbstractButton* ok = box->buttons().value(0))
        ok->click();
    if (converted != m_options.files.size())
        finish(1, QStringLiteral("not every file was converted"));
    else if (!m_formats.isEmpty())
        run_next();
    else
        finish(0);
}
