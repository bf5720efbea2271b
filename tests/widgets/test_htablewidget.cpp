#include "filetree.h"
#include "modalboxes.h"
#include "widgets/htablewidget.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kTitle = QStringLiteral("提示");

QString folder_message(int rows, int count)
{
    return QStringLiteral("添加失败，一次申请最大支持文件999个，当前已添加文件%1个，\r\n本次选择文件夹包含文件%2个，"
                          "超过最大文件支持数。")
        .arg(rows)
        .arg(count);
}

QString file_message(int rows)
{
    return QStringLiteral("添加失败，一次申请最大支持文件999个，当前已添加文件%1个。").arg(rows);
}

const QString kTooManyMessage =
    QStringLiteral("添加失败，一次申请最大支持文件999个，\r\n本次选择文件夹包含文件 >999个，超过最大文件支持数。");
const QString kEmptyMessage = QStringLiteral("添加失败，该目录没有任何文件，");

// The base table uses its default six-column layout.
struct BaseTable : HTableWidget
{
    BaseTable()
    {
        setColumnCount(6);
        init();
    }
};

} // namespace

class TestHTableWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void limits_data();
    void limits();
    void drops_data();
    void drops();
    void removing_data();
    void removing();

private:
    QString at(const QString& name) const { return name.isEmpty() ? name : m_dir.filePath(name); }
    void fill(HTableWidget& table, int rows);

    QTemporaryDir m_dir;
};

void TestHTableWidget::initTestCase()
{
    QVERIFY(m_dir.isValid());
    filetree::folder(at("f1"), 1);
    filetree::folder(at("f998"), 998);
    filetree::folder(at("f999"), 999);
    // 1200 files, half of them one level down: the count must descend and stop at 1000.
    filetree::folder(at("big"), 600);
    filetree::folder(at("big/sub"), 600);
    QDir().mkpath(at("empty"));
    QDir().mkpath(at("subonly/a/b"));
    QDir().mkpath(at("subonly/c"));
    filetree::touch(at("hidden/.clip.mp4"));
    QDir().mkpath(at("links"));
    QVERIFY(QFile::link(at("one.mp4"), at("links/clip.mp4")));
    for (const char* name : {"one.mp4", "two.mp4", "fill.mp4"})
        QVERIFY(!filetree::touch(at(name)).isEmpty());
}

// Brings an empty table to 998 or 999 rows the way a user would.
void TestHTableWidget::fill(HTableWidget& table, int rows)
{
    if (rows >= 998)
        table.addFilesToTable(at("f998"));
    if (rows == 999)
        table.addFilesToTable(at("fill.mp4"));
    QCOMPARE(table.rowCount(), rows);
}

void TestHTableWidget::limits_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("folderCount"); // -1 for a file
    QTest::addColumn<int>("rowsAfter");
    QTest::addColumn<QString>("message"); // empty: no box

    QTest::newRow("998 rows, one file fits") << 998 << "one.mp4" << -1 << 999 << QString();
    QTest::newRow("999 rows, one file refused") << 999 << "one.mp4" << -1 << 999 << file_message(999);
    QTest::newRow("998 rows, folder of one refused") << 998 << "f1" << 1 << 998 << folder_message(998, 1);
    QTest::newRow("empty, folder of 998 fits") << 0 << "f998" << 998 << 998 << QString();
    QTest::newRow("empty, folder of 999 refused") << 0 << "f999" << 999 << 0 << folder_message(0, 999);
    QTest::newRow("empty, folder of 1000+ refused") << 0 << "big" << 1000 << 0 << kTooManyMessage;
    QTest::newRow("998 rows, folder of 1000+ refused") << 998 << "big" << 1000 << 998 << kTooManyMessage;
    QTest::newRow("empty folder") << 0 << "empty" << 0 << 0 << kEmptyMessage;
    QTest::newRow("only sub-folders") << 0 << "subonly" << 0 << 0 << kEmptyMessage;
    QTest::newRow("only a hidden file") << 0 << "hidden" << 0 << 0 << kEmptyMessage;
    QTest::newRow("only a symbolic link") << 0 << "links" << 0 << 0 << kEmptyMessage;
    QTest::newRow("missing path") << 0 << "missing.mp4" << -1 << 0 << QString();
    QTest::newRow("empty path") << 0 << "" << -1 << 0 << QString();
}

void TestHTableWidget::limits()
{
    QFETCH(int, rows);
    QFETCH(QString, target);
    QFETCH(int, folderCount);
    QFETCH(int, rowsAfter);
    QFETCH(QString, message);

    ModalBoxes boxes;
    BaseTable table;
    fill(table, rows);
    QCOMPARE(boxes.count(), 0);

    table.addFilesToTable(at(target));
    QCOMPARE(table.rowCount(), rowsAfter);
    if (folderCount >= 0)
        QCOMPARE(table.filesCountInDir(at(target)), folderCount);
    if (message.isEmpty()) {
        QCOMPARE(boxes.count(), 0);
        return;
    }
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, kTitle);
    QCOMPARE(boxes.last().text, message);
    QCOMPARE(boxes.last().buttons, QStringList{QStringLiteral("确定")});
}

void TestHTableWidget::drops_data()
{
    QTest::addColumn<QStringList>("items"); // names under the test folder, or whole URLs
    QTest::addColumn<int>("rowsAfter");
    QTest::addColumn<QString>("lastPath");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("file then folder, in order")
        << QStringList{"one.mp4", "f1"} << 2 << "f1/file_0000.mp4" << QStringList();
    QTest::newRow("non-local url skipped")
        << QStringList{"http://127.0.0.1/clip.mp4", "two.mp4"} << 1 << "two.mp4" << QStringList();
    QTest::newRow("no urls") << QStringList() << 0 << QString() << QStringList();
    QTest::newRow("each item its own limit test")
        << QStringList{"f998", "one.mp4", "two.mp4"} << 999 << "one.mp4" << QStringList{file_message(999)};
}

void TestHTableWidget::drops()
{
    QFETCH(QStringList, items);
    QFETCH(int, rowsAfter);
    QFETCH(QString, lastPath);
    QFETCH(QStringList, messages);

    QMimeData mime;
    if (items.isEmpty()) {
        mime.setText(at("one.mp4"));
    } else {
        QList<QUrl> urls;
        for (const QString& item : items)
            urls << (item.contains("://") ? QUrl(item) : QUrl::fromLocalFile(at(item)));
        mime.setUrls(urls);
    }

    ModalBoxes boxes;
    BaseTable table;
    QVERIFY(table.acceptDrops());
    // Any drag is welcome, whatever it carries.
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(table.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::LinkAction);

    QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(table.viewport(), &drop);
    QCOMPARE(table.rowCount(), rowsAfter);
    if (rowsAfter > 0)
        QCOMPARE(table.item(rowsAfter - 1, 3)->text(), at(lastPath));
    QStringList shown;
    for (const ModalBoxes::Box& box : boxes.boxes())
        shown << box.text;
    QCOMPARE(shown, messages);
}

void TestHTableWidget::removing_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QList<int>>("checked");
    QTest::addColumn<QList<int>>("remaining");

    QTest::newRow("selected, adjacent rows") << "selected" << QList<int>{1, 2} << QList<int>{3} << QList<int>{0, 3, 4};
    QTest::newRow("selected, first and last") << "selected" << QList<int>{0, 4} << QList<int>() << QList<int>{1, 2, 3};
    QTest::newRow("selected, none") << "selected" << QList<int>() << QList<int>{1} << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("checked, runs of rows") << "checked" << QList<int>{2} << QList<int>{0, 1, 3, 4} << QList<int>{2};
    QTest::newRow("all rows") << "all" << QList<int>{1} << QList<int>() << QList<int>();
}

void TestHTableWidget::removing()
{
    QFETCH(QString, operation);
    QFETCH(QList<int>, selected);
    QFETCH(QList<int>, checked);
    QFETCH(QList<int>, remaining);

    BaseTable table;
    table.setSelectionMode(QAbstractItemView::MultiSelection);
    QStringList paths;
    for (int i = 0; i < 5; ++i) {
        paths << filetree::touch(at(QStringLiteral("rm/%1.mp4").arg(i)));
        table.addFilesToTable(paths.last());
    }
    QCOMPARE(table.rowCount(), 5);
    for (int row : selected)
        table.item(row, 0)->setSelected(true);
    for (int row : checked)
        table.item(row, 0)->setCheckState(Qt::Checked);

    if (operation == "selected")
        table.removeSelectedFiles();
    else if (operation == "checked")
        table.removeCheckedFiles();
    else
        table.removeAllRows();

    QStringList left;
    for (int row = 0; row < table.rowCount(); ++row)
        left << table.item(row, 3)->text();
    QStringList expected;
    for (int i : remaining)
        expected << paths.at(i);
    QCOMPARE(left, expected);
    QCOMPARE(table.alreadyAddFilesCount(), remaining.size());
}

QTEST_MAIN(TestHTableWidget)
#include "test_htablewidget.moc"
