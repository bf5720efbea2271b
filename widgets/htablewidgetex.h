#pragma once

#include "widgets/htablewidget.h"

class HPushButton;
class QProgressBar;
class QPushButton;

// The conversion window's file table: media files only, each row with a
// progress bar and remove and look buttons.
class HTableWidgetEx : public HTableWidget
{
    Q_OBJECT
public:
    enum Column {
        ColData = 0,
        ColCheck = 1,
        ColName = 2,
        ColSource = 3, // the full path, the key of the duplicate test
        ColProgress = 4,
        ColRemove = 5,
        ColLook = 6,
        ColumnCount = 7
    };

    // The eleven media extensions a row may have, as a file dialog filter.
    static const char* const media_filter;

    explicit HTableWidgetEx(QWidget* parent = nullptr);

    void init() override;
    void addSignleFile(const QString& path) override;
    void reset() override;

    // The cells of a row; null for a row that does not exist.
    QTableWidgetItem* source_item(int row) const;
    QProgressBar* progress_bar(int row) const;
    QPushButton* look_button(int row) const;

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
