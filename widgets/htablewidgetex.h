#pragma once

#include "widgets/htablewidget.h"

// The conversion window's file table: media files only, each row with a
// progress bar and remove and look buttons.
class HTableWidgetEx : public HTableWidget
{
    Q_OBJECT
public:
    explicit HTableWidgetEx(QWidget* parent = nullptr);

    void init() override;
    void addSignleFile(const QString& path) override;

signals:
    void sig_remove_row(int row);
    void sig_look_row(int row);
};
