#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

class HostApp;
class QWidget;

// Drives the conversion window like a user would: drops the files on its
// table, picks ".mp4" and "720P", starts, waits for the end-of-run message,
// saves a screenshot of the finished table and prints where everything is.
class DemoConvert : public QObject
{
    Q_OBJECT
public:
    DemoConvert(HostApp* host, QStringList files, QString outputDir, QString screenshotDir, QObject* parent = nullptr);

    void start();

signals:
    void sg_done(int exitCode);

private:
    void poll();
    void finish(int code, const QString& message);

    HostApp* m_host;
    QStringList m_files;
    QString m_outputDir;
    QString m_screenshotDir;
    QWidget* m_window = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
};
