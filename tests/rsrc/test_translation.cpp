// The windows' language, run under a C, a Chinese and an English locale: under the
// first two they keep their Chinese texts, under the last no text shows Chinese.

#include "faults.h"
#include "modalboxes.h"
#include "pipes.h"
#include "platform/uilanguage.h"
#include "repair.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "rsrc/grablivewidget.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/processwidget.h"
#include "rsrc/repairstate.h"
#include "rsrc/uitranslation.h"
#include "rsrc/videolivewidget.h"
#include "testclock.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <map>
#include <memory>

using platform::UiLanguage;

namespace {

bool has_cjk(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        // Ideographs, CJK punctuation and the full-width forms ("：", "！").
        if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

// Every text of a window a user can read or hear: titles, labels, buttons,
// placeholders, tool tips, accessible names, items, headers, suffixes.
QStringList texts_of(QWidget* root)
{
    QStringList texts;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        texts << w->windowTitle() << w->toolTip() << w->accessibleName() << w->accessibleDescription();
        for (QAction* action : w->actions())
            texts << action->text();
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            texts << edit->placeholderText();
        if (auto* box = qobject_cast<QGroupBox*>(w))
            texts << box->title();
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w))
            texts << spin->text();
        if (auto* bar = qobject_cast<QProgressBar*>(w))
            texts << bar->text();
        if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        if (auto* table = qobject_cast<QTableWidget*>(w))
            for (int i = 0; i < table->columnCount(); ++i)
                texts << (table->horizontalHeaderItem(i) ? table->horizontalHeaderItem(i)->text() : QString());
    }
    texts.removeAll(QString());
    return texts;
}

template<typename T>
T* child(QWidget* window, const char* name)
{
    return window->findChild<T*>(QLatin1String(name));
}

// The texts of the menus the scenes open.
QStringList g_menus;

// Opens the context menu of a list's empty space and notes its actions.
void open_menu(QListWidget* list)
{
    QTimer::singleShot(0, list, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        for (QAction* action : menu->actions())
            g_menus << action->text();
        QTest::keyClick(menu, Qt::Key_Escape);
    });
    const QPoint pos(10, list->viewport()->height() - 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(list->viewport(), &event);
}

// A window and what the test does in it to bring up its boxes.
struct Scene
{
    std::function<QWidget*()> make;
    std::function<void(QWidget*)> act;
};

} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT
    TestHost m_host;
    faults::ToolsFolder m_tools; // empty: no engine runs
    QTemporaryDir m_media;
    // Owns the installed translator, if any.
    std::unique_ptr<QObject> m_language;
    bool m_english = false;
    QString m_clip;
    qint64 m_ticks = 0;
    TestClock m_clock;

    // Installs the texts as the plug-in's module does, with `setting` stored
    // under the host's language key; true when English was installed.
    bool use_language(const QString& setting)
    {
        m_language.reset();
        m_host.config()->write(platform::language_key, setting);
        m_language = std::make_unique<QObject>();
        return uitranslation::install(m_language.get()) != nullptr;
    }

private slots:
    void initTestCase()
    {
        testenv::isolate_host_home();
        // The time left settles after a few reports, however fast the machine.
        m_clock.hold_delays = false;
        m_clock.now = [this] { return m_ticks += 1000; };
        QVERIFY(!(m_clip = testmedia::make_clip(m_media.filePath("clip.mp4"), 30)).isEmpty());
        m_english = platform::ui_language("") == UiLanguage::English;
        qInfo("LANG=%s: %s", qgetenv("LANG").constData(), m_english ? "English" : "Chinese");
    }
    void init() { QVERIFY(use_language("") == m_english); }
    void cleanup()
    {
        m_language.reset();
        m_host.config()->write(platform::language_key, QString());
    }

    void language_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("vars"); // NAME=VALUE, separated by blanks
        QTest::addColumn<bool>("english");
        const char* const rows[][4] = {
            // name, setting, variables, "en" when English
            {"nothing set", "", "", ""},
            {"C", "", "LANG=C.UTF-8", ""},
            {"POSIX, LANGUAGE ignored", "", "LANG=POSIX LANGUAGE=en", ""},
            {"Chinese", "", "LANG=zh_CN.UTF-8", ""},
            {"American", "", "LANG=en_US.UTF-8", "en"},
            {"British with a modifier", "", "LANG=en_GB.UTF-8@euro", "en"},
            {"bare en", "", "LANG=en", "en"},
            {"German keeps the written texts", "", "LANG=de_DE.UTF-8", ""},
            {"LC_ALL over LANG", "", "LC_ALL=en_US.UTF-8 LANG=zh_CN.UTF-8", "en"},
            {"LC_ALL C over an English LANG", "", "LC_ALL=C.UTF-8 LANG=en_US.UTF-8", ""},
            {"LC_MESSAGES over LANG", "", "LC_MESSAGES=en_US.UTF-8 LANG=zh_CN.UTF-8", "en"},
            {"LC_ALL over LC_MESSAGES", "", "LC_ALL=zh_CN.UTF-8 LC_MESSAGES=en_US.UTF-8", ""},
            {"empty LC_ALL does not count", "", "LC_ALL= LANG=en_US.UTF-8", "en"},
            {"LANGUAGE first", "", "LANGUAGE=en_US:zh_CN LANG=zh_CN.UTF-8", "en"},
            {"LANGUAGE Chinese first", "", "LANGUAGE=zh_CN:en LANG=en_US.UTF-8", ""},
            {"LANGUAGE skips what has no texts", "", "LANGUAGE=de:fr:en LANG=de_DE.UTF-8", "en"},
            {"LANGUAGE ignored under C", "", "LANGUAGE=en_US LANG=C.UTF-8", ""},
            {"LANGUAGE ignored under a POSIX LC_ALL", "", "LC_ALL=POSIX LANG=en_US.UTF-8 LANGUAGE=en", ""},
            {"LANGUAGE ignored without a locale", "", "LANGUAGE=en_US", ""},
            {"LANGUAGE of nothing known", "", "LANGUAGE=de:fr LANG=en_US.UTF-8", "en"},
            {"setting en under C", "en", "LANG=C.UTF-8", "en"},
            {"setting EN under Chinese", "EN", "LANG=zh_CN.UTF-8", "en"},
            {"setting zh under English", "zh", "LC_ALL=en_US.UTF-8 LANGUAGE=en", ""},
            {"setting auto follows", "auto", "LANG=en_US.UTF-8", "en"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << (*row[3] != 0);
    }
    void language()
    {
        QFETCH(QString, setting);
        QFETCH(QString, vars);
        QFETCH(bool, english);
        std::map<std::string, std::string> env;
        for (const QString& pair : vars.split(' ', Qt::SkipEmptyParts))
            env[pair.section('=', 0, 0).toStdString()] = pair.section('=', 1).toStdString();
        const auto lookup = [&env](const char* name) -> const char* {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        };
        QCOMPARE(platform::ui_language(setting.toStdString(), lookup) == UiLanguage::English, english);
    }

    void walk_data()
    {
        QTest::addColumn<QString>("chinese"); // what the C and Chinese locales show, " / " between texts
        QTest::newRow("repair") << "mp4文件修复 / 损坏视频： / 参考视频： / 选择文件 / 开始修复 / "
                                   "提示|请设置损坏mp4视频|确定 / 提示|请设置正常参考mp4视频|确定 / 最小化 / 关闭";
        QTest::newRow("live") << "直播视频 / rtmp网络串流地址： / 开始 / 添加 / 清空 / 添加视频到列表 / "
                                 "清空直播列表记录 / 提示|请先添加视频到直播列表！|确定";
        QTest::newRow("convert")
            << "格式转换 / 开始转换 / 原始大小 / 文件名 / 转换进度 / 移除 / 播放 / "
               "提示|请先添加视频到列表!|确定 / 询问|是否清空列表 ?|清空 取消 / "
               "提示|该文件项已经添加，请勿重复添加!\n%1 / 提示|添加失败，该目录没有任何文件，|确定";
        QTest::newRow("converting") << "停止转码 / 开始转码 / 询问|当前行标示的视频,正在转码中...\n"
                                       "是否停止转码并移除该行?|停止并移除 取消 / 提示|转码已经结束!|确定";
        QTest::newRow("capture") << "串流存盘 / 网络串流地址： / 开始 / 停止 / rtmp:// 或 rtsp:// / "
                                    "提示|当前输入串流地址不合法|OK";
        QTest::newRow("dialog") << "mp4修复进度 / 准备数据... / 完成";
    }
    void walk()
    {
        const QString scene = QTest::currentDataTag();
        QFETCH(QString, chinese);
        const QString clip = m_media.filePath("a.mp4");
        const QString empty = m_media.filePath("empty");
        QVERIFY(testmedia::write_file(clip, "not really a film") && QDir().mkpath(empty));

        const std::map<QString, Scene> scenes = {
            {"repair",
             {[] { return new Mp4RPWidget; },
              [](QWidget* w) {
                  child<QPushButton>(w, "pb_start")->click();
                  child<QLineEdit>(w, "lineEdit_failedmp4")->setText("damaged.mp4");
                  child<QPushButton>(w, "pb_start")->click();
              }}},
            {"live",
             {[] { return new VideoLiveWidget; },
              [](QWidget* w) {
                  child<QLineEdit>(w, "le_rtmp_url")->clear();
                  child<QPushButton>(w, "pb_start_stop")->click();
                  open_menu(child<QListWidget>(w, "listWidget"));
              }}},
            {"convert",
             {[] { return new FormatCWidget; },
              [&](QWidget* w) {
                  child<QPushButton>(w, "pb_start_stop")->click();
                  child<QPushButton>(w, "pb_clear")->click();
                  auto* table = child<HTableWidgetEx>(w, "tableWidget");
                  table->addFilesToTable(empty);
                  table->addFilesToTable(clip);
                  table->addFilesToTable(clip);
              }}},
            {"converting",
             {[] { return new FormatCWidget; },
              [&](QWidget* w) {
                  // A real conversion (the transcoder built beside the test): its running texts.
                  const QByteArray tools = qgetenv("DAVAZ_TOOLS_DIR");
                  qputenv("DAVAZ_TOOLS_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
                  const auto back = qScopeGuard([tools] { qputenv("DAVAZ_TOOLS_DIR", tools); });
                  child<QLineEdit>(w, "lineEdit_export_dir")->setText(m_media.path());
                  auto* table = child<HTableWidgetEx>(w, "tableWidget");
                  table->addFilesToTable(m_clip);
                  auto* start = child<QPushButton>(w, "pb_start_stop");
                  start->click();
                  const QString running = start->text();
                  g_menus << running;
                  QProgressBar* bar = table->progress_bar(0);
                  QTRY_VERIFY_WITH_TIMEOUT(bar->format() != "%p%", 120000);
                  g_menus << bar->format() << child<QLabel>(w, "lb_time_left")->text();
                  static_cast<QAbstractButton*>(table->cellWidget(0, HTableWidgetEx::ColRemove))->click();
                  QTRY_VERIFY_WITH_TIMEOUT(start->text() != running, 120000);
                  g_menus << start->text();
              }}},
            {"capture",
             {[] { return new GrabLiveWidget; },
              [](QWidget* w) {
                  child<QLineEdit>(w, "lineEdit_encode_ip")->setText("rtmp://a");
                  child<QPushButton>(w, "pushButton_start")->click();
              }}},
            {"dialog",
             {[] { return new ProcessWidget; },
              [](QWidget* w) {
                  auto* dialog = static_cast<ProcessWidget*>(w);
                  dialog->init();
                  dialog->set_progress(100, 100, "done");
                  QTRY_VERIFY_WITH_TIMEOUT(child<QProgressBar>(w, "pb_progress")->value() == 100, 20000);
              }}},
        };
        const Scene& s = scenes.at(scene);
        ModalBoxes boxes;
        std::unique_ptr<QWidget> window(s.make());
        window->show();
        const QStringList before = texts_of(window.get());
        g_menus.clear();
        s.act(window.get());
        QStringList seen = before + texts_of(window.get()) + g_menus;
        for (const ModalBoxes::Box& box : boxes.boxes())
            seen << box.seen() << box.title << box.text << box.buttons;
        QVERIFY(boxes.count() > 0 || scene == "dialog");

        if (m_english) {
            for (const QString& text : seen)
                QVERIFY2(!has_cjk(text), qPrintable(QString("Chinese in %1: %2").arg(scene, text)));
            return;
        }
        for (QString text : chinese.split(" / ")) {
            text.replace("%1", clip);
            QVERIFY2(seen.contains(text) || seen.contains(text + "|确定"),
                     qPrintable(QString("not found in %1: %2\nseen: %3").arg(scene, text, seen.join(" / "))));
        }
    }

    // Every word the engine can end with reaches an English user in English, a Chinese one as sent.
    void engine_words_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("english"); // empty: any text without Chinese
        // Past the last outcome the engine knows, its word is the plain default.
        QStringList words;
        for (int code = 0; code < 64; ++code) {
            const QString word = QString::fromUtf8(vidmend::state_word(vidmend::Outcome(code)));
            if (!words.contains(word))
                QTest::addRow("outcome %d", code) << word << QString();
            words << word;
        }
        QTest::newRow("running word") << "rebuilding" << QString("rebuilding");
        QTest::newRow("a failure this window does not know yet") << "修复失败:磁盘坏了" << QString("Repair failed");
        QTest::newRow("nothing to do, not known yet") << "无需修复:别的原因" << QString("No repair needed");
        QTest::newRow("unknown, not a failure") << "某个状态" << QString("Repair failed");
    }
    void engine_words()
    {
        QFETCH(QString, word);
        QFETCH(QString, english);
        QVERIFY(!use_language("zh"));
        QCOMPARE(repair_state_text(word), word);
        QVERIFY(use_language("en"));
        const QString shown = repair_state_text(word);
        QVERIFY2(!has_cjk(shown) && !shown.isEmpty(), qPrintable(word + " -> " + shown));
        if (!english.isEmpty())
            QCOMPARE(shown, english);
        // The plain "failed" is only for words this window has not heard of.
        else if (word != "修复失败")
            QVERIFY2(shown != "Repair failed" && shown != "No repair needed",
                     qPrintable(word + " has no text of its own"));
    }

    // The dialog of a running repair shows the engine's last word translated.
    void engine_word_in_dialog()
    {
        QVERIFY(use_language("en"));
        const QString reference = testmedia::make_clip(m_media.filePath("reference.mp4"), 1);
        const QString damaged = m_media.filePath("damaged.mp4");
        QVERIFY(!reference.isEmpty() && testmedia::write_file(damaged, QByteArray(4096, 'Z')));
        ModalBoxes boxes;
        Mp4RPWidget window;
        child<QLineEdit>(&window, "lineEdit_failedmp4")->setText(damaged);
        child<QLineEdit>(&window, "lineEdit_okaymp4")->setText(reference);
        child<QPushButton>(&window, "pb_start")->click();
        QCOMPARE(boxes.count(), 0);
        QVERIFY(window.pwidget());
        auto* state = window.pwidget()->findChild<QLabel*>("lb_state");
        const QByteArray word = vidmend::state_word(vidmend::Outcome::NoVideo);
        QTRY_COMPARE_WITH_TIMEOUT(pipes::report("vidmend 0 1000 " + word), QString("OK"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QString("Repair failed: the reference video has no picture ... "),
                                  30000);
        QCOMPARE(window.pwidget()->findChild<QPushButton*>("pb_cancel")->text(), QString("Cancel"));
    }
};

QTEST_MAIN(TestTranslation)
#include "test_translation.moc"
