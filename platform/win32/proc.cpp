// proc.cpp - Win32: the process list, image paths, termination and program starts.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <process.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "vp.h"

namespace {
using QueryImageName = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
// Found in Kernel32.dll at run time; older systems lack it, so it is not bound at link time.
QueryImageName query_image_name = nullptr;

// The rights asked for by the image query: PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ.
constexpr DWORD kQueryRights = 0x1010;
}  // namespace

uint32_t vp_getpid() { return static_cast<uint32_t>(GetCurrentProcessId()); }

int vp_computer_name(char* name, size_t size) {
    if (name == nullptr || size == 0) return -1;
    DWORD room = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
    if (!GetComputerNameA(name, &room)) {
        name[0] = '\0';
        return -1;
    }
    return 0;
}

int vp_image_query_load(char* why, size_t size) {
    if (why && size) why[0] = '\0';
    // The library stays loaded for the life of the process; its handle is never freed.
    HMODULE kernel = LoadLibraryA("Kernel32.dll");
    if (kernel == nullptr) {
        if (why && size) snprintf(why, size, "LoadLibrary Failed");
        return VP_LOAD_FAILED;
    }
    SetLastError(0);
    FARPROC entry = GetProcAddress(kernel, "QueryFullProcessImageNameA");
    // Through the generic function type first, so that the compiler accepts the change of
    // signature without a cast warning.
    query_image_name = reinterpret_cast<QueryImageName>(reinterpret_cast<void (*)()>(entry));
    int rc = static_cast<int>(GetLastError());
    if (rc != 0 && why && size) {
        char message[256];
        vp_error_text(rc, message, sizeof message);
        snprintf(why, size, "Error %d - %s", rc, message);
    }
    return rc;
}

bool vp_image_query_ready() { return query_image_name != nullptr; }

int vp_proc_list(uint32_t* ids, int max) {
    if (max < 0) max = 0;
    DWORD bytes = 0;
    static_assert(sizeof(DWORD) == sizeof(uint32_t), "process ids are 32-bit");
    if (!EnumProcesses(reinterpret_cast<DWORD*>(ids), static_cast<DWORD>(max) * sizeof(DWORD),
                       &bytes))
        return -1;
    return static_cast<int>(bytes / sizeof(DWORD));
}

int vp_proc_image(uint32_t pid, char* path, size_t size) {
    if (size == 0) return ERROR_INSUFFICIENT_BUFFER;
    path[0] = '\0';
    if (query_image_name == nullptr) return ERROR_PROC_NOT_FOUND;
    HANDLE h = OpenProcess(kQueryRights, FALSE, pid);
    if (h == nullptr) return VP_PROC_SKIP;
    DWORD len = size > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(size);
    int rc = 0;
    if (!query_image_name(h, 0, path, &len)) {
        rc = static_cast<int>(GetLastError());
        path[0] = '\0';
    }
    CloseHandle(h);
    return rc;
}

namespace {
// The user of a process's token into sid (room bytes). Returns whether it could be read.
bool token_user(HANDLE process, void* sid, DWORD room) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    alignas(8) char buffer[256];
    DWORD got = 0;
    bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got) != 0;
    CloseHandle(token);
    if (!ok) return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    return CopySid(room, sid, user) != 0;
}

// The name of the object that marks the process pid as serving the block.
void mark_name(char* out, size_t size, uint32_t pid, const char* block) {
    snprintf(out, size, "%s.served-by.%lu", block, static_cast<unsigned long>(pid));
}

// Held for the life of the process; never closed.
HANDLE serve_marks[4];
int serve_mark_count = 0;
}  // namespace

bool vp_proc_ours(uint32_t pid) {
    DWORD their_session = 0, our_session = 0;
    if (!ProcessIdToSessionId(pid, &their_session) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &our_session) || their_session != our_session)
        return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return false;
    alignas(8) char theirs[SECURITY_MAX_SID_SIZE], ours[SECURITY_MAX_SID_SIZE];
    bool same = token_user(h, theirs, sizeof theirs) && token_user(GetCurrentProcess(), ours, sizeof ours) &&
                EqualSid(theirs, ours);
    CloseHandle(h);
    return same;
}

int vp_serve_mark(const char* block) {
    if (serve_mark_count == static_cast<int>(sizeof serve_marks / sizeof serve_marks[0])) return ERROR_TOO_MANY_NAMES;
    char name[MAX_PATH];
    mark_name(name, sizeof name, GetCurrentProcessId(), block);
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) return static_cast<int>(GetLastError());
    serve_marks[serve_mark_count++] = h;
    return 0;
}

bool vp_proc_serves(uint32_t pid, const char* block) {
    if (!vp_proc_ours(pid)) return false;
    char name[MAX_PATH];
    mark_name(name, sizeof name, pid, block);
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

int vp_proc_kill(uint32_t pid) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (h == nullptr) return 1;
    BOOL ok = TerminateProcess(h, 0);
    CloseHandle(h);
    return ok ? 0 : 2;
}

int vp_spawn_wait(const char* program, const char* arg0) {
    return static_cast<int>(_spawnl(_P_WAIT, program, arg0, static_cast<const char*>(nullptr)));
}

long vp_spawn_detached(const char* program, const char* arg0) {
    // _P_NOWAIT gives the new process's handle, from which its id is read; the handle is then
    // closed so that nothing of the child is kept. A Windows child never ends with its
    // starter and leaves no zombie behind.
    intptr_t handle = _spawnl(_P_NOWAIT, program, arg0, static_cast<const char*>(nullptr));
    if (handle == -1) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DWORD id = GetProcessId(h);
    CloseHandle(h);
    return id == 0 ? -1 : static_cast<long>(id);
}

int vp_spawn_background(const char* program, const char* arg0) {
    // The run-time's detached mode starts the program without a console of its own or ours;
    // it gives no handle back, only whether the start succeeded.
    intptr_t rc = _spawnl(_P_DETACH, program, arg0, static_cast<const char*>(nullptr));
    return rc == -1 ? -1 : 0;
}

int vp_run_to_file(const char* program, const char* const* args, const char* out_path) {
    // The command line that the program's run-time splits back into the same arguments: each
    // one quoted, a quote inside it escaped. Backslashes stay as they are, which is right for
    // every argument that does not end in one.
    static char line[32768];
    size_t n = 0;
    for (int i = 0; args[i]; i++) {
        const char* a = args[i];
        if (n + 3 >= sizeof line) return -1;
        if (i > 0) line[n++] = ' ';
        line[n++] = '"';
        for (; *a; a++) {
            if (n + 4 >= sizeof line) return -1;
            if (*a == '"') line[n++] = '\\';
            line[n++] = *a;
        }
        line[n++] = '"';
    }
    line[n] = '\0';

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return -1;
    STARTUPINFOA start;
    ZeroMemory(&start, sizeof start);
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = out;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    BOOL started = CreateProcessA(program, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &start, &child);
    CloseHandle(out);
    if (!started) return -1;
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    BOOL have = GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return have ? static_cast<int>(code) : -1;
}

bool vp_proc_alive(uint32_t pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

void vp_exit_now(int code) {
    // TerminateProcess runs no DLL detach code, so it cannot block on a lock that the
    // faulting code held; _exit only satisfies the compiler that nothing follows.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    _exit(code);
}
