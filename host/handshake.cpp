// The handshake entry points and the library's load routine.
#include "host/host_text_block.h"
#include "host/plugin_abi.h"

namespace {
// Stored for the host's sake; no operation of the plug-in reads them.
std::uint32_t host_value;
void* script_processor_routine;
void* interface_access_routine;

constexpr char title_text[] = "VasaQuelto3D 1.0.2a";
constexpr char publisher_text[] = "Ivel Tarsum";
constexpr char hint_text[] = "Quelto3D Viewer for Pagora";
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    // Loading and unloading do no work: the viewer's resources come with Init.
    return TRUE;
}

void WINAPI pgInitPlugIn(std::uint32_t value, host_variable* title, host_variable* publisher,
                         host_variable* hint) {
    host_value = value;
    SetHostString(title, title_text, sizeof title_text - 1);
    SetHostString(publisher, publisher_text, sizeof publisher_text - 1);
    SetHostString(hint, hint_text, sizeof hint_text - 1);
}

void WINAPI pgRegisterScriptProcessor(void* routine) { script_processor_routine = routine; }

void WINAPI pgRegisterInterfaceAccess(void* routine) { interface_access_routine = routine; }

void WINAPI pgMessage(std::int32_t, std::uint32_t) {}
