/* Library entry: tells the hook that the process attached. */
int brevorin_library_hook(int event);

#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) return brevorin_library_hook(1) == -1 ? FALSE : TRUE;
    return TRUE;
}
#else
__attribute__((constructor)) static void brevorin_library_entry(void) {
    /* A shared object cannot refuse to load; the hook always agrees anyway. */
    (void)brevorin_library_hook(1);
}
#endif
