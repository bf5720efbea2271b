#pragma once

#include <QObject>

class QGraphicsObject;
class QMenu;
class QWidget;

// Interface of a capture object that owns one item of a graphics scene. The
// plug-in only exports it; another module derives from it.
class ICapture : public QObject
{
    Q_OBJECT
public:
    explicit ICapture(QGraphicsObject* item = nullptr, QObject* parent = nullptr);
    ~ICapture() override;

    QGraphicsObject* item() const { return m_item; }
    void move(bool up);

    virtual void create() = 0;
    virtual void destroy() = 0;
    virtual void update_capture() = 0;
    virtual void apply() = 0;
    virtual void remove();
    virtual void begin();
    virtual void end();
    virtual QString name() const = 0;
    virtual int type() const = 0;
    virtual QMenu* menu(QWidget* parent);

public slots:
    void slot_up();
    void slot_down();

protected:
    QGraphicsObject* m_item;
};
