// The image bundle registers itself when the library is loaded and unregisters
// when it is unloaded (rcc's static initialiser). These unmangled entries let a
// host register and unregister it on demand as well.

// The functions rcc generates have C++ linkage; reach them by their symbol names.
int davaz_rcc_init() __asm__("_Z20qInitResources_davazv");
int davaz_rcc_cleanup() __asm__("_Z23qCleanupResources_davazv");

extern "C" {

int qInitResources_davaz()
{
    return davaz_rcc_init();
}

int qCleanupResources_davaz()
{
    return davaz_rcc_cleanup();
}

} // extern "C"
