// vp.h - the neutral platform layer: named shared memory, a counting semaphore, clocks, files,
// TCP sockets, processes and processor faults. Defined once in posix/ and once in win32/.
//
// Every function returns plain values; OS error codes are translated here, at the boundary:
// socket errors are reported in Winsock numbering on every platform, so that status lines
// read the same everywhere, and other errors as the OS's own code (GetLastError or errno).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// ---------------------------------------------------------------------------------------------
// Paths. The bridges keep their files under "plugins" below the working directory.
#ifdef _WIN32
#define VP_SEP "\\"
#define VP_EXE ".exe"
#else
#define VP_SEP "/"
#define VP_EXE ""
#endif
#define VP_PLUGINS "plugins" VP_SEP
inline constexpr char vp_path_sep = VP_SEP[0];

// ---------------------------------------------------------------------------------------------
// Errors.

// The OS code of the last failed non-socket call (GetLastError on Windows, errno on POSIX).
int vp_last_error();
// Clears the code that vp_last_error reports (SetLastError(0) / errno = 0).
void vp_clear_error();
// The system's message text for an OS error code, ending with a line end of its own as the
// Windows message table does. Always zero-terminated within size.
void vp_error_text(int code, char* buf, size_t size);

// ---------------------------------------------------------------------------------------------
// Objects met in the place of a block or of a private file and not used. Other users of the
// machine can make a file or a block of the name first; the opens below check what they find
// and return one of these refusals (below 0) instead of using it. OS error codes stay above 0.
enum : int {
    VP_FOREIGN = -101,     // it belongs to another user
    VP_SHARED = -102,      // other users may open it
    VP_SHORT = -103,       // it is smaller than a block
    VP_LINK = -104,        // a symbolic link (Windows: a reparse point)
    VP_NOT_PLAIN = -105,   // not a regular file: a FIFO, a device, a socket or a folder
    VP_MANY_NAMES = -106,  // it has more than one name (hard links to it elsewhere)
    VP_DENIED = -107,      // it exists and this user may not open it
};
// The result of one of those opens in words, zero-terminated within size: a refusal says what
// is wrong ("it belongs to another user"), followed in brackets by what the refusing open found
// when it was the last one to refuse for that reason ("owner uid 65534, mode 0666"); an OS error
// code gives the system's message. No line end.
void vp_open_error_text(int code, char* buf, size_t size);
// What others than an object's owner may do with it (results of the *_others_access queries).
inline constexpr int VP_OTHERS_READ = 1;
inline constexpr int VP_OTHERS_WRITE = 2;

// ---------------------------------------------------------------------------------------------
// Named shared memory. The first user makes a block, later users open it; all see the same
// bytes, and a new block reads as zeros. A block admits only the user who made it: POSIX mode
// 0600; on Windows a security descriptor whose one entry is that user.
using vp_shm = intptr_t;
inline constexpr vp_shm VP_NO_SHM = -1;

// Makes the block of that name exclusively, or else opens the existing one, but only when it
// is this user's own, admits nobody else and holds at least size bytes: a block left by an
// earlier run of the same user, or made a moment earlier by another program of that user.
// Returns 0 and the handle; VP_FOREIGN, VP_SHARED, VP_SHORT, VP_NOT_PLAIN, VP_MANY_NAMES or
// VP_DENIED for an object that is not used; or the OS error.
int vp_shm_open(const char* name, size_t size, vp_shm* handle);
// Maps the whole block. full_access != 0 asks for all access, 0 for write access (which on
// both platforms also allows reading). Returns 0 and the view, or the OS error.
int vp_shm_map(vp_shm handle, size_t size, int full_access, void** view);
void vp_shm_unmap(void* view, size_t size);
void vp_shm_close(vp_shm handle);
// Copies n bytes from offset of an open block into dest without ever faulting: POSIX reads the
// object itself, so that a block cut short meanwhile gives a short count where a copy from the
// view would end the process; on Windows a mapping keeps its size and the view is copied.
// Returns the number of bytes copied.
size_t vp_shm_read(vp_shm handle, const void* view, size_t offset, void* dest, size_t n);
// Who besides its owner may use an open block: 0 nobody; otherwise VP_OTHERS_READ and/or
// VP_OTHERS_WRITE; -1 when that cannot be read.
int vp_shm_others_access(vp_shm handle);
// The block's object as a person would look for it: "shared-memory object /dev/shm/NAME" on
// Linux ("/NAME" on other POSIX systems), "file mapping NAME" on Windows.
void vp_shm_object_name(const char* name, char* buf, size_t size);
// Removes the name of a block so that the next open creates it afresh. Only POSIX blocks
// outlive their users; on Windows this does nothing. For tests and tools.
void vp_shm_unlink(const char* name);

// ---------------------------------------------------------------------------------------------
// Process-local counting semaphore.
using vp_sem = intptr_t;
inline constexpr vp_sem VP_NO_SEM = 0;

// Returns 0 and the semaphore, or the OS error.
int vp_sem_create(int initial, int maximum, vp_sem* sem);
// Waits without time-out for one unit.
void vp_sem_wait(vp_sem sem);
// Releases one unit. Returns 0, or the OS error (releasing above the maximum, or VP_NO_SEM).
int vp_sem_release(vp_sem sem);

// ---------------------------------------------------------------------------------------------
// Clocks.
void vp_sleep_ms(unsigned ms);
// Wall clock: seconds since 1970 and the milliseconds of the current second.
void vp_time_now(time_t* seconds, unsigned short* millis);
// The same wall clock, read the cheap way, for time stamps taken at a high rate (every log
// line). It advances in steps of the system's clock tick: on Linux the coarse real-time clock,
// whose milliseconds move in steps of a few ms (4 ms with the common 250 Hz tick) and may lag
// vp_time_now by up to one step; on Windows the system time, which moves in such steps anyway.
void vp_time_now_coarse(time_t* seconds, unsigned short* millis);
// Local time of a time value. Returns 0, or -1 when it cannot be converted.
int vp_localtime(time_t t, struct tm* out);
// Seconds since the process started, from a monotonic clock (not CPU time).
double vp_process_seconds();

// ---------------------------------------------------------------------------------------------
// Files.

// Size and modification time of a file, read through a low-level read-only open that neither
// follows a symbolic link nor waits on a FIFO. Returns 0; -1 when the file cannot be opened or
// is no regular file; -2 when its status cannot be read.
int vp_file_stat(const char* path, long long* size, time_t* mtime);
// Opens a file for appending, creating it when it does not exist, or empties it first when
// flags hold VP_PRIVATE_TRUNCATE, as fopen's "a" and "w" do, for files that may hold
// credentials or that other users must not be able to steer. Text mode (Windows writes every
// line end as CR LF) unless flags hold VP_PRIVATE_BINARY. A new file admits only its owner
// (POSIX mode 0600; Windows a descriptor whose one entry is the owner), and an existing one of
// ours is narrowed to that. The path is opened without following a symbolic link and without
// waiting on a FIFO, and the file is used only when it is a regular file of this user with a
// single name; nothing is emptied before that is known. Returns 0 and the stream; VP_LINK,
// VP_NOT_PLAIN, VP_FOREIGN or VP_MANY_NAMES for a file that is not used; or the OS error.
inline constexpr int VP_PRIVATE_TRUNCATE = 1;
inline constexpr int VP_PRIVATE_BINARY = 2;
int vp_file_open_private(const char* path, int flags, FILE** stream);
// Who besides its owner may use a file: 0 nobody; otherwise VP_OTHERS_READ and/or
// VP_OTHERS_WRITE (POSIX: the group and others bits; Windows: the entries of its access list
// for anyone but its owner, this user and the system); -1 when that cannot be read.
int vp_file_others_access(const char* path);
// Opens a file that this program takes its settings from, for reading (text mode), without
// following a symbolic link and without waiting on a FIFO, and uses it only when it is a regular
// file that belongs to this user or to the system's administrators (POSIX: root; Windows: the
// system, the Administrators group, TrustedInstaller). Returns 0 with the stream and in *others
// who besides its owner may use the file opened (as vp_file_others_access, -1 unknown);
// VP_LINK, VP_NOT_PLAIN or VP_FOREIGN for a file that is not used; or the OS error (POSIX
// ENOENT, Windows ERROR_FILE_NOT_FOUND when there is none).
int vp_file_open_own(const char* path, FILE** stream, int* others);
// Whether an OS error code says that a file or a folder on its path does not exist.
bool vp_error_is_missing(int code);

// What a program that starts another program file needs to know of it and of the folder that
// holds it, without following a link at the file's own name. Owners, as the file system records
// them, are told apart as this user, the system's administrators (as for vp_file_open_own),
// somebody else, or nobody where the file system records no owners. Who may write is counted
// for everybody but the owner, this user and the administrators: POSIX the group and others
// write bits; Windows the allow entries of the access list that give a right to change the file
// (its data, its rules, its owner, or deleting it) or the folder (adding or removing names).
enum : int { VP_KIND_FILE = 0, VP_KIND_LINK, VP_KIND_OTHER };
enum : int { VP_OWNER_SELF = 0, VP_OWNER_ADMIN, VP_OWNER_OTHER, VP_OWNER_UNKNOWN };
struct vp_file_facts {
    int kind;                  // VP_KIND_*
    int owner;                 // VP_OWNER_*
    int others_write;          // 1 when others may change the file, 0 not, -1 unknown
    unsigned mode;             // POSIX: its permission bits; Windows: 0
    char owner_text[96];       // "uid 1000", "S-1-5-21-...", for error lines
    int folder_owner;
    int folder_others_write;
    unsigned folder_mode;
    char folder_owner_text[96];
    char folder[1024];         // the folder as a person would look for it (absolute), cut
                               // when longer
};
// Returns 0 with the facts filled, or the OS error (see vp_error_is_missing) when the file or
// its folder cannot be examined.
int vp_file_examine(const char* path, vp_file_facts* facts);
// Whether files carry POSIX permission bits that a person sets with chmod. Windows files take
// the access rules of their folder, which are not the programs' to judge.
#ifdef _WIN32
inline constexpr bool vp_file_modes = false;
#else
inline constexpr bool vp_file_modes = true;
#endif

// ---------------------------------------------------------------------------------------------
// TCP sockets (IPv4, blocking).
using vp_socket = intptr_t;
inline constexpr vp_socket VP_INVALID_SOCKET = -1;

// Winsock numbering of the errors that status lines and tests name.
enum : int {
    VP_WSAEINTR = 10004,
    VP_WSAEBADF = 10009,
    VP_WSAEACCES = 10013,
    VP_WSAEFAULT = 10014,
    VP_WSAEINVAL = 10022,
    VP_WSAEMFILE = 10024,
    VP_WSAEWOULDBLOCK = 10035,
    VP_WSAEINPROGRESS = 10036,
    VP_WSAEALREADY = 10037,
    VP_WSAENOTSOCK = 10038,
    VP_WSAEMSGSIZE = 10040,
    VP_WSAEPROTONOSUPPORT = 10043,
    VP_WSAEAFNOSUPPORT = 10047,
    VP_WSAEADDRINUSE = 10048,
    VP_WSAEADDRNOTAVAIL = 10049,
    VP_WSAENETDOWN = 10050,
    VP_WSAENETUNREACH = 10051,
    VP_WSAENETRESET = 10052,
    VP_WSAECONNABORTED = 10053,
    VP_WSAECONNRESET = 10054,
    VP_WSAENOBUFS = 10055,
    VP_WSAEISCONN = 10056,
    VP_WSAENOTCONN = 10057,
    VP_WSAESHUTDOWN = 10058,
    VP_WSAETIMEDOUT = 10060,
    VP_WSAECONNREFUSED = 10061,
    VP_WSAEHOSTDOWN = 10064,
    VP_WSAEHOSTUNREACH = 10065,
    VP_WSAHOST_NOT_FOUND = 11001,
    VP_WSATRY_AGAIN = 11002,
    VP_WSANO_RECOVERY = 11003,
    VP_WSANO_DATA = 11004,
};

// Starts the socket library (Winsock 2.2). Returns 0, or the error code. POSIX: also makes a
// write to a closed connection fail with an error instead of ending the process.
int vp_net_start();
// The Winsock-numbered code of the last failed socket call on this thread.
int vp_net_error();
vp_socket vp_tcp_socket();
void vp_close_socket(vp_socket s);
// The standard dotted-address conversion (inet_addr): network byte order, or 0xffffffff
// (INADDR_NONE) when the text is no address.
uint32_t vp_inet_addr(const char* text);
// Connects to an IPv4 address (network byte order) and port. Returns 0, or -1 (vp_net_error).
int vp_connect(vp_socket s, uint32_t addr, int port);
// One send or receive call. Returns the byte count, 0 (receive: closed), or -1 (vp_net_error).
int vp_send(vp_socket s, const char* data, int len);
int vp_recv(vp_socket s, char* buf, int len);
// Bounds every later receive on the socket: one that waits longer than ms fails with
// VP_WSAETIMEDOUT on both platforms. 0 waits without bound again. Returns 0, or -1.
int vp_set_recv_timeout(vp_socket s, int ms);
// Bounds every later send on the socket in the same way: a send that cannot hand its bytes
// to the system within ms (the peer has stopped reading and every buffer is full) fails with
// VP_WSAETIMEDOUT, or returns the part it could hand over. 0 waits without bound again. The
// bridges bound their sends so; the simulators, that a test double that has stopped reading
// never waits for good on a bridge that has stopped reading too.
int vp_set_send_timeout(vp_socket s, int ms);
// Host-name lookup. Returns 0 with the number of IPv4 addresses found and the first one as
// dotted text (when there is one); -1 when the lookup fails (vp_net_error has the code);
// -2 when the name is known but is not an internet (IPv4) host.
int vp_resolve(const char* name, char* dotted, size_t size, int* count);

// Loopback listening sockets, for the project's test servers and simulators.
// Listens on 127.0.0.1:port (0 picks a free port). Returns the socket or VP_INVALID_SOCKET.
vp_socket vp_listen_loopback(int port, int* bound_port);
vp_socket vp_accept(vp_socket listener);
// Waits up to ms for the socket to become readable: 1 readable, 0 time-out, -1 error.
int vp_wait_readable(vp_socket s, int ms);

// ---------------------------------------------------------------------------------------------
// Stop requests: Ctrl-C, and on POSIX also SIGTERM and a hang-up (SIGHUP); on Windows also
// Ctrl-Break and the closing of the console window. A program that must tidy up before it ends
// (take its screens off a display, close a connection in good order) catches them and ends in
// its own time; one that does not ends at once, as these requests end any program.

// From this call on, the requests no longer end the program but are noted. A request that the
// program was started to ignore (POSIX: a program started with '&' by a shell without job
// control ignores Ctrl-C) stays ignored. A drawn console does not change that: the program
// still ends in its own time and gives the console back. Returns 0, or the OS error.
int vp_stop_catch();
// Whether a stop request has come since vp_stop_catch.
bool vp_stop_requested();
// Waits up to ms for the socket to become readable, or for nothing but the time when s is
// VP_INVALID_SOCKET, and returns at once when a stop request comes (or has come): one of the
// values below, or -1 on a socket error (vp_net_error).
enum : int { VP_WAIT_TIME = 0, VP_WAIT_READABLE = 1, VP_WAIT_STOP = 2 };
int vp_wait_or_stop(vp_socket s, int ms);

// ---------------------------------------------------------------------------------------------
// Processes.

uint32_t vp_getpid();
// The machine's name (GetComputerNameA; the host name on POSIX), zero-terminated in name, which
// holds size bytes. Returns 0, or -1 when the name cannot be had or does not fit.
int vp_computer_name(char* name, size_t size);
// Resolves the process-image query at run time (Windows: QueryFullProcessImageNameA from
// Kernel32.dll). Returns 0; VP_LOAD_FAILED when the library cannot be loaded; or the error
// code that the look-up left, with what failed in why when given ("LoadLibrary Failed", or
// "Error <code> - <system message>"). POSIX has nothing to resolve and returns 0.
inline constexpr int VP_LOAD_FAILED = -1;
int vp_image_query_load(char* why = nullptr, size_t size = 0);
// Whether the image-name query is available.
bool vp_image_query_ready();
// Lists the ids of all processes. Returns the count (at most max), or -1 (vp_last_error).
int vp_proc_list(uint32_t* ids, int max);
// Full image path of a process, zero-terminated in path; on POSIX the path that its program
// file had when it started, also after that file was removed or replaced. Returns 0; VP_PROC_SKIP when the
// process cannot be opened or has no image to show (it is passed over in silence); or the OS
// error of the query. Windows reports system processes with ERROR_GEN_FAILURE (31).
inline constexpr int VP_PROC_SKIP = -1;
inline constexpr int VP_ERROR_GEN_FAILURE = 31;
int vp_proc_image(uint32_t pid, char* path, size_t size);
// Whether a process is one of ours: it runs as this process's user and sees the same named
// objects (POSIX: the same mount namespace, so the same /dev/shm; Windows: the same session).
// A process of another user, or one in a container beside us, is not ours, whatever its name.
bool vp_proc_ours(uint32_t pid);
// Marks this process as the one that serves the named block, once the block is open, so that
// vp_proc_serves of other processes can tell. POSIX needs no mark: the block's mapping shows it.
// Windows: a named object that lives as long as the process. Returns 0, or the OS error.
int vp_serve_mark(const char* block);
// Whether a process is ours (vp_proc_ours) and serves the named block (vp_serve_mark): POSIX,
// it has that very shared-memory object mapped.
bool vp_proc_serves(uint32_t pid, const char* block);
// Looks through every process for a program of ours whose file has that name (the path's last
// part, letter case significant): vp_proc_serves of the block when one is given, else
// vp_proc_ours. Returns 0 with *pid the last match in the list's order, 0 when none matches;
// VP_FIND_NO_QUERY when the image query is not ready; VP_FIND_NO_LIST when the processes cannot
// be listed (vp_last_error). A process whose image cannot be read is passed over, and on_error,
// when given, gets the error of its query (not Windows' ERROR_GEN_FAILURE of system processes).
enum : int { VP_FIND_NO_QUERY = -1, VP_FIND_NO_LIST = -2 };
using vp_proc_error = void (*)(int code);
int vp_proc_find(const char* image_name, const char* block, vp_proc_error on_error, uint32_t* pid);
// Terminates a process with exit code 0. Returns 0; 1 when it cannot be opened; 2 when the
// termination fails.
int vp_proc_kill(uint32_t pid);
// Starts a program file (a path, not searched for) with one argument, passed as the program's
// argument 0, and waits for it. Returns its exit code, or -1 when it cannot be started.
int vp_spawn_wait(const char* program, const char* arg0);
// Starts a program in the background, independent of the starter: it is not waited for, is not
// left as a zombie, and does not end with the starter. Returns its process id, or -1.
long vp_spawn_detached(const char* program, const char* arg0);
// Starts a program as vp_spawn_detached does, and without the starter's console: its standard
// streams lead nowhere (Windows: the run-time's detached mode; POSIX: /dev/null), so that its
// output never mixes with the starter's screen. Returns 0 when started, -1 when not.
int vp_spawn_background(const char* program, const char* arg0);
// Runs a program file with a real argument list (args[0] the program's own name, the list
// ending in null), its standard output written to the file at out_path (replaced), and waits
// for it. Returns its exit code, or -1 when it cannot be started. For tests and tools that
// run programs which take their arguments one by one.
int vp_run_to_file(const char* program, const char* const* args, const char* out_path);
// Whether a process of that id is still running (for tests and tools).
bool vp_proc_alive(uint32_t pid);
// Ends the process at once with the code, without exit handlers or flushing of C streams.
[[noreturn]] void vp_exit_now(int code);

// ---------------------------------------------------------------------------------------------
// Processor faults, in Windows' terms: exception code, flags, address and parameters.
struct vp_fault {
    uint32_t code;
    uint32_t flags;
    uintptr_t address;
    uint32_t nparams;
    uintptr_t params[3];
};
using vp_fault_handler = void (*)(const vp_fault* fault);

// Installs the handler first in line for every processor fault of the process (Windows: the
// first vectored exception handler; POSIX: signal handlers on an alternate stack, with the
// signal mapped onto the matching Windows exception code). The handler must not return.
void vp_install_fault_handler(vp_fault_handler handler);

// ---------------------------------------------------------------------------------------------
// Console.

// Clears the console window ("cls" on Windows, ANSI escapes on POSIX).
void vp_clear_screen();
// Replaces what the console shows with the text, with as few writes as the platform allows, so
// that a screen redrawn every second does not flicker: POSIX sends the clearing escapes and the
// text together in one write; Windows clears with "cls" and then writes the text at once.
void vp_console_show(const char* text, size_t len);
// Writes UTF-8 text to standard output: to a Windows console as its characters (the console
// reads bytes in its own output code page, seldom UTF-8), elsewhere as the bytes themselves.
void vp_console_write(const char* text, size_t len);

// The size of the window that standard output shows on: 0 with its rows and columns, or -1
// when standard output is no terminal or console (a pipe, a file) or its size is unknown. Read
// afresh at every call, so that a resized window is seen at the next screen.
int vp_console_size(int* rows, int* cols);
// Draws a screen made to fit the window: lines parted by '\n', no more than its rows and each
// narrower than its columns (the last column stays free, so that no line wraps and the last row
// never scrolls the window). Each line replaces its whole row and the rows below the last line
// are cleared. The first call takes the window for the program (POSIX: the terminal's alternate
// screen, the cursor hidden; Windows: the cursor hidden) until vp_console_restore. POSIX writes
// the screen in one write, and nothing while the program runs in the background of its terminal;
// Windows writes the characters into the console buffer in place, so that nothing is cleared
// between two screens.
void vp_console_draw(const char* text, size_t len);

// Keys of the console, for programs that page through a screen.
enum : int {
    VP_KEY_NONE = 0,       // no key within the wait
    VP_KEY_UP = 0x100,
    VP_KEY_DOWN,
    VP_KEY_PAGE_UP,
    VP_KEY_PAGE_DOWN,
    VP_KEY_HOME,
    VP_KEY_END,
    VP_KEY_RESIZE,         // the window changed its size
    VP_KEY_CLOSED,         // the input ended; no more keys will come
};
// Prepares standard input for reading single keys, when it is the console that the program
// runs in the foreground of. POSIX: the terminal's line editing and echo are turned off (its
// signal keys, Ctrl-C among them, stay); a program in the background of its terminal gets its
// keys once it is brought to the foreground. Returns 0, or -1 when no keys can be read.
int vp_console_keys_start();
// Waits up to ms for a key and returns it: a character as its byte value (1 to 255), one of
// the VP_KEY_ values above, or VP_KEY_NONE when the time passed without a key.
int vp_console_wait_key(int ms);
// Gives the console back as the program found it: the input mode, the normal screen and the
// cursor. Called at exit, before a report of vp_install_fault_handler's handler, and on Ctrl-C,
// SIGTERM, a hang-up and every other signal that ends the program by itself (a stop request that
// vp_stop_catch notes ends nothing) once keys or a drawn screen changed anything (POSIX: a signal
// that dumps core only while no handler of the program's own has it); more than once does no harm.
void vp_console_restore();
