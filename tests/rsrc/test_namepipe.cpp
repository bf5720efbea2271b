// The repair pipe: real sockets and threads, servers and clients in one process.

#include "pipes.h"
#include "protocol/localsocket.h"
#include "testmedia.h"

#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using pipes::ask;
using pipes::Inbox;

namespace {

namespace ls = protocol::localsocket;

struct Client : ClientPipe
{
    using ClientPipe::ClientPipe;
    bool connected() const { return m_pipe >= 0; }
};

// Whether a thread of this process waits in a socket read: the server has taken a client.
bool a_thread_reads_a_socket()
{
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (testmedia::read_file("/proc/self/task/" + task + "/syscall").split(' ').value(0).toLong() == SYS_recvfrom)
            return true;
    }
    return false;
}

} // namespace

class TestNamePipe : public QObject
{
    Q_OBJECT
private slots:
    // The shared private folder is made 0700; when something else holds its name the
    // user's cache stands in, and refused there too there is no pipe. Plants stay as they were.
    void private_folder_data()
    {
        QTest::addColumn<QString>("plant"); // what is at the folder's name first
        QTest::addColumn<int>("problem");
        QTest::newRow("made on first use") << "" << int(protocol::TempFolder::None);
        QTest::newRow("a looser folder of ours is tightened") << "folder 0755" << int(protocol::TempFolder::None);
        QTest::newRow("under XDG_RUNTIME_DIR when set") << "runtime" << int(protocol::TempFolder::None);
        QTest::newRow("a path longer than a socket address holds") << "deep" << int(protocol::TempFolder::None);
        QTest::newRow("a link planted at its name: the cache's") << "link" << int(protocol::TempFolder::None);
        QTest::newRow("a file at its name: the cache's") << "file" << int(protocol::TempFolder::None);
        QTest::newRow("another account's folder: the cache's") << "other owner" << int(protocol::TempFolder::None);
        QTest::newRow("a link in the cache too") << "link both" << int(protocol::TempFolder::Link);
        QTest::newRow("the cache under HOME") << "file home" << int(protocol::TempFolder::None);
    }
    void private_folder()
    {
        QFETCH(QString, plant);
        QFETCH(int, problem);
        if (plant == "other owner" && ::geteuid() != 0)
            QSKIP("handing a folder to another account needs root");
        QTemporaryDir base;
        QMap<const char*, QByteArray> saved;
        for (const char* name : {"TMPDIR", "HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"})
            saved[name] = qgetenv(name);
        auto restore = qScopeGuard([&] {
            for (auto it = saved.begin(); it != saved.end(); ++it)
                it->isNull() ? qunsetenv(it.key()) : qputenv(it.key(), *it);
        });
        qputenv("XDG_CACHE_HOME", QFile::encodeName(base.filePath("cache")));
        QString cached = base.filePath("cache/davaz/run");
        if (plant.endsWith(" home")) {
            qunsetenv("XDG_CACHE_HOME");
            QVERIFY(QDir(base.path()).mkdir("home"));
            qputenv("HOME", QFile::encodeName(base.filePath("home")));
            cached = base.filePath("home/.cache/davaz/run");
        }
        const QString tmp = plant == "deep" ? base.filePath(QString(120, 'd')) : base.path();
        QVERIFY(QDir().mkpath(tmp));
        qputenv("TMPDIR", QFile::encodeName(tmp));
        QString folder = tmp + QString("/davaz-%1").arg(::geteuid());
        if (plant == "runtime") {
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(base.filePath("run")));
            QVERIFY(QDir(base.path()).mkdir("run"));
            folder = base.filePath("run/davaz");
        }
        const QString target = base.filePath("elsewhere");
        QVERIFY(QDir(base.path()).mkdir("elsewhere"));
        if (plant.startsWith("link"))
            QVERIFY(QFile::link(target, folder));
        if (plant == "link both")
            QVERIFY(QDir().mkpath(base.filePath("cache/davaz")) && QFile::link(target, cached));
        if (plant.startsWith("file"))
            QVERIFY(testmedia::write_file(folder, "someone's"));
        if (plant.startsWith("folder") || plant == "other owner")
            QVERIFY(::mkdir(QFile::encodeName(folder), 0755) == 0);
        if (plant == "other owner")
            QVERIFY(::chown(QFile::encodeName(folder), 65534, 65534) == 0);

        const protocol::TempFolder found = protocol::temp_folder();
        const bool moved = plant.startsWith("link") || plant.startsWith("file") || plant == "other owner";
        // Why the cache is used names the folder it stands in for.
        QCOMPARE(QString::fromStdString(found.instead_of)
                     .startsWith(QString::fromStdString(
                         protocol::TempFolder{folder.toStdString(), protocol::TempFolder::Link}.message())),
                 plant.startsWith("link"));
        QCOMPARE(found.instead_of.empty(), !moved);
        const QString planted = folder;
        if (moved)
            folder = cached;
        QCOMPARE(QFile::decodeName(found.path.c_str()), folder);
        QCOMPARE(int(found.problem), problem);
        QCOMPARE(found.message().empty(), problem == protocol::TempFolder::None);
        Inbox in;
        auto server = in.serve("np_private");
        if (problem == protocol::TempFolder::None) {
            struct stat st;
            QVERIFY(::lstat(QFile::encodeName(folder), &st) == 0 && S_ISDIR(st.st_mode));
            QCOMPARE(st.st_mode & 07777, mode_t(0700));
            QCOMPARE(ask("np_private", "x"), QByteArray("OK"));
        } else {
            QVERIFY(ask("np_private", "x").isEmpty());
            QVERIFY(protocol::temp_path(protocol::job_file).empty());
        }
        // Nothing was made where the plant leads, nor in another account's folder.
        for (const QString& dir : {target, plant == "other owner" ? planted : target})
            QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    void exchange_data()
    {
        QTest::addColumn<QList<uint>>("sizes"); // the server's, the client's
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("reply"); // set by the callback; none gives "OK"
        QTest::addColumn<int>("times");        // in a row, each on a connection of its own
        QTest::newRow("reply set") << QList<uint>{4096, 4096} << QByteArray("x 10 100 s") << QByteArray("x 10 100 s")
                                   << QByteArray("pro_end") << 1;
        QTest::newRow("no reply set") << QList<uint>{4096, 4096} << QByteArray("x 1 2 a") << QByteArray("x 1 2 a")
                                      << QByteArray() << 1;
        QTest::newRow("exactly the server's size")
            << QList<uint>{64, 65} << QByteArray(64, 'm') << QByteArray(64, 'm') << QByteArray() << 1;
        QTest::newRow("cut to the client's buffer")
            << QList<uint>{64, 16} << QByteArray(40, 'c') << QByteArray(15, 'c') << QByteArray() << 1;
        QTest::newRow("a thousand in a row, all answered")
            << QList<uint>{64, 64} << QByteArray("x 1 2 a") << QByteArray("x 1 2 a") << QByteArray("ack") << 1000;
    }
    void exchange()
    {
        QFETCH(QList<uint>, sizes);
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, reply);
        QFETCH(int, times);
        Inbox in;
        in.reply = [&reply](const QByteArray&) { return reply.toStdString(); };
        auto server = in.serve("np_exchange", sizes[0]);
        for (int i = 0; i < times; ++i)
            QCOMPARE(ask("np_exchange", message, sizes[1]), reply.isEmpty() ? QByteArray("OK") : reply);
        QCOMPARE(in.got, QList<QByteArray>(times, received + '\0'));
        QVERIFY(!pthread_equal(in.thread, pthread_self()));
    }

    // No server, a busy one, a silent client, a vanished server: each fails at once. A
    // second server of a name in use fails, and going takes nothing from the first.
    void clientFailures()
    {
        QVERIFY(ask("np_fail", "x").isEmpty());
        Inbox in, other;
        auto server = in.serve("np_fail");
        const auto threads = [] { return QDir("/proc/self/task").entryList(QDir::NoDotAndDotDot | QDir::Dirs).size(); };
        const auto before = threads();
        other.serve("np_fail").reset();
        QCOMPARE(threads(), before);
        {
            Client first("np_fail", 64);
            QVERIFY(first.connected() && !Client("np_fail", 64).connected());
            QCOMPARE(ask(first, "one"), QByteArray("OK"));
            QCOMPARE(ask("np_fail", "two"), QByteArray("OK")); // answered: free again
        }
        QVERIFY(Client("np_fail", 64).connected()); // says nothing and leaves
        QCOMPARE(ask("np_fail", "three"), QByteArray("OK"));
        QCOMPARE(in.got.size(), 3);
        QVERIFY(other.got.isEmpty());
        Client orphan("np_fail", 64);
        QVERIFY(orphan.connected());
        server.reset();
        // The next server of the name serves others although the orphan still holds on.
        auto next = in.serve("np_fail");
        QCOMPARE(ask("np_fail", "four"), QByteArray("OK"));
        QVERIFY(ask(orphan, "late").startsWith("Error:"));
    }

    void staleSocketIsReplacedOpenToAll()
    {
        // What a crashed server leaves: its lock file and a socket file nobody listens on.
        const QByteArray path = QFile::encodeName(testenv::shared_temp("np_stale"));
        const pid_t crashed = fork();
        if (crashed == 0) {
            new ServicePipe("np_stale", 64);
            _exit(0);
        }
        QCOMPARE(waitpid(crashed, nullptr, 0), crashed);
        QVERIFY(QFile::exists(path) && QFile::exists(path + ".lock"));

        const mode_t mask = umask(077);
        Inbox in;
        auto server = in.serve("np_stale");
        umask(mask);
        struct stat st;
        QCOMPARE(stat(path.constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0666));
        QCOMPARE(ask("np_stale", "fresh"), QByteArray("OK"));
        server.reset();
        QVERIFY(!QFile::exists(path));
    }

    // The window replaces its server at every start: hundreds of times, with a client of the old one left, a child
    // sharing its descriptors and the CPU busy, every report to the new server is answered.
    void replacedServerAnswersEveryReport_data()
    {
        QTest::addColumn<QString>("child");
        QTest::newRow("a child not at its exec yet") << "held";
        QTest::newRow("a program that cannot start") << "missing";
    }
    void replacedServerAnswersEveryReport()
    {
        QFETCH(QString, child);
        const int rounds = 300;
        std::atomic<bool> busy{true};
        std::thread spinner([&busy] {
            while (busy)
                ;
        });
        auto stop = qScopeGuard([&] {
            busy = false;
            spinner.join();
        });
        Inbox in;
        auto server = in.serve("np_replace");
        QVERIFY(server);
        int lost = 0;
        for (int i = 0; i < rounds; ++i) {
            Client stale("np_replace", 64);
            int hold[2] = {-1, -1};
            pid_t held = -1;
            if (child == "held") {
                QCOMPARE(::pipe2(hold, O_CLOEXEC), 0);
                held = ::fork();
                if (held == 0) {
                    ::close(hold[1]);
                    char c;
                    [[maybe_unused]] const auto n = ::read(hold[0], &c, 1);
                    _exit(0);
                }
                ::close(hold[0]);
            } else {
                QProcess::startDetached(QDir::tempPath() + "/no-such-engine");
            }
            server.reset();
            server = in.serve("np_replace");
            // The engine reports from a thread (a process) of its own.
            QByteArray answer;
            std::thread([&answer] { answer = ask("np_replace", "x 1 2 a"); }).join();
            lost += answer != "OK";
            if (held > 0) {
                ::close(hold[1]);
                QCOMPARE(::waitpid(held, nullptr, 0), held);
            }
            // Not yet taken by the old server, it would wait while the child held that server's socket.
            QVERIFY(stale.connected() && ask(stale, "late").startsWith("Error:"));
            // A round that lost its server must not cost the next one its report too.
            if (!server->listening())
                QTRY_VERIFY_WITH_TIMEOUT((server = in.serve("np_replace"))->listening(), 20000);
        }
        qInfo("%d of %d reports lost", lost, rounds);
        QCOMPARE(lost, 0);
    }

    // A silent client's read would give up only after an hour here: the destructor must cut it.
    void destroyReturns_data()
    {
        QTest::addColumn<bool>("silentClient");
        QTest::newRow("waiting for a client") << false;
        QTest::newRow("client connected and silent") << true;
    }
    void destroyReturns()
    {
        QFETCH(bool, silentClient);
        ls::set_silence_limit_ms(3600 * 1000);
        auto restore = qScopeGuard([] { ls::set_silence_limit_ms(5000); });
        Inbox in;
        auto server = in.serve("np_destroy");
        auto client = silentClient ? std::make_unique<Client>("np_destroy", 64) : nullptr;
        if (silentClient)
            QTRY_VERIFY_WITH_TIMEOUT(a_thread_reads_a_socket(), 20000);
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread([pipe = server.release(), done] {
            delete pipe;
            *done = true;
        }).detach();
        QTRY_VERIFY_WITH_TIMEOUT(*done, 20000);
        // A client left on the server that went keeps no one else out.
        auto next = in.serve("np_destroy");
        QCOMPARE(ask("np_destroy", "next"), QByteArray("OK"));
    }
};

QTEST_GUILESS_MAIN(TestNamePipe)
#include "test_namepipe.moc"
