// fault.cpp - POSIX: processor-fault signals reported as Windows exceptions to one handler.
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "signals.h"
#include "vp.h"

namespace {
// Windows exception codes that the signals are mapped onto.
constexpr uint32_t kDatatypeMisalignment = 0x80000002u;
constexpr uint32_t kBreakpoint = 0x80000003u;
constexpr uint32_t kSingleStep = 0x80000004u;
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr uint32_t kInPageError = 0xC0000006u;
constexpr uint32_t kIllegalInstruction = 0xC000001Du;
constexpr uint32_t kArrayBoundsExceeded = 0xC000008Cu;
constexpr uint32_t kFloatDivideByZero = 0xC000008Eu;
constexpr uint32_t kFloatInexactResult = 0xC000008Fu;
constexpr uint32_t kFloatInvalidOperation = 0xC0000090u;
constexpr uint32_t kFloatOverflow = 0xC0000091u;
constexpr uint32_t kFloatUnderflow = 0xC0000093u;
constexpr uint32_t kIntegerDivideByZero = 0xC0000094u;
constexpr uint32_t kIntegerOverflow = 0xC0000095u;
constexpr uint32_t kPrivilegedInstruction = 0xC0000096u;
constexpr uint32_t kStackOverflow = 0xC00000FDu;
// The status given with an in-page error: the page could not be brought in from its object.
constexpr uint32_t kStatusIoDeviceError = 0xC0000185u;

// Kinds of access in an access violation's parameter 0.
constexpr uintptr_t kRead = 0;
constexpr uintptr_t kWrite = 1;
constexpr uintptr_t kExecute = 8;

// A faulting address this close to the stack pointer means the stack ran out.
constexpr uintptr_t kStackReach = 64 * 1024;

constexpr size_t kPage = 4096;
// The report runs on this stack, so that it can still be written when the program's own stack
// has overflowed. Its lowest page is made inaccessible, so that running out of it stops at
// once instead of overwriting the data next to it.
constexpr size_t kAltStackSize = 256 * 1024;
alignas(kPage) char alt_stack[kAltStackSize];

vp_fault_handler fault_handler = nullptr;
// Entries into the signal handler that have not ended; see on_fault_signal.
volatile int handler_entries = 0;

// LeakSanitizer reads every page of the program's data when the process ends, so a sanitizer
// build leaves the alternate stack without its inaccessible guard page.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kGuardAltStack = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kGuardAltStack = false;
#else
constexpr bool kGuardAltStack = true;
#endif
#else
constexpr bool kGuardAltStack = true;
#endif

const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

// What the processor tells about the faulting instruction, where the platform says it.
struct cpu_state {
    uintptr_t ip = 0;
    uintptr_t sp = 0;
    bool have_page_fault = false;
    bool general_protection = false;
    unsigned long page_error = 0;
};

cpu_state read_cpu(const siginfo_t* si, const void* context) {
    cpu_state cpu;
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
#if defined(__x86_64__)
    constexpr int kRegIp = REG_RIP, kRegSp = REG_RSP;
#else
    constexpr int kRegIp = REG_EIP, kRegSp = REG_ESP;
#endif
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    cpu.ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[kRegIp]);
    cpu.sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[kRegSp]);
    // Trap 14 is the page fault; only then does the error code carry the access bits. Trap 13
    // is the general-protection fault.
    cpu.have_page_fault = uc->uc_mcontext.gregs[REG_TRAPNO] == 14;
    cpu.general_protection = uc->uc_mcontext.gregs[REG_TRAPNO] == 13;
    cpu.page_error = static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_ERR]);
#else
    (void)context;
    // Without the machine context the instruction address is known only for the signals
    // whose si_addr is the instruction itself.
    if (si->si_signo != SIGSEGV && si->si_signo != SIGBUS)
        cpu.ip = reinterpret_cast<uintptr_t>(si->si_addr);
#endif
    (void)si;
    return cpu;
}

// Read, write or execute, from the page-fault error code: bit 1 write, bit 4 instruction fetch.
uintptr_t access_kind(const cpu_state& cpu) {
    if (!cpu.have_page_fault) return kRead;
    if (cpu.page_error & 0x10) return kExecute;
    if (cpu.page_error & 0x02) return kWrite;
    return kRead;
}

bool near_stack(uintptr_t addr, uintptr_t sp) {
    if (sp == 0) return false;
    uintptr_t low = sp > kStackReach ? sp - kStackReach : 0;
    uintptr_t high = sp + kStackReach < sp ? UINTPTR_MAX : sp + kStackReach;
    return addr >= low && addr <= high;
}

// Whether the instruction at ip is one that only the kernel may run (halt, interrupt flag,
// port input and output, control and debug registers, model-specific registers, caches).
// Linux reports these as a general-protection SIGSEGV, Windows as a privileged instruction.
bool privileged_instruction(uintptr_t ip) {
#if defined(__x86_64__) || defined(__i386__)
    if (ip == 0) return false;
    const unsigned char* op = reinterpret_cast<const unsigned char*>(ip);
    // Skip up to four prefixes: operand and address size, repeat, segment and REX.
    for (int i = 0; i < 4; ++i) {
        unsigned char b = *op;
        bool prefix = b == 0x66 || b == 0x67 || b == 0xF2 || b == 0xF3 || b == 0x2E ||
                      b == 0x36 || b == 0x3E || b == 0x26 || b == 0x64 || b == 0x65;
#if defined(__x86_64__)
        prefix = prefix || (b >= 0x40 && b <= 0x4F);
#endif
        if (!prefix) break;
        ++op;
    }
    switch (op[0]) {
        case 0xF4:                                   // hlt
        case 0xFA: case 0xFB:                        // cli, sti
        case 0xE4: case 0xE5: case 0xE6: case 0xE7:  // in, out with an immediate port
        case 0xEC: case 0xED: case 0xEE: case 0xEF:  // in, out through dx
        case 0x6C: case 0x6D: case 0x6E: case 0x6F:  // ins, outs
            return true;
        case 0x0F:
            switch (op[1]) {
                case 0x06: case 0x08: case 0x09:             // clts, invd, wbinvd
                case 0x20: case 0x21: case 0x22: case 0x23:  // control and debug registers
                case 0x30: case 0x32:                        // wrmsr, rdmsr
                    return true;
                default:
                    return false;
            }
        default:
            return false;
    }
#else
    (void)ip;
    return false;
#endif
}

uint32_t fpe_code(int si_code) {
    switch (si_code) {
        case FPE_INTDIV: return kIntegerDivideByZero;
        case FPE_INTOVF: return kIntegerOverflow;
        case FPE_FLTDIV: return kFloatDivideByZero;
        case FPE_FLTOVF: return kFloatOverflow;
        case FPE_FLTUND: return kFloatUnderflow;
        case FPE_FLTRES: return kFloatInexactResult;
        case FPE_FLTSUB: return kArrayBoundsExceeded;
        default: return kFloatInvalidOperation;  // FPE_FLTINV and undiagnosed ones
    }
}

void describe(int sig, const siginfo_t* si, const void* context, vp_fault* f) {
    cpu_state cpu = read_cpu(si, context);
    uintptr_t addr = reinterpret_cast<uintptr_t>(si->si_addr);
    f->address = cpu.ip;
    // A signal sent by a process (kill, raise) carries no fault details, only its kind.
    bool from_cpu = si->si_code > 0;
    switch (sig) {
        case SIGSEGV:
            f->code = kAccessViolation;
            if (!from_cpu) break;
            f->nparams = 2;
            if (si->si_code == SI_KERNEL && cpu.general_protection &&
                privileged_instruction(cpu.ip)) {
                f->code = kPrivilegedInstruction;
                f->nparams = 0;
                break;
            }
            if (si->si_code == SI_KERNEL) {
                // A general-protection fault (a non-canonical address) names no address;
                // Windows reports such an access as a read of the highest address.
                f->params[0] = kRead;
                f->params[1] = UINTPTR_MAX;
                break;
            }
            f->params[0] = access_kind(cpu);
            f->params[1] = addr;
            if (f->params[0] != kExecute && near_stack(addr, cpu.sp)) f->code = kStackOverflow;
            break;
        case SIGBUS:
            if (from_cpu && si->si_code == BUS_ADRALN) {
                f->code = kDatatypeMisalignment;
                break;
            }
            f->code = kInPageError;
            if (!from_cpu) break;
            f->nparams = 3;
            f->params[0] = access_kind(cpu);
            f->params[1] = addr;
            f->params[2] = kStatusIoDeviceError;
            break;
        case SIGILL:
            f->code = from_cpu && (si->si_code == ILL_PRVOPC || si->si_code == ILL_PRVREG)
                          ? kPrivilegedInstruction
                          : kIllegalInstruction;
            break;
        case SIGFPE:
            f->code = from_cpu ? fpe_code(si->si_code) : kFloatInvalidOperation;
            break;
        case SIGTRAP:
            if (si->si_code == TRAP_TRACE) {
                f->code = kSingleStep;
                break;
            }
            f->code = kBreakpoint;
            // Windows names the breakpoint instruction itself, one parameter of 0; the CPU
            // has already stepped past the one-byte int3.
            f->nparams = 1;
            f->params[0] = 0;
#if defined(__x86_64__) || defined(__i386__)
            if (si->si_code == SI_KERNEL && cpu.ip != 0 &&
                *reinterpret_cast<const unsigned char*>(cpu.ip - 1) == 0xCC)
                f->address = cpu.ip - 1;
#endif
            break;
        default:
            break;
    }
}

// Not instrumented by the sanitizers, whose stack bookkeeping in the prologue would itself
// trip over alignment checking before it is switched off.
__attribute__((no_sanitize("address", "undefined"))) void on_fault_signal(int sig, siginfo_t* si,
                                                                          void* context) {
#if defined(__x86_64__)
    // The interrupted code may have switched on alignment checking; the report's own copying
    // must not fault on it.
    __asm__ volatile("pushfq\n\tandq $~0x40000, (%%rsp)\n\tpopfq" ::: "memory", "cc");
#endif
    // A fault inside the report reaches the handler a second time, and the report's own
    // re-entry check ends the process. A fault in this translation itself would come back here
    // without end, so a third entry ends the process at once.
    handler_entries = handler_entries + 1;
    if (handler_entries > 2) vp_exit_now(1);
    // The terminal first, so that the report shows on the screen the person will see.
    if (handler_entries == 1) vp_signals_give_back();
    vp_fault f;
    memset(&f, 0, sizeof f);
    describe(sig, si, context, &f);
    if (fault_handler) fault_handler(&f);
    // A handler must not return; if one does, the process still ends as after a fault.
    vp_exit_now(1);
}
}  // namespace

void vp_install_fault_handler(vp_fault_handler handler) {
    fault_handler = handler;
    if (kGuardAltStack) mprotect(alt_stack, kPage, PROT_NONE);
    stack_t ss;
    memset(&ss, 0, sizeof ss);
    ss.ss_sp = alt_stack + kPage;
    ss.ss_size = kAltStackSize - kPage;
    sigaltstack(&ss, nullptr);
    vp_signals_faults(kSignals, sizeof kSignals / sizeof kSignals[0], on_fault_signal);
}
