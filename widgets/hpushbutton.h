#pragma once

#include <QPushButton>

class QTableWidgetItem;

// A push button in a table cell that reports the row of its cell at the moment
// of the click.
class HPushButton : public QPushButton
{
    Q_OBJECT
public:
    explicit HPushButton(QWidget* parent = nullptr);
    HPushButton(const QString& text, QWidget* parent = nullptr);
    HPushButton(const QIcon& icon, const QString& text, QWidget* parent = nullptr);

    QTableWidgetItem* m_item;

signals:
    void sig_clicked(int row);

public slots:
    void slot_clicked();

private:
    void init();
};
