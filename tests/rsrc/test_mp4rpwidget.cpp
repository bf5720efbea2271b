// The repair window: its checks, the job file, and runs in which the test plays the engine's part over the pipe (the
// engine started is a stand-in that keeps a copy of its job), also against local programs that abuse the pipe.

#include "faults.h"
#include "modalboxes.h"
#include "pipes.h"
#include "protocol/contract.h"
#include "protocol/localsocket.h"
#include "protocol/privatefolder.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "testclock.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>

#include <QtWidgets>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using pipes::report;

namespace {

const int kWait = 20000;

QString tmp(const QString& name)
{
    return QDir::tempPath() + "/" + name;
}

// The job file or the pipe, where the window and the engine share them.
QString shared(const QString& what)
{
    return testenv::shared_temp(what == "job" ? protocol::job_file : protocol::pipe_name);
}

namespace ls = protocol::localsocket;

// A program that connects past the busy lock and never writes.
int silent_client()
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(shared("pipe")).constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

// A program that ignores the protocol: writes `bytes` and hangs up without waiting for a reply.
void poke(const QByteArray& bytes)
{
    const int fd = ls::connect_to(QFile::encodeName(shared("pipe")).constData());
    if (fd < 0)
        return; // the server was still busy with the one before: a refusal is fine too
    ls::write_once(fd, bytes.constData(), size_t(bytes.size()));
    ls::close(fd);
}

// Whether a new window could serve the pipe now.
bool pipe_name_free()
{
    const int fd = ls::listen_at(QFile::encodeName(shared("pipe")).constData());
    return fd >= 0 && ls::close(fd);
}

} // namespace

class TestMp4RPWidget : public QObject
{
    Q_OBJECT
    TestHost m_host;
    faults::ToolsFolder m_tools;
    QString m_clip, m_broken;
    std::unique_ptr<Mp4RPWidget> m_window;

    // The window starts this stand-in, not the real engine.
    bool write_engine()
    {
        return !testmedia::write_script(m_tools.path("Vidmend.exe"),
                                        QString("cp '%1' '%2'\n").arg(shared("job"), tmp("engine-saw.rp")).toUtf8())
                    .isEmpty();
    }
    void start(const QString& failed, const QString& okay)
    {
        m_window->findChild<QLineEdit*>("lineEdit_failedmp4")->setText(failed);
        m_window->findChild<QLineEdit*>("lineEdit_okaymp4")->setText(okay);
        m_window->findChild<QPushButton*>("pb_start")->click();
    }

private slots:
    void initTestCase()
    {
        m_clip = testmedia::make_clip(tmp("clip.mp4"), 1);
        m_broken = tmp("broken.part1.mp4");
        QVERIFY(!m_clip.isEmpty() && testmedia::write_file(m_broken, QByteArray(4096, 'Z')));
        QVERIFY(write_engine());
        // Showing a result must not reach a real desktop's file manager.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(tmp("no-bus")));
    }
    void init()
    {
        QFile::remove(tmp("engine-saw.rp"));
        QFile::remove(shared("job"));
        m_window = std::make_unique<Mp4RPWidget>();
    }
    void cleanup()
    {
        m_window.reset();
        // Released with the window; a child that failed to start a missing engine holds it until it has gone.
        QTRY_VERIFY_WITH_TIMEOUT(pipe_name_free(), kWait);
    }

    void startChecks_data()
    {
        QTest::addColumn<QString>("failed");
        QTest::addColumn<QString>("okay");
        QTest::addColumn<QString>("text"); // %1: the temporary folder
        QTest::newRow("no damaged file") << QString() << m_clip << "请设置损坏mp4视频";
        QTest::newRow("no reference") << m_broken << QString() << "请设置正常参考mp4视频";
        QTest::newRow("damaged file is healthy") << m_clip << m_clip << m_clip + " 正常，无需修复";
        QTest::newRow("reference cannot be probed") << m_broken << m_broken << m_broken + " 不合法";
        // A link at the folder's name, and at the cache's that stands in: refused.
        QTest::newRow("a link at the temporary folder's name and the cache's")
            << m_broken << m_clip << "临时文件夹 %1 是一个符号链接，为安全起见不予使用，请删除后重试。";
    }
    void startChecks()
    {
        QFETCH(QString, failed);
        QFETCH(QString, okay);
        QFETCH(QString, text);
        const QString folder = QFileInfo(shared("job")).path(), elsewhere = tmp("elsewhere");
        const QString cached = tmp("cache/davaz/run");
        const bool link = text.contains("%1");
        const QByteArray cache = qgetenv("XDG_CACHE_HOME");
        if (link) {
            QVERIFY(QDir().rename(folder, folder + ".away") && QDir().mkpath(elsewhere));
            QVERIFY(QFile::link(elsewhere, folder));
            QVERIFY(QDir().mkpath(tmp("cache/davaz")) && QFile::link(elsewhere, cached));
            qputenv("XDG_CACHE_HOME", QFile::encodeName(tmp("cache")));
        }
        auto restore = qScopeGuard([&] {
            if (link) {
                QVERIFY(QFile::remove(folder) && QDir().rename(folder + ".away", folder) && QFile::remove(cached));
                cache.isNull() ? qunsetenv("XDG_CACHE_HOME") : qputenv("XDG_CACHE_HOME", cache);
            }
        });
        ModalBoxes boxes;
        start(failed, okay);
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().seen(), "提示|" + (link ? text.arg(cached) : text) + "|确定");
        QVERIFY(!m_window->pwidget() && !QFile::exists(folder + "/" + protocol::job_file));
        QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // The output is named after the damaged file up to its first dot, an old one removed.
    // Closing the dialog before the end turns the next reply into "pro_end", after it not.
    void run_data()
    {
        QTest::addColumn<bool>("engine");
        QTest::addColumn<bool>("closeEarly");
        QTest::newRow("closed after the repair finished") << true << false;
        QTest::newRow("closed before the end") << true << true;
        QTest::newRow("engine missing") << false << true;
    }
    void run()
    {
        QFETCH(bool, engine);
        QFETCH(bool, closeEarly);
        ModalBoxes boxes;
        auto restore = qScopeGuard([this] { QVERIFY(write_engine()); });
        if (!engine)
            QVERIFY(QFile::remove(m_tools.path("Vidmend.exe")));
        const QString out = tmp("broken_zo_fixed.mp4");
        QVERIFY(testmedia::write_file(out, "old"));
        start(m_broken, m_clip);
        ProcessWidget* dialog = m_window->pwidget();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(!QFile::exists(out));
        const QByteArray job = QStringList({m_clip, m_broken, "25", out, ""}).join('\n').toUtf8();
        QCOMPARE(testmedia::read_file(shared("job")), job);
        if (engine)
            QTRY_COMPARE_WITH_TIMEOUT(testmedia::read_file(tmp("engine-saw.rp")), job, kWait);

        auto* state = dialog->findChild<QLabel*>("lb_state");
        auto* button = dialog->findChild<QPushButton*>("pb_cancel");
        QVERIFY(!engine || report("x 10 100 state") == "OK");
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString(engine ? "state ... " : "准备数据..."), kWait);
        QCOMPARE(button->text(), QString("取消"));
        QCOMPARE(boxes.count(), 0);
        if (closeEarly) {
            button->click();
            QCOMPARE(report("x 100 100 done"), QString("pro_end"));
            // The next repair, a client of the first left connected, hears its own engine.
            const int stale = ls::connect_to(QFile::encodeName(shared("pipe")).constData());
            QVERIFY(stale >= 0);
            start(m_broken, m_clip);
            QCOMPARE(m_window->pwidget(), dialog);
            QVERIFY(dialog->isVisible() && button->text() == "取消");
            QCOMPARE(report("x 10 100 again"), QString("OK"));
            QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString("again ... "), kWait);
            ls::close(stale);
            return;
        }
        QCOMPARE(report("x 100 100 done"), QString("OK"));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("完成"), kWait);
        QCOMPARE(state->text(), QString("done ... "));
        QCOMPARE(dialog->findChild<QProgressBar*>("pb_progress")->value(), 100);
        button->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(report("x 100 100 done"), QString("OK"));
    }

    // Another program holds the pipe's name: the start waits for it in held steps,
    // starting no engine meanwhile; held to the end or cancelled, it gives up.
    void pipeNameHeld_data()
    {
        QTest::addColumn<int>("freedAfter"); // tries that failed first; -1: never
        QTest::addColumn<QString>("user");   // what the user does after the first try
        QTest::newRow("freed after one try") << 1 << "";
        QTest::newRow("freed just before the last try") << 49 << "";
        QTest::newRow("held to the end") << -1 << "";
        QTest::newRow("dialog closed while waiting") << -1 << "close";
        // The first start's next try gives up: one engine, started once.
        QTest::newRow("started again while waiting") << 3 << "start";
    }
    void pipeNameHeld()
    {
        QFETCH(int, freedAfter);
        QFETCH(QString, user);
        const bool cancel = user == "close";
        TestClock retries;
        ModalBoxes boxes;
        int holder = ls::listen_at(QFile::encodeName(shared("pipe")).constData());
        QVERIFY(holder >= 0);
        auto release = qScopeGuard([&holder] {
            if (holder >= 0)
                ls::close(holder);
        });
        start(m_broken, m_clip);
        ProcessWidget* dialog = m_window->pwidget();
        auto* state = dialog->findChild<QLabel*>("lb_state");
        QVERIFY(dialog->isVisible());
        if (cancel)
            dialog->findChild<QPushButton*>("pb_cancel")->click();
        if (user == "start")
            start(m_broken, m_clip);
        int tries = 1;
        while (retries.count() > 0) {
            QVERIFY(!QFile::exists(shared("job")));
            QCOMPARE(state->text(), QString("准备数据..."));
            if (tries == freedAfter) {
                ls::close(holder);
                holder = -1;
            }
            QCOMPARE(retries.pass(), 100); // tried every 100 ms for five seconds
            ++tries;
        }
        if (freedAfter > 0) {
            QCOMPARE(tries, freedAfter + 1);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp("engine-saw.rp")), kWait);
            QCOMPARE(report("x 10 100 heard"), QString("OK"));
            QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString("heard ... "), kWait);
        } else {
            QCOMPARE(tries, cancel ? 2 : 50);
            QCOMPARE(state->text(), QString(cancel ? "准备数据..." : "修复通道被占用，未能开始修复，请稍后重试"));
            QVERIFY(!QFile::exists(shared("job")));
        }
        QCOMPARE(boxes.count(), 0);
    }

    // Any local program may post to the window a thousand times, hanging up: nothing
    // reaches past a buffer or touches a file, and good reports still come through.
    void oddReports_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("bar"); // value/maximum
        const QString untouched = "准备数据...";
        const auto cut = [](char c) { return QString(63, c) + " ... "; }; // the state word cut at 63
        QTest::newRow("first word cut, numbers lost") << QByteArray(100, 'w') + " 5 10 st" << untouched << "0/0";
        QTest::newRow("garbage bytes") << QByteArray("\xff\xfe\x01 \x80-- \t\x7f") << untouched << "0/0";
        QTest::newRow("longer than the buffer") << "x 1 2 " + QByteArray(6000, 'z') << cut('z') << "1/2";
        QTest::newRow("connects without writing") << QByteArray() << untouched << "0/100";
        QTest::newRow("stays connected, silent") << QByteArray() << untouched << "0/100";
    }
    void oddReports()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, state);
        QFETCH(QString, bar);
        const faults::Files before = faults::files({QDir::tempPath()});
        ModalBoxes boxes;
        start(m_broken, m_clip);
        // Held open until the end: the window must drop it to hear anyone else.
        const int silent = QTest::currentDataTag() == QByteArray("stays connected, silent") ? silent_client() : -1;
        for (int i = 0; i < 1000; ++i)
            poke(line);
        // Once the queue of abandoned connections has drained, the line is answered as any report.
        if (!line.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(report(line), QString("OK"), 30000);
        auto* progress = m_window->pwidget()->findChild<QProgressBar*>("pb_progress");
        QTRY_COMPARE_WITH_TIMEOUT(QString("%1/%2").arg(progress->value()).arg(progress->maximum()), bar, kWait);
        auto* label = m_window->pwidget()->findChild<QLabel*>("lb_state");
        QCOMPARE(label->text(), state);
        QTRY_COMPARE_WITH_TIMEOUT(report("x 40 100 repairing"), QString("OK"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QString("repairing ... "), kWait);
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(faults::touched(before, {tmp("broken_zo_fixed.mp4")}), QStringList());
        ::close(silent);
    }

    // The real Vidmend.exe built beside the test: only a repair that succeeded
    // looks finished; after a failure closing the dialog stops the engine.
    void real_engine_data()
    {
        QTest::addColumn<bool>("recording"); // the first two thirds of a recording, or bytes that are no MP4
        QTest::addColumn<QString>("state");  // the dialog's last state line
        QTest::newRow("recording cut before its index") << true << "done ... ";
        QTest::newRow("damaged file that is no MP4") << false << "修复失败:损坏视频不是MP4文件 ... ";
    }
    void real_engine()
    {
        QFETCH(bool, recording);
        QFETCH(QString, state);
        qputenv("DAVAZ_TOOLS_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
        auto back = qScopeGuard([this] { qputenv("DAVAZ_TOOLS_DIR", QFileInfo(m_tools.path("x")).path().toUtf8()); });
        ModalBoxes boxes;
        QTemporaryDir dir;
        const QString reference = testmedia::make_recording(dir.filePath("reference.mp4"), 3, {});
        QByteArray bytes(1 << 16, 0);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        if (recording)
            bytes = testmedia::read_file(testmedia::make_recording(dir.filePath("whole.mp4"), 6, {}));
        QVERIFY(!reference.isEmpty() && !bytes.isEmpty());
        QVERIFY(testmedia::write_file(dir.filePath("cut.mp4"), recording ? bytes.left(bytes.size() * 2 / 3) : bytes));
        start(dir.filePath("cut.mp4"), reference);
        QCOMPARE(boxes.count(), 0);
        ProcessWidget* dialog = m_window->pwidget();
        QVERIFY(dialog && dialog->isVisible());
        auto* button = dialog->findChild<QPushButton*>("pb_cancel");
        auto* bar = dialog->findChild<QProgressBar*>("pb_progress");
        QTRY_COMPARE_WITH_TIMEOUT(dialog->findChild<QLabel*>("lb_state")->text(), state, 60000);
        QCOMPARE(button->text(), QString(recording ? "完成" : "取消"));
        QCOMPARE(bar->value() == bar->maximum(), recording);
        const QString out = dir.filePath("cut_zo_fixed.mp4");
        QCOMPARE(QFile::exists(out), recording);
        if (recording) {
            QCOMPARE(testmedia::unplayable(out, 2.5, 4.5), QString());
            return;
        }
        button->click();
        QCOMPARE(report("vidmend 0 1000 parsing"), QString("pro_end"));
    }
};

QTEST_MAIN(TestMp4RPWidget)
#include "test_mp4rpwidget.moc"
