// The whole repair chain: the window, the job file, the real Vidmend.exe and
// its reports over the pipe, on a recording cut off before its index.

#include "modalboxes.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

class TestRepairChain : public QObject
{
    Q_OBJECT
private slots:
    void repairs_a_cut_recording()
    {
        TestHost host;
        ModalBoxes boxes;
        QTemporaryDir dir;
        const QString reference = testmedia::make_recording(dir.filePath("reference.mp4"), 3, {});
        const QString whole = testmedia::make_recording(dir.filePath("whole.mp4"), 6, {});
        QVERIFY(!reference.isEmpty() && !whole.isEmpty());
        // A writer killed before its index: the first two thirds of the bytes.
        const QByteArray bytes = testmedia::read_file(whole);
        QVERIFY(testmedia::write_file(dir.filePath("cut.mp4"), bytes.left(bytes.size() * 2 / 3)));

        Mp4RPWidget window;
        window.findChild<QLineEdit*>("lineEdit_failedmp4")->setText(dir.filePath("cut.mp4"));
        window.findChild<QLineEdit*>("lineEdit_okaymp4")->setText(reference);
        window.findChild<QPushButton*>("pb_start")->click();
        QCOMPARE(boxes.count(), 0);
        QWidget* dialog = window.pwidget();
        QVERIFY(dialog && dialog->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(dialog->findChild<QPushButton*>("pb_cancel")->text(), QString("完成"), 60000);
        QCOMPARE(dialog->findChild<QLabel*>("lb_state")->text(), QString("done ... "));
        QCOMPARE(testmedia::unplayable(dir.filePath("cut_zo_fixed.mp4"), 2.5, 4.5), QString());
    }
};

QTEST_MAIN(TestRepairChain)
#include "test_repairchain.moc"
