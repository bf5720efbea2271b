#include "modalboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>

ModalBoxes::ModalBoxes()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalBoxes::poll);
    m_timer.start(20);
}

ModalBoxes::~ModalBoxes() = default;

void ModalBoxes::answer(const QString& buttonText)
{
    m_answers << buttonText;
}

void ModalBoxes::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    if (box != m_seen) {
        m_seen = box;
        Box b;
        b.title = box->windowTitle();
        b.text = box->text();
        for (QAbstractButton* button : box->buttons())
            b.buttons << button->text();
        m_boxes << b;
    }
    QAbstractButton* target = nullptr;
    if (!m_answers.isEmpty()) {
        const QString wanted = m_answers.takeFirst();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == wanted)
                target = button;
    }
    if (!target)
        target = box->escapeButton() ? box->escapeButton() : box->buttons().value(0);
    if (!target)
        return;
    m_boxes.last().answered = target->text();
    m_seen = nullptr;
    // Click after this timer slot returns, so the box's own loop ends cleanly.
    QPointer<QAbstractButton> guard(target);
    QTimer::singleShot(0, box, [guard] {
        if (guard)
            guard->click();
    });
}
