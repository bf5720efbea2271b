#include "eframework.h"

#include "eskin.h"

EFramework::EFramework(QObject* parent)
    : EBase(parent)
{
    auto* skin = new ESkin(this);
    skin->setParent(this);
    register_module(QStringLiteral("Skin"), skin);
}

EFramework::~EFramework() = default;

void EFramework::register_module(const QString& name, EBase* module)
{
    m_modules.insert(name, module);
}

void EFramework::unregister_module(const QString& name)
{
    m_modules.remove(name);
}

QVariant EFramework::send_msg(const QString& module, const QString& msg, QVariant data, bool, int)
{
    EBase* target = m_modules.value(module);
    return target ? target->recv_msg(msg, data) : QVariant();
}

EBase* EFramework::get_module(const QString& name)
{
    return m_modules.value(name);
}
