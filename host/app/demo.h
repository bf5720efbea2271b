#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class HostApp;
class QWidget;

// A demonstration drives one tool window like a user would, against real
// media, and reports what it did on standard output.
class Demo : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QStringList files;      // positional arguments
        QString output;         // folder for what the demo writes
        QString screenshots;    // folder for its screenshots
        QString address;        // a server address, for the network tools
        QStringList addresses;  // every address given, the first being `address`
        bool reconnect = false; // follow a reconnect after the server went away
        bool seamless = false;  // push the whole list over one connection and follow it round
        QStringList formats;    // the conversion's output formats, one run each
    };

    Demo(HostApp* host, Options options, QObject* parent = nullptr);

    virtual void start() = 0;

    // The demo of that name (see demos.cpp), or null.
    static std::unique_ptr<Demo> make(const QString& name, HostApp* host, const Options& options);
    static QStringList names();

signals:
    void sg_done(int exitCode);

protected:
    // The plug-in's top-level window of that object name, or null.
    static QWidget* top_level(const QString& name);
    // Saves the widget as SCREENSHOTS/<name>.png and says where.
    void save_shot(QWidget* widget, const QString& name);
    // A window's text in the language the plug-in speaks (its translation, when one is installed).
    static QString text(const char* context, const char* source);
    // The same text up to its first "%1": what a text filled in at run time begins with.
    static QString lead(const char* context, const char* source);
    // Ends the demo; a message says why it failed.
    void finish(int code, const QString& message = QString());

    HostApp* m_host;
    Options m_options;
};
