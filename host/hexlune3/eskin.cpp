#include "eskin.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace {

// Paints a thin shaded edge on top of the window's content; transparent to the mouse.
class EdgeShade : public QWidget
{
public:
    explicit EdgeShade(QWidget* window)
        : QWidget(window)
    {
        setObjectName(QStringLiteral("skin_edge"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        window->installEventFilter(this);
        setGeometry(window->rect());
        raise();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == parentWidget() && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
            setGeometry(parentWidget()->rect());
            raise();
        }
        return false;
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int depth = 3;
        for (int i = 0; i < depth; ++i) {
            p.setPen(QColor(0, 0, 0, 90 - i * 30));
            p.drawRect(rect().adjusted(i, i, -1 - i, -1 - i));
        }
    }
};

// Moves the window while the left button is held on the head.
class HeadDragger : public QObject
{
public:
    HeadDragger(QWidget* window, QWidget* head)
        : QObject(head)
        , m_window(window)
    {
        head->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->button() != Qt::LeftButton)
                return false;
            // Let the window manager move the window where it can; otherwise do it by hand.
            if (QWindow* handle = m_window->windowHandle(); handle && handle->startSystemMove())
                return true;
            m_dragging = true;
            m_offset = me->globalPosition().toPoint() - m_window->frameGeometry().topLeft();
            return true;
        }
        case QEvent::MouseMove:
            if (m_dragging)
                m_window->move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - m_offset);
            return m_dragging;
        case QEvent::MouseButtonRelease:
            m_dragging = false;
            return false;
        default:
            return false;
        }
    }

private:
    QPointer<QWidget> m_window;
    QPoint m_offset;
    bool m_dragging = false;
};

} // namespace

ESkin::ESkin(EBase* host)
    : EModule(host)
{}

QVariant ESkin::recv_msg(const QString& msg, QVariant data)
{
    auto* window = static_cast<QWidget*>(data.value<void*>());
    if (!window)
        return false;
    if (msg == QLatin1String("m_shadow")) {
        window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint);
        if (!window->findChild<EdgeShade*>(QStringLiteral("skin_edge"), Qt::FindDirectChildrenOnly))
            new EdgeShade(window);
        return true;
    }
    if (msg == QLatin1String("m_drag")) {
        auto* head = window->findChild<QWidget*>(QStringLiteral("head_widget"));
        if (!head)
            return false;
        new HeadDragger(window, head);
        return true;
    }
    return false;
}
