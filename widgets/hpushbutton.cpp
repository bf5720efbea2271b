#include "hpushbutton.h"

#include <QDebug>
#include <QTableWidgetItem>

HPushButton::HPushButton(QWidget* parent)
    : QPushButton(parent)
{
    init();
}

HPushButton::HPushButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent)
{
    init();
}

HPushButton::HPushButton(const QIcon& icon, const QString& text, QWidget* parent)
    : QPushButton(icon, text, parent)
{
    init();
}

void HPushButton::init()
{
    m_item = nullptr;
    connect(this, &QPushButton::clicked, this, &HPushButton::slot_clicked);
    setObjectName(QStringLiteral("hp_btn"));
}

void HPushButton::slot_clicked()
{
    // The row is looked up now, not remembered from creation: rows above may
    // have been removed since.
    const int row = m_item ? m_item->row() : -1;
    qDebug() << "------------- row btn: " << row;
    emit sig_clicked(row);
}
