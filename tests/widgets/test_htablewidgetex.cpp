#include "filetree.h"
#include "modalboxes.h"
#include "widgets/hpushbutton.h"
#include "widgets/htablewidgetex.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QPointer>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QImage picture(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 32)).toImage();
}

QString duplicate_message(const QString& path)
{
    return QStringLiteral("该文件项已经添加，请勿重复添加!\n") + path;
}

} // namespace

class TestHTableWidgetEx : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void extensions_data();
    void extensions();
    void mixedFolder();
    void duplicates_data();
    void duplicates();
    void newRow();
    void rowButtons_data();
    void rowButtons();

private:
    QString at(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void TestHTableWidgetEx::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestHTableWidgetEx::extensions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("upper case") << "A.MP4" << true;
    QTest::newRow("mixed case") << "b.Wma" << true;
    QTest::newRow("media name, other extension") << "a.mp4.txt" << false;
    QTest::newRow("rm") << "a.rm" << true;
    QTest::newRow("rmvb") << "a.rmvb" << true;
    for (const char* ext : {"avi", "mkv", "mpg", "3gp", "wmv", "flv", "mp3"})
        QTest::newRow(ext) << QStringLiteral("c.%1").arg(ext) << true;
    QTest::newRow("extension without dot") << "mp4" << false;
    QTest::newRow("longer extension") << "d.mp4x" << false;
    QTest::newRow("other media") << "e.mov" << false;
}

void TestHTableWidgetEx::extensions()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);

    ModalBoxes boxes;
    HTableWidgetEx table;
    const QString path = filetree::touch(at(QStringLiteral("ext/") + name));
    table.addFilesToTable(path);
    QCOMPARE(table.rowCount(), accepted ? 1 : 0);
    QCOMPARE(boxes.count(), 0);
}

void TestHTableWidgetEx::mixedFolder()
{
    const QString dir = filetree::folder(at("mixed"), 5);
    filetree::folder(dir, 5, ".txt");
    HTableWidgetEx table;
    table.addFilesToTable(dir);
    QCOMPARE(table.rowCount(), 5);
    // The limit test counts every file, media or not.
    int count = 0;
    QVERIFY(table.isFilesCountOverflow(QFileInfo(dir), dir, count));
    QCOMPARE(count, 10);
}

void TestHTableWidgetEx::duplicates_data()
{
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QString>("then");
    QTest::addColumn<int>("rowsAfter");
    QTest::addColumn<QStringList>("duplicates");

    QTest::newRow("same file twice") << QStringList{"dup/a.mp4"} << "dup/a.mp4" << 1 << QStringList{"dup/a.mp4"};
    QTest::newRow("other letter case") << QStringList{"dup/a.mp4"} << "dup/A.mp4" << 2 << QStringList();
    QTest::newRow("other separators") << QStringList{"dup/a.mp4"} << "dup//a.mp4" << 2 << QStringList();
    QTest::newRow("folder partly listed") << QStringList{"part/file_0003.mp4", "part/file_0001.mp4"} << "part" << 5
                                          << QStringList{"part/file_0001.mp4", "part/file_0003.mp4"};
}

void TestHTableWidgetEx::duplicates()
{
    QFETCH(QStringList, first);
    QFETCH(QString, then);
    QFETCH(int, rowsAfter);
    QFETCH(QStringList, duplicates);

    filetree::touch(at("dup/a.mp4"));
    filetree::touch(at("dup/A.mp4"));
    filetree::folder(at("part"), 5);

    ModalBoxes boxes;
    HTableWidgetEx table;
    for (const QString& name : first)
        table.addFilesToTable(at(name));
    table.addFilesToTable(at(then));
    QCOMPARE(table.rowCount(), rowsAfter);

    // A folder walk reports in file-system order.
    QStringList shown;
    for (const ModalBoxes::Box& box : boxes.boxes())
        shown << box.text;
    shown.sort();
    QStringList expected;
    for (const QString& name : duplicates)
        expected << duplicate_message(at(name));
    QCOMPARE(shown, expected);
}

void TestHTableWidgetEx::newRow()
{
    HTableWidgetEx table;
    const QString path = filetree::touch(at("layout/clip.mkv"));
    table.addFilesToTable(path);
    QCOMPARE(table.rowCount(), 1);

    const QStringList labels{"@用户数据指针", "选择", "文件名", "视频源", "转换进度", "移除", "播放"};
    QCOMPARE(table.columnCount(), 7);
    for (int column = 0; column < 7; ++column) {
        QCOMPARE(table.horizontalHeaderItem(column)->text(), labels.at(column));
        QCOMPARE(table.isColumnHidden(column), column == 0 || column == 1 || column == 3);
        QCOMPARE(table.item(0, column)->type(), column);
    }
    QCOMPARE(table.rowHeight(0), 30);

    auto* check = qobject_cast<QCheckBox*>(table.cellWidget(0, 1));
    QVERIFY(check);
    QVERIFY(!check->isChecked());
    QCOMPARE(table.item(0, 2)->text(), QStringLiteral("clip.mkv"));
    QVERIFY(!table.item(0, 2)->icon().isNull());
    QCOMPARE(table.item(0, 3)->text(), path);
    auto* bar = qobject_cast<QProgressBar*>(table.cellWidget(0, 4));
    QVERIFY(bar);
    QCOMPARE(bar->value(), 0);

    const QImage removeImage = picture(QIcon(":/images/remove.png"));
    const QImage lookImage = picture(QIcon(":/images/movie_48.png"));
    QVERIFY(!removeImage.isNull() && !lookImage.isNull() && removeImage != lookImage);
    auto* remove = qobject_cast<HPushButton*>(table.cellWidget(0, 5));
    auto* look = qobject_cast<HPushButton*>(table.cellWidget(0, 6));
    QVERIFY(remove && look);
    QVERIFY(remove->isEnabled());
    QVERIFY(!look->isEnabled());
    QVERIFY(remove->text().isEmpty() && look->text().isEmpty());
    QCOMPARE(picture(remove->icon()), removeImage);
    QCOMPARE(picture(look->icon()), lookImage);
    QCOMPARE(remove->objectName(), QStringLiteral("hp_btn"));

    // Shown in their cells once the table lays itself out; the hidden column's box stays hidden.
    table.show();
    QTRY_VERIFY(remove->isVisible() && look->isVisible() && bar->isVisible());
    QCOMPARE(remove->geometry(), table.visualRect(table.model()->index(0, 5)));
    QVERIFY(!check->isVisible());
}

void TestHTableWidgetEx::rowButtons_data()
{
    // Rows removed in this order; -1 clears the table, -2 takes the button's item out of it.
    QTest::addColumn<QList<int>>("removed");
    QTest::addColumn<int>("row"); // the button's row when it was made
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("reported");

    QTest::newRow("remove, untouched") << QList<int>() << 2 << 5 << 2;
    QTest::newRow("remove, row above removed") << QList<int>{0} << 1 << 5 << 0;
    QTest::newRow("remove, two rows above removed") << QList<int>{0, 0} << 2 << 5 << 0;
    QTest::newRow("remove, row below removed") << QList<int>{3} << 1 << 5 << 1;
    QTest::newRow("look, row above removed") << QList<int>{1} << 3 << 6 << 2;
    QTest::newRow("remove, own row removed") << QList<int>{0, 1} << 2 << 5 << -1;
    QTest::newRow("look, own row removed") << QList<int>{2} << 2 << 6 << -1;
    QTest::newRow("remove, table cleared") << QList<int>{-1} << 0 << 5 << -1;
    QTest::newRow("look, item taken out") << QList<int>{-2} << 1 << 6 << -1;
}

void TestHTableWidgetEx::rowButtons()
{
    QFETCH(QList<int>, removed);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, reported);

    HTableWidgetEx table;
    table.addFilesToTable(filetree::folder(at("rows"), 4));
    QCOMPARE(table.rowCount(), 4);
    QPointer<HPushButton> button = qobject_cast<HPushButton*>(table.cellWidget(row, column));
    QVERIFY(button);
    std::unique_ptr<QTableWidgetItem> taken;
    for (int r : removed) {
        if (r == -2)
            taken.reset(table.takeItem(row, column));
        else if (r == -1)
            table.clearContents();
        else
            table.removeRow(r);
    }

    QSignalSpy removeSpy(&table, &HTableWidgetEx::sig_remove_row);
    QSignalSpy lookSpy(&table, &HTableWidgetEx::sig_look_row);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("------------- row btn:  %1").arg(reported)));
    button->setEnabled(true); // the window enables the look button once converted
    button->click();
    QSignalSpy& spy = column == 5 ? removeSpy : lookSpy;
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), reported);
    QCOMPARE((column == 5 ? lookSpy : removeSpy).count(), 0);
    if (reported < 0 && !taken) // the widgets go with their row
        QTRY_VERIFY(button.isNull());
}

QTEST_MAIN(TestHTableWidgetEx)
#include "test_htablewidgetex.moc"
