// The capture and push sessions' rules, against a scripted transcoder: a
// real process standing in for FFmpeg.exe that prints what each row says,
// with the waits between attempts held on the test's clock.

#include "faults.h"
#include "protocol/command.h"
#include "protocol/transcoder.h"
#include "testclock.h"
#include "testmedia.h"
#include "transcode/capturesession.h"
#include "transcode/pushsession.h"

#include <QtTest>

using protocol::Outcome;

namespace {

const int kWait = 30000;

// Run N of the stand-in prints the lines of run.N in turn; at "wait" it
// first reads a line from its standard input (the test's go-ahead, or a
// push's answer, which it keeps in heard.N); "exit C" ends it, else it runs
// until stopped. Its arguments go to args.N.
const char kScript[] = R"(d=$(dirname "$0"); n=$(( $(cat "$d/count" 2>/dev/null || echo 0) + 1 )); echo $n > "$d/count"
printf '%s\n' "$@" > "$d/args.$n"
exec 3<&0
while IFS= read -r step; do
  case "$step" in
    wait) IFS= read -r heard <&3; printf '%s\n' "$heard" >> "$d/heard.$n" ;;
    exit*) exit ${step#exit } ;;
    *) printf '%s\n' "$step" ;;
  esac
done < "$d/run.$n"
exec sleep 600 <&-
)";

// A word of a row as the line the stand-in prints: "pS" progress at S seconds, "f" the finish marker, "x:WHAT" a
// phrase, "file:NAME" a completed file, "on:N", "want:N", "skip:N" entry records, "d+N" destination N on air, "d-N"
// lost ("d-N:WHY" down for that outcome), "w" wait, "eC" exit with C.
QString line_for(const QString& word, const QString& dir)
{
    static const QMap<QString, Outcome> phrases{{"format", Outcome::UnsupportedFormat},
                                                {"connect", Outcome::ConnectFailed},
                                                {"stream", Outcome::NoStream},
                                                {"certificate", Outcome::Untrusted}};
    const QString rest = word.section(':', 1);
    std::string line;
    if (word[0] == 'p')
        line = protocol::write_progress({25, 25, 100, word.mid(1).toLongLong() * 100, 800});
    else if (word == "f")
        line = protocol::write_finish();
    else if (word.startsWith("x:"))
        line = protocol::write_phrase(phrases.value(rest));
    else if (word.startsWith("d+") || word.startsWith("d-"))
        line = protocol::write_dest(word.mid(2, 1).toInt(),
                                    word[1] == '+' ? protocol::DestState::On : protocol::DestState::Down,
                                    rest.isEmpty() ? std::nullopt : std::optional(phrases.value(rest)));
    else if (word.startsWith("file:"))
        line = protocol::write_file_done((dir + "/" + rest).toStdString());
    else if (word.startsWith("on:") || word.startsWith("want:") || word.startsWith("skip:"))
        line = protocol::write_entry(rest.toLongLong(),
                                     word[0] == 'o'   ? protocol::EntryState::On
                                     : word[0] == 'w' ? protocol::EntryState::Want
                                                      : protocol::EntryState::Skipped,
                                     "no flv");
    else
        return word == "w" ? "wait" : "exit " + word.mid(1);
    return QString::fromStdString(line).chopped(1);
}

} // namespace

class TestSessions : public QObject, public PushList
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<faults::ToolsFolder> m_tools;
    std::unique_ptr<TestClock> m_clock;
    std::unique_ptr<QObject> m_owner;
    QStringList m_trace; // what the session reported, in order
    QStringList m_entries;

    QStringList entries() const override { return m_entries; }
    QString marked() const override { return m_entries.value(0); }
    QString media(const QString& name) const { return m_dir.filePath(name); }

    QProcess* running() const
    {
        for (QProcess* process : m_owner->findChildren<QProcess*>()) {
            if (process->state() == QProcess::Running)
                return process;
        }
        return nullptr;
    }
    // Each run's words, "|" between runs.
    void script(const QString& runs)
    {
        const QStringList each = runs.split('|');
        for (int n = 0; n < each.size(); ++n) {
            QStringList lines;
            for (const QString& word : each[n].split(' ', Qt::SkipEmptyParts))
                lines << line_for(word, m_dir.path());
            QVERIFY(
                testmedia::write_file(m_tools->path(QString("run.%1").arg(n + 1)), lines.join('\n').toUtf8() + '\n'));
        }
    }
    // Goes through the row's steps: "!pass:MS" lets the next held wait pass (it must last MS), "!go" lets the
    // stand-in go on, "!start:NAME" has a push start that entry, "!list:A,B" is the list from now on, "!none": nothing
    // more was reported; any other step is what the session reports next.
    void follow(const QString& steps, const std::function<void(const QString&)>& start)
    {
        int seen = 0;
        for (const QString& step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step.startsWith("!pass:")) {
                QTRY_VERIFY_WITH_TIMEOUT(m_clock->count() > 0, kWait);
                QCOMPARE(m_clock->pass(), step.mid(6).toInt());
            } else if (step == "!go") {
                QTRY_VERIFY_WITH_TIMEOUT(running(), kWait);
                running()->write("go\n");
            } else if (step.startsWith("!list:")) {
                m_entries.clear();
                for (const QString& name : step.mid(6).split(','))
                    m_entries << media(name + ".mp4");
            } else if (step == "!none") {
                QCOMPARE(m_trace.mid(seen), QStringList());
            } else if (step.startsWith("!start:")) {
                start(media(step.mid(7)));
            } else {
                QTRY_VERIFY2_WITH_TIMEOUT(m_trace.size() > seen, qPrintable(m_trace.join(' ')), kWait);
                QCOMPARE(m_trace[seen++], step);
            }
        }
    }
    // Each run as the transcoder reads its arguments: its first file's number, or its entry and where in it.
    QStringList runs_seen(bool push) const
    {
        QStringList seen;
        for (int n = 1; QFile::exists(m_tools->path(QString("args.%1").arg(n))); ++n) {
            const QStringList args = QString::fromUtf8(testmedia::read_file(m_tools->path(QString("args.%1").arg(n))))
                                         .split('\n', Qt::SkipEmptyParts);
            std::vector<std::string> list;
            for (const QString& arg : args)
                list.push_back(arg.toStdString());
            seen << (push ? QFileInfo(args.value(args.indexOf("-i") + 1)).fileName() + "@" +
                                (args.value(1) == "-ss" ? args.value(2) : "0.000")
                          : QString::number(protocol::take_own_options(list).file_number));
        }
        return seen;
    }
    // What each run heard on its standard input besides the test's go-aheads: "," between answers, "|" between runs.
    QString heard_answers() const
    {
        QStringList runs;
        for (int n = 1; QFile::exists(m_tools->path(QString("heard.%1").arg(n))); ++n) {
            QStringList lines = QString::fromUtf8(testmedia::read_file(m_tools->path(QString("heard.%1").arg(n))))
                                    .replace(m_dir.path() + "/", "")
                                    .split('\n');
            lines.removeLast();
            lines.removeAll("go");
            runs << lines.join(',');
        }
        return runs.join(" | ");
    }

private slots:
    void init()
    {
        m_tools = std::make_unique<faults::ToolsFolder>();
        QVERIFY(!testmedia::write_script(m_tools->path("FFmpeg.exe"), kScript).isEmpty());
        m_clock = std::make_unique<TestClock>();
        m_clock->on_sleep = [](unsigned long) {};
        m_owner = std::make_unique<QObject>();
        m_trace.clear();
        for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
            QVERIFY(testmedia::write_file(media(name), "x"));
    }
    void cleanup()
    {
        m_owner.reset();
        m_clock.reset();
        m_tools.reset();
    }

    void capture_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("reconnect");
        QTest::addColumn<QString>("runs");  // what each attempt prints
        QTest::addColumn<QString>("steps"); // what the session reports and what the test does, in turn
        QTest::addColumn<QString>("files"); // the number of the first file of each attempt
        const QString rtmp = "rtmp://h/live/a";
        // Each good reconnect starts the waits again from the shortest; a file completed keeps its number.
        QTest::newRow("dropped, still away, back, dropped again")
            << rtmp << true << "p3 file:a.mp4 e1 | x:connect e1 | p2 file:a_2.mp4 e1 | p1"
            << "recording:a.mp4 dropped !pass:500 dropped !pass:1000 resumed:a_2.mp4 dropped !pass:500 "
               "resumed:a_3.mp4"
            << "1 2 2 3";
        // An attempt that recorded but was ended before it could say its file was complete still used its number.
        QTest::newRow("a playlist that stopped growing is a drop")
            << "http://h/a.m3u8" << true << "p3 e1 | p1"
            << "recording:a.mp4 dropped !pass:500 resumed:a_2.mp4"
            << "1 2";
        QTest::newRow("a playlist that says it is complete ends the capture")
            << "http://h/a.M3U8?k=1" << true << "p3 w f e0"
            << "recording:a.mp4 !go ended"
            << "1";
        // The marker belongs to the run that printed it.
        QTest::newRow("after a marker, a later run's good end is still a drop")
            << "http://h/a.m3u8" << true << "p3 w f e1 | p1 e0 | p1"
            << "recording:a.mp4 !go dropped !pass:500 resumed:a_2.mp4 dropped !pass:500 resumed:a_3.mp4"
            << "1 2 3";
        QTest::newRow("a stream that ends well is a drop") << rtmp << true << "p3 f e0 | p1"
                                                           << "recording:a.mp4 dropped !pass:500 resumed:a_2.mp4"
                                                           << "1 2";
        QTest::newRow("reconnect off: it ends") << rtmp << false << "p3 e1"
                                                << "recording:a.mp4 ended"
                                                << "1";
        QTest::newRow("no stream before anything was recorded") << rtmp << true << "x:stream e1"
                                                                << "failed:抓流失败，Rtmp地址不存在，请检查！"
                                                                << "1";
    }
    void capture()
    {
        QFETCH(QString, source);
        QFETCH(bool, reconnect);
        QFETCH(QString, runs);
        QFETCH(QString, steps);
        QFETCH(QString, files);
        script(runs);
        CaptureSession session(m_owner.get());
        session.set_reconnect(reconnect);
        connect(&session, &CaptureSession::sg_dropped, [this] { m_trace << "dropped"; });
        connect(&session, &CaptureSession::sg_recording, [this](const QString& file, bool resumed) {
            m_trace << (resumed ? "resumed:" : "recording:") + QFileInfo(file).fileName();
        });
        connect(&session, &CaptureSession::sg_ended, [this] { m_trace << "ended"; });
        connect(&session, &CaptureSession::sg_failed, [this](const QString& why) { m_trace << "failed:" + why; });
        QVERIFY(session.start({source, media("a.mp4")}));
        follow(steps, {});
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(runs_seen(false).join(' '), files, kWait);
    }

    void push_data()
    {
        QTest::addColumn<bool>("list");       // the whole list over one connection
        QTest::addColumn<QString>("entries"); // the list ("gone": a file that is not there)
        QTest::addColumn<QString>("runs");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("pushed");  // each run's entry and where in it it began
        QTest::addColumn<QString>("answers"); // the list push's answers to each run (empty: none)
        // Each good reconnect starts the waits again; each resumes from where the entry had got to.
        QTest::newRow("dropped, still away, back, dropped again")
            << false << "a"
            << "p3 e1 | x:connect e1 | p2 e1 | p1"
            << "progress waiting:2 !pass:2000 reconnecting waiting:4 !pass:4000 reconnecting progress waiting:2 "
               "!pass:2000 reconnecting progress"
            << "a.mp4@0.000 a.mp4@3.000 a.mp4@3.000 a.mp4@5.000"
            << "";
        // The marker belongs to the run that printed it.
        QTest::newRow("an entry pushed whole, the next one drops")
            << false << "a b"
            << "p3 w f | p1 e1 | p1"
            << "progress !go finished !start:b.mp4 progress waiting:2 !pass:2000 reconnecting progress"
            << "a.mp4@0.000 b.mp4@0.000 b.mp4@1.000"
            << "";
        QTest::newRow("a drop before the push got going is a failure") << false << "a"
                                                                       << "x:connect e1"
                                                                       << "failed:直播失败，连接服务器失败！"
                                                                       << "a.mp4@0.000"
                                                                       << "";
        QTest::newRow("what no retry mends is told at once") << false << "a"
                                                             << "p3 w x:format e1"
                                                             << "progress !go failed:直播失败，视频格式不支持！"
                                                             << "a.mp4@0.000"
                                                             << "";
        // The next entry after the last handed, a file that is not there passed over, the first after the last;
        // a drop resumes the entry on.
        QTest::newRow("one connection: entries handed, the entry on resumed")
            << true << "a gone b"
            << "on:0 want:1 w on:1 w p4 e1 | want:1 w"
            << "on:a.mp4 on:b.mp4 !go progress waiting:2 !pass:2000 reconnecting"
            << "a.mp4@0.000 b.mp4@4.000"
            << "b.mp4 | a.mp4";
        // The user moves entries while the list goes out: the next is the one after the last handed, as the list
        // stands when the transcoder asks.
        QTest::newRow("one connection: the list as it stands when asked") << true << "a b c"
                                                                          << "w want:1 w want:2 w want:3 w"
                                                                          << "!list:b,a,c !go"
                                                                          << "a.mp4@0.000"
                                                                          << "c.mp4,b.mp4,a.mp4";
        QTest::newRow("one connection: every entry left out in a row, the list ends")
            << true << "a b"
            << "want:1 w skip:1 want:2 w skip:2 want:3 w"
            << "skipped:b.mp4 skipped:a.mp4"
            << "a.mp4@0.000"
            << "b.mp4,a.mp4,";
        // Several destinations: one lost is tried again after its own wait, which grows while its server stays away
        // and starts again once it is back; the other is not touched.
        QTest::newRow("several: a destination lost, still away, back, lost again")
            << false << "a"
            << "d+0 d+1 d-1 w d-1:connect w d+1 d-1 w"
            << "d0:connecting d1:connecting d0:on d1:on d1:waiting:2 !pass:2000 d1:connecting d1:waiting:4 !pass:4000 "
               "d1:connecting d1:on d1:waiting:2 !pass:2000 d1:connecting"
            << "a.mp4@0.000"
            << "zo_again|1,zo_again|1,zo_again|1";
        // One that never got on air says why and stays down; the push goes on with the other.
        QTest::newRow("several: one refused at once, the other goes on")
            << false << "a"
            << "d+0 d-1:stream w p3"
            << "d0:connecting d1:connecting d0:on d1:failed:地址不存在或被占用 !go progress"
            << "a.mp4@0.000"
            << "";
        QTest::newRow("several: every one failed, the push fails")
            << false << "a"
            << "d-0:connect d-1:certificate"
            << "d0:connecting d1:connecting d0:failed:连接服务器失败 d1:failed:服务器证书未通过验证 "
               "failed:直播失败，所有推流地址都无法推送！"
            << "a.mp4@0.000"
            << "";
        // A wait that belongs to a run that is over tries nothing in the next one.
        QTest::newRow("several: another entry during a wait")
            << false << "a b"
            << "d+0 d+1 d-1 | w"
            << "d0:connecting d1:connecting d0:on d1:on d1:waiting:2 !start:b.mp4 d0:connecting d1:connecting "
               "!pass:2000 !none"
            << "a.mp4@0.000 b.mp4@0.000"
            << "";
    }
    void push()
    {
        QFETCH(bool, list);
        QFETCH(QString, entries);
        QFETCH(QString, runs);
        QFETCH(QString, steps);
        QFETCH(QString, pushed);
        QFETCH(QString, answers);
        script(runs);
        m_entries.clear();
        for (const QString& name : entries.split(' '))
            m_entries << media(name + ".mp4");
        PushSession session(m_owner.get(), *this);
        session.set_reconnect(true);
        const auto note = [this](const char* what) { return [this, what] { m_trace << what; }; };
        // A file's name, or a reason, after what was reported.
        const auto with = [this](const char* what) {
            return [this, what](const QString& text) { m_trace << what + QFileInfo(text).fileName(); };
        };
        connect(&session, &PushSession::sg_progress, note("progress"));
        connect(&session, &PushSession::sg_finished, note("finished"));
        connect(&session, &PushSession::sg_reconnecting, note("reconnecting"));
        connect(&session, &PushSession::sg_waiting, [this](int s) { m_trace << QString("waiting:%1").arg(s); });
        connect(&session, &PushSession::sg_failed, with("failed:"));
        connect(&session, &PushSession::sg_entry_on, with("on:"));
        connect(&session, &PushSession::sg_entry_skipped, with("skipped:"));
        connect(&session, &PushSession::sg_destination, [&](int i) {
            const PushDestination& d = session.destinations()[i];
            const char* const states[] = {"connecting", "on", "waiting:", "failed:"};
            m_trace << QString("d%1:%2").arg(i).arg(states[int(d.state)]) +
                           (d.state == PushDestination::State::Waiting ? QString::number(d.wait_s) : d.why);
        });
        const auto start = [&](const QString& path) {
            if (QString(QTest::currentDataTag()).startsWith("several"))
                session.start(path, {PushDestination("rtmp://h/live/k"), PushDestination("rtmps://j/live/k")}, list);
            else
                session.start(path, "rtmp://h/live/k", list);
        };
        start(media("a.mp4"));
        follow(steps, start);
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(runs_seen(true).join(' '), pushed, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(heard_answers(), answers, kWait);
    }
};

QTEST_GUILESS_MAIN(TestSessions)
#include "test_sessions.moc"
