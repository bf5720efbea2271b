#include "rsrc/toolframe.h"

#include "widgets/hostaccess.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QVariant>
#include <QWidget>

namespace toolframe {

namespace {

// The head's buttons show only an icon: screen readers and keyboard users
// need their names, in the windows' language.
void name_button(QWidget* window, const char* objectName, const char* text)
{
    if (auto* button = window->findChild<QAbstractButton*>(QLatin1String(objectName))) {
        const QString name = QCoreApplication::translate("ToolFrame", text);
        button->setAccessibleName(name);
        button->setToolTip(name);
    }
}

} // namespace

void apply(QWidget* window, Kind kind, bool dragPropertyFalse)
{
    if (kind == Kind::ToolWindow)
        window->setWindowFlags(window->windowFlags() | Qt::Sheet);
    if (dragPropertyFalse)
        window->setProperty("m_drag", false);
    name_button(window, "tb_min", QT_TRANSLATE_NOOP("ToolFrame", "最小化"));
    name_button(window, "tb_close", QT_TRANSLATE_NOOP("ToolFrame", "关闭"));
    host::register_skin(window);
}

} // namespace toolframe
