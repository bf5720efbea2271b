#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

class EMgr;

// Base of every object of the host framework. The virtual operations keep
// this order: plug-ins built against it rely on the layout.
class EBase : public QObject
{
    Q_OBJECT
public:
    explicit EBase(QObject* parent = nullptr);
    ~EBase() override;

    virtual QVariant send_msg(const QString& module, const QString& msg, QVariant data, bool wait, int flags);
    virtual QVariant recv_msg(const QString& msg, QVariant data);
    virtual EBase* get_module(const QString& name);
    virtual EMgr* mgr();
    virtual QString version();
    virtual QVariant get_data(const QString& key);
    virtual QVariant do_work(const QString& work, QVariant data);
};

// A module of the framework: talks to the rest of the host through the base
// object it was given.
class EModule : public EBase
{
    Q_OBJECT
public:
    explicit EModule(EBase* host);
    ~EModule() override;

    EBase* host() const { return m_host; }

    QVariant send_msg(const QString& module, const QString& msg, QVariant data, bool wait, int flags) override;
    EBase* get_module(const QString& name) override;
    EMgr* mgr() override;

private:
    EBase* m_host;
};
