// The Debian package made from this build folder: its dependencies, contents and lintian's word.

#include "testmedia.h"

#include <QtTest>

class TestPackage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_deb;

    QString field(const QString& name) const
    {
        return testmedia::run("dpkg-deb", {"--field", m_deb, name}).out.trimmed();
    }

private slots:
    void initTestCase()
    {
#ifdef DAVAZ_SANITIZE
        QSKIP("the package is made from the ordinary build, not the sanitizer build");
#endif
        if (QStandardPaths::findExecutable("dpkg-deb").isEmpty() ||
            QStandardPaths::findExecutable("dpkg-shlibdeps").isEmpty())
            QSKIP("dpkg-deb or dpkg-shlibdeps is not installed: no package made");
        QVERIFY(m_dir.isValid());
        const testmedia::Ran cpack = testmedia::run(
            CPACK_COMMAND, {"-G", "DEB", "--config", QString(BUILD_DIR) + "/CPackConfig.cmake", "-B", m_dir.path()},
            600000);
        QVERIFY2(cpack.code == 0, qPrintable(cpack.out + cpack.err));
        const QStringList debs = QDir(m_dir.path()).entryList({"davaz_*.deb"});
        QCOMPARE(debs.size(), 1);
        m_deb = m_dir.filePath(debs.first());
    }

    // Each package the installed program needs on a machine that has only what the package pulls in: Qt widgets
    // and libavformat (found in the binaries), the ffmpeg the transcoder runs, a font for the Chinese texts.
    void depends()
    {
        QStringList names;
        for (const QString& alternative : field("Depends").split(QRegularExpression("[,|]")))
            names << alternative.trimmed().section(' ', 0, 0);
        for (const char* package : {"libqt6widgets6", "libavformat59", "ffmpeg", "fonts-wqy-microhei"})
            QVERIFY2(names.contains(package), qPrintable(package + (" not in " + field("Depends"))));
    }

    void contents()
    {
        const testmedia::Ran listing = testmedia::run("dpkg-deb", {"--contents", m_deb});
        QVERIFY2(listing.code == 0, qPrintable(listing.err));
        const QStringList lines = listing.out.split('\n', Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            QVERIFY2(line.contains(" root/root "), qPrintable(line));
            QVERIFY2(line.contains(" ./usr/") || line.endsWith(" ./"), qPrintable(line));
        }
        // A relative link keeps the program's folder, where its executables lie, the host's own.
        const QString link = "./usr/bin/davaz -> ../lib/davaz/davaz-host";
        QVERIFY2(std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.endsWith(link); }),
                 qPrintable(listing.out));
        // Nothing to do at install or removal time: no maintainer scripts.
        const QString control = testmedia::run("dpkg-deb", {"--info", m_deb}).out;
        QVERIFY2(!control.contains(QRegularExpression("\\s(pre|post)(inst|rm)\\s")), qPrintable(control));
    }

    void lintian_finds_no_error()
    {
        if (QStandardPaths::findExecutable("lintian").isEmpty())
            QSKIP("lintian is not installed: the package is not checked");
        const testmedia::Ran lintian = testmedia::run("lintian", {"--fail-on", "error", m_deb}, 600000);
        qInfo("lintian: %s", qPrintable(lintian.out.trimmed().isEmpty() ? "no tags" : lintian.out.trimmed()));
        QVERIFY2(lintian.code == 0, qPrintable(lintian.out + lintian.err));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
