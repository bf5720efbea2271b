// The pipe between the repair window and the repair executable, over real
// sockets and threads in one process.

#include "namepipe.h"

#include <QDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Server side: what arrived, on which thread, and the reply to set.
struct Inbox
{
    std::mutex mutex;
    QList<QByteArray> got;
    std::string reply; // empty: leave the default
    pthread_t thread{};
    std::atomic<int> count{0};

    static void take(const char* data, int len, std::string& reply, void* user)
    {
        Inbox* in = static_cast<Inbox*>(user);
        std::lock_guard<std::mutex> guard(in->mutex);
        in->got << QByteArray(data, len + 1); // the terminator is part of the deal
        in->thread = pthread_self();
        if (!in->reply.empty())
            reply = in->reply;
        ++in->count;
    }
};

struct Client : ClientPipe
{
    using ClientPipe::ClientPipe;
    QByteArray answer;
    std::atomic<bool> answered{false};
    bool connected() const { return m_pipe >= 0; }

    static void take(const char* data, int len, std::string& reply, void* user)
    {
        Client* c = static_cast<Client*>(user);
        c->answer = data ? QByteArray(data, len) : QByteArray::fromStdString(reply);
        c->answered = true;
    }
    QByteArray ask(const char* msg)
    {
        m_pFunc = &Client::take;
        m_pUser = this;
        send_msg(msg, true);
        return answer;
    }
};

std::unique_ptr<ServicePipe> serve(const char* name, Inbox& in, unsigned size = 4096)
{
    auto server = std::make_unique<ServicePipe>(name, size);
    server->m_pFunc = &Inbox::take;
    server->m_pUser = &in;
    return server;
}

int thread_count()
{
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

QString socket_path(const char* name)
{
    return QDir::tempPath() + "/" + name;
}

} // namespace

class TestNamePipe : public QObject
{
    Q_OBJECT

    QString m_log;
    int m_savedErr = -1;
    QByteArray err() const
    {
        QFile f(m_log);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    // The pipe's lines go to standard error: each test reads them from a file.
    void init()
    {
        m_log = QDir::tempPath() + "/stderr-" + QTest::currentTestFunction() + ".log";
        m_savedErr = dup(2);
        const int fd = ::open(QFile::encodeName(m_log).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        ::close(fd);
    }
    void cleanup()
    {
        dup2(m_savedErr, 2);
        ::close(m_savedErr);
    }

    void exchange_data()
    {
        QTest::addColumn<uint>("serverSize");
        QTest::addColumn<uint>("clientSize");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("setReply");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("report answered by the callback")
            << 4096u << 4096u << QByteArray("x 10 100 state") << QByteArray("pro_end") << QByteArray("x 10 100 state")
            << QByteArray("pro_end");
        QTest::newRow("no reply set gives OK")
            << 4096u << 4096u << QByteArray("x 1 2 a") << QByteArray() << QByteArray("x 1 2 a") << QByteArray("OK");
        QTest::newRow("exactly the server's size")
            << 64u << 65u << QByteArray(64, 'm') << QByteArray() << QByteArray(64, 'm') << QByteArray("OK");
        QTest::newRow("longer than the client's buffer is cut")
            << 4096u << 16u << QByteArray(40, 'c') << QByteArray() << QByteArray(15, 'c') << QByteArray("OK");
    }
    void exchange()
    {
        QFETCH(uint, serverSize);
        QFETCH(uint, clientSize);
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, setReply);
        QFETCH(QByteArray, received);
        QFETCH(QByteArray, reply);
        Inbox in;
        in.reply = setReply.toStdString();
        auto server = serve("np_exchange", in, serverSize);
        Client client("np_exchange", clientSize);
        QCOMPARE(client.ask(message.constData()), reply);
        QCOMPARE(in.got.size(), 1);
        QCOMPARE(in.got[0], received + '\0');
        QVERIFY(!pthread_equal(in.thread, pthread_self()));
        QVERIFY(err().contains(
            QString("---- [namepipe] dwWrite: %1, strlen: %2\n").arg(received.size()).arg(message.size()).toUtf8()));
    }

    // The busy client, the absent server and the vanished server all fail at
    // once with a line, never by blocking or by a signal that ends the program.
    void failures()
    {
        Client nobody("np_fail", 64);
        QVERIFY(!nobody.connected());
        nobody.ask("x");
        QVERIFY(err().contains("@@ CreateFile failed . error code: "));
        QVERIFY(err().contains("send_msg(): --- no pipe ...\n"));

        Inbox in;
        auto server = serve("np_fail", in);
        {
            Client first("np_fail", 64);
            Client second("np_fail", 64);
            QVERIFY(first.connected());
            QVERIFY(!second.connected());
            QVERIFY(err().contains(QString("error code: %1\n").arg(EBUSY).toUtf8()));
            QCOMPARE(first.ask("one"), QByteArray("OK"));
            Client third("np_fail", 64); // the first is done: free again
            QCOMPARE(third.ask("three"), QByteArray("OK"));
        }
        Client orphan("np_fail", 64);
        QVERIFY(orphan.connected());
        server.reset();
        QVERIFY(orphan.ask("late").startsWith("Error:"));
    }

    void silentClientIsDroppedAndNextServed()
    {
        Inbox in;
        auto server = serve("np_silent", in);
        {
            Client silent("np_silent", 64);
            QVERIFY(silent.connected());
        }
        QTRY_VERIFY(err().contains("read data failed ...\n"));
        Client next("np_silent", 64);
        QCOMPARE(next.ask("after"), QByteArray("OK"));
        QCOMPARE(in.count.load(), 1);
    }

    void secondServerFailsAndLeavesFirstAlone()
    {
        Inbox in, other;
        auto first = serve("np_twice", in);
        const int threads = thread_count();
        auto second = serve("np_twice", other);
        QVERIFY(err().contains("@@ creator name pipe failed ...\n"));
        QCOMPARE(thread_count(), threads);
        second.reset(); // must not take the first one's socket with it
        QCOMPARE(Client("np_twice", 64).ask("still"), QByteArray("OK"));
        QCOMPARE(in.count.load(), 1);
    }

    void staleSocketIsReplaced_data()
    {
        QTest::addColumn<bool>("lockFileLeft");
        QTest::newRow("socket file only") << false;
        QTest::newRow("socket and lock file") << true;
    }
    void staleSocketIsReplaced()
    {
        QFETCH(bool, lockFileLeft);
        // What a server that crashed leaves: a bound socket file nobody listens on.
        const QByteArray path = QFile::encodeName(socket_path("np_stale"));
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrcpy(address.sun_path, path.constData());
        QCOMPARE(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd);
        QFile::remove(path + ".lock");
        if (lockFileLeft)
            QVERIFY(QFile(path + ".lock").open(QIODevice::WriteOnly));

        const mode_t mask = umask(077); // a strict umask must not lock other accounts out
        Inbox in;
        auto server = serve("np_stale", in);
        umask(mask);
        struct stat st;
        QCOMPARE(stat(path.constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0666));
        QCOMPARE(Client("np_stale", 64).ask("fresh"), QByteArray("OK"));
        server.reset();
        QVERIFY(!QFile::exists(path));
    }

    // A destructor that hangs here never returns: the wait's limit only
    // decides how long the failure takes to show.
    void destroyReturns_data()
    {
        QTest::addColumn<bool>("silentClient");
        QTest::newRow("waiting for a client") << false;
        QTest::newRow("client connected and silent") << true;
    }
    void destroyReturns()
    {
        QFETCH(bool, silentClient);
        Inbox in;
        auto server = serve("np_destroy", in);
        std::unique_ptr<Client> client;
        if (silentClient)
            client = std::make_unique<Client>("np_destroy", 64);
        std::atomic<bool> done{false};
        std::thread killer([&] {
            server.reset();
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        killer.join();
    }

    void thousandExchangesAllAnswered()
    {
        Inbox in;
        in.reply = "ack";
        auto server = serve("np_many", in);
        int answered = 0;
        for (int i = 0; i < 1000; ++i)
            answered += Client("np_many", 64).ask(QByteArray::number(i).constData()) == "ack";
        QCOMPARE(answered, 1000);
        QCOMPARE(in.got.size(), 1000);
        QCOMPARE(in.got.last(), QByteArray("999") + '\0');
    }

    void sendWithoutWaitingOwnsItsMessage()
    {
        Inbox in;
        auto server = serve("np_async", in);
        Client client("np_async", 64);
        client.m_pFunc = &Client::take;
        client.m_pUser = &client;
        char message[] = "x 50 100 half";
        client.send_msg(message, false);
        qstrcpy(message, "overwritten!!");
        QTRY_VERIFY(client.answered);
        QCOMPARE(client.answer, QByteArray("OK"));
        QCOMPARE(in.got.value(0), QByteArray("x 50 100 half") + '\0');
    }
};

QTEST_GUILESS_MAIN(TestNamePipe)
#include "test_namepipe.moc"
