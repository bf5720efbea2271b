#include "toolframe.h"

#include "plugin/ffmpegmodule.h"

#include <QVariant>
#include <QWidget>

namespace toolframe {

void apply(QWidget* window, Kind kind, bool dragPropertyFalse)
{
    if (kind == Kind::ToolWindow)
        window->setWindowFlags(window->windowFlags() | Qt::Sheet);
    if (dragPropertyFalse)
        window->setProperty("m_drag", false);
    if (!g_base)
        return;
    const QVariant self = QVariant::fromValue(static_cast<void*>(window));
    g_base->send_msg(QStringLiteral("Skin"), QStringLiteral("m_shadow"), self, false, 0);
    g_base->send_msg(QStringLiteral("Skin"), QStringLiteral("m_drag"), self, false, 0);
}

} // namespace toolframe
