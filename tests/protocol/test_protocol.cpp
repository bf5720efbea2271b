// Each message written by one side and read by the other, to the edge of every field.

#include "protocol/command.h"
#include "protocol/conversion.h"
#include "protocol/repair.h"
#include "protocol/transcoder.h"
#include "testmedia.h"

#include <QtTest>

#include <climits>

using protocol::Outcome;

namespace {

const std::vector<Outcome> kAll = {Outcome::UnsupportedFormat, Outcome::ConnectFailed, Outcome::NoStream,
                                   Outcome::UnknownProtocol, Outcome::UnknownAddress};

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void progress_round_trip_data()
    {
        QTest::addColumn<QString>("fields"); // frame fps size(kB) centiseconds bitrate => frame fps size time bitrate
        QTest::newRow("start") << "0 0 0 0 0 => 0 0 0 00:00:00.00 0";
        QTest::newRow("an hour and a bit") << "90000 25 1024 366123 838.94 => 90000 25 1024 01:01:01.23 838.9";
        QTest::newRow("last centisecond of 99 hours") << "1 0.5 1 35999999 0.04 => 1 0.5 1 99:59:59.99 0";
        QTest::newRow("a hundred hours") << "1 1 1 36000000 1 => 1 1 1 100:00:00.00 1";
        QTest::newRow("largest frame and size")
            << "2147483647 1 9223372036854775807 100 1 => 2147483647 1 9223372036854775807 00:00:01.00 1";
        QTest::newRow("negatives as nothing") << "3 -5 -7 -100 -1 => 3 0 0 00:00:00.00 0";
        QTest::newRow("rates bounded") << "3 1e12 3 100 1e12 => 3 1e+09 3 00:00:01.00 1e+09";
    }
    void progress_round_trip()
    {
        QFETCH(QString, fields);
        const QStringList in = fields.section(" => ", 0, 0).split(' ');
        const std::string line = protocol::write_progress(
            {in[0].toLongLong(), in[1].toDouble(), in[2].toLongLong(), in[3].toLongLong(), in[4].toDouble()});
        QCOMPARE(protocol::classify(line, kAll).kind, protocol::ChunkKind::Progress);
        protocol::ProgressFields f;
        QCOMPARE(protocol::read_progress(line, f), 3);
        QCOMPARE(
            QString::asprintf("%d %g %lld %s %g", f.frame, double(f.fps), qlonglong(f.size), f.time, double(f.bitrate)),
            fields.section(" => ", 1));
    }

    void messages_told_apart_data()
    {
        QTest::addColumn<int>("outcome");
        for (const Outcome outcome : kAll)
            QTest::newRow(protocol::phrase(outcome)) << int(outcome);
    }
    void messages_told_apart()
    {
        QFETCH(int, outcome);
        const Outcome o = Outcome(outcome);
        const std::string line = protocol::write_phrase(o);
        const protocol::Chunk found = protocol::classify(line, kAll);
        QCOMPARE(found.kind, protocol::ChunkKind::ErrorPhrase);
        QCOMPARE(found.outcome, o);
        // A window that does not look for it sees other text; a phrase outranks a finish marker after it.
        std::vector<Outcome> others = kAll;
        others.erase(std::find(others.begin(), others.end(), o));
        QCOMPARE(protocol::classify(line, others).kind, protocol::ChunkKind::Other);
        QCOMPARE(protocol::classify(line + protocol::write_finish(), {o}).kind, protocol::ChunkKind::ErrorPhrase);
        QCOMPARE(protocol::classify("log\n" + protocol::write_finish(), kAll).kind, protocol::ChunkKind::Finished);
    }

    void repair_report_round_trip_data()
    {
        QTest::addColumn<int>("progress");
        QTest::addColumn<int>("total");
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<QByteArray>("read");
        QTest::newRow("under way") << 120 << 1000 << QByteArray("walking") << QByteArray("walking");
        QTest::newRow("no state") << 0 << 1000 << QByteArray() << QByteArray();
        QTest::newRow("63 bytes, the most a state holds") << 1 << 2 << QByteArray(63, 's') << QByteArray(63, 's');
        QTest::newRow("64 bytes are cut") << 1 << 2 << QByteArray(64, 's') << QByteArray(63, 's');
        QTest::newRow("the ends of an int") << INT_MIN << INT_MAX << QByteArray("x") << QByteArray("x");
    }
    void repair_report_round_trip()
    {
        QFETCH(int, progress);
        QFETCH(int, total);
        QFETCH(QByteArray, state);
        QFETCH(QByteArray, read);
        const std::string message = protocol::write_repair_report(progress, total, state.toStdString());
        QVERIFY(message.size() < 4096); // the pipe's buffer
        const protocol::RepairReport report = protocol::read_repair_report(message.data(), int(message.size()));
        QCOMPARE(report.pro, progress);
        QCOMPARE(report.total, total);
        QCOMPARE(QByteArray::fromStdString(report.state), read);
    }

    void job_round_trip_data()
    {
        QTest::addColumn<int>("fps");
        QTest::addColumn<int>("read");
        QTest::addColumn<bool>("crlf");
        QTest::newRow("25") << 25 << 25 << false;
        QTest::newRow("written in text mode elsewhere") << 30 << 30 << true;
        QTest::newRow("999, the largest rate") << 999 << 999 << false;
        QTest::newRow("1000 is no rate") << 1000 << 0 << false;
        QTest::newRow("unknown") << 0 << 0 << false;
    }
    void job_round_trip()
    {
        QFETCH(int, fps);
        QFETCH(int, read);
        QFETCH(bool, crlf);
        const protocol::RepairJob job{"/v/参考 1.mp4", "/v/损坏 1.mp4", "/v/损坏 1_zo_fixed.mp4", fps};
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("mp4.rp")).toStdString();
        QVERIFY(protocol::write_job_file(path, job));
        const QString file = QString::fromStdString(path);
        QVERIFY(!crlf || testmedia::write_file(file, testmedia::read_file(file).replace("\n", "\r\n")));
        protocol::RepairJob got;
        std::string error;
        QVERIFY2(protocol::read_job_file(path, got, error), error.c_str());
        QCOMPARE(got.reference, job.reference);
        QCOMPARE(got.damaged, job.damaged);
        QCOMPARE(got.output, job.output);
        QCOMPARE(got.fps, read);
        // A missing line is refused, with a reason.
        QVERIFY(!protocol::read_job(protocol::write_job({"a", "", "c", 25}), got, error) && !error.empty());
    }

    // A list push's entry records: a reason never runs past its line, nonsense is no record.
    void entry_round_trip_data()
    {
        QTest::addColumn<qlonglong>("entry");
        QTest::addColumn<int>("state"); // protocol::EntryState
        QTest::addColumn<QString>("why");
        QTest::addColumn<QString>("read"); // what the reader makes of it: "N state why"
        QTest::newRow("on") << 0LL << int(protocol::EntryState::On) << QString() << "0 1 ";
        QTest::newRow("want, a large number")
            << 123456789012LL << int(protocol::EntryState::Want) << QString() << "123456789012 2 ";
        QTest::newRow("skipped, the reason's first line only")
            << 7LL << int(protocol::EntryState::Skipped) << "codec hevc | not for flv\nCould not write header"
            << "7 3 codec hevc | not for flv";
    }
    void entry_round_trip()
    {
        QFETCH(qlonglong, entry);
        QFETCH(int, state);
        QFETCH(QString, why);
        QFETCH(QString, read);
        const std::string line = protocol::write_entry(entry, protocol::EntryState(state), why.toStdString());
        QVERIFY(line.back() == '\n' && line.find('\n') == line.size() - 1);
        const protocol::EntryRecord record = protocol::read_entry(std::string_view(line).substr(0, line.size() - 1));
        QCOMPARE(QString("%1 %2 %3").arg(record.entry).arg(int(record.state)).arg(QString::fromStdString(record.why)),
                 read);
        for (const char* other : {"zo_entry|x|on", "zo_entry||on", "zo_entry|1|off", "zo_progress|1|on", "zo_entry|1"})
            QCOMPARE(int(protocol::read_entry(other).state), int(protocol::EntryState::None));
    }

    // The live windows' command lines, read back by the transcoder: its own options at the edges of their range.
    void command_round_trip_data()
    {
        QTest::addColumn<QString>("kind"); // capture: segment, file number; push: from (ms), list
        QTest::addColumn<qlonglong>("a");
        QTest::addColumn<qlonglong>("b");
        QTest::addColumn<QString>("read"); // own options read => ffmpeg's arguments
        const QString out = "-i rtmp://h/a b -vcodec copy /r/a b.mp4";
        QTest::newRow("capture, plain") << "capture" << 0LL << 1LL << "0 1 0 => " + out;
        QTest::newRow("a day's segments, a later file")
            << "capture" << 86400LL << 1000000LL << "86400 1000000 0 => " + out;
        QTest::newRow("beyond the range") << "capture" << 86401LL << 1000001LL << "0 1 0 => " + out;
        QTest::newRow("push resumed") << "push" << 12005LL << 0LL
                                      << "0 1 0 => -re -ss 12.005 -i /m/a b.mp4 -c copy -f flv rtmp://h/k";
        QTest::newRow("list resumed") << "push" << 999LL << 1LL
                                      << "0 1 1 => -re -ss 0.999 -i /m/a b.mp4 -c copy -f flv rtmp://h/k";
    }
    void command_round_trip()
    {
        QFETCH(QString, kind);
        QFETCH(qlonglong, a);
        QFETCH(qlonglong, b);
        QFETCH(QString, read);
        std::vector<std::string> args = kind == "capture"
                                            ? protocol::write_capture({"rtmp://h/a b", "/r/a b.mp4", a, int(b)})
                                            : protocol::write_push({"/m/a b.mp4", "rtmp://h/k", a, b != 0});
        const std::optional<protocol::PushCommand> list = protocol::read_push(args);
        QCOMPARE(bool(list), kind == "push" && b != 0);
        if (list)
            QCOMPARE(QString::fromStdString(list->file + "|" + list->address) + "|" + QString::number(list->from_ms),
                     QString("/m/a b.mp4|rtmp://h/k|%1").arg(a));
        const protocol::OwnOptions own = protocol::take_own_options(args);
        QStringList rest;
        for (const std::string& arg : args)
            rest << QString::fromStdString(arg);
        QCOMPARE(QString("%1 %2 %3 => ").arg(own.segment_seconds).arg(own.file_number).arg(own.list) + rest.join(' '),
                 read);
    }

    // The window's answer to a list push: one line each, read whole however it arrives.
    void answers()
    {
        std::string received = protocol::write_answer("/m/录像 a|b.mp4") + protocol::write_answer("/m/x\nzo_entry");
        received += protocol::write_answer("");
        received += protocol::write_answer("/m/c").substr(0, 3);
        QCOMPARE(protocol::read_answer(received).value_or("?"), std::string("/m/录像 a|b.mp4"));
        QCOMPARE(protocol::read_answer(received).value_or("?"), std::string()); // a line break cannot be said
        QCOMPARE(protocol::read_answer(received).value_or("?"), std::string());
        QVERIFY(!protocol::read_answer(received) && received == "/m/");
    }

    // What kind of source an address names, as the capture and the transcoder both tell it.
    void source_kinds()
    {
        using K = protocol::SourceKind;
        const std::pair<const char*, K> rows[] = {{"/r/a.flv", K::Local},
                                                  {"file:///r/a.m3u8", K::Local},
                                                  {"RTMPS://h/a", K::Flv},
                                                  {"http://h/a.FLV?k=.m3u8", K::Flv},
                                                  {"https://h/a.m3u8#x", K::Playlist},
                                                  {"rtsp://h/a.m3u8", K::Rtsp},
                                                  {"http://h/a.mp4", K::OtherNetwork},
                                                  {"srt://h:1", K::OtherNetwork}};
        for (const auto& [address, kind] : rows)
            QVERIFY2(protocol::source_kind(address) == kind, address);
    }

    void recording_names_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("name");
        // A name that ends like a number is still the user's own: nothing is taken off it.
        QTest::newRow("first keeps its name") << "/r/a_2.mp4" << 1 << "/r/a_2.mp4";
        QTest::newRow("second") << "/r/a_2.mp4" << 2 << "/r/a_2_2.mp4";
        QTest::newRow("twelfth") << "/r/a_2.mp4" << 12 << "/r/a_2_12.mp4";
        QTest::newRow("a dot in the folder, none in the name") << "/r.d/a" << 3 << "/r.d/a_3";
    }
    void recording_names()
    {
        QFETCH(QString, path);
        QFETCH(int, number);
        QFETCH(QString, name);
        QCOMPARE(QString::fromStdString(protocol::recording_file(path.toStdString(), number)), name);
        // What the window names file n is what the transcoder writes from its pattern.
        std::string stem, ext;
        protocol::split_extension(path.toStdString(), stem, ext);
        char patterned[64];
        std::snprintf(patterned, sizeof patterned, protocol::numbered_name(stem, "%d", ext).c_str(), number);
        QCOMPARE(std::string(patterned), protocol::numbered_name(stem, number, ext));
    }

    // A file's whole path comes back with what happened to it, and never reads as a phrase or a marker.
    void file_record_round_trip_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("next"); // the recording goes on in it, rather than it is complete
        QTest::newRow("plain") << QByteArray("/r/a.mp4") << false;
        QTest::newRow("spaces, bars, Chinese") << QString("/录像 文件夹/a | b|zo_finished_2.mp4").toUtf8() << true;
        QTest::newRow("a phrase in the name") << QByteArray("/r/Could not write header.avi") << true;
        QTest::newRow("longest path") << "/" + QByteArray(4094, 'x') << false;
    }
    void file_record_round_trip()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, next);
        const std::string line =
            next ? protocol::write_next_file(path.toStdString()) : protocol::write_file_done(path.toStdString());
        QVERIFY(line.back() == '\n' && line.find('\n') == line.size() - 1);
        QVERIFY(protocol::is_file_record(line));
        const auto read = protocol::read_file_record(std::string_view(line).substr(0, line.size() - 1));
        QVERIFY(read && (read->event == protocol::FileEvent::Next) == next);
        QCOMPARE(QByteArray::fromStdString(read->path), path);
        for (const char* other : {"zo_progress|1", "zo_entry|1|on", "zo_fil|/a", "zo_nex|/a"})
            QVERIFY(!protocol::read_file_record(other));
        QCOMPARE(protocol::write_next_file("/a\nzo_finished"), std::string());
    }

    // The lossless request taken off the command line it was put on; a failed conversion's note read back by
    // the output's exact path only, its reason on one line.
    void conversion_round_trip()
    {
        std::vector<std::string> args{"-i", "a.mp4", "b.mkv"};
        QVERIFY(!protocol::take_copy_request(args));
        const std::vector<std::string> plain = args;
        const std::vector<std::string> request = protocol::copy_request();
        args.insert(args.end() - 1, request.begin(), request.end());
        QVERIFY(protocol::take_copy_request(args) && args == plain);
        args.push_back(request.front()); // the last argument is the output, whatever it says
        QVERIFY(!protocol::take_copy_request(args));

        const std::string out = QString("/导出/a b_zo.rm").toStdString();
        QVERIFY(protocol::write_failure_note(out, "moov atom not found\nConversion failed!"));
        QCOMPARE(protocol::read_failure_note(out).value_or(""), std::string("moov atom not found"));
        QVERIFY(!protocol::read_failure_note(out + "x") && !protocol::read_failure_note("/导出/a b_zo.rmvb"));
        QVERIFY(!protocol::write_failure_note("/a\nb.rm", "why"));
        protocol::remove_failure_note(out);
        QVERIFY(!protocol::read_failure_note(out));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
