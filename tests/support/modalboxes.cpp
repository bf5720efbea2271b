#include "modalboxes.h"

#include <QAbstractButton>
#include <QMessageBox>

ModalBoxes::ModalBoxes()
{
    m_previous = msgbox::set_hook([this](QMessageBox& box) {
        Box b;
        b.title = box.windowTitle();
        b.text = box.text();
        const QList<QAbstractButton*> buttons = box.buttons();
        for (QAbstractButton* button : buttons)
            b.buttons << button->text();
        QAbstractButton* target = nullptr;
        if (!m_answers.isEmpty()) {
            const QString wanted = m_answers.takeFirst();
            for (QAbstractButton* button : buttons)
                if (button->text() == wanted)
                    target = button;
        }
        if (!target)
            target = box.escapeButton() ? box.escapeButton() : buttons.value(0);
        if (target) {
            b.answered = target->text();
            target->click();
        }
        m_boxes << b;
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
