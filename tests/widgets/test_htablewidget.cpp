#include "filetree.h"
#include "modalboxes.h"
#include "widgets/hpushbutton.h"
#include "widgets/htablewidgetex.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The limit message with `rows` rows listed, for a folder of `count` files or (-1) a single file.
QString limit(int rows, int count = -1)
{
    const QString text = QStringLiteral("添加失败，一次申请最大支持文件999个，当前已添加文件%1个").arg(rows);
    return count < 0 ? text + "。"
                     : text + QStringLiteral("，\r\n本次选择文件夹包含文件%1个，超过最大文件支持数。").arg(count);
}

const QString kTooMany =
    QStringLiteral("添加失败，一次申请最大支持文件999个，\r\n本次选择文件夹包含文件 >999个，超过最大文件支持数。");
const QString kEmpty = QStringLiteral("添加失败，该目录没有任何文件，");
const QString kDuplicate = QStringLiteral("该文件项已经添加，请勿重复添加!\n");

void compare_boxes(const ModalBoxes& boxes, const QStringList& expected)
{
    QStringList texts;
    for (const ModalBoxes::Box& box : boxes.boxes()) {
        QCOMPARE(box.title, QStringLiteral("提示"));
        QCOMPARE(box.buttons, QStringList{QStringLiteral("确定")});
        texts << box.text;
    }
    texts.sort(); // a folder walk lists in file-system order
    QCOMPARE(texts, expected);
}

} // namespace

class TestHTableWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void adding_data();
    void adding();
    void drops_data();
    void drops();
    void newRow();
    void rowButtons_data();
    void rowButtons();

private:
    QString at(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void TestHTableWidget::initTestCase()
{
    filetree::folder(at("f1"), 1);
    filetree::folder(at("f998"), 998);
    filetree::folder(at("f999"), 999);
    // 1200 files, half of them one level down: the count must descend and stop at 1000.
    filetree::folder(at("big/sub"), 600);
    filetree::folder(at("big"), 600);
    QDir().mkpath(at("empty"));
    QDir().mkpath(at("subonly/a/b"));
    filetree::touch(at("hidden/.clip.mp4"));
    QVERIFY(QFile::link(at("one.mp4"), at("hidden/clip.mp4")));
    filetree::folder(filetree::folder(at("mixed"), 5), 5, ".txt");
    filetree::folder(at("part"), 5);
    for (const char* name : {"one.mp4", "two.mp4", "a.mp4", "A.MP4", "a.mp4.txt", "a.rm", "a.rmvb"})
        QVERIFY(!filetree::touch(at(name)).isEmpty());
}

void TestHTableWidget::adding_data()
{
    QTest::addColumn<QStringList>("first"); // added before the target
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("rowsAfter");
    QTest::addColumn<int>("folderCount"); // -1 for a file
    QTest::addColumn<QStringList>("messages");

    const QStringList none;
    QTest::newRow("998 rows, one file fits") << QStringList{"f998"} << "one.mp4" << 999 << -1 << none;
    QTest::newRow("999 rows, one file refused")
        << QStringList{"f998", "two.mp4"} << "one.mp4" << 999 << -1 << QStringList{limit(999)};
    QTest::newRow("998 rows, folder of one refused")
        << QStringList{"f998"} << "f1" << 998 << 1 << QStringList{limit(998, 1)};
    QTest::newRow("folder of 998 fits") << none << "f998" << 998 << 998 << none;
    QTest::newRow("folder of 999 refused") << none << "f999" << 0 << 999 << QStringList{limit(0, 999)};
    QTest::newRow("folder of 1000+ refused") << none << "big" << 0 << 1000 << QStringList{kTooMany};
    QTest::newRow("empty folder") << none << "empty" << 0 << 0 << QStringList{kEmpty};
    QTest::newRow("only sub-folders") << none << "subonly" << 0 << 0 << QStringList{kEmpty};
    QTest::newRow("only a hidden file and a link") << none << "hidden" << 0 << 0 << QStringList{kEmpty};
    QTest::newRow("upper-case extension") << none << "A.MP4" << 1 << -1 << none;
    QTest::newRow("media name, other extension") << none << "a.mp4.txt" << 0 << -1 << none;
    QTest::newRow("rm") << none << "a.rm" << 1 << -1 << none;
    QTest::newRow("rmvb") << none << "a.rmvb" << 1 << -1 << none;
    QTest::newRow("other files counted, not listed") << none << "mixed" << 5 << 10 << none;
    QTest::newRow("same file twice") << QStringList{"one.mp4"} << "one.mp4" << 1 << -1
                                     << QStringList{kDuplicate + at("one.mp4")};
    QTest::newRow("other letter case") << QStringList{"a.mp4"} << "A.MP4" << 2 << -1 << none;
    QTest::newRow("folder partly listed")
        << QStringList{"part/file_0003.mp4", "part/file_0001.mp4"} << "part" << 5 << 5
        << QStringList{kDuplicate + at("part/file_0001.mp4"), kDuplicate + at("part/file_0003.mp4")};
}

void TestHTableWidget::adding()
{
    QFETCH(QStringList, first);
    QFETCH(QString, target);
    QFETCH(int, rowsAfter);
    QFETCH(int, folderCount);
    QFETCH(QStringList, messages);
    ModalBoxes boxes;
    HTableWidgetEx table;
    for (const QString& name : first)
        table.addFilesToTable(at(name));
    table.addFilesToTable(at(target));
    QCOMPARE(table.rowCount(), rowsAfter);
    if (folderCount >= 0)
        QCOMPARE(table.filesCountInDir(at(target)), folderCount);
    compare_boxes(boxes, messages);
}

void TestHTableWidget::drops_data()
{
    QTest::addColumn<QStringList>("items"); // names under the test folder, or whole URLs; none: text only
    QTest::addColumn<int>("rowsAfter");
    QTest::addColumn<QString>("lastPath");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("in order, non-local url skipped")
        << QStringList{"http://127.0.0.1/clip.mp4", "one.mp4", "f1"} << 2 << "f1/file_0000.mp4" << QStringList();
    QTest::newRow("no urls") << QStringList() << 0 << QString() << QStringList();
    QTest::newRow("each item its own limit test")
        << QStringList{"f998", "one.mp4", "two.mp4"} << 999 << "one.mp4" << QStringList{limit(999)};
}

void TestHTableWidget::drops()
{
    QFETCH(QStringList, items);
    QFETCH(int, rowsAfter);
    QFETCH(QString, lastPath);
    QFETCH(QStringList, messages);
    QMimeData mime;
    mime.setText(at("one.mp4"));
    QList<QUrl> urls;
    for (const QString& item : items)
        urls << (item.contains("://") ? QUrl(item) : QUrl::fromLocalFile(at(item)));
    if (!urls.isEmpty())
        mime.setUrls(urls);
    ModalBoxes boxes;
    HTableWidgetEx table;
    QVERIFY(table.acceptDrops());
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::LinkAction);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table.viewport(), &drop);
    QCOMPARE(table.rowCount(), rowsAfter);
    if (rowsAfter > 0)
        QCOMPARE(table.item(rowsAfter - 1, 3)->text(), at(lastPath));
    compare_boxes(boxes, messages);
}

void TestHTableWidget::newRow()
{
    HTableWidgetEx table;
    table.addFilesToTable(at("one.mp4"));
    QCOMPARE(table.rowCount(), 1);
    const QStringList labels{"@用户数据指针", "选择", "文件名", "视频源", "转换进度", "移除", "播放"};
    for (int column = 0; column < 7; ++column) {
        QCOMPARE(table.horizontalHeaderItem(column)->text(), labels.at(column));
        QCOMPARE(table.isColumnHidden(column), column <= 1 || column == 3);
    }
    QCOMPARE(table.item(0, 2)->text(), QStringLiteral("one.mp4"));
    QCOMPARE(table.item(0, 3)->text(), at("one.mp4"));
    auto* bar = qobject_cast<QProgressBar*>(table.cellWidget(0, 4));
    auto* remove = qobject_cast<HPushButton*>(table.cellWidget(0, 5));
    auto* look = qobject_cast<HPushButton*>(table.cellWidget(0, 6));
    QVERIFY(bar && remove && look);
    QCOMPARE(bar->value(), 0);
    QVERIFY(remove->isEnabled() && !look->isEnabled());
    // Hidden while rows are added, shown in their cells once the table lays itself out.
    table.show();
    QTRY_VERIFY(remove->isVisible() && look->isVisible() && bar->isVisible());
}

void TestHTableWidget::rowButtons_data()
{
    QTest::addColumn<QList<int>>("removed"); // rows removed in this order; -1 clears the table
    QTest::addColumn<int>("row");            // the button's row when it was made
    QTest::addColumn<int>("column");         // 5: remove, 6: look
    QTest::addColumn<int>("reported");

    QTest::newRow("remove, two rows above removed") << QList<int>{0, 0} << 2 << 5 << 0;
    QTest::newRow("look, row above removed") << QList<int>{1} << 3 << 6 << 2;
    QTest::newRow("remove, own row removed") << QList<int>{0, 1} << 2 << 5 << -1;
    QTest::newRow("look, own row removed") << QList<int>{2} << 2 << 6 << -1;
    QTest::newRow("look, table cleared") << QList<int>{-1} << 0 << 6 << -1;
}

void TestHTableWidget::rowButtons()
{
    QFETCH(QList<int>, removed);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, reported);
    HTableWidgetEx table;
    table.addFilesToTable(at("part"));
    auto* button = qobject_cast<HPushButton*>(table.cellWidget(row, column));
    QVERIFY(button);
    for (int r : removed)
        r < 0 ? table.clearContents() : table.removeRow(r);
    QSignalSpy spy(&table, column == 5 ? &HTableWidgetEx::sig_remove_row : &HTableWidgetEx::sig_look_row);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("------------- row btn:  %1").arg(reported)));
    button->setEnabled(true); // the window enables the look button once converted
    button->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), reported);
}

QTEST_MAIN(TestHTableWidget)
#include "test_htablewidget.moc"
