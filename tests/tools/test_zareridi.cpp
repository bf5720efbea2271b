// The player ZaReridi.exe: refuses bad command lines and hands a file to its engine.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestZaReridi : public QObject
{
    Q_OBJECT
private slots:
    void bad_command_lines_data();
    void bad_command_lines();
    void plays_the_file_with_its_engine();

private:
    QTemporaryDir m_dir;
};

void TestZaReridi::bad_command_lines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString existing = m_dir.filePath("clip_zo.mp4");
    QFile f(existing);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QTest::newRow("no arguments") << QStringList{} << "expected exactly";
    QTest::newRow("unknown option") << QStringList{"-show", existing} << "expected exactly";
    QTest::newRow("missing file") << QStringList{"-play", m_dir.filePath("gone.mp4")} << "no such file";
    QTest::newRow("a folder") << QStringList{"-play", m_dir.path()} << "not a file";
}

void TestZaReridi::bad_command_lines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + "/ZaReridi.exe", args);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(message));
}

void TestZaReridi::plays_the_file_with_its_engine()
{
    // An engine that only echoes its arguments stands in for the real player.
    const QString file = m_dir.filePath("转换 结果_zo.mp4");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DAVAZ_FFPLAY", "/bin/echo");
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + "/ZaReridi.exe", {"-play", file});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    QVERIFY(out.endsWith(file));
    QVERIFY(out.contains("-window_title 转换 结果_zo.mp4"));
}

QTEST_GUILESS_MAIN(TestZaReridi)
#include "test_zareridi.moc"
