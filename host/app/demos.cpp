// The demonstrations davaz-host can run with --demo NAME, one line each.

#include "demo.h"
#include "democapture.h"
#include "democonvert.h"
#include "demolive.h"
#include "demomulti.h"
#include "demorepair.h"

namespace {

struct Entry
{
    const char* name;
    std::unique_ptr<Demo> (*make)(HostApp*, const Demo::Options&);
};

template<typename D>
std::unique_ptr<Demo> make_one(HostApp* host, const Demo::Options& options)
{
    return std::make_unique<D>(host, options);
}

const Entry kDemos[] = {
    {"convert", make_one<DemoConvert>}, {"capture", make_one<DemoCapture>}, {"live", make_one<DemoLive>},
    {"multi", make_one<DemoMulti>},     {"repair", make_one<DemoRepair>},
};

} // namespace

std::unique_ptr<Demo> Demo::make(const QString& name, HostApp* host, const Options& options)
{
    for (const Entry& entry : kDemos)
        if (name == QLatin1String(entry.name))
            return entry.make(host, options);
    return nullptr;
}

QStringList Demo::names()
{
    QStringList list;
    for (const Entry& entry : kDemos)
        list << QLatin1String(entry.name);
    return list;
}
