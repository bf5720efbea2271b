// The player ZaReridi.exe refuses bad command lines; the conversion window's
// test has it hand a converted file to its engine.

#include "testmedia.h"

#include <QtTest>

class TestZaReridi : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    const QString m_exe = QCoreApplication::applicationDirPath() + "/ZaReridi.exe";

private slots:
    void bad_command_lines_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QString existing = m_dir.filePath("clip_zo.mp4");
        QVERIFY(testmedia::write_file(existing, {}));
        QTest::newRow("no arguments") << QStringList{} << "expected exactly";
        QTest::newRow("unknown option") << QStringList{"-show", existing} << "expected exactly";
        QTest::newRow("missing file") << QStringList{"-play", m_dir.filePath("gone.mp4")} << "no such file";
        QTest::newRow("a folder") << QStringList{"-play", m_dir.path()} << "not a file";
    }
    void bad_command_lines()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const testmedia::Ran player = testmedia::run(m_exe, args, 30000);
        QCOMPARE(player.code, 2);
        QVERIFY2(player.err.contains(message), qPrintable(player.err));
    }
};

QTEST_GUILESS_MAIN(TestZaReridi)
#include "test_zareridi.moc"
