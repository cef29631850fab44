// ImportTable, the record into which the host writes its service table, and the
// library's entry routine.
#include "module/host_services.h"

#include <windows.h>

extern "C" {
constinit ImportTableRecord ImportTable = {
    .panel_services = {.id = kPanelServicesId, .address = nullptr},
    .terminator = {.id = 0, .address = nullptr},
};
}

// The module holds no resource and starts nothing, so every attach and detach
// notification succeeds without work. This routine is the DLL's entry point
// itself (no C runtime start-up runs before it).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
