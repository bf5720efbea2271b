// The tree `cmake --install` makes in a temporary DESTDIR, run as a user starts it.

#include "testmedia.h"

#include <QImage>
#include <QtTest>

namespace {

// Every entry of a tree with its size and modification time, to see that a run writes nothing there.
QStringList snapshot(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries
            << QString("%1 %2 %3").arg(info.filePath()).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
    }
    entries.sort();
    return entries;
}

// The value of KEY in the [Desktop Entry] group (the only group of the file).
QString desktop_value(const QString& file, const QString& key)
{
    for (const QString& line : QString::fromUtf8(testmedia::read_file(file)).split('\n'))
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1).trimmed();
    return {};
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_root; // the DESTDIR
    QString m_usr;  // the prefix inside it
    QString m_desktop;

    QString pkgdir() const { return m_usr + "/lib/davaz"; }

    // An ordinary user with nothing set up yet: settings go under HOME, not to a test's host home.
    QStringList user_env(const QString& home, const QString& runtime) const
    {
        return {
            "HOME=" + home,      "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "HEXLUNE_HOME=", "XDG_RUNTIME_DIR=" + runtime,
            "TMPDIR=" + runtime, "LANGUAGE="};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.filePath("root");
        m_usr = m_root + "/usr";
        const testmedia::Ran install =
            testmedia::run(CMAKE_COMMAND, {"--install", BUILD_DIR, "--prefix", "/usr"}, 300000, {"DESTDIR=" + m_root});
        QVERIFY2(install.code == 0, qPrintable(install.out + install.err));
        m_desktop = m_usr + "/share/applications/davaz.desktop";
        QVERIFY(QFileInfo::exists(m_desktop));
    }

    // Every tool opens from the menu entry's command, in the locale's language or the
    // stored setting's, writing nothing beside the program; the module goes as on a quit.
    void menu_entry_starts_the_host_with_every_tool_data()
    {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("titles"); // launcher, repair, live push, conversion, capture
        const QStringList chinese{"DaVaz 视频工具箱", "视频修复", "直播视频", "格式转换", "串流存盘"};
        const QStringList english{"DaVaz Video Toolbox", "Video Repair", "Live Push", "Format Conversion",
                                  "Stream Capture"};
        QTest::newRow("C") << "C.UTF-8" << QString() << chinese;
        QTest::newRow("English") << "en_US.UTF-8" << QString() << english;
        QTest::newRow("C forced to English") << "C.UTF-8" << QString("en") << english;
        QTest::newRow("English forced to Chinese") << "en_US.UTF-8" << QString("zh") << chinese;
    }
    void menu_entry_starts_the_host_with_every_tool()
    {
        QFETCH(QString, lang);
        QFETCH(QString, setting);
        QFETCH(QStringList, titles);
        const QString command = desktop_value(m_desktop, "Exec").section(' ', 0, 0);
        const QString program = QStandardPaths::findExecutable(command, {m_usr + "/bin"});
        QVERIFY2(!program.isEmpty(), qPrintable("no program for Exec=" + command + " on the PATH"));

        QTemporaryDir home, runtime;
        const QString settings = home.filePath(".config/hexlune/hexlune.ini");
        QVERIFY(setting.isEmpty() || testmedia::write_file(settings, "[General]\ncfg_language=" + setting.toUtf8()));
        const QStringList before = snapshot(m_root);
        const QString shots = home.filePath("shots");
        const testmedia::Ran host =
            testmedia::run(program,
                           {"--show", "msg_show_mp4wd", "--show", "msg_show_movielive", "--show", "msg_show_tranformat",
                            "--show", "msg_show_grablive", "--screenshot", shots},
                           120000, user_env(home.path(), runtime.path()) + QStringList{"LANG=" + lang, "LC_ALL="});
        QVERIFY2(host.code == 0, qPrintable(host.err));
        const QStringList names{"DavazLauncher", "Mp4RPWidget", "VideoLiveWidget", "FormatCWidget", "GrabLiveWidget"};
        for (int i = 0; i < names.size(); ++i) {
            const QString line = QString("window: %1 \"%2\"").arg(names[i], titles[i]);
            QVERIFY2(host.out.contains(line), qPrintable(line + "\n" + host.out));
            const QImage image(shots + "/" + names[i] + ".png");
            QVERIFY2(image.width() > 100 && image.height() > 100, qPrintable(names[i] + " did not open"));
        }
        QVERIFY(host.err.contains("FFMpegModule release start < ") &&
                host.err.contains("FFMpegModule release okay  > "));
        // The windows keep their settings in the user's configuration folder, never beside the program.
        QStringList written;
        for (const QString& entry : snapshot(m_root))
            if (!before.contains(entry))
                written << entry;
        QVERIFY2(written.isEmpty(), qPrintable("written beside the program: " + written.join(", ")));
        QVERIFY(QFileInfo::exists(settings));
    }

    // Every library resolves inside the tree or from the system, never from the build folder.
    void libraries_resolve_inside_the_tree()
    {
        const QStringList files = QDir(pkgdir()).entryList(QDir::Files);
        for (const char* name : {"davaz-host", "libdavaz.so", "libhexlune3.so", "FFmpeg.exe", "ffexe-media",
                                 "Vidmend.exe", "ZaReridi.exe"})
            QVERIFY2(files.contains(name), name);
        for (const QString& name : files) {
            const testmedia::Ran ldd = testmedia::run("ldd", {pkgdir() + "/" + name});
            QVERIFY2(ldd.code == 0, qPrintable(name + ": " + ldd.err));
            for (const QString& line : ldd.out.split('\n', Qt::SkipEmptyParts)) {
                const QString library = line.section(" => ", 0, 0).trimmed();
                const QString path = line.section(" => ", 1).section(" (", 0, 0).trimmed();
                QVERIFY2(!line.contains("not found"), qPrintable(name + ": " + line));
                QVERIFY2(path.isEmpty() || !path.startsWith(BUILD_DIR) || path.startsWith(pkgdir()),
                         qPrintable(name + ": " + line));
                if (library == "libhexlune3.so")
                    QCOMPARE(path, pkgdir() + "/libhexlune3.so");
            }
        }
    }

    // The player refuses bad command lines; the conversion window's test has it play a file.
    void programs_refuse_bad_command_lines_data()
    {
        QTest::addColumn<QString>("command"); // %d: a folder with an empty clip_zo.mp4
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("Vidmend.exe without a job file") << "Vidmend.exe" << 1 << "mp4.rp";
        QTest::newRow("ZaReridi.exe without a file") << "ZaReridi.exe" << 2 << "usage: ZaReridi.exe -play FILE";
        QTest::newRow("ZaReridi.exe, unknown option") << "ZaReridi.exe -show %d/clip_zo.mp4" << 2 << "expected exactly";
        QTest::newRow("ZaReridi.exe, missing file") << "ZaReridi.exe -play %d/gone.mp4" << 2 << "no such file";
        QTest::newRow("ZaReridi.exe, a folder") << "ZaReridi.exe -play %d" << 2 << "not a file";
    }
    void programs_refuse_bad_command_lines()
    {
        QFETCH(QString, command);
        QFETCH(int, code);
        QFETCH(QString, message);
        QTemporaryDir home, runtime;
        QVERIFY(testmedia::write_file(home.filePath("clip_zo.mp4"), {}));
        QStringList args = command.split(' ').replaceInStrings("%d", home.path());
        const QString program = pkgdir() + "/" + args.takeFirst();
        const testmedia::Ran ran = testmedia::run(program, args, 60000, user_env(home.path(), runtime.path()));
        QCOMPARE(ran.code, code);
        QVERIFY2(ran.err.contains(message), qPrintable(ran.err));
    }

    // The menu entry, AppStream data and manual pages name the program in both languages.
    void names_in_both_languages()
    {
        QCOMPARE(desktop_value(m_desktop, "Name"), QString("DaVaz"));
        QCOMPARE(desktop_value(m_desktop, "Name[zh_CN]"), QString("DaVaz 视频工具箱"));
        const QString metainfo =
            QString::fromUtf8(testmedia::read_file(m_usr + "/share/metainfo/org.davaz.DaVaz.metainfo.xml"));
        QVERIFY(metainfo.contains("<name xml:lang=\"zh_CN\">DaVaz 视频工具箱</name>"));
        for (const QString page : {"man1/davaz.1.gz", "zh_CN/man1/davaz.1.gz"})
            QVERIFY2(QFileInfo::exists(m_usr + "/share/man/" + page), qPrintable(page));
    }

    // The menu entry's icon in the hicolor theme, at the sizes menus and docks ask for.
    void icon_sizes()
    {
        const QString icon = desktop_value(m_desktop, "Icon");
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QImage image(QString("%1/share/icons/hicolor/%2x%2/apps/%3.png").arg(m_usr).arg(size).arg(icon));
            QVERIFY2(image.size() == QSize(size, size), qPrintable(QString::number(size)));
        }
        QVERIFY(QFileInfo::exists(m_usr + "/share/icons/hicolor/scalable/apps/" + icon + ".svg"));
    }

    void desktop_data_validates_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("menu entry") << "desktop-file-validate" << QStringList{m_desktop};
        // Checks the AppStream data together with the menu entry and icon it names.
        QTest::newRow("AppStream data") << "appstreamcli" << QStringList{"validate-tree", "--no-net", m_root};
    }
    void desktop_data_validates()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(tool + " is not installed: not checked"));
        const testmedia::Ran check = testmedia::run(tool, args);
        QVERIFY2(check.code == 0, qPrintable(check.out + check.err));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
