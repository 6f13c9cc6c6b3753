// vistrel_faulter.cpp - a child program that faults on purpose under the crash report.
//
// Command words (split at blanks from every argument, as a starter that passes one argument
// as argument 0 hands them over in one word): MODE [DEBUG] [extra words].
// It pushes "main", installs the crash report, logs to plugins/Vistrel_Faulter.log at debug
// level DEBUG (default 0), logs a few lines (one "target 0x..." line naming the address that
// the fault will concern, and one at level 4 that no debug level up to 3 writes), pushes
// "run_mode" and the fault's own name on the trace, and faults as MODE says:
//   null-read       read through a null pointer
//   readonly-write  write into read-only data
//   exec-data       call into a data array
//   divide          integer division by zero
//   overflow        unbounded recursion until the stack runs out
//   breakpoint      a breakpoint instruction
//   illegal         an undefined instruction
//   privileged      an instruction reserved for the kernel (hlt)
//   second          a null read whose report faults in turn: standard output is given a
//                   read-only buffer, so the report's first console write faults again
//   early           a null read before the log path is set (no log can be opened)
//   inpage          (POSIX) read a mapped page of a file that has been cut short
//   misaligned      (POSIX x86) a misaligned read with alignment checking switched on
//   raise DEBUG CODE FLAGS [P0 P1 P2]  (Windows) raise an exception with these hexadecimal
//                   values
//   throw           (Windows) throw and catch a C++ exception, which the run-time raises as
//                   an exception of its own code
// and one more that does not fault:
//   start-detached PROGRAM ARGUMENT...  restart PROGRAM through MP_restart_program (the rest of
//                   the words, joined by blanks, become its argument 0), write the returned id to
//                   plugins/started.txt and end with 0
// Exit codes: 1 after a crash report, 2 when the fault did not happen, 64 for bad words.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_words.h"
#include "mp_crash.h"
#include "mp_log.h"
#include "mp_proc.h"
#include "vp.h"

#ifdef _WIN32
// Declared here rather than through the system headers, which this program does not include.
extern "C" __declspec(dllimport) void __stdcall RaiseException(unsigned long code,
                                                               unsigned long flags,
                                                               unsigned long nparams,
                                                               const unsigned long long* params);
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

// The faults must reach the processor as written, not be caught by a sanitizer's checks.
#if defined(__clang__) || defined(__GNUC__)
#define FAULT_FN __attribute__((noinline, no_sanitize("address", "undefined")))
#else
#define FAULT_FN
#endif

namespace {
constexpr int kNoFault = 2;
constexpr int kUsage = 64;

CommandWords words;

// Read-only data for the write fault and for the read-only console buffer.
const char readonly_data[4096] = "read-only";
// Writable, not executable: a lone return instruction, so that a platform that runs it anyway
// comes back and ends with kNoFault instead of wandering off.
unsigned char data_code[16] = {0xC3};
// Keeps the recursion going without the compiler seeing it as endless.
volatile int keep_recursing = 1;
// Receives results that nobody reads, so that an optimising build still computes them.
volatile int sink = 0;

void log_target(const void* address) {
    MP_logf(1, "Faulter:", "target 0x%08" PRIxPTR, reinterpret_cast<uintptr_t>(address));
}

FAULT_FN int null_read() {
    MP_TRACE("null_read");
    volatile int* volatile p = nullptr;
    return *p;
}

FAULT_FN void readonly_write() {
    MP_TRACE("readonly_write");
    log_target(readonly_data);
    char* volatile q = const_cast<char*>(readonly_data);
    *static_cast<volatile char*>(q) = 'x';
}

FAULT_FN void exec_data() {
    MP_TRACE("exec_data");
    log_target(data_code);
    using code_fn = void (*)();
    code_fn volatile f = reinterpret_cast<code_fn>(reinterpret_cast<uintptr_t>(data_code));
    f();
}

FAULT_FN int divide() {
    MP_TRACE("divide");
    volatile int a = 1;
    volatile int b = 0;
    sink = a / b;
    return sink;
}

// Frames of nearly a page: wine can only deliver a stack overflow to a handler when the frame
// that meets the guard page still leaves room below it, which small frames do not; Windows
// itself delivers it either way.
FAULT_FN int recurse(int depth) {
    volatile char pad[4000];
    pad[0] = static_cast<char>(depth);
    pad[sizeof pad - 1] = static_cast<char>(depth);
    if (!keep_recursing) return pad[0];
    return recurse(depth + 1) + pad[depth % sizeof pad];
}

FAULT_FN int overflow() {
    MP_TRACE("overflow");
    return recurse(0);
}

FAULT_FN void breakpoint() {
    MP_TRACE("breakpoint");
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#endif
}

FAULT_FN void illegal() {
    MP_TRACE("illegal");
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("ud2");
#endif
}

FAULT_FN void privileged() {
    MP_TRACE("privileged");
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("hlt");
#endif
}

#ifndef _WIN32
FAULT_FN int inpage() {
    MP_TRACE("inpage");
    int fd = open("plugins/inpage.bin", O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0) return kUsage;
    void* view = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED || ftruncate(fd, 0) != 0) return kUsage;
    log_target(view);
    return *static_cast<volatile const char*>(view);
}

FAULT_FN int misaligned() {
    MP_TRACE("misaligned");
#if defined(__x86_64__)
    static long long cells[2];
    const char* odd = reinterpret_cast<const char*>(cells) + 1;
    log_target(odd);
    // Sets the alignment-check flag; the kernel enables the check for user code.
    __asm__ volatile("pushf\n\torl $0x40000, (%%rsp)\n\tpopf" ::: "memory", "cc");
    return static_cast<int>(*reinterpret_cast<const volatile long long*>(odd));
#else
    return kNoFault;
#endif
}
#else
unsigned long long hex_word(int index) {
    return index < words.count() ? strtoull(words[index], nullptr, 16) : 0;
}

FAULT_FN void raise_exception(int first) {
    MP_TRACE("raise_exception");
    unsigned long long params[3] = {hex_word(first + 2), hex_word(first + 3), hex_word(first + 4)};
    int nparams = words.count() - (first + 2);
    if (nparams < 0) nparams = 0;
    if (nparams > 3) nparams = 3;
    RaiseException(static_cast<unsigned long>(hex_word(first)),
                   static_cast<unsigned long>(hex_word(first + 1)),
                   static_cast<unsigned long>(nparams), params);
}

FAULT_FN int throw_and_catch() {
    MP_TRACE("throw_and_catch");
    try {
        throw 42;
    } catch (int value) {
        return value;
    }
}
#endif

int start_detached(int first) {
    if (first + 1 >= words.count()) return kUsage;
    static char argument[1024];
    argument[0] = '\0';
    for (int i = first + 1; i < words.count(); ++i) {
        if (i > first + 1) strncat(argument, " ", sizeof argument - strlen(argument) - 1);
        strncat(argument, words[i], sizeof argument - strlen(argument) - 1);
    }
    int pid = MP_restart_program(words[first], argument);
    FILE* f = fopen("plugins" VP_SEP "started.txt", "w");
    if (!f) return kUsage;
    fprintf(f, "%d\n", pid);
    fclose(f);
    return 0;
}

int run_mode(const char* mode, int next) {
    MP_TRACE("run_mode");
    if (strcmp(mode, "null-read") == 0 || strcmp(mode, "second") == 0) null_read();
    else if (strcmp(mode, "readonly-write") == 0) readonly_write();
    else if (strcmp(mode, "exec-data") == 0) exec_data();
    else if (strcmp(mode, "divide") == 0) divide();
    else if (strcmp(mode, "overflow") == 0) overflow();
    else if (strcmp(mode, "breakpoint") == 0) breakpoint();
    else if (strcmp(mode, "illegal") == 0) illegal();
    else if (strcmp(mode, "privileged") == 0) privileged();
#ifndef _WIN32
    else if (strcmp(mode, "inpage") == 0) inpage();
    else if (strcmp(mode, "misaligned") == 0) misaligned();
#else
    else if (strcmp(mode, "raise") == 0) raise_exception(next);
    else if (strcmp(mode, "throw") == 0) throw_and_catch();
#endif
    else return kUsage;
    (void)next;
    return kNoFault;
}

}  // namespace

int main(int argc, char** argv) {
    MP_trace_enter("main");
    MP_install_exception_handler();

    static const char* const modes[] = {
        "null-read", "readonly-write", "exec-data", "divide", "overflow", "breakpoint",
        "illegal", "privileged", "second", "early", "inpage", "misaligned", "raise", "throw",
        "start-detached"};
    words.split(argc, argv);
    int first = words.find_first(modes);
    if (first == words.count()) return kUsage;
    const char* mode = words[first];
    if (strcmp(mode, "start-detached") == 0) return start_detached(first + 1);
    if (strcmp(mode, "early") == 0) {
        null_read();
        return kNoFault;
    }

    // A console buffer that cannot be written: the report's first console line faults.
    if (strcmp(mode, "second") == 0)
        setvbuf(stdout, const_cast<char*>(readonly_data), _IOFBF, sizeof readonly_data);

    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "Vistrel_Faulter.log");
    MP_open_log();
    MP_Global_Debug = first + 1 < words.count() ? atoi(words[first + 1]) : 0;
    MP_log("Faulter:", "starting");
    MP_logl(2, "Faulter:", "mode follows");
    MP_logl(4, "Faulter:", "held back at every level");
    MP_log("Faulter:", mode);
    return run_mode(mode, first + 2);
}
