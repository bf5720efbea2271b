#include "hostaccess.h"

#include <QLineEdit>
#include <QVariant>
#include <QWidget>

EBase* g_base = nullptr;

namespace host {

EConfig* config()
{
    // mgr() is asked anew each time: the host may hand out another manager.
    return g_base ? g_base->mgr()->e_config() : nullptr;
}

ECommon* common()
{
    return g_base ? g_base->mgr()->e_common() : nullptr;
}

void register_skin(QWidget* window)
{
    if (!g_base)
        return;
    const QVariant self = QVariant::fromValue(static_cast<void*>(window));
    g_base->send_msg(QStringLiteral("Skin"), QStringLiteral("m_shadow"), self, false, 0);
    g_base->send_msg(QStringLiteral("Skin"), QStringLiteral("m_drag"), self, false, 0);
}

void read_text(const char* key, QLineEdit* edit)
{
    EConfig* cfg = config();
    const QVariant value = cfg ? cfg->read(key) : QVariant();
    if (!value.isNull())
        edit->setText(value.toString());
}

void write_text(const char* key, const QLineEdit* edit)
{
    if (EConfig* cfg = config())
        cfg->write(key, edit->text());
}

} // namespace host
