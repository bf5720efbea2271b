// Message dispatch of the plug-in module and its destruction.

#include "eframework.h"
#include "plugin/ffmpegmodule.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

namespace {

QStringList g_log;

QList<QWidget*> top_levels_named(const QString& name)
{
    QList<QWidget*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name)
            found << w;
    return found;
}

} // namespace

class TestModule : public QObject
{
    Q_OBJECT
    EFramework m_framework;
    FFMpegModule* m_module = nullptr;

private slots:
    void initTestCase() { testenv::isolate_host_home(); }
    void init() { m_module = get_plugin_object(&m_framework); }
    void cleanup()
    {
        delete m_module;
        m_module = nullptr;
    }

    void messages_data()
    {
        QTest::addColumn<QString>("msg");
        QTest::addColumn<QString>("window"); // empty: an unknown message opens nothing
        const char* const rows[][3] = {
            {"repair", "msg_show_mp4wd", "Mp4RPWidget"},
            {"live push", "msg_show_movielive", "VideoLiveWidget"},
            {"conversion", "msg_show_tranformat", "FormatCWidget"},
            {"capture", "msg_show_grablive", "GrabLiveWidget"},
            {"capitals", "MSG_SHOW_MP4WD", ""},
            {"trailing blank", "msg_show_mp4wd ", ""},
            {"other", "msg_show_everything", ""},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
    }
    void messages()
    {
        QFETCH(QString, msg);
        QFETCH(QString, window);
        const int before = QApplication::topLevelWidgets().size();
        QCOMPARE(m_module->recv_msg(msg, QVariant()), QVariant(!window.isEmpty()));
        QCOMPARE(QApplication::topLevelWidgets().size(), before + (window.isEmpty() ? 0 : 1));
        if (window.isEmpty())
            return;
        QWidget* first = top_levels_named(window).value(0);
        QVERIFY(first && first->isVisible());
        // Its close button only hides it; the next message shows the same window.
        first->findChild<QAbstractButton*>("tb_close")->click();
        QVERIFY(!first->isVisible());
        QCOMPARE(m_module->recv_msg(msg, QVariant(42)), QVariant(true));
        QCOMPARE(top_levels_named(window), QList<QWidget*>{first});
        QVERIFY(first->isVisible());
    }

    void minimised_window_comes_back_restored_and_active()
    {
        m_module->recv_msg("msg_show_tranformat", {});
        QWidget* w = top_levels_named("FormatCWidget").first();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(w->isMinimized(), 30000);

        // Another tool comes to the front meanwhile.
        m_module->recv_msg("msg_show_grablive", {});
        QWidget* other = top_levels_named("GrabLiveWidget").first();
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), other, 30000);

        m_module->recv_msg("msg_show_tranformat", {});
        QVERIFY(!w->isMinimized() && w->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), w, 30000);
    }

    void destruction_data()
    {
        QTest::addColumn<QStringList>("opened"); // in another order than the one they are deleted in
        QTest::newRow("windows open") << QStringList{"msg_show_grablive", "msg_show_tranformat", "msg_show_mp4wd",
                                                     "msg_show_movielive"};
        QTest::newRow("right after loading") << QStringList();
    }
    void destruction()
    {
        QFETCH(QStringList, opened);
        const QStringList order{"VideoLiveWidget", "Mp4RPWidget", "FormatCWidget", "GrabLiveWidget"};
        const int before = QApplication::topLevelWidgets().size();
        QStringList deleted;
        for (const QString& msg : opened)
            m_module->recv_msg(msg, {});
        for (const QString& name : opened.isEmpty() ? QStringList() : order)
            connect(top_levels_named(name).value(0), &QObject::destroyed, this, [&deleted, name] { deleted << name; });

        g_log.clear();
        const QtMessageHandler old =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) { g_log << msg; });
        delete m_module;
        m_module = nullptr;
        qInstallMessageHandler(old);

        QCOMPARE(deleted, opened.isEmpty() ? QStringList() : order);
        QCOMPARE(QApplication::topLevelWidgets().size(), before);
        QVERIFY(g_log.size() >= 2);
        QCOMPARE(g_log.first(), QString("FFMpegModule release start < "));
        QCOMPARE(g_log.last(), QString("FFMpegModule release okay  > \n"));
        QVERIFY(!FFMpegModule::m_inst);
        // A later call builds a fresh module, and later calls return it, whatever framework they name.
        m_module = get_plugin_object(&m_framework);
        QVERIFY(m_module);
        QCOMPARE(FFMpegModule::m_inst, m_module);
        QCOMPARE(g_base, static_cast<EBase*>(m_module));
        EFramework other;
        QCOMPARE(get_plugin_object(&other), m_module);
        QCOMPARE(get_plugin_object(nullptr), m_module);
        QCOMPARE(m_module->version(), QString("1.0.0"));
    }
};

QTEST_MAIN(TestModule)
#include "test_module.moc"
