// mp_crash.cpp - the crash report: one error line naming the fault, the call-name trace, exit 1.
#include "mp_crash.h"

#include <cinttypes>
#include <cstdio>

#include "mp_log.h"

namespace {
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr uint32_t kInPageError = 0xC0000006u;
constexpr uint32_t kNoncontinuableFlag = 1;

struct ExceptionName {
    uint32_t code;
    const char* name;
};

const ExceptionName exception_names[] = {
    {0x80000001u, "GUARD_PAGE_VIOLATION"},
    {0x80000002u, "DATATYPE_MISALIGNMENT"},
    {0x80000003u, "BREAKPOINT"},
    {0x80000004u, "SINGLE_STEP"},
    {0xC0000005u, "ACCESS_VIOLATION"},
    {0xC0000006u, "IN_PAGE_ERROR"},
    {0xC0000008u, "INVALID_HANDLE"},
    {0xC000001Du, "ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "INVALID_DISPOSITION"},
    {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "FLOAT_DENORMAL_OPERAND"},
    {0xC000008Eu, "FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "FLOAT_INEXACT_RESULT"},
    {0xC0000090u, "FLOAT_INVALID_OPERATION"},
    {0xC0000091u, "FLOAT_OVERFLOW"},
    {0xC0000092u, "FLOAT_STACK_CHECK"},
    {0xC0000093u, "FLOAT_UNDERFLOW"},
    {0xC0000094u, "INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095u, "INTEGER_OVERFLOW"},
    {0xC0000096u, "PRIVILEGED_INSTRUCTION"},
    {0xC00000FDu, "STACK_OVERFLOW"},
};

const char* exception_name(uint32_t code) {
    for (const ExceptionName& e : exception_names)
        if (e.code == code) return e.name;
    return "Unknown Exception";
}

// Writes the access line of an access violation or in-page error: what kind of access failed
// and at which address. A kind other than read, write or execute has no wording; the line then
// shows the raw value, in the blank-and-parameter shape each of the two exceptions has.
int access_detail(char* out, size_t size, uintptr_t kind, uintptr_t address, bool in_page,
                  uintptr_t raw) {
    switch (kind) {
        case 0:
            return snprintf(out, size, "\n Read of inaccessible data at virtual address 0x%08" PRIxPTR,
                            address);
        case 1:
            return snprintf(out, size,
                            "\n Write of inaccessible data at virtual address 0x%08" PRIxPTR, address);
        case 8:
            return snprintf(out, size,
                            "\n Caused a user-mode data execution prevention (DEP) violation at "
                            "virtual address 0x%08" PRIxPTR,
                            address);
        default:
            if (in_page) return snprintf(out, size, "\n Params=??? 0x%08" PRIxPTR, raw);
            return snprintf(out, size, "\n  Params=??? 0x%08" PRIxPTR, raw);
    }
}

// Set when the report begins, so that a fault while it is written ends the process instead
// of starting the report again.
volatile int report_running = 0;
// The report is composed here rather than on the stack, which may be nearly used up.
char report[512];
}  // namespace

void MP_format_exception(const vp_fault* fault, char* out, int size) {
    if (size <= 0) return;
    const size_t room = static_cast<size_t>(size);
    int n = snprintf(out, room, "%s (0x%08x) %s Address=0x%08" PRIxPTR " nparams=%d",
                     exception_name(fault->code), static_cast<unsigned>(fault->code),
                     fault->flags == kNoncontinuableFlag ? "NONCONTINUABLE" : "CONTINUABLE",
                     fault->address, static_cast<int>(fault->nparams));
    if (n < 0 || static_cast<size_t>(n) >= room) return;
    char* detail = out + n;
    size_t left = room - static_cast<size_t>(n);
    const uintptr_t* p = fault->params;

    if (fault->code == kAccessViolation && fault->nparams == 2) {
        // An access violation of unknown kind shows parameter 0, the kind itself.
        access_detail(detail, left, p[0], p[1], false, p[0]);
    } else if (fault->code == kInPageError && fault->nparams == 3) {
        // An in-page error of unknown kind shows parameter 1, the address.
        int m = access_detail(detail, left, p[0], p[1], true, p[1]);
        // The status is a 32-bit NTSTATUS; a 64-bit parameter may carry it sign-extended.
        if (m >= 0 && static_cast<size_t>(m) < left)
            snprintf(detail + m, left - static_cast<size_t>(m), ", NTSTATUS code 0x%08x",
                     static_cast<unsigned>(static_cast<uint32_t>(p[2])));
    }
}

void MP_exception_handler(const vp_fault* fault) {
    if (report_running) vp_exit_now(1);
    report_running = 1;
    MP_format_exception(fault, report, sizeof report);
    MP_errlog(" Exception:", report);
    MP_trace_print();
    vp_exit_now(1);
}

void MP_install_exception_handler() { vp_install_fault_handler(MP_exception_handler); }
