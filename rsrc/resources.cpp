// The image bundle registers itself when the library is loaded and unregisters
// when it is unloaded (rcc's static initialiser). These unmangled entries let a
// host register and unregister it on demand as well.

int davaz_bundle_init();
int davaz_bundle_cleanup();

extern "C" {

int qInitResources_davaz()
{
    return davaz_bundle_init();
}

int qCleanupResources_davaz()
{
    return davaz_bundle_cleanup();
}

} // extern "C"
