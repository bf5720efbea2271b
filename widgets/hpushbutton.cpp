#include "hpushbutton.h"

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
}
void HPushButton::slot_clicked() {}
