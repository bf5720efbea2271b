// The repair window: its checks, the job file, and runs in which a stand-in
// repair executable, started by the window itself, reports over the pipe.

#include "modalboxes.h"
#include "namepipe.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "testhost.h"
#include "testmedia.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kWait = 20000;

QString tmp(const QString& name)
{
    return QDir::tempPath() + "/" + name;
}

QStringList log_lines()
{
    QFile f(tmp("vidmend-double.log"));
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestMp4RPWidget : public QObject
{
    Q_OBJECT

    TestHost m_host;
    QString m_clip, m_broken;
    std::unique_ptr<Mp4RPWidget> m_window;
    int m_script = -1; // our end of the stand-in's report FIFO

    template<typename T>
    T* child(QWidget* in, const char* name)
    {
        return in->findChild<T*>(name);
    }
    // Sends one report through the stand-in and returns the reply it got.
    QString report(const QByteArray& line)
    {
        const int before = log_lines().size();
        const QByteArray text = line + '\n';
        if (write(m_script, text.constData(), text.size()) != text.size())
            return "(not sent)";
        if (!QTest::qWaitFor([&] { return log_lines().size() > before; }, kWait))
            return "(no reply)";
        return log_lines().value(before).section(" -> ", 1);
    }
    // The FIFO opens for writing once the stand-in the window started reads it.
    bool open_script()
    {
        const QByteArray fifo = QFile::encodeName(tmp("script.fifo"));
        return QTest::qWaitFor([&] { return (m_script = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0; },
                               kWait);
    }
    void start(const QString& failed, const QString& okay)
    {
        child<QLineEdit>(m_window.get(), "lineEdit_failedmp4")->setText(failed);
        child<QLineEdit>(m_window.get(), "lineEdit_okaymp4")->setText(okay);
        child<QPushButton>(m_window.get(), "pb_start")->click();
    }

private slots:
    void initTestCase()
    {
        m_clip = testmedia::make_clip(tmp("clip.mp4"), 1);
        QVERIFY(!m_clip.isEmpty());
        m_broken = tmp("broken.part1.mp4");
        QFile broken(m_broken);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write(QByteArray(4096, '\x5a'));
        qputenv("VIDMEND_DOUBLE_SCRIPT", QFile::encodeName(tmp("script.fifo")));
        // Showing the result must not reach a real desktop's file manager.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(tmp("no-bus")));
    }
    void init()
    {
        QFile::remove(tmp("vidmend-double.log"));
        QFile::remove(tmp("mp4.rp"));
        QFile::remove(tmp("script.fifo"));
        QCOMPARE(mkfifo(QFile::encodeName(tmp("script.fifo")).constData(), 0600), 0);
        m_window = std::make_unique<Mp4RPWidget>();
    }
    void cleanup()
    {
        // Closing the FIFO ends a stand-in still waiting for reports.
        if (m_script < 0)
            m_script = ::open(QFile::encodeName(tmp("script.fifo")).constData(), O_WRONLY | O_NONBLOCK);
        if (m_script >= 0) {
            ::close(m_script);
            m_script = -1;
            QTRY_VERIFY_WITH_TIMEOUT(log_lines().value(log_lines().size() - 1) == "exit", kWait);
        }
        m_window.reset();
        QFile::remove(tmp("script.fifo"));
    }

    void startChecks_data()
    {
        QTest::addColumn<QString>("failed");
        QTest::addColumn<QString>("okay");
        QTest::addColumn<QString>("text");
        QTest::newRow("no damaged file") << "" << m_clip << "请设置损坏mp4视频";
        QTest::newRow("no reference") << m_broken << ""
                                      << "请设置正常参考mp4视频";
        QTest::newRow("damaged file is healthy") << m_clip << m_clip << m_clip + " 正常，无需修复";
        QTest::newRow("reference cannot be probed") << m_broken << m_broken << m_broken + " 不合法";
    }
    void startChecks()
    {
        QFETCH(QString, failed);
        QFETCH(QString, okay);
        QFETCH(QString, text);
        ModalBoxes boxes;
        start(failed, okay);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().title, QString("提示"));
        QCOMPARE(boxes.last().text, text);
        QCOMPARE(boxes.last().buttons, QStringList{"确定"});
        QVERIFY(!m_window->pwidget());
        QVERIFY(!QFile::exists(tmp("mp4.rp")));
    }

    void outputName_data()
    {
        QTest::addColumn<QString>("failed");
        QTest::addColumn<QString>("out");
        QTest::newRow("name up to the first dot") << "/v/a.b.mp4"
                                                  << "/v/a_zo_fixed.mp4";
        QTest::newRow("plain name") << "/v/clip.mp4"
                                    << "/v/clip_zo_fixed.mp4";
        QTest::newRow("relative path") << "in/x.mp4" << QDir::currentPath() + "/in/x_zo_fixed.mp4";
        QTest::newRow("wide characters") << "/录像 1/视频.mp4"
                                         << "/录像 1/视频_zo_fixed.mp4";
    }
    void outputName()
    {
        QFETCH(QString, failed);
        QFETCH(QString, out);
        QCOMPARE(Mp4RPWidget::get_outmp4(failed), out);
    }

    // Reports go through the stand-in the window started; closing the dialog
    // early turns the next reply into "pro_end", closing it after the end not.
    void run_data()
    {
        QTest::addColumn<bool>("closeEarly");
        QTest::newRow("closed after the repair finished") << false;
        QTest::newRow("closed before the end") << true;
    }
    void run()
    {
        QFETCH(bool, closeEarly);
        const QString out = tmp("broken_zo_fixed.mp4");
        QFile old(out);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        start(m_broken, m_clip);

        ProcessWidget* dialog = m_window->pwidget();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(!QFile::exists(out));
        QFile job(tmp("mp4.rp"));
        QVERIFY(job.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(job.readAll()), QStringList({m_clip, m_broken, "25", out, ""}).join('\n'));
        QVERIFY(open_script());
        QCOMPARE(log_lines().value(0), "job: " + out);

        auto* state = child<QLabel>(dialog, "lb_state");
        auto* button = child<QPushButton>(dialog, "pb_cancel");
        auto* bar = child<QProgressBar>(dialog, "pb_progress");
        QCOMPARE(report("x 10 100 state"), QString("OK"));
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString("state ... "), kWait);
        QCOMPARE(button->text(), QString("取消"));
        if (closeEarly) {
            button->click();
            QCOMPARE(report("x 100 100 done"), QString("pro_end"));
            return;
        }
        QCOMPARE(report("x 100 100 done"), QString("OK"));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("完成"), kWait);
        QCOMPARE(state->text(), QString("done ... "));
        QCOMPARE(bar->value(), bar->maximum());
        button->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(report("x 100 100 done"), QString("OK"));
    }

    // Any local program may post to the window: nothing it sends may reach
    // past a buffer or end the window.
    void strangeReports_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("maximum");
        QTest::newRow("state word cut at 63")
            << "x 5 10 " + QByteArray(300, 's') << QString(63, 's') + " ... " << 5 << 10;
        QTest::newRow("first word cut, numbers lost") << QByteArray(100, 'w') + " 5 10 st"
                                                      << "准备数据..." << 0 << 0;
        QTest::newRow("no state word") << QByteArray("x 7 9") << "准备数据..." << 7 << 9;
        QTest::newRow("garbage bytes") << QByteArray("\xff\xfe\x01 \x80-- \t\x7f") << "准备数据..." << 0 << 0;
        QTest::newRow("longer than the pipe's buffer")
            << "x 1 2 " + QByteArray(6000, 'z') << QString(63, 'z') + " ... " << 1 << 2;
    }
    void strangeReports()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, state);
        QFETCH(int, value);
        QFETCH(int, maximum);
        start(m_broken, m_clip);
        QVERIFY(open_script());
        ClientPipe client("tarvo_mfix", 8192);
        QString reply;
        client.m_pUser = &reply;
        client.m_pFunc = [](const char* data, int len, std::string&, void* user) {
            *static_cast<QString*>(user) = QString::fromUtf8(data, len);
        };
        client.send_msg(message.constData(), true);
        QCOMPARE(reply, QString("OK"));
        auto* bar = child<QProgressBar>(m_window->pwidget(), "pb_progress");
        QTRY_COMPARE_WITH_TIMEOUT(bar->maximum(), maximum, kWait);
        QCOMPARE(bar->value(), value);
        QCOMPARE(child<QLabel>(m_window->pwidget(), "lb_state")->text(), state);
    }
};

QTEST_MAIN(TestMp4RPWidget)
#include "test_mp4rpwidget.moc"
