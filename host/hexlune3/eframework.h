#pragma once

#include "ebase.h"

#include <QHash>

// The host's own base object: routes send_msg to the module registered under
// the given name. It owns the skin module "Skin".
class EFramework : public EBase
{
    Q_OBJECT
public:
    explicit EFramework(QObject* parent = nullptr);
    ~EFramework() override;

    void register_module(const QString& name, EBase* module);
    void unregister_module(const QString& name);

    QVariant send_msg(const QString& module, const QString& msg, QVariant data, bool wait, int flags) override;
    EBase* get_module(const QString& name) override;

private:
    QHash<QString, EBase*> m_modules;
};
