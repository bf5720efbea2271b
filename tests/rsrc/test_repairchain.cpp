// The window, the job file, the real Vidmend.exe and its reports over the pipe.

#include "modalboxes.h"
#include "pipes.h"
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
    void repairs_data()
    {
        QTest::addColumn<bool>("recording"); // the first two thirds of a recording, or bytes that are no MP4
        QTest::addColumn<QString>("state");  // the dialog's last state line
        QTest::newRow("recording cut before its index") << true << "done ... ";
        QTest::newRow("damaged file that is no MP4") << false << "修复失败:损坏视频不是MP4文件 ... ";
    }
    // Only a repair that succeeded looks finished; after a failure closing the dialog stops the engine.
    void repairs()
    {
        QFETCH(bool, recording);
        QFETCH(QString, state);
        TestHost host;
        ModalBoxes boxes;
        QTemporaryDir dir;
        const QString reference = testmedia::make_recording(dir.filePath("reference.mp4"), 3, {});
        QVERIFY(!reference.isEmpty());
        QByteArray bytes(1 << 16, 0);
        if (recording) {
            const QString whole = testmedia::make_recording(dir.filePath("whole.mp4"), 6, {});
            QVERIFY(!whole.isEmpty());
            bytes = testmedia::read_file(whole);
            bytes.truncate(bytes.size() * 2 / 3);
        } else {
            QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        }
        QVERIFY(testmedia::write_file(dir.filePath("cut.mp4"), bytes));

        Mp4RPWidget window;
        window.findChild<QLineEdit*>("lineEdit_failedmp4")->setText(dir.filePath("cut.mp4"));
        window.findChild<QLineEdit*>("lineEdit_okaymp4")->setText(reference);
        window.findChild<QPushButton*>("pb_start")->click();
        QCOMPARE(boxes.count(), 0);
        QWidget* dialog = window.pwidget();
        QVERIFY(dialog && dialog->isVisible());
        auto* button = dialog->findChild<QPushButton*>("pb_cancel");
        auto* bar = dialog->findChild<QProgressBar*>("pb_progress");
        QTRY_COMPARE_WITH_TIMEOUT(dialog->findChild<QLabel*>("lb_state")->text(), state, 60000);
        QCOMPARE(button->text(), QString(recording ? "完成" : "取消"));
        QCOMPARE(bar->value() == bar->maximum(), recording);
        const QString out = dir.filePath("cut_zo_fixed.mp4");
        QCOMPARE(QFile::exists(out), recording);
        if (recording) {
            QCOMPARE(testmedia::unplayable(out, 2.5, 4.5), QString());
            return;
        }
        button->click();
        QCOMPARE(pipes::report("vidmend 0 1000 parsing"), QString("pro_end"));
    }
};

QTEST_MAIN(TestRepairChain)
#include "test_repairchain.moc"
