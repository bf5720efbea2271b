// Message dispatch of the plug-in module and its destruction.

#include "eframework.h"
#include "plugin/ffmpegmodule.h"
#include "testmedia.h"

#include <QAbstractButton>
#include <QApplication>
#include <QtTest>

namespace {

QStringList g_log;

void capture_log(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    g_log << msg;
}

QList<QWidget*> top_levels_named(const QString& name)
{
    QList<QWidget*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name)
            found << w;
    return found;
}

// Destroys the module and returns what it logged meanwhile.
QStringList destroy_logged(FFMpegModule*& module)
{
    g_log.clear();
    QtMessageHandler old = qInstallMessageHandler(capture_log);
    delete module;
    module = nullptr;
    qInstallMessageHandler(old);
    return g_log;
}

} // namespace

class TestModule : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void message_opens_its_window_once_data();
    void message_opens_its_window_once();
    void unknown_messages_open_nothing_data();
    void unknown_messages_open_nothing();
    void minimised_window_comes_back_restored_and_active();
    void get_plugin_object_returns_the_same_module();
    void destruction_deletes_windows_in_order();
    void destruction_right_after_loading();

private:
    EFramework* m_framework = nullptr;
    FFMpegModule* m_module = nullptr;
};

void TestModule::initTestCase()
{
    testenv::isolate_host_home();
}

void TestModule::init()
{
    m_framework = new EFramework;
    m_module = get_plugin_object(m_framework);
}

void TestModule::cleanup()
{
    delete m_module;
    m_module = nullptr;
    delete m_framework;
    m_framework = nullptr;
}

void TestModule::message_opens_its_window_once_data()
{
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("window");
    QTest::newRow("repair") << "msg_show_mp4wd"
                            << "Mp4RPWidget";
    QTest::newRow("live push") << "msg_show_movielive"
                               << "VideoLiveWidget";
    QTest::newRow("conversion") << "msg_show_tranformat"
                                << "FormatCWidget";
    QTest::newRow("capture") << "msg_show_grablive"
                             << "GrabLiveWidget";
}

void TestModule::message_opens_its_window_once()
{
    QFETCH(QString, msg);
    QFETCH(QString, window);

    QCOMPARE(m_module->recv_msg(msg, QVariant()), QVariant(true));
    QCOMPARE(top_levels_named(window).size(), 1);
    QWidget* first = top_levels_named(window).first();
    QVERIFY(first->isVisible());
    // Its close button only hides it; the next message shows the same window.
    first->findChild<QAbstractButton*>("tb_close")->click();
    QVERIFY(!first->isVisible());

    QCOMPARE(m_module->recv_msg(msg, QVariant(42)), QVariant(true));
    QCOMPARE(top_levels_named(window).size(), 1);
    QCOMPARE(top_levels_named(window).first(), first);
    QVERIFY(first->isVisible());
}

void TestModule::unknown_messages_open_nothing_data()
{
    QTest::addColumn<QString>("msg");
    QTest::newRow("capitals") << "MSG_SHOW_MP4WD";
    QTest::newRow("trailing blank") << "msg_show_mp4wd ";
    QTest::newRow("other") << "msg_show_everything";
}

void TestModule::unknown_messages_open_nothing()
{
    QFETCH(QString, msg);
    const int before = QApplication::topLevelWidgets().size();
    const QVariant result = m_module->recv_msg(msg, QVariant());
    QVERIFY(result.isValid());
    QVERIFY(!result.toBool());
    QCOMPARE(QApplication::topLevelWidgets().size(), before);
}

void TestModule::minimised_window_comes_back_restored_and_active()
{
    m_module->recv_msg("msg_show_tranformat", {});
    QWidget* w = top_levels_named("FormatCWidget").first();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    w->showMinimized();
    QTRY_VERIFY(w->isMinimized());

    // Another tool comes to the front meanwhile.
    m_module->recv_msg("msg_show_grablive", {});
    QWidget* other = top_levels_named("GrabLiveWidget").first();
    QTRY_COMPARE(QApplication::activeWindow(), other);

    m_module->recv_msg("msg_show_tranformat", {});
    QVERIFY(!w->isMinimized());
    QVERIFY(w->isVisible());
    QTRY_COMPARE(QApplication::activeWindow(), w);
}

void TestModule::get_plugin_object_returns_the_same_module()
{
    QCOMPARE(FFMpegModule::m_inst, m_module);
    QCOMPARE(g_base, static_cast<EBase*>(m_module));
    EFramework other;
    QCOMPARE(get_plugin_object(&other), m_module);
    QCOMPARE(get_plugin_object(nullptr), m_module);
    QCOMPARE(m_module->version(), QString("1.0.0"));
}

void TestModule::destruction_deletes_windows_in_order()
{
    // Open them in another order than the one they are deleted in.
    for (const char* msg : {"msg_show_grablive", "msg_show_tranformat", "msg_show_mp4wd", "msg_show_movielive"})
        m_module->recv_msg(msg, {});
    QStringList deleted;
    for (const char* name : {"VideoLiveWidget", "Mp4RPWidget", "FormatCWidget", "GrabLiveWidget"}) {
        QWidget* w = top_levels_named(name).value(0);
        QVERIFY2(w, name);
        connect(w, &QObject::destroyed, this, [&deleted, n = QString(name)] { deleted << n; });
    }

    const QStringList log = destroy_logged(m_module);

    QCOMPARE(deleted, QStringList({"VideoLiveWidget", "Mp4RPWidget", "FormatCWidget", "GrabLiveWidget"}));
    QVERIFY(log.size() >= 2);
    QCOMPARE(log.first(), QString("FFMpegModule release start < "));
    QCOMPARE(log.last(), QString("FFMpegModule release okay  > \n"));
    QVERIFY(!FFMpegModule::m_inst);
}

void TestModule::destruction_right_after_loading()
{
    const int before = QApplication::topLevelWidgets().size();
    const QStringList log = destroy_logged(m_module);

    QCOMPARE(log, QStringList({"FFMpegModule release start < ", "FFMpegModule release okay  > \n"}));
    QCOMPARE(QApplication::topLevelWidgets().size(), before);

    // A later call builds a fresh module.
    m_module = get_plugin_object(m_framework);
    QVERIFY(m_module);
    QCOMPARE(FFMpegModule::m_inst, m_module);
}

QTEST_MAIN(TestModule)
#include "test_module.moc"
