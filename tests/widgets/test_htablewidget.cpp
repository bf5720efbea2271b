// The file table: what adding and dropping lets in, its limits, and row buttons after removals.

#include "modalboxes.h"
#include "testmedia.h"
#include "widgets/hpushbutton.h"
#include "widgets/htablewidgetex.h"

#include <QtTest>
#include <QtWidgets>

namespace {

QTemporaryDir dir;
QString at(const QString& name)
{
    return dir.filePath(name);
}

QString limit(int rows, int count = -1)
{
    const QString text = QStringLiteral("添加失败，一次申请最大支持文件999个，当前已添加文件%1个").arg(rows);
    return count < 0 ? text + "。"
                     : text + QStringLiteral("，\r\n本次选择文件夹包含文件%1个，超过最大文件支持数。").arg(count);
}
const QString kTooMany =
    QStringLiteral("添加失败，一次申请最大支持文件999个，\r\n本次选择文件夹包含文件 >999个，超过最大文件支持数。");

} // namespace

class TestHTableWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const std::pair<const char*, int> folders[]{{"f1", 1},    {"f989", 989},    {"f998", 998}, {"f999", 999},
                                                    {"big", 600}, {"big/sub", 600}, {"part", 5},   {"mixed", 5}};
        for (const auto& [name, count] : folders)
            for (int i = 0; i < count; ++i)
                QVERIFY(testmedia::write_file(QString("%1/file_%2.mp4").arg(at(name)).arg(i, 4, 10, QChar('0')), {}));
        QDir().mkpath(at("empty"));
        for (const char* name : {"one.mp4", "two.mp4", "One.mp4", "A.MP4", "a.mp4.txt", "mixed/a.txt", "mixed/b.txt",
                                 "mixed/c.txt", "mixed/d.txt", "mixed/e.txt"})
            QVERIFY(testmedia::write_file(at(name), {}));
    }

    void adding_data()
    {
        QTest::addColumn<QStringList>("first"); // added before the target
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("rowsAfter");
        QTest::addColumn<QString>("message"); // the box it shows, if any

        QTest::newRow("998 rows, one file fits") << QStringList{"f998"} << "one.mp4" << 999 << QString();
        QTest::newRow("999 rows, one file refused") << QStringList{"f998", "two.mp4"} << "one.mp4" << 999 << limit(999);
        QTest::newRow("998 rows, folder of one refused") << QStringList{"f998"} << "f1" << 998 << limit(998, 1);
        QTest::newRow("folder of 999 refused") << QStringList() << "f999" << 0 << limit(0, 999);
        QTest::newRow("1000+ on two levels refused") << QStringList() << "big" << 0 << kTooMany;
        QTest::newRow("empty folder") << QStringList() << "empty" << 0 << "添加失败，该目录没有任何文件，";
        QTest::newRow("upper-case extension") << QStringList() << "A.MP4" << 1 << QString();
        QTest::newRow("media name, other extension") << QStringList() << "a.mp4.txt" << 0 << QString();
        QTest::newRow("twice") << QStringList{"one.mp4"} << "one.mp4" << 1
                               << "该文件项已经添加，请勿重复添加!\n" + at("one.mp4");
        QTest::newRow("letter case makes another file") << QStringList{"one.mp4"} << "One.mp4" << 2 << QString();
        QTest::newRow("a folder adds its media files only") << QStringList() << "mixed" << 5 << QString();
        QTest::newRow("the limit counts every file of a folder")
            << QStringList{"f989"} << "mixed" << 989 << limit(989, 10);
    }
    void adding()
    {
        QFETCH(QStringList, first);
        QFETCH(QString, target);
        QFETCH(int, rowsAfter);
        QFETCH(QString, message);
        ModalBoxes boxes;
        HTableWidgetEx table;
        for (const QString& name : first)
            table.addFilesToTable(at(name));
        table.addFilesToTable(at(target));
        QCOMPARE(table.rowCount(), rowsAfter);
        QCOMPARE(boxes.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        QVERIFY(message.isEmpty() || boxes.last().seen() == "提示|" + message + "|确定");
    }

    void drop()
    {
        QMimeData mime;
        mime.setUrls(
            {QUrl("http://127.0.0.1/clip.mp4"), QUrl::fromLocalFile(at("one.mp4")), QUrl::fromLocalFile(at("f1"))});
        ModalBoxes boxes;
        HTableWidgetEx table;
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table.viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::LinkAction);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table.viewport(), &drop);
        QCOMPARE(table.rowCount(), 2);
        QCOMPARE(table.item(1, 3)->text(), at("f1/file_0000.mp4"));
        QCOMPARE(boxes.count(), 0);
    }

    void rowButtons_data()
    {
        QTest::addColumn<QList<int>>("removed"); // rows removed in this order; -1 clears the table
        QTest::addColumn<int>("row");            // the button's row when it was made
        QTest::addColumn<int>("column");         // 5: remove, 6: look
        QTest::addColumn<int>("reported");

        QTest::newRow("remove, two rows above removed") << QList<int>{0, 0} << 2 << 5 << 0;
        QTest::newRow("look, row above removed") << QList<int>{1} << 3 << 6 << 2;
        QTest::newRow("look, table cleared") << QList<int>{-1} << 0 << 6 << -1;
    }
    void rowButtons()
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
};

QTEST_MAIN(TestHTableWidget)
#include "test_htablewidget.moc"
