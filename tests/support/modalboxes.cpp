#include "modalboxes.h"

#include <QAbstractButton>
#include <QMessageBox>

ModalBoxes::ModalBoxes()
{
    m_previous = msgbox::set_hook([this](QMessageBox& box) {
        Box b{box.windowTitle(), box.text(), {}};
        const QString wanted = m_answers.isEmpty() ? QString() : m_answers.takeFirst();
        QAbstractButton* target = box.escapeButton() ? box.escapeButton() : box.buttons().value(0);
        for (QAbstractButton* button : box.buttons()) {
            b.buttons << button->text();
            if (button->text() == wanted)
                target = button;
        }
        m_boxes << b;
        if (target)
            target->click();
    });
}

ModalBoxes::~ModalBoxes()
{
    msgbox::set_hook(std::move(m_previous));
}

void ModalBoxes::answer(const QString& buttonText)
{
    m_answers << buttonText;
}

QStringList ModalBoxes::texts() const
{
    QStringList texts;
    for (const Box& box : m_boxes)
        texts << box.text;
    return texts;
}
