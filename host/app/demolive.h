#pragma once

#include "demo.h"

#include <QTimer>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// Drives the live push window: lists the files, points it at the server
// (--address), presses start, waits until the state label shows progress,
// saves a screenshot of the window during the push and stops it.
class DemoLive : public Demo
{
    Q_OBJECT
public:
    DemoLive(HostApp* host, const Options& options);

    void start() override;

private:
    void push(QLineEdit* url, QLineEdit* key);
    void poll();

    QWidget* m_window = nullptr;
    QListWidget* m_list = nullptr;
    QLabel* m_state = nullptr;
    QPushButton* m_button = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
};
