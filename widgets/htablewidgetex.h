#pragma once

#include "widgets/htablewidget.h"

class HPushButton;

// The conversion window's file table: media files only, each row with a
// progress bar and remove and look buttons.
class HTableWidgetEx : public HTableWidget
{
    Q_OBJECT
public:
    explicit HTableWidgetEx(QWidget* parent = nullptr);

    void init() override;
    void addSignleFile(const QString& path) override;
    void reset() override;

signals:
    void sig_remove_row(int row);
    void sig_look_row(int row);

protected:
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;

private:
    HPushButton* make_row_button(QTableWidgetItem* cell, const QString& icon);
    void place_widget(int row, int column, QWidget* widget);
    void forget_items(int row);
};
