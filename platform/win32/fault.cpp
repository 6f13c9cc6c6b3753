// fault.cpp - Win32: the first vectored exception handler, passing every exception on.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "signals.h"
#include "vp.h"

namespace {
vp_fault_handler fault_handler = nullptr;

// Stack kept back for the handler when the thread's stack overflows: the report formats and
// writes lines, which needs more than the few pages Windows leaves by default.
constexpr ULONG kOverflowReserve = 64 * 1024;
// A stack overflow is reported on a fiber of the installing thread with a stack of its own,
// made in advance, in case the kept-back stack is not honoured (wine leaves a few KiB only).
constexpr SIZE_T kReportStack = 256 * 1024;
void* report_fiber = nullptr;
DWORD report_thread = 0;
vp_fault pending;
// Entries into the exception handler that have not ended; see on_exception.
volatile int handler_entries = 0;

[[noreturn]] void report(const vp_fault* f) {
    if (fault_handler) fault_handler(f);
    // A handler must not return; if one does, the process still ends as after a fault.
    vp_exit_now(1);
}

void WINAPI report_on_fiber(void*) { report(&pending); }

LONG WINAPI on_exception(EXCEPTION_POINTERS* info) {
    // A fault inside the report comes back here, and the report's own re-entry check ends the
    // process. A fault in this translation itself would come back without end, so a third
    // entry ends the process at once.
    handler_entries = handler_entries + 1;
    if (handler_entries > 2) vp_exit_now(1);
    // The console first, so that the report shows on the screen the person will see.
    if (handler_entries == 1) vp_signals_give_back();
    vp_fault f;
    memset(&f, 0, sizeof f);
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    f.code = static_cast<uint32_t>(rec->ExceptionCode);
    f.flags = static_cast<uint32_t>(rec->ExceptionFlags);
    f.address = reinterpret_cast<uintptr_t>(rec->ExceptionAddress);
    f.nparams = static_cast<uint32_t>(rec->NumberParameters);
    for (DWORD i = 0; i < 3 && i < rec->NumberParameters; ++i)
        f.params[i] = static_cast<uintptr_t>(rec->ExceptionInformation[i]);
    if (f.code == static_cast<uint32_t>(EXCEPTION_STACK_OVERFLOW) && report_fiber != nullptr &&
        GetCurrentThreadId() == report_thread) {
        pending = f;
        SwitchToFiber(report_fiber);
    }
    report(&f);
}
}  // namespace

void vp_install_fault_handler(vp_fault_handler handler) {
    fault_handler = handler;
    ULONG reserve = kOverflowReserve;
    SetThreadStackGuarantee(&reserve);
    // The thread must be a fiber itself before it can switch to another one.
    if (report_fiber == nullptr && ConvertThreadToFiber(nullptr) != nullptr) {
        report_fiber = CreateFiber(kReportStack, report_on_fiber, nullptr);
        report_thread = GetCurrentThreadId();
    }
    // First in the chain: no other vectored handler or frame handler sees an exception first.
    AddVectoredExceptionHandler(1, on_exception);
}
