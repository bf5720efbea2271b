#pragma once

#include <QWidget>

class HostApp;

// The host's small main window: one button per tool.
class Launcher : public QWidget
{
    Q_OBJECT
public:
    explicit Launcher(HostApp* host, QWidget* parent = nullptr);

signals:
    void sg_closed();

protected:
    void closeEvent(QCloseEvent* event) override;
};
