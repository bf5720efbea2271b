// The live play list: its file, its entry rules, moving on and its menu.

#include "modalboxes.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/fl_playlist.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

struct Owner : PlayListOwner
{
    QStringList pushed;
    void do_live(const QString& path) override { pushed << path; }
};

QByteArray list_file()
{
    return QFile::exists(FL_PlayList::save_path()) ? testmedia::read_file(FL_PlayList::save_path()) : "(missing)";
}

} // namespace

class TestFlPlayList : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        testenv::isolate_host_home();
        // Cut at 511 bytes, the long path must not name an existing folder.
        for (int length = 100; m_long.size() < 600 || m_long.at(511) == '/'; ++length) {
            m_long = m_dir.path();
            while (m_long.size() < 600)
                m_long += "/" + QString(length, QChar('d'));
        }
        m_long += "/long.mp4";
        const QByteArray clip = testmedia::read_file(testmedia::make_clip(at("clip.mp4"), 1, 160, 120));
        for (const QString& name : {at("a.mp4"), at("b.mp4"), at("c.mp4"), at("A.mp4"), at("视频.mp4"), m_long})
            QVERIFY(!clip.isEmpty() && testmedia::write_file(name, clip));
    }
    void init() { new_list(); }
    void cleanup() { m_list.reset(); }
    void load_data()
    {
        QTest::addColumn<QString>("content"); // %d: the media folder
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("blank, duplicate and vanished lines, in file order")
            << QString("\n%d/c.mp4\n\n%d/gone.mp4\n%d/a.mp4\n%d/c.mp4\n") << QStringList{"c.mp4", "a.mp4"};
        QTest::newRow("backslashes match slashes, letter case counts")
            << QString("%d\\a.mp4\n%d/a.mp4\n%d/A.mp4\n") << QStringList{"a.mp4", "A.mp4"};
        QTest::newRow("blanks, CR LF and a UTF-8 name") << "  %d/视频.mp4 \t\r\n" << QStringList{"视频.mp4"};
        QTest::newRow("a line past 511 bytes is read in pieces") << m_long + "\n%d/b.mp4\n" << QStringList{"b.mp4"};
    }
    void load()
    {
        QFETCH(QString, content);
        QFETCH(QStringList, expected);
        m_list.reset();
        QVERIFY(testmedia::write_file(FL_PlayList::save_path(), content.replace("%d", m_dir.path()).toUtf8()));

        // The file is read a moment after the list is made, not at once.
        m_list = std::make_unique<FL_PlayList>();
        QCOMPARE(m_list->count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(paths(), expected, 30000);
    }

    void export_and_reload()
    {
        m_list->add_movieItem(at("b.mp4").replace('/', '\\'), false);
        m_list->add_movieItem(at("视频.mp4"), false);
        m_list->add_movieItem(at("a.mp4"), false);
        m_list->exportPlayList();
        QCOMPARE(list_file(), QString("%1/b.mp4\n%1/视频.mp4\n%1/a.mp4\n").arg(m_dir.path()).toUtf8());

        m_list = std::make_unique<FL_PlayList>();
        QTRY_COMPARE_WITH_TIMEOUT(paths(), QStringList({"b.mp4", "视频.mp4", "a.mp4"}), 30000);
        m_list->add_movieItem(at("a.mp4"), true); // already there: only marked
        QCOMPARE(m_list->current_movie(), m_list->item(2));
        QCOMPARE(m_list->count(), 3);
    }

    // Dropped from a file manager: files of a media type and a folder's media files, by name.
    void drop()
    {
        QVERIFY(QDir().mkpath(at("dropped")));
        for (const QString& name : {at("dropped/y.mp4"), at("dropped/x.MKV"), at("notes.txt")})
            QVERIFY(testmedia::write_file(name, "x"));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(at("b.mp4")), QUrl::fromLocalFile(at("notes.txt")),
                      QUrl::fromLocalFile(at("dropped")), QUrl("https://example.org/a.mp4")});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_list->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_list->viewport(), &drop);
        QCOMPARE(paths(), QStringList({"b.mp4", "dropped/x.MKV", "dropped/y.mp4"}));
    }

    void moving_on_data()
    {
        QTest::addColumn<int>("current"); // row started first; -1 none; -2 row 1, then removed
        QTest::addColumn<bool>("next");
        QTest::addColumn<bool>("vanished"); // the file of row 1 is deleted before moving on
        QTest::addColumn<int>("started");   // row started by moving on, -1 none
        QTest::newRow("next") << 0 << true << false << 1;
        QTest::newRow("next after the last wraps to the first") << 2 << true << false << 0;
        QTest::newRow("previous") << 2 << false << false << 1;
        QTest::newRow("previous from the first does nothing") << 0 << false << false << -1;
        QTest::newRow("nothing started") << -1 << true << false << -1;
        QTest::newRow("started entry removed") << -2 << true << false << -1;
        QTest::newRow("next file gone: message, entry removed, mark kept") << 0 << true << true << -1;
    }
    void moving_on()
    {
        QFETCH(int, current);
        QFETCH(bool, next);
        QFETCH(bool, vanished);
        QFETCH(int, started);
        QVERIFY(testmedia::write_file(at("doomed.mp4"), testmedia::read_file(at("a.mp4"))));
        new_list({"a.mp4", "doomed.mp4", "c.mp4"});
        if (current != -1)
            m_list->slot_itemDoubleClicked(m_list->item(current >= 0 ? current : 1));
        if (current == -2)
            m_list->del_movieItem(1);
        if (vanished)
            QVERIFY(QFile::remove(at("doomed.mp4")));
        m_owner.pushed.clear();
        QListWidgetItem* before = m_list->current_movie();

        ModalBoxes boxes;
        m_list->play_pre_next(next);
        QListWidgetItem* now = m_list->item(started);
        QCOMPARE(m_list->current_movie(), started < 0 ? before : now);
        QCOMPARE(m_owner.pushed, now ? QStringList{now->data(FL_PlayList::PathRole).toString()} : QStringList{});
        QCOMPARE(boxes.count() ? boxes.last().seen() : QString(),
                 vanished ? QString("提示|该视频文件已经被移动或删除,\n该列表项无效!|确定") : QString());
        if (vanished) {
            QCOMPARE(paths(), QStringList({"a.mp4", "c.mp4"}));
            QCOMPARE(before->foreground().color(), QColor(45, 152, 223));
        }
        if (!now)
            return;
        QVERIFY(now->isSelected() && !before->isSelected());
        QCOMPARE(now->foreground().color(), QColor(45, 152, 223));
        QCOMPARE(before->foreground().color(), QColor(Qt::lightGray));
        // The entry never started keeps the default colour.
        QVERIFY(!m_list->item(3 - started - m_list->row(before))->data(Qt::ForegroundRole).isValid());
    }

    void context_menu_data()
    {
        QTest::addColumn<int>("row"); // under the mouse; -1 empty space
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QStringList>("left");
        const QStringList all{"打开文件所在位置", "删除当前选中的行", "添加视频到列表", "清空直播列表记录"};
        QTest::newRow("delete the entry under the mouse, not the selected one")
            << 1 << all << QStringList{"a.mp4", "c.mp4"};
        QTest::newRow("empty space offers add and clear only") << -1 << all.mid(2) << QStringList{};
    }
    void context_menu()
    {
        QFETCH(int, row);
        QFETCH(QStringList, offered);
        QFETCH(QStringList, left);
        new_list({"a.mp4", "b.mp4", "c.mp4"});
        m_list->exportPlayList();
        m_list->item(0)->setSelected(true);

        // The menu runs its own loop: look at it and choose (the second action
        // offered: delete, or clear) from inside that loop.
        QStringList seen;
        QTimer::singleShot(0, m_list.get(), [&seen] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            for (QAction* action : menu->actions())
                seen << action->text();
            menu->setActiveAction(menu->actions().value(1));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        const QPoint pos =
            row < 0 ? QPoint(10, m_list->viewport()->height() - 5) : m_list->visualItemRect(m_list->item(row)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, m_list->viewport()->mapToGlobal(pos));
        QApplication::sendEvent(m_list->viewport(), &event);
        QCOMPARE(seen, offered);
        QCOMPARE(paths(), left);
        if (left.isEmpty()) // cleared: the file is empty at once
            QCOMPARE(list_file(), QByteArray());
    }

private:
    QString at(const QString& name) const { return m_dir.filePath(name); }
    void new_list(const QStringList& names = {})
    {
        m_list.reset(); // writes the file as it goes
        QFile::remove(FL_PlayList::save_path());
        m_owner.pushed.clear();
        m_list = std::make_unique<FL_PlayList>();
        m_list->set_owner(&m_owner);
        m_list->resize(300, 300);
        m_list->show();
        for (const QString& name : names)
            m_list->add_movieItem(at(name), false);
    }

    QStringList paths() const
    {
        QStringList list;
        for (int row = 0; row < m_list->count(); ++row)
            list << m_list->item(row)->data(FL_PlayList::PathRole).toString().remove(m_dir.path() + "/");
        return list;
    }

    QTemporaryDir m_dir;
    QString m_long; // a path longer than one 511-byte read
    TestHost m_host;
    std::unique_ptr<FL_PlayList> m_list;
    Owner m_owner;
};

QTEST_MAIN(TestFlPlayList)
#include "test_fl_playlist.moc"
