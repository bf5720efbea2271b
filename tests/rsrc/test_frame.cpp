// The frame all windows share and the image bundle.

#include "rsrc/formatcwidget/formatcwidget.h"
#include "rsrc/grablivewidget.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "rsrc/videolivewidget.h"
#include "testmedia.h"
#include "widgets/hostaccess.h"

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

#include <functional>
#include <memory>

extern "C" int qInitResources_davaz();
extern "C" int qCleanupResources_davaz();

namespace {

// Stands in for the host: records what the windows send to the skin module.
class RecordingHost : public EBase
{
public:
    QStringList calls;
    QList<void*> data;

    QVariant send_msg(const QString& module, const QString& msg, QVariant value, bool wait, int flags) override
    {
        calls << QString("%1/%2/%3/%4").arg(module, msg).arg(wait).arg(flags);
        data << value.value<void*>();
        return {};
    }
};

using Factory = std::function<QWidget*()>;

} // namespace

Q_DECLARE_METATYPE(Factory)

class TestFrame : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window_frame_data();
    void window_frame();
    void progress_dialog();
    void image_bundle();

private:
    std::unique_ptr<RecordingHost> m_host;
};

void TestFrame::initTestCase()
{
    testenv::isolate_host_home();
}

void TestFrame::init()
{
    m_host = std::make_unique<RecordingHost>();
    g_base = m_host.get();
}

void TestFrame::cleanup()
{
    g_base = nullptr;
    m_host.reset();
}

void TestFrame::window_frame_data()
{
    QTest::addColumn<Factory>("make");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("dragProperty");

    QTest::newRow("repair") << Factory([] { return new Mp4RPWidget; }) << "视频修复"
                            << "mp4文件修复" << QSize(523, 260) << true;
    QTest::newRow("live push") << Factory([] { return new VideoLiveWidget; }) << "直播视频"
                               << "直播视频" << QSize(668, 505) << false;
    QTest::newRow("conversion") << Factory([] { return new FormatCWidget; }) << "格式转换"
                                << "格式转换" << QSize(761, 465) << false;
    QTest::newRow("capture") << Factory([] { return new GrabLiveWidget; }) << "串流存盘"
                             << "串流存盘" << QSize(571, 331) << true;
}

void TestFrame::window_frame()
{
    QFETCH(Factory, make);
    QFETCH(QString, title);
    QFETCH(QString, head);
    QFETCH(QSize, size);
    QFETCH(bool, dragProperty);

    std::unique_ptr<QWidget> w(make());
    QCOMPARE(w->windowTitle(), title);
    QCOMPARE(w->size(), size);
    QVERIFY((w->windowFlags() & Qt::Sheet) == Qt::Sheet);
    QCOMPARE(w->property("m_drag").isValid(), dragProperty);
    if (dragProperty)
        QCOMPARE(w->property("m_drag"), QVariant(false));

    auto* label = w->findChild<QLabel*>("lb_title");
    QVERIFY(label);
    QCOMPARE(label->text(), head);

    auto* closeButton = w->findChild<QToolButton*>("tb_close");
    auto* minButton = w->findChild<QToolButton*>("tb_min");
    QVERIFY(closeButton && minButton);

    // The skin module hears of the window twice, shadow first.
    QCOMPARE(m_host->calls, QStringList({"Skin/m_shadow/0/0", "Skin/m_drag/0/0"}));
    QCOMPARE(m_host->data, QList<void*>({w.get(), w.get()}));
}

void TestFrame::progress_dialog()
{
    ProcessWidget dialog;
    QCOMPARE(dialog.windowTitle(), QString("正在导出"));
    QCOMPARE(dialog.findChild<QLabel*>("lb_title")->text(), QString("mp4修复进度"));
    QVERIFY(!dialog.findChild<QToolButton*>("tb_min"));
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

void TestFrame::image_bundle()
{
    QCOMPARE(QImage(":/images/movie_48.png").size(), QSize(48, 48));
    for (const char* path : {":/images/remove.png", ":/images/fileopen.png", ":/images/jumptodir.png"})
        QCOMPARE(QImage(path).size(), QSize(32, 32));
    // The host's head images come from the host, not from the plug-in's bundle.
    QVERIFY(QFile::exists(":/images/header.png"));

    QCOMPARE(qCleanupResources_davaz(), 1);
    QVERIFY(!QFile::exists(":/images/remove.png"));
    QCOMPARE(qInitResources_davaz(), 1);
    QVERIFY(QFile::exists(":/images/remove.png"));
}

QTEST_MAIN(TestFrame)
#include "test_frame.moc"
