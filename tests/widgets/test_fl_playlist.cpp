// The live play list: its file, its entry rules, moving on, its menu and the FLV warning.

#include "modalboxes.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/fl_playlist.h"

#include <QFutureWatcherBase>
#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

struct Owner : PlayListOwner
{
    QStringList pushed;
    void do_live(const QString& path) override { pushed << path; }
};

QByteArray read_all(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class TestFlPlayList : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void load_data();
    void load();
    void export_reload_and_clear();
    void moving_on_data();
    void moving_on();
    void starting_a_vanished_entry();
    void context_menu_data();
    void context_menu();
    void flv_mark_data();
    void flv_mark();

private:
    QString at(const QString& name) const { return m_dir.filePath(name); }
    void new_list();
    QStringList paths() const;
    QStringList run_menu(int row, const QString& choice);

    QTemporaryDir m_dir;
    QString m_long; // a path longer than one 511-byte read
    std::unique_ptr<TestHost> m_host;
    std::unique_ptr<FL_PlayList> m_list;
    Owner m_owner;
};

void TestFlPlayList::initTestCase()
{
    testenv::isolate_host_home();
    m_host = std::make_unique<TestHost>();
    // Cut at 511 bytes, the path must not name an existing folder.
    QString folder = m_dir.path();
    for (int length = 100; folder.size() < 600 || folder.at(511) == '/'; ++length) {
        folder = m_dir.path();
        while (folder.size() < 600)
            folder += "/" + QString(length, QChar('d'));
    }
    QVERIFY(QDir().mkpath(folder));
    m_long = folder + "/long.mp4";
    const QString clip = testmedia::make_clip(at("clip.mp4"), 1, 160, 120);
    QVERIFY(!clip.isEmpty());
    for (const QString& name : {at("a.mp4"), at("b.mp4"), at("c.mp4"), at("A.mp4"), at("视频.mp4"), m_long})
        QVERIFY(QFile::copy(clip, name));
}

void TestFlPlayList::init()
{
    QFile::remove(FL_PlayList::save_path());
    m_owner.pushed.clear();
    new_list();
}

void TestFlPlayList::cleanup()
{
    m_list.reset();
}

void TestFlPlayList::new_list()
{
    m_list.reset();
    m_list = std::make_unique<FL_PlayList>();
    m_list->set_owner(&m_owner);
    m_list->resize(300, 300);
    m_list->show();
}

QStringList TestFlPlayList::paths() const
{
    QStringList list;
    for (int row = 0; row < m_list->count(); ++row)
        list << m_list->item(row)->data(FL_PlayList::PathRole).toString();
    return list;
}

void TestFlPlayList::load_data()
{
    QTest::addColumn<QString>("content"); // %d: the media folder
    QTest::addColumn<QStringList>("expected");
    const QString d = m_dir.path();
    QTest::newRow("blank, duplicate and vanished lines") << "\n%d/a.mp4\n\n%d/gone.mp4\n%d/b.mp4\n%d/a.mp4\n"
                                                         << QStringList{d + "/a.mp4", d + "/b.mp4"};
    QTest::newRow("file order is list order") << "%d/c.mp4\n%d/a.mp4\n" << QStringList{d + "/c.mp4", d + "/a.mp4"};
    QTest::newRow("backslashes match slashes") << "%d\\a.mp4\n%d/a.mp4\n" << QStringList{d + "/a.mp4"};
    QTest::newRow("letter case makes two entries") << "%d/a.mp4\n%d/A.mp4\n" << QStringList{d + "/a.mp4", d + "/A.mp4"};
    QTest::newRow("blanks around a line, CR LF") << "  %d/b.mp4 \t\r\n" << QStringList{d + "/b.mp4"};
    QTest::newRow("UTF-8 name") << "%d/视频.mp4\n" << QStringList{d + "/视频.mp4"};
    QTest::newRow("a line past 511 bytes is read in pieces") << m_long + "\n%d/c.mp4\n" << QStringList{d + "/c.mp4"};
}

void TestFlPlayList::load()
{
    QFETCH(QString, content);
    QFETCH(QStringList, expected);
    m_list.reset(); // a list writes its file as it goes
    QFile file(FL_PlayList::save_path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QString(content).replace("%d", m_dir.path()).toUtf8());
    file.close();

    new_list();
    auto* timer = m_list->findChild<QTimer*>("load_timer");
    QVERIFY(timer && timer->isActive() && timer->isSingleShot());
    QCOMPARE(timer->interval(), 500);
    QCOMPARE(m_list->count(), 0);
    QTRY_VERIFY(!timer->isActive());
    QCOMPARE(paths(), expected);
}

void TestFlPlayList::export_reload_and_clear()
{
    m_list->add_movieItem(at("b.mp4").replace('/', '\\'), false);
    m_list->add_movieItem(at("视频.mp4"), false);
    m_list->add_movieItem(at("a.mp4"), false);
    m_list->exportPlayList();
    const QString d = m_dir.path();
    QCOMPARE(read_all(FL_PlayList::save_path()), QString("%1/b.mp4\n%1/视频.mp4\n%1/a.mp4\n").arg(d).toUtf8());

    const QStringList before = paths();
    new_list();
    QTRY_COMPARE(paths(), before);

    m_list->clearPlayList();
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(read_all(FL_PlayList::save_path()), QByteArray());
}

void TestFlPlayList::moving_on_data()
{
    QTest::addColumn<int>("current"); // -1: none started; -2: the started entry was then removed
    QTest::addColumn<bool>("next");
    QTest::addColumn<int>("started"); // row started by moving on, -1 none
    QTest::newRow("next") << 0 << true << 1;
    QTest::newRow("next after the last wraps to the first") << 2 << true << 0;
    QTest::newRow("previous") << 2 << false << 1;
    QTest::newRow("previous from the first does nothing") << 0 << false << -1;
    QTest::newRow("nothing started") << -1 << true << -1;
    QTest::newRow("started entry removed") << -2 << true << -1;
}

void TestFlPlayList::moving_on()
{
    QFETCH(int, current);
    QFETCH(bool, next);
    QFETCH(int, started);
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        m_list->add_movieItem(at(name), false);
    if (current != -1)
        m_list->slot_itemDoubleClicked(m_list->item(current >= 0 ? current : 1));
    if (current == -2)
        m_list->del_movieItem(1);
    m_owner.pushed.clear();
    QListWidgetItem* before = m_list->current_movie();

    m_list->play_pre_next(next);
    if (started < 0) {
        QVERIFY(m_owner.pushed.isEmpty());
        QCOMPARE(m_list->current_movie(), before);
        return;
    }
    QListWidgetItem* now = m_list->item(started);
    QCOMPARE(m_owner.pushed, QStringList{now->data(FL_PlayList::PathRole).toString()});
    QCOMPARE(m_list->current_movie(), now);
    QCOMPARE(now->foreground().color(), QColor(45, 152, 223));
    QVERIFY(now->isSelected() && !before->isSelected());
    QCOMPARE(before->foreground().color(), QColor(Qt::lightGray));
    // An entry never started keeps the default colour.
    QVERIFY(!m_list->item(3 - started - m_list->row(before))->data(Qt::ForegroundRole).isValid());
}

void TestFlPlayList::starting_a_vanished_entry()
{
    QFile::copy(at("a.mp4"), at("doomed.mp4"));
    m_list->add_movieItem(at("a.mp4"), true);
    m_list->add_movieItem(at("doomed.mp4"), false);
    QListWidgetItem* marked = m_list->current_movie();
    QVERIFY(QFile::remove(at("doomed.mp4")));

    ModalBoxes boxes;
    m_list->slot_itemDoubleClicked(m_list->item(1));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QString("提示"));
    QCOMPARE(boxes.last().text, QString("该视频文件已经被移动或删除,\n该列表项无效!"));
    QCOMPARE(boxes.last().buttons, QStringList{"确定"});
    QCOMPARE(paths(), QStringList{at("a.mp4")});
    QVERIFY(m_owner.pushed.isEmpty());
    QCOMPARE(m_list->current_movie(), marked);
    QCOMPARE(marked->foreground().color(), QColor(45, 152, 223));
}

QStringList TestFlPlayList::run_menu(int row, const QString& choice)
{
    QStringList offered;
    QTimer::singleShot(0, m_list.get(), [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        for (QAction* action : menu->actions()) {
            offered << action->text();
            if (action->text() == choice)
                menu->setActiveAction(action);
        }
        QTest::keyClick(menu, Qt::Key_Return);
    });
    const QPoint pos =
        row < 0 ? QPoint(10, m_list->viewport()->height() - 5) : m_list->visualItemRect(m_list->item(row)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, m_list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(m_list->viewport(), &event);
    return offered;
}

void TestFlPlayList::context_menu_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QStringList>("left");
    const QStringList all{"打开文件所在位置", "删除当前选中的行", "添加视频到列表", "清空直播列表记录"};
    QTest::newRow("delete the entry under the mouse, not the selected one")
        << 1 << all[1] << all << QStringList{at("a.mp4"), at("c.mp4")};
    QTest::newRow("empty space offers add and clear only") << -1 << all[3] << all.mid(2) << QStringList{};
}

void TestFlPlayList::context_menu()
{
    QFETCH(int, row);
    QFETCH(QString, choice);
    QFETCH(QStringList, offered);
    QFETCH(QStringList, left);
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4"})
        m_list->add_movieItem(at(name), false);
    m_list->exportPlayList();
    m_list->item(0)->setSelected(true);

    QCOMPARE(run_menu(row, choice), offered);
    QCOMPARE(paths(), left);
    if (left.isEmpty())
        QCOMPARE(read_all(FL_PlayList::save_path()), QByteArray());
}

void TestFlPlayList::flv_mark_data()
{
    QTest::addColumn<QStringList>("codecs");
    QTest::addColumn<QString>("reason"); // empty: no mark
    QTest::newRow("H.264 and AAC") << QStringList{"-c:v", "libx264", "-c:a", "aac"} << "";
    QTest::newRow("HEVC video") << QStringList{"-c:v", "libx265", "-c:a", "aac"} << "视频编码 hevc";
    QTest::newRow("Opus audio") << QStringList{"-c:v", "libx264", "-c:a", "libopus"} << "音频编码 opus";
}

void TestFlPlayList::flv_mark()
{
    QFETCH(QStringList, codecs);
    QFETCH(QString, reason);
    const QString clip = at(QString(QTest::currentDataTag()).replace(' ', '_') + ".mkv");
    QVERIFY(testmedia::ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=size=160x120:duration=1", "-f", "lavfi", "-i",
                                          "sine=duration=1", "-pix_fmt", "yuv420p", "-x265-params", "log-level=error"} +
                              codecs + QStringList{clip}));
    m_list->add_movieItem(clip, false);
    QTRY_VERIFY(m_list->findChildren<QFutureWatcherBase*>().isEmpty());
    const QStringList problems = m_list->item(0)->data(FL_PlayList::FlvProblemRole).toStringList();
    QCOMPARE(problems.size(), reason.isEmpty() ? 0 : 1);
    QCOMPARE(m_list->item(0)->toolTip().left(reason.size()), reason);
}

QTEST_MAIN(TestFlPlayList)
#include "test_fl_playlist.moc"
