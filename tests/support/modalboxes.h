#pragma once

#include <QList>
#include <QStringList>

#include "widgets/messagebox.h"

// While it lives, every modal box of the plug-in is recorded (title, text,
// button texts) and answered at once instead of being shown.
class ModalBoxes
{
public:
    struct Box
    {
        QString title;
        QString text;
        QStringList buttons;
        // "title|text|buttons", to compare a whole box at once.
        QString seen() const { return title + '|' + text + '|' + buttons.join(' '); }
    };

    ModalBoxes();
    ~ModalBoxes();
    ModalBoxes(const ModalBoxes&) = delete;
    ModalBoxes& operator=(const ModalBoxes&) = delete;

    // Queues the text of the button to click for the next box; without a
    // queued answer the box's escape button (or its first) is clicked.
    void answer(const QString& buttonText);

    const QList<Box>& boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }
    Box last() const { return m_boxes.isEmpty() ? Box{} : m_boxes.last(); }
    // The texts of all boxes so far, in order.
    QStringList texts() const;

private:
    QList<Box> m_boxes;
    QStringList m_answers;
    msgbox::Hook m_previous;
};
