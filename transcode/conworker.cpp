#include "conworker.h"

#include <QProcess>

ConWorker::ConWorker(const CWParam& param)
    : m_param(param)
{
}

ConWorker::~ConWorker()
{
    stop();
}

void ConWorker::start() {}

void ConWorker::stop() {}

QString ConWorker::save_path() const
{
    return m_param.dst_path;
}

QStringList ConWorker::build_arguments(const CWParam&)
{
    return {};
}

void ConWorker::slot_readData() {}

void ConWorker::slot_stop()
{
    stop();
}
