// rcc's registration functions have C++ linkage and share their names with
// the exported C entries, so they are reached from this file of their own.

#include <QtGlobal>

int davaz_bundle_init()
{
    Q_INIT_RESOURCE(davaz);
    return 1;
}

int davaz_bundle_cleanup()
{
    Q_CLEANUP_RESOURCE(davaz);
    return 1;
}
