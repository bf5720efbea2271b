#include "ebase.h"

#include "emgr.h"

EBase::EBase(QObject* parent)
    : QObject(parent)
{}

EBase::~EBase() = default;

QVariant EBase::send_msg(const QString&, const QString&, QVariant, bool, int)
{
    return {};
}

QVariant EBase::recv_msg(const QString&, QVariant)
{
    return {};
}

EBase* EBase::get_module(const QString&)
{
    return nullptr;
}

EMgr* EBase::mgr()
{
    return EMgr::global();
}

QString EBase::version()
{
    return QStringLiteral("3.0.0");
}

QVariant EBase::get_data(const QString&)
{
    return {};
}

QVariant EBase::do_work(const QString&, QVariant)
{
    return {};
}

EModule::EModule(EBase* host)
    : EBase(nullptr)
    , m_host(host)
{}

EModule::~EModule() = default;

QVariant EModule::send_msg(const QString& module, const QString& msg, QVariant data, bool wait, int flags)
{
    return m_host ? m_host->send_msg(module, msg, data, wait, flags) : QVariant();
}

EBase* EModule::get_module(const QString& name)
{
    return m_host ? m_host->get_module(name) : nullptr;
}

EMgr* EModule::mgr()
{
    return m_host ? m_host->mgr() : EBase::mgr();
}
