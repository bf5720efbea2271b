#pragma once

#include "demo.h"

#include <QList>
#include <QTimer>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// Drives the live push window: lists the files, points it at the server
// (--address), presses start, waits until the state label shows progress,
// saves a screenshot of the window during the push and stops it. With
// --reconnect it turns reconnect on drop on and, before it stops, follows the
// push through the server going away and coming back, with a screenshot of
// each.
class DemoLive : public Demo
{
    Q_OBJECT
public:
    DemoLive(HostApp* host, const Options& options);

    void start() override;

private:
    void push(QLineEdit* url, QLineEdit* key);
    void poll();
    // Whether the push shows progress with a rate, as it does once under way.
    bool under_way() const;
    void done();

    QWidget* m_window = nullptr;
    QListWidget* m_list = nullptr;
    QLabel* m_state = nullptr;
    QPushButton* m_button = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
    enum class Phase { Starting, Round, Dropping, Returning } m_phase = Phase::Starting;
    // The row the list marks as going out; -1 when none.
    int marked_row() const;
    QList<int> m_rows; // the rows marked in turn during a push over one connection
    int m_round_ms = 0;
};
