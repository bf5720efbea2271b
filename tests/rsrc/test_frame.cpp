// The frame all windows share, the image bundle and the capture interface.

#include "formatcwidget/formatcwidget.h"
#include "grablivewidget.h"
#include "icapture.h"
#include "mp4rpwidget.h"
#include "plugin/ffmpegmodule.h"
#include "processwidget.h"
#include "testmedia.h"
#include "videolivewidget.h"

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

class NoItemCapture : public ICapture
{
public:
    using ICapture::ICapture;
    void create() override {}
    void destroy() override {}
    void update_capture() override {}
    void apply() override {}
    QString name() const override { return {}; }
    int type() const override { return 0; }
};

const char* const kCloseSheet =
    "QToolButton#tb_close {\n    background-color: transparent;\n    border-width: 0px;\n    border-color: "
    "darkkhaki;\n    border-style: solid;\n    border-radius: 0;\n}\n\nQToolButton#tb_close:hover {\n   "
    "background-color: rgb(224, 40, 40);\n   border-style: plat;\n}\n\n\nQToolButton#tb_close:pressed "
    "{\n\tborder-style: "
    "plat;\n    padding-left: 2px;\n    padding-top: 2px;\n    background-color: rgb(255,60,60);\n}\n\nQToolButton#tb_"
    "close:checked {\n    border-width: 1px;\n    border-color: rgb(153, 209, 255);\n    border-style: solid;\n    "
    "padding-left: 0px;\n    padding-top: 0px;\n    background-color: rgb(204,232,255);\n}\n";

const char* const kMinSheet =
    "QToolButton#tb_min {\n    background-color: transparent;\n    border-width: 0px;\n    border-color: darkkhaki;\n "
    "   border-style: solid;\n    border-radius: 0;\n}\n\nQToolButton#tb_min:hover {\n   background-color: rgb(150, "
    "150, 150);\n   border-style: plat;\n}\n\n\nQToolButton#tb_min:pressed {\n\tborder-style: plat;\n    padding-left: "
    "2px;\n    padding-top: 2px;\n    background-color: rgb(175,175,175);\n}\n";

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
    void capture_without_item();

private:
    std::unique_ptr<RecordingHost> m_host;
    std::unique_ptr<FFMpegModule> m_module;
};

void TestFrame::initTestCase()
{
    testenv::isolate_host_home();
}

void TestFrame::init()
{
    m_host = std::make_unique<RecordingHost>();
    m_module = std::make_unique<FFMpegModule>(m_host.get());
}

void TestFrame::cleanup()
{
    m_module.reset();
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
    QCOMPARE(closeButton->styleSheet(), QString(kCloseSheet));
    QCOMPARE(minButton->styleSheet(), QString(kMinSheet));

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

void TestFrame::capture_without_item()
{
    NoItemCapture empty;
    empty.remove();
    empty.slot_up();
    QVERIFY(!empty.item());
    QVERIFY(!empty.menu(nullptr));
}

QTEST_MAIN(TestFrame)
#include "test_frame.moc"
