// The repair tool under faults: local programs that abuse the window's pipe,
// a window whose engine is missing, and the engine given broken inputs. The
// test runs from a folder without Vidmend.exe, so the window's own start of
// the engine finds nothing and the test alone talks to the pipe.

#include "faults.h"
#include "modalboxes.h"
#include "pipes.h"
#include "platform/localsocket.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

namespace ls = platform::localsocket;

using pipes::report;

namespace {

// One connection of a program that ignores the protocol: writes `bytes`
// (nothing at all when empty), then hangs up without waiting for a reply.
void poke(const QByteArray& bytes)
{
    const int fd = ls::connect_to((QDir::tempPath() + "/tarvo_mfix").toLocal8Bit().constData());
    if (fd < 0)
        return; // the server was still busy with the one before: a refusal is fine too
    ls::write_once(fd, bytes.constData(), size_t(bytes.size()));
    ls::close(fd);
}

} // namespace

class TestFaultsRepair : public QObject
{
    Q_OBJECT
    TestHost m_host;
    QTemporaryDir m_dir;

    QString at(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + "/Vidmend.exe"));
        const QString ref = testmedia::make_recording(at("ref.mp4"), 2, {});
        QVERIFY(!ref.isEmpty());
        const QByteArray whole = testmedia::read_file(ref);
        QByteArray random(8192, 0);
        QRandomGenerator(12).fillRange(reinterpret_cast<quint32*>(random.data()), random.size() / 4);
        // A cut inside the first box; a few samples with no index (a writer killed at once).
        for (const auto& [name, bytes] : {std::pair{"zero.mp4", QByteArray()},
                                          {"random.mp4", random},
                                          {"head.mp4", whole.left(40)},
                                          {"start.mp4", whole.left(3000)},
                                          {"cut.mp4", whole.left(whole.size() / 2)}})
            QVERIFY(testmedia::write_file(at(name), bytes));
    }

    void faults_data()
    {
        // Rows of the pipe: what a client sends a thousand times ("" connects and says nothing), then a real
        // report must still come through. Rows of the engine: "REFERENCE DAMAGED" and "exit code, state word".
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("garbage from a client") << "" << QByteArray("\xff\x00\x01 x\x80 -7\n\t", 11) << "";
        QTest::newRow("over-long message") << "" << QByteArray(65536, '9') << "";
        QTest::newRow("client that connects without writing") << "" << QByteArray() << "";
        QTest::newRow("engine missing: the dialog waits, closing it asks to stop") << "" << QByteArray("-") << "";
        QTest::newRow("zero-length damaged file") << "ref zero" << QByteArray() << "4 notmp4";
        QTest::newRow("damaged file cut inside its first box") << "ref head" << QByteArray() << "4 notmp4";
        QTest::newRow("damaged file cut after a few samples") << "ref start" << QByteArray() << "8 nothing";
        QTest::newRow("zero-length reference") << "zero start" << QByteArray() << "2 unreadable";
        QTest::newRow("truncated reference") << "cut start" << QByteArray() << "2 unreadable";
        QTest::newRow("random reference") << "random start" << QByteArray() << "2 unreadable";
    }
    void faults()
    {
        QFETCH(QString, engine);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const faults::Files before = faults::files({m_dir.path()});
        const QString out = at("out.mp4");
        if (!engine.isEmpty()) {
            const QStringList inputs = engine.split(' ');
            const testmedia::Ran ran = testmedia::run(QCoreApplication::applicationDirPath() + "/../Vidmend.exe",
                                                      {at(inputs[0] + ".mp4"), at(inputs[1] + ".mp4"), out});
            QCOMPARE(QString("%1 %2").arg(ran.code).arg(ran.out.trimmed().section(' ', -1)), expected);
            QVERIFY(!QFile::exists(out) && !QFile::exists(out + ".part"));
        } else {
            ModalBoxes boxes;
            Mp4RPWidget window;
            window.findChild<QLineEdit*>("lineEdit_failedmp4")->setText(at("start.mp4"));
            window.findChild<QLineEdit*>("lineEdit_okaymp4")->setText(at("ref.mp4"));
            window.findChild<QPushButton*>("pb_start")->click();
            QVERIFY(window.pwidget() && window.pwidget()->isVisible());
            auto* state = window.pwidget()->findChild<QLabel*>("lb_state");
            if (bytes == "-") {
                QCOMPARE(state->text(), QString("准备数据..."));
                window.pwidget()->findChild<QPushButton*>("pb_cancel")->click();
                QCOMPARE(report("x 1 100 repairing"), QString("pro_end"));
            } else {
                for (int i = 0; i < 1000; ++i)
                    poke(bytes);
                // Until the queue of abandoned connections drains, a report may find the pipe busy.
                QTRY_COMPARE_WITH_TIMEOUT(report("x 40 100 repairing"), QString("OK"), 30000);
                QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString("repairing ... "), 30000);
                QCOMPARE(window.pwidget()->findChild<QProgressBar*>("pb_progress")->value(), 40);
            }
            QCOMPARE(boxes.count(), 0);
        }
        QCOMPARE(faults::touched(before, {}), QStringList());
    }
};

QTEST_MAIN(TestFaultsRepair)
#include "test_faults_repair.moc"
