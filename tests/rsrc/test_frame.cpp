// The progress dialog, the exported capture interface and the image bundle.

#include "rsrc/icapture.h"
#include "rsrc/processwidget.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>

extern "C" int qInitResources_davaz();
extern "C" int qCleanupResources_davaz();

namespace {

// The smallest capture another module could derive.
struct Capture : ICapture
{
    using ICapture::ICapture;
    void create() override {}
    void destroy() override {}
    void update_capture() override {}
    void apply() override {}
    QString name() const override { return {}; }
    int type() const override { return 0; }
};

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testenv::isolate_host_home(); }

    // Another module's capture through the interface's slots: its item raised, lowered, removed.
    void capture_item()
    {
        QGraphicsScene scene;
        QGraphicsTextItem* object = scene.addText("x");
        Capture capture(object), none(nullptr);
        for (const char* slot : {"slot_up", "slot_down", "slot_down"})
            QVERIFY(QMetaObject::invokeMethod(&capture, slot));
        QVERIFY(QMetaObject::invokeMethod(&none, "slot_up"));
        none.remove();
        QCOMPARE(object->zValue(), -1.0);
        QVERIFY(object->isVisible() && object->scene() == &scene && !capture.menu(nullptr));
        capture.remove();
        QVERIFY(!object->isVisible() && !object->scene());
        delete object;
    }

    void progress_dialog()
    {
        TestHost host;
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
