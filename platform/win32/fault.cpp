// fault.cpp - Win32: the first vectored exception handler, passing every exception on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "vp.h"

namespace {
vp_fault_handler fault_handler = nullptr;

// Stack kept back for the handler when the thread's stack overflows: the report formats and
// writes lines, which needs more than the few pages Windows leaves by default.
constexpr ULONG kOverflowReserve = 64 * 1024;

LONG WINAPI on_exception(EXCEPTION_POINTERS* info) {
    vp_fault f;
    memset(&f, 0, sizeof f);
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    f.code = static_cast<uint32_t>(rec->ExceptionCode);
    f.flags = static_cast<uint32_t>(rec->ExceptionFlags);
    f.address = reinterpret_cast<uintptr_t>(rec->ExceptionAddress);
    f.nparams = static_cast<uint32_t>(rec->NumberParameters);
    for (DWORD i = 0; i < 3 && i < rec->NumberParameters; ++i)
        f.params[i] = static_cast<uintptr_t>(rec->ExceptionInformation[i]);
    if (fault_handler) fault_handler(&f);
    // A handler must not return; if one does, the process still ends as after a fault.
    vp_exit_now(1);
}
}  // namespace

void vp_install_fault_handler(vp_fault_handler handler) {
    fault_handler = handler;
    ULONG reserve = kOverflowReserve;
    SetThreadStackGuarantee(&reserve);
    // First in the chain: no other vectored handler or frame handler sees an exception first.
    AddVectoredExceptionHandler(1, on_exception);
}
