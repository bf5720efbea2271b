#pragma once

#include "demo.h"

#include <QTimer>

class QLabel;
class QPushButton;
class QTableWidget;

// Drives the live push window's push to several destinations ("多路推流"):
// the first --address is the window's own, each further one is added to the
// list (rtmps ones with the server's self-signed certificate accepted), and
// reconnect on drop is on. It waits until every destination is on air, then
// for one of them to be waiting to reconnect (the script restarts its
// server) while the others stay on air, then for all to be on air again,
// with a screenshot and each destination's state at each step.
class DemoMulti : public Demo
{
    Q_OBJECT
public:
    DemoMulti(HostApp* host, const Options& options);

    void start() override;

private:
    void push();
    void poll();
    QStringList states() const;
    void tell(const char* what, const QString& shot);

    QWidget* m_window = nullptr;
    QTableWidget* m_table = nullptr;
    QLabel* m_state = nullptr;
    QPushButton* m_button = nullptr;
    QTimer m_poll;
    int m_waited_ms = 0;
    enum class Phase { Starting, Dropping, Returning } m_phase = Phase::Starting;
};
