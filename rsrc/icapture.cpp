#include "icapture.h"

#include <QGraphicsObject>
#include <QGraphicsScene>

ICapture::ICapture(QGraphicsObject* item, QObject* parent)
    : QObject(parent)
    , m_item(item)
{}

ICapture::~ICapture() = default;

void ICapture::slot_up()
{
    move(true);
}

void ICapture::slot_down()
{
    move(false);
}

void ICapture::move(bool up)
{
    if (!m_item)
        return;
    m_item->setZValue(m_item->zValue() + (up ? 1.0 : -1.0));
}

void ICapture::remove()
{
    if (!m_item)
        return;
    if (QGraphicsScene* scene = m_item->scene())
        scene->removeItem(m_item);
    m_item->hide();
}

void ICapture::begin() {}

void ICapture::end() {}

QMenu* ICapture::menu(QWidget*)
{
    return nullptr;
}
