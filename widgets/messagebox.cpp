#include "widgets/messagebox.h"

#include <QMessageBox>
#include <QPushButton>

namespace msgbox {

namespace {

Hook& hook()
{
    static Hook current;
    return current;
}

void run(QMessageBox& box)
{
    if (hook())
        hook()(box);
    else
        box.exec();
}

} // namespace

Hook set_hook(Hook next)
{
    Hook previous = std::move(hook());
    hook() = std::move(next);
    return previous;
}

void information(QWidget* parent, const QString& title, const QString& text, const QString& button)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::NoButton, parent);
    QPushButton* ok = box.addButton(button, QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    run(box);
}

void information_ok(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    run(box);
}

int question(QWidget* parent, const QString& title, const QString& text, const QStringList& buttons, int defaultIndex,
             int escapeIndex)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QList<QPushButton*> made;
    for (int i = 0; i < buttons.size(); ++i)
        made << box.addButton(buttons.at(i), i == escapeIndex ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    if (defaultIndex >= 0 && defaultIndex < made.size())
        box.setDefaultButton(made.at(defaultIndex));
    if (escapeIndex >= 0 && escapeIndex < made.size())
        box.setEscapeButton(made.at(escapeIndex));
    run(box);
    const int chosen = made.indexOf(static_cast<QPushButton*>(box.clickedButton()));
    return chosen >= 0 ? chosen : escapeIndex;
}

} // namespace msgbox
