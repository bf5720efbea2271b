#include "rsrc/toolframe.h"

#include "widgets/hostaccess.h"

#include <QVariant>
#include <QWidget>

namespace toolframe {

void apply(QWidget* window, Kind kind, bool dragPropertyFalse)
{
    if (kind == Kind::ToolWindow)
        window->setWindowFlags(window->windowFlags() | Qt::Sheet);
    if (dragPropertyFalse)
        window->setProperty("m_drag", false);
    host::register_skin(window);
}

} // namespace toolframe
