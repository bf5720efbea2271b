// davaz-host: loads libdavaz.so from its own folder and offers the four tools.

#include "demo.h"
#include "hostapp.h"
#include "launcher.h"

#include "emgr.h"
#include "platform/uilanguage.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QTimer>
#include <QTranslator>
#include <QVariant>
#include <QWidget>

#include <cstdio>
#include <memory>

namespace {

// Saves every visible, named top-level window as DIR/<objectName>.png.
int save_screenshots(const QString& dir)
{
    QDir().mkpath(dir);
    int saved = 0;
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (!w->isVisible() || w->objectName().isEmpty())
            continue;
        const QString file = QDir(dir).filePath(w->objectName() + QStringLiteral(".png"));
        if (w->grab().save(file)) {
            std::printf("screenshot: %s\n", qPrintable(QDir::cleanPath(QDir(file).absolutePath())));
            // Says in which language the window came up.
            std::printf("window: %s \"%s\"\n", qPrintable(w->objectName()), qPrintable(w->windowTitle()));
            ++saved;
        }
    }
    std::fflush(stdout);
    return saved;
}

// The launcher's English texts when the host's setting or the system's
// language asks for them; the plug-in chooses its own the same way.
void install_translation(QTranslator* translator)
{
    const QString setting = EMgr::global()->e_config()->read(platform::language_key).toString().trimmed();
    if (platform::ui_language(setting.toStdString()) != platform::UiLanguage::English)
        return;
    if (translator->load(QStringLiteral(":/i18n/davaz-host_en.qm")))
        QCoreApplication::installTranslator(translator);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("davaz-host"));
    // The desktop ties the windows to the menu entry, and so to its icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("davaz"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("davaz")));
    QApplication::setQuitOnLastWindowClosed(false);
    QTranslator translator;
    install_translation(&translator);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Host application of the DaVaz video toolbox"));
    parser.addHelpOption();
    QCommandLineOption showOpt(QStringLiteral("show"), QStringLiteral("Send MESSAGE to the plug-in at start."),
                               QStringLiteral("MESSAGE"));
    QCommandLineOption shotOpt(QStringLiteral("screenshot"),
                               QStringLiteral("Save every visible window to DIR/<objectName>.png, then quit."),
                               QStringLiteral("DIR"));
    QCommandLineOption pluginOpt(QStringLiteral("library"), QStringLiteral("Load the plug-in library from PATH."),
                                 QStringLiteral("PATH"));
    QCommandLineOption demoOpt(QStringLiteral("demo"),
                               QStringLiteral("Run a demonstration (%1) with the FILES given as arguments, "
                                              "then quit.")
                                   .arg(Demo::names().join(QStringLiteral(", "))),
                               QStringLiteral("NAME"));
    QCommandLineOption outputOpt(QStringLiteral("output"), QStringLiteral("Output folder of the demonstration."),
                                 QStringLiteral("DIR"), QStringLiteral("demo-output"));
    QCommandLineOption addressOpt(
        QStringLiteral("address"),
        QStringLiteral("Server address the demonstration talks to (the multi demo takes several)."),
        QStringLiteral("URL"));
    QCommandLineOption reconnectOpt(QStringLiteral("reconnect"),
                                    QStringLiteral("Turn on the window's reconnect on drop and follow it through a "
                                                   "server that goes away and comes back."));
    QCommandLineOption seamlessOpt(QStringLiteral("seamless"),
                                   QStringLiteral("Push the whole list over one connection and follow it once round."));
    QCommandLineOption formatsOpt(QStringLiteral("formats"),
                                  QStringLiteral("Convert the files to each of these formats (\"all\": every one the "
                                                 "window offers) at their own size, one run after another."),
                                  QStringLiteral("EXT,EXT"));
    parser.addPositionalArgument(QStringLiteral("FILES"), QStringLiteral("Input files of the demonstration."));
    parser.addOption(demoOpt);
    parser.addOption(outputOpt);
    parser.addOption(addressOpt);
    parser.addOption(reconnectOpt);
    parser.addOption(seamlessOpt);
    parser.addOption(formatsOpt);
    parser.addOption(showOpt);
    parser.addOption(shotOpt);
    parser.addOption(pluginOpt);
    parser.process(app);

    const QString pluginPath = parser.isSet(pluginOpt)
                                   ? parser.value(pluginOpt)
                                   : QApplication::applicationDirPath() + QStringLiteral("/libdavaz.so");
    HostApp host;
    QString error;
    if (!host.load(pluginPath, &error)) {
        std::fprintf(stderr, "davaz-host: %s\n", qPrintable(error));
        return 1;
    }

    int rc = 0;
    {
        Launcher launcher(&host);
        QObject::connect(&launcher, &Launcher::sg_closed, &app, &QApplication::quit);
        launcher.show();
        for (const QString& msg : parser.values(showOpt)) {
            if (!host.send(msg))
                std::fprintf(stderr, "davaz-host: the plug-in does not know the message \"%s\"\n", qPrintable(msg));
        }

        std::unique_ptr<Demo> demo;
        if (parser.isSet(demoOpt)) {
            Demo::Options options;
            options.files = parser.positionalArguments();
            options.output = parser.value(outputOpt);
            options.screenshots = parser.isSet(shotOpt) ? parser.value(shotOpt) : QStringLiteral(".");
            options.address = parser.value(addressOpt);
            options.addresses = parser.values(addressOpt);
            options.reconnect = parser.isSet(reconnectOpt);
            options.seamless = parser.isSet(seamlessOpt);
            options.formats = parser.value(formatsOpt).split(QLatin1Char(','), Qt::SkipEmptyParts);
            demo = Demo::make(parser.value(demoOpt), &host, options);
            if (!demo) {
                std::fprintf(stderr, "davaz-host: no demonstration named \"%s\" (known: %s)\n",
                             qPrintable(parser.value(demoOpt)), qPrintable(Demo::names().join(QStringLiteral(", "))));
                return 2;
            }
            QObject::connect(demo.get(), &Demo::sg_done, &app, [](int code) { QApplication::exit(code); });
            QTimer::singleShot(0, demo.get(), &Demo::start);
        } else if (parser.isSet(shotOpt)) {
            const QString dir = parser.value(shotOpt);
            // Give the windows time to be laid out and painted before grabbing them.
            QTimer::singleShot(800, &app, [&] {
                const int saved = save_screenshots(dir);
                std::printf("davaz-host: saved %d screenshot(s) in %s\n", saved, qPrintable(QDir(dir).absolutePath()));
                std::fflush(stdout);
                QApplication::quit();
            });
        }
        rc = app.exec();
    }
    host.unload();
    return rc;
}
