// The frame all windows share and the image bundle.

#include "rsrc/formatcwidget/formatcwidget.h"
#include "rsrc/grablivewidget.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "rsrc/videolivewidget.h"
#include "testmedia.h"
#include "widgets/hostaccess.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

extern "C" int qInitResources_davaz();
extern "C" int qCleanupResources_davaz();

namespace {

// Stands in for the host while it lives: records what the windows send to the skin module.
struct RecordingHost : EBase
{
    QStringList calls; // module/message/wait/flags and the window sent

    RecordingHost() { g_base = this; }
    ~RecordingHost() override { g_base = nullptr; }
    QVariant send_msg(const QString& module, const QString& msg, QVariant value, bool wait, int flags) override
    {
        calls << QString("%1/%2/%3/%4 %5").arg(module, msg).arg(wait).arg(flags).arg(quintptr(value.value<void*>()));
        return {};
    }
};

using Factory = std::function<QWidget*()>;

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testenv::isolate_host_home(); }

    // What the shared frame does to every tool window; titles and sizes are the forms' own.
    void window_frame_data()
    {
        QTest::addColumn<Factory>("make");
        QTest::addColumn<bool>("dragProperty");
        QTest::newRow("repair") << Factory([] { return new Mp4RPWidget; }) << true;
        QTest::newRow("live push") << Factory([] { return new VideoLiveWidget; }) << false;
        QTest::newRow("conversion") << Factory([] { return new FormatCWidget; }) << false;
        QTest::newRow("capture") << Factory([] { return new GrabLiveWidget; }) << true;
    }
    void window_frame()
    {
        QFETCH(Factory, make);
        QFETCH(bool, dragProperty);
        RecordingHost host;
        std::unique_ptr<QWidget> w(make());
        QVERIFY((w->windowFlags() & Qt::Sheet) == Qt::Sheet);
        QCOMPARE(w->property("m_drag"), dragProperty ? QVariant(false) : QVariant());
        // The skin module hears of the window twice, shadow first.
        const QString sent = QString::number(quintptr(w.get()));
        QCOMPARE(host.calls, QStringList({"Skin/m_shadow/0/0 " + sent, "Skin/m_drag/0/0 " + sent}));
    }

    void progress_dialog()
    {
        RecordingHost host;
        ProcessWidget dialog;
        QVERIFY((dialog.windowFlags() & Qt::Sheet) != Qt::Sheet);
        // Every way of closing it tells the owner once.
        QSignalSpy finished(&dialog, &ProcessWidget::sg_finished);
        const std::function<void()> closers[] = {
            [&] { dialog.findChild<QToolButton*>("tb_close")->click(); },
            [&] { dialog.findChild<QPushButton*>("pb_cancel")->click(); },
            [&] { dialog.close(); },
        };
        int expected = 0;
        for (const auto& closeIt : closers) {
            dialog.show();
            closeIt();
            QCOMPARE(finished.count(), ++expected);
            QVERIFY(!dialog.isVisible());
        }
    }

    void image_bundle()
    {
        // The host's head images come from the host, not from the plug-in's bundle.
        QVERIFY(QFile::exists(":/images/header.png"));

        QCOMPARE(qCleanupResources_davaz(), 1);
        QVERIFY(!QFile::exists(":/images/remove.png"));
        QCOMPARE(qInitResources_davaz(), 1);
        QVERIFY(QFile::exists(":/images/remove.png"));
    }
};

QTEST_MAIN(TestFrame)
#include "test_frame.moc"
