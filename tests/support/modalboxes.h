#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QMessageBox;

// Watches for modal message boxes while a test runs, records each box's title,
// text and button texts, and answers it by clicking a button.
class ModalBoxes : public QObject
{
    Q_OBJECT
public:
    struct Box
    {
        QString title;
        QString text;
        QStringList buttons;
        QString answered;
    };

    ModalBoxes();
    ~ModalBoxes() override;

    // Queues the text of the button to click for the next unanswered box;
    // without a queued answer the box's escape button (or its first) is clicked.
    void answer(const QString& buttonText);

    const QList<Box>& boxes() const { return m_boxes; }
    int count() const { return int(m_boxes.size()); }
    Box last() const { return m_boxes.isEmpty() ? Box{} : m_boxes.last(); }

private:
    void poll();

    QTimer m_timer;
    QList<Box> m_boxes;
    QStringList m_answers;
    QMessageBox* m_seen = nullptr;
};
