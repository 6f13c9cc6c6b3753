/* vistrel_reader.h - read a Vistrel bridge's publication block from another process (C99/C++). */
/*
 * Self-contained: copy this one file into a display plug-in. It depends on nothing of the
 * bridges' own sources, only on the C library and the operating system (kernel32 and advapi32
 * on Windows, POSIX shared memory elsewhere; glibc before 2.34 needs -lrt). On POSIX include it
 * first, or build with _POSIX_C_SOURCE defined, so that shm_open is declared.
 *
 * Any user of the machine can make an object of a block's name before the bridge does, so
 * vr_open trusts a block only when it belongs to the reader's own user and admits nobody else.
 * A bridge rewrites its block in place whenever it publishes and nothing locks the block
 * between processes, so a reader never works on the block itself: vr_snapshot copies it into
 * the caller's table and keeps the copy only when the block did not change while it was taken.
 * On POSIX it reads the object with pread rather than through a mapping, so that a block cut
 * short meanwhile gives an error instead of ending the reader with SIGBUS.
 *
 *   static vr_record table[VR_TABLE_RECORDS];
 *   vr_block block;
 *   if (vr_open(&block, VR_MPEXTENDED) == 0) {
 *       int count = vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES);
 *       const vr_record *title = count > 0 ? vr_find(table, count, "Recording1.Title") : NULL;
 *       vr_close(&block);
 *   }
 */
#ifndef VISTREL_READER_H
#define VISTREL_READER_H

#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#ifdef _MSC_VER
#pragma comment(lib, "advapi32.lib")
#endif
#else
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

/* The two blocks, by the names the bridges give them. POSIX adds a leading slash. */
#define VR_MPEXTENDED "Vistrel_MPExtended"
#define VR_WIFIREMOTE "Vistrel_WIFIRemote"

/* A second installation, or a test run, on the same machine gives its blocks names of their own
 * through the environment: VISTREL_BLOCK_SUFFIX, when set and not empty, is appended to both
 * names ("Vistrel_MPExtended" becomes "Vistrel_MPExtended.kitchen" with ".kitchen"). Every
 * Vistrel program reads it; a reader that shows a chosen installation reads it too, through
 * vr_block_name. The suffix is 1 to VR_SUFFIX_MAX letters, digits, '.', '_' or '-': a name that
 * could reach another folder or another namespace is refused rather than used. */
#define VR_SUFFIX_VARIABLE "VISTREL_BLOCK_SUFFIX"
#define VR_SUFFIX_MAX 32
#define VR_NAME_MAX 64 /* room for any block name: the longer base, the suffix and a zero */

#define VR_BLOCK_SIZE 1048576     /* every block, in bytes */
#define VR_RECORD_SIZE 340        /* one record; record k lies at offset 340 * k */
#define VR_MAX_TAGS 2048          /* the count never exceeds this */
#define VR_TABLE_RECORDS (VR_MAX_TAGS + 1) /* header and every tag: 696,660 bytes */
#define VR_NAME_SIZE 64           /* name field; at most 63 characters and a zero */
#define VR_TEXT_SIZE 260          /* string field; at most 256 characters and a zero */
#define VR_TRIES 50               /* a sound number of copy attempts for vr_snapshot */

/* Type codes. 2 is never written. */
#define VR_TYPE_INT 0   /* ival holds the number, string its text */
#define VR_TYPE_TEXT 1  /* string holds the text; ival what the bridge gave with it */
#define VR_TYPE_TIME 3  /* string holds a local date and time (or a duration such as 1:30:00) */

/* One record, identical in the block: little-endian, no padding. Entry 0 is the header entry:
 * name holds the state word, len the tag count, time the moment of the last publication and
 * string the status line. */
typedef struct vr_record {
    char name[VR_NAME_SIZE];  /* offset 0 */
    int32_t len;              /* offset 64: length of name; in the header the tag count */
    int32_t type;             /* offset 68 */
    int32_t ival;             /* offset 72 */
    int32_t time;             /* offset 76: seconds since 1970 UTC */
    char string[VR_TEXT_SIZE]; /* offset 80 */
} vr_record;

#if defined(__cplusplus)
#define VR_CHECK(cond, what) static_assert(cond, #what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VR_CHECK(cond, what) _Static_assert(cond, #what)
#else
#define VR_CHECK(cond, what) typedef char vr_check_##what[(cond) ? 1 : -1]
#endif
VR_CHECK(sizeof(vr_record) == VR_RECORD_SIZE, record_size);
VR_CHECK(offsetof(vr_record, len) == 64, len_offset);
VR_CHECK(offsetof(vr_record, type) == 68, type_offset);
VR_CHECK(offsetof(vr_record, ival) == 72, ival_offset);
VR_CHECK(offsetof(vr_record, time) == 76, time_offset);
VR_CHECK(offsetof(vr_record, string) == 80, string_offset);

/* How a block's texts are written, as its bridges' Text_Encoding= setting chose. The bridge
 * writes the name of its encoding into the block's last VR_ENCODING_SIZE bytes, which no table
 * ever reaches (a full table ends at 696,660 bytes): VR_ENCODING_MARK followed by "Raw",
 * "Windows-1252", "ASCII" or "UTF-8", zero-terminated, in every encoding (Raw too), when it opens
 * the block and with each publication. Names, numbers, dates and the list of tags (names, types,
 * order, count) are the same in every encoding; only the bytes of text values differ. In the
 * three readable encodings the JSON escapes are undone (\" \\ \/ \uXXXX, surrogate pairs
 * joined), every control character is one blank, what is no character is '?', and a text is cut
 * at 256 bytes between characters; a "\/Date(...)\/" value is still a date, and an array's text
 * stays JSON (escapes as they came, characters in the encoding). */
#define VR_ENCODING_OFFSET (VR_BLOCK_SIZE - 64)
#define VR_ENCODING_SIZE 64
#define VR_ENCODING_MARK "VistrelText="
typedef enum vr_encoding {
    VR_TEXT_RAW,          /* as the services sent them: each multi-byte UTF-8 character one
                           * blank, JSON escapes such as \" and \u00e9 left as they arrived;
                           * channel names unchanged, which may hold UTF-8 */
    VR_TEXT_WINDOWS_1252, /* one byte per character in Windows-1252; a character it lacks as
                           * its plain letters (l for l-stroke) or '?' */
    VR_TEXT_ASCII,        /* plain letters only (e for \u00e9, ss for sharp s, EUR), else '?' */
    VR_TEXT_UTF8          /* valid UTF-8 */
} vr_encoding;

/* The name of an encoding as the marker spells it. */
static inline const char *vr_encoding_name(vr_encoding encoding) {
    static const char *const names[] = {"Raw", "Windows-1252", "ASCII", "UTF-8"};
    return (unsigned)encoding < sizeof names / sizeof names[0] ? names[encoding] : "Raw";
}

/* The encoding that the marker bytes name (VR_ENCODING_SIZE of them, copied out of a block), or
 * -1 when they name none: no marker, or one that names nothing known. */
static inline int vr_encoding_marked(const char *marker) {
    size_t mark = sizeof VR_ENCODING_MARK - 1;
    int i;
    if (memcmp(marker, VR_ENCODING_MARK, mark) != 0) return -1;
    for (i = VR_TEXT_RAW; i <= VR_TEXT_UTF8; i++) {
        const char *name = vr_encoding_name((vr_encoding)i);
        size_t n = strlen(name) + 1; /* the zero too: "UTF-8x" is no encoding */
        if (mark + n <= VR_ENCODING_SIZE && memcmp(marker + mark, name, n) == 0) return i;
    }
    return -1;
}

/* The encoding that the marker bytes name. A block without a marker was written by a bridge that
 * knows only Raw, or not yet opened by its bridge; a marker that names nothing known counts as
 * Raw too. */
static inline vr_encoding vr_encoding_named(const char *marker) {
    int e = vr_encoding_marked(marker);
    return e < 0 ? VR_TEXT_RAW : (vr_encoding)e;
}

/* The first 8 bytes of a block, the header entry's name. */
typedef enum vr_state {
    VR_STATE_EMPTY,    /* zeros: made by a reader, no bridge has opened it yet */
    VR_STATE_STARTED,  /* "Invalid " (blank, no zero): opened by its bridge, nothing published */
    VR_STATE_NO_TAGS,  /* "Invalid" and a zero: published, no tags */
    VR_STATE_TAGS,     /* "Numtags" and a zero: published; len is the count */
    VR_STATE_SHUTDOWN, /* "Shutdown": the bridge stopped publishing */
    VR_STATE_UNKNOWN   /* anything else: not a bridge's block, or caught half-written */
} vr_state;

static inline vr_state vr_state_of(const vr_record *header) {
    static const char zeros[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (memcmp(header->name, "Numtags", 8) == 0) return VR_STATE_TAGS;
    if (memcmp(header->name, "Invalid", 8) == 0) return VR_STATE_NO_TAGS;
    if (memcmp(header->name, "Invalid ", 8) == 0) return VR_STATE_STARTED;
    if (memcmp(header->name, "Shutdown", 8) == 0) return VR_STATE_SHUTDOWN;
    if (memcmp(header->name, zeros, 8) == 0) return VR_STATE_EMPTY;
    return VR_STATE_UNKNOWN;
}

/* Results of vr_snapshot and vr_copy_table below 0. */
#define VR_NOT_PUBLISHED (-1) /* no table yet (or any more): see vr_state_of(&table[0]) */
#define VR_BAD_COUNT (-2)     /* the count is outside 0..2048 or exceeds the caller's table */
#define VR_TORN (-3)          /* the block changed during every copy attempt */
#define VR_BAD_ARGS (-4)
#define VR_CUT (-5)           /* the block became shorter than its table: cut down meanwhile */

/* Results of vr_open below 0: an object of the block's name that is not a bridge's block of
 * this user and is not read. What it holds would be somebody else's words. */
#define VR_FOREIGN (-11) /* it belongs to another user */
#define VR_SHARED (-12)  /* other users may open it (POSIX group or others bits; Windows an
                          * access list that admits anyone but this user and the system) */
#define VR_SHORT (-13)   /* it is smaller than a block */
#define VR_ODD (-14)     /* POSIX: not a plain shared-memory object (no regular file, or more
                          * than one name) */

/* Result of vr_block_name: VISTREL_BLOCK_SUFFIX holds something that is no suffix. */
#define VR_BAD_SUFFIX (-15)

/* The block name of this run for a base name (VR_MPEXTENDED or VR_WIFIREMOTE) into out, which
 * holds size bytes (VR_NAME_MAX is enough): the base itself while VISTREL_BLOCK_SUFFIX is unset
 * or empty, else the base and the suffix. Returns 0; VR_BAD_SUFFIX, with the base in out, when
 * the variable holds something that is no suffix; VR_BAD_ARGS when the name does not fit. */
static inline int vr_block_name(char *out, size_t size, const char *base) {
    const char *suffix = getenv(VR_SUFFIX_VARIABLE);
    size_t base_len, suffix_len = 0, i;
    int bad = 0;
    if (out == NULL || base == NULL) return VR_BAD_ARGS;
    base_len = strlen(base);
    if (base_len >= size) return VR_BAD_ARGS;
    if (suffix != NULL) {
        suffix_len = strlen(suffix);
        if (suffix_len > VR_SUFFIX_MAX) bad = 1;
        for (i = 0; !bad && i < suffix_len; i++) {
            char c = suffix[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-'))
                bad = 1;
        }
    }
    memcpy(out, base, base_len + 1);
    if (bad) return VR_BAD_SUFFIX;
    if (base_len + suffix_len >= size) return VR_BAD_ARGS;
    if (suffix_len > 0) memcpy(out + base_len, suffix, suffix_len);
    out[base_len + suffix_len] = '\0';
    return 0;
}

/* A block opened for reading. A caller may also point view and size at bytes in memory. */
typedef struct vr_block {
    const void *view; /* the block's bytes in memory (Windows: the mapped view), or NULL */
    size_t size;
#ifdef _WIN32
    HANDLE mapping;
#else
    int fd;           /* POSIX: the object, read with pread */
    int fd_open;      /* whether fd holds it */
#endif
} vr_block;

#ifdef _WIN32
/* The SID of an allow entry of an access list, of whatever kind (plain, callback, compound,
 * object, callback object), or NULL for a deny entry and for one that passes on only to
 * objects made inside the object. *broken is set for an allow entry whose SID cannot be found
 * in it: it may admit anybody. */
static inline PSID vr_allowed_sid(ACE_HEADER *ace, int *broken) {
    size_t at;
    DWORD flags;
    PSID sid;
    *broken = 0;
    if (ace->AceFlags & INHERIT_ONLY_ACE) return NULL;
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        at = sizeof(ACE_HEADER) + sizeof(DWORD);
        break;
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        at = sizeof(ACE_HEADER) + sizeof(DWORD) + 2 * sizeof(USHORT);
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        memcpy(&flags, (BYTE *)ace + sizeof(ACE_HEADER) + sizeof(DWORD), sizeof flags);
        at = sizeof(ACE_HEADER) + 2 * sizeof(DWORD);
        if (flags & ACE_OBJECT_TYPE_PRESENT) at += sizeof(GUID);
        if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) at += sizeof(GUID);
        break;
    default:
        return NULL;
    }
    sid = (PSID)((BYTE *)ace + at);
    if (at + 8 > ace->AceSize || !IsValidSid(sid) || at + GetLengthSid(sid) > ace->AceSize) {
        *broken = 1;
        return NULL;
    }
    return sid;
}

/* Whether a mapping belongs to this process's user (or to the owner that the user's new
 * objects get) and its access list admits nobody but that user and the system, by an allow
 * entry of any kind. */
static inline int vr_check_mapping(HANDLE mapping) {
    HANDLE token;
    union { TOKEN_USER user; BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]; } user;
    union { TOKEN_OWNER owner; BYTE bytes[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE]; } deflt;
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    DWORD n, i, err;
    int result = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return (int)GetLastError();
    if (!GetTokenInformation(token, TokenUser, &user, sizeof user, &n) ||
        !GetTokenInformation(token, TokenOwner, &deflt, sizeof deflt, &n)) {
        err = GetLastError();
        CloseHandle(token);
        return (int)err;
    }
    CloseHandle(token);
    err = GetSecurityInfo(mapping, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          &owner, NULL, &dacl, NULL, &sd);
    if (err != ERROR_SUCCESS) return (int)err;
    if (owner == NULL || (!EqualSid(owner, user.user.User.Sid) && !EqualSid(owner, deflt.owner.Owner)))
        result = VR_FOREIGN;
    else if (dacl == NULL) /* no access list at all: everyone may do everything */
        result = VR_SHARED;
    else
        for (i = 0; i < dacl->AceCount && result == 0; i++) {
            ACE_HEADER *ace = NULL;
            PSID sid;
            int broken;
            if (!GetAce(dacl, i, (void **)&ace)) continue;
            sid = vr_allowed_sid(ace, &broken);
            if (broken)
                result = VR_SHARED;
            else if (sid != NULL && !EqualSid(sid, user.user.User.Sid) && !EqualSid(sid, deflt.owner.Owner) &&
                     !IsWellKnownSid(sid, WinLocalSystemSid))
                result = VR_SHARED;
        }
    LocalFree(sd);
    return result;
}
#endif

/* Opens the block of that name for reading, without ever creating it, and only when it is a
 * block of this user that admits nobody else. Returns 0; the system's error code:
 * ERROR_FILE_NOT_FOUND (2) or ENOENT when no process holds the block (no bridge has run since
 * the last one ended); or VR_FOREIGN, VR_SHARED, VR_SHORT, VR_ODD for an object of that name
 * that is not read. */
static inline int vr_open(vr_block *block, const char *name) {
#ifdef _WIN32
    int err;
    block->view = NULL;
    block->size = 0;
    block->mapping = OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, name);
    if (block->mapping == NULL) return (int)GetLastError();
    err = vr_check_mapping(block->mapping);
    if (err == 0) {
        /* Mapping the full size fails on a smaller mapping, which is then not a bridge's block. */
        block->view = MapViewOfFile(block->mapping, FILE_MAP_READ, 0, 0, VR_BLOCK_SIZE);
        if (block->view == NULL) err = (int)GetLastError();
    }
    if (err != 0) {
        CloseHandle(block->mapping);
        block->mapping = NULL;
        return err;
    }
    block->size = VR_BLOCK_SIZE;
    return 0;
#else
    char path[256];
    struct stat st;
    int fd, err = 0, n = snprintf(path, sizeof path, "/%s", name);
    block->view = NULL;
    block->size = 0;
    block->fd = -1;
    block->fd_open = 0;
    if (n <= 0 || (size_t)n >= sizeof path) return ENAMETOOLONG;
    fd = shm_open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0); /* no wait on a FIFO */
    if (fd < 0) return errno;
    /* The directory of these objects is writable by every user: anyone may have made one of
     * this name first, with any rights and any size. */
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        err = VR_ODD;
    else if (st.st_uid != geteuid())
        err = VR_FOREIGN;
    else if ((st.st_mode & 077) != 0)
        err = VR_SHARED;
    else if (st.st_size < (off_t)VR_BLOCK_SIZE)
        err = VR_SHORT;
    if (err != 0) {
        close(fd);
        return err;
    }
    block->fd = fd;
    block->fd_open = 1;
    block->size = VR_BLOCK_SIZE;
    return 0;
#endif
}

static inline void vr_close(vr_block *block) {
#ifdef _WIN32
    if (block->view) UnmapViewOfFile(block->view);
    if (block->mapping) CloseHandle(block->mapping);
    block->mapping = NULL;
#else
    if (block->fd_open) close(block->fd);
    block->fd = -1;
    block->fd_open = 0;
#endif
    block->view = NULL;
    block->size = 0;
}

/* Copies n bytes out of the block. The volatile reads make every copy a real read of the
 * shared memory, which another process changes behind the compiler's back. */
static inline void vr_read_bytes(void *dest, const void *view, size_t n) {
    const volatile unsigned char *src = (const volatile unsigned char *)view;
    unsigned char *d = (unsigned char *)dest;
    size_t i;
    for (i = 0; i < n; i++) d[i] = src[i];
}

/* n bytes from offset of the block into dest: from the bytes in memory, or (POSIX) read from
 * the object. Returns 0, or -1 when the block ends before them. */
static inline int vr_read_at(const vr_block *block, size_t offset, void *dest, size_t n) {
    if (block->view != NULL) {
        if (offset > block->size || n > block->size - offset) return -1;
        vr_read_bytes(dest, (const unsigned char *)block->view + offset, n);
        return 0;
    }
#ifndef _WIN32
    if (block->fd_open) {
        size_t done = 0;
        while (done < n) {
            ssize_t got = pread(block->fd, (unsigned char *)dest + done, n - done, (off_t)(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return -1;
            done += (size_t)got;
        }
        return 0;
    }
#endif
    return -1;
}

/* The encoding of an opened block's texts (see vr_encoding_named); Raw when it cannot be read. */
static inline vr_encoding vr_encoding_of(const vr_block *block) {
    char marker[VR_ENCODING_SIZE];
    if (block == NULL || vr_read_at(block, VR_ENCODING_OFFSET, marker, sizeof marker) != 0) return VR_TEXT_RAW;
    return vr_encoding_named(marker);
}

/* One copy attempt from a block into table, which holds room records: the header entry first,
 * its state word and count checked, then (count + 1) records. Returns the count, or
 * VR_NOT_PUBLISHED (table[0] then holds the header), VR_BAD_COUNT, VR_TORN (the header changed
 * under the copy), VR_CUT or VR_BAD_ARGS. */
static inline int vr_copy_block_table(const vr_block *block, vr_record *table, int room) {
    vr_state state;
    int32_t count;
    if (table == NULL || room < 1 || block->size < VR_RECORD_SIZE) return VR_BAD_ARGS;
    if (vr_read_at(block, 0, &table[0], VR_RECORD_SIZE) != 0) return VR_CUT;
    state = vr_state_of(&table[0]);
    if (state == VR_STATE_NO_TAGS) return 0;
    if (state != VR_STATE_TAGS) return VR_NOT_PUBLISHED;
    count = table[0].len;
    if (count < 0 || count > VR_MAX_TAGS || count >= room ||
        (size_t)(count + 1) * VR_RECORD_SIZE > block->size)
        return VR_BAD_COUNT;
    if (vr_read_at(block, 0, &table[0], (size_t)(count + 1) * VR_RECORD_SIZE) != 0) return VR_CUT;
    /* The header copied again with the table must still read "Numtags" with the same count. */
    if (vr_state_of(&table[0]) != VR_STATE_TAGS || table[0].len != count) return VR_TORN;
    return count;
}

/* One copy attempt from view_size bytes in memory (see vr_copy_block_table).
 * The copy is only good if vr_copy_holds confirms it. */
static inline int vr_copy_table(const void *view, size_t view_size, vr_record *table, int room) {
    vr_block block;
    if (view == NULL) return VR_BAD_ARGS;
    memset(&block, 0, sizeof block);
    block.view = view;
    block.size = view_size;
    return vr_copy_block_table(&block, table, room);
}

/* Whether the block still holds, byte for byte, the count + 1 records that vr_copy_table took:
 * header entry, state word, count, status line and every tag. A bridge that published in the
 * meantime makes this false. */
static inline int vr_copy_holds(const void *view, const vr_record *table, int count) {
    const volatile unsigned char *live = (const volatile unsigned char *)view;
    const unsigned char *copy = (const unsigned char *)table;
    size_t i, n = (size_t)(count + 1) * VR_RECORD_SIZE;
    for (i = 0; i < n; i++)
        if (live[i] != copy[i]) return 0;
    return 1;
}

/* vr_copy_holds for an opened block: 1 holds, 0 changed, -1 the block ends before the table. */
static inline int vr_block_holds(const vr_block *block, const vr_record *table, int count) {
    unsigned char chunk[4096];
    const unsigned char *copy = (const unsigned char *)table;
    size_t at, n = (size_t)(count + 1) * VR_RECORD_SIZE;
    if (block->view != NULL) {
        if (n > block->size) return -1;
        return vr_copy_holds(block->view, table, count);
    }
    for (at = 0; at < n; at += sizeof chunk) {
        size_t part = n - at < sizeof chunk ? n - at : sizeof chunk;
        if (vr_read_at(block, at, chunk, part) != 0) return -1;
        if (memcmp(chunk, copy + at, part) != 0) return 0;
    }
    return 1;
}

static inline void vr_pause_ms(unsigned ms) {
#ifdef _WIN32
    Sleep(ms);
#else
    struct timespec ts;
    ts.tv_sec = (time_t)(ms / 1000);
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
#endif
}

/* A consistent copy of the block's header and tags into table (room records; VR_TABLE_RECORDS
 * takes any table). Up to tries attempts, 1 ms apart after a failed one. Returns the count
 * (0 or more; table[1] to table[count] are the tags), or VR_NOT_PUBLISHED (table[0] holds the
 * header, whose state word says why), VR_BAD_COUNT, VR_TORN, VR_CUT (the block is shorter than
 * its table: close it and open it again later) or VR_BAD_ARGS. */
static inline int vr_snapshot(const vr_block *block, vr_record *table, int room, int tries) {
    int attempt, result = VR_TORN;
    if (block == NULL) return VR_BAD_ARGS;
#ifdef _WIN32
    if (block->view == NULL) return VR_BAD_ARGS;
#else
    if (block->view == NULL && !block->fd_open) return VR_BAD_ARGS;
#endif
    for (attempt = 0; attempt < tries; attempt++) {
        if (attempt > 0) vr_pause_ms(1);
        result = vr_copy_block_table(block, table, room);
        if (result == VR_BAD_ARGS || result == VR_CUT) return result;
        /* A block that is not published yet (or stopped) stays so for a while; say it at once.
         * An unknown state word may be a header caught half-written: try again. */
        if (result == VR_NOT_PUBLISHED && vr_state_of(&table[0]) != VR_STATE_UNKNOWN) return result;
        if (result >= 0) {
            int holds = vr_block_holds(block, table, result);
            if (holds > 0) return result;
            if (holds < 0) return VR_CUT;
            result = VR_TORN;
        }
    }
    return result;
}

/* One copy of a block as it stands, for a program that shows whatever a block holds, caught
 * half-written or not: the header entry into *header and, when its state word reads "Numtags",
 * the header again and the tags that its count names into table, at most room - 1 of them and
 * none for a count below 0. Nothing is checked and no attempt repeated: values to act on come
 * from vr_snapshot. What could not be read, the block ending before it, reads as zeros.
 * Returns the number of tags copied; VR_NOT_PUBLISHED when only *header was copied (table is
 * left as it was); VR_CUT when the block ends before the header or the table; VR_BAD_ARGS. */
static inline int vr_copy_as_is(const vr_block *block, vr_record *header, vr_record *table, int room) {
    int32_t count;
    size_t bytes;
    if (block == NULL || header == NULL || table == NULL || room < 1) return VR_BAD_ARGS;
    if (vr_read_at(block, 0, header, VR_RECORD_SIZE) != 0) {
        memset(header, 0, VR_RECORD_SIZE);
        return VR_CUT;
    }
    if (vr_state_of(header) != VR_STATE_TAGS) return VR_NOT_PUBLISHED;
    count = header->len < 0 ? 0 : header->len;
    if (count > VR_MAX_TAGS) count = VR_MAX_TAGS;
    if (count > room - 1) count = room - 1;
    bytes = (size_t)(count + 1) * VR_RECORD_SIZE;
    if (vr_read_at(block, 0, table, bytes) != 0) {
        memset(table, 0, bytes);
        return VR_CUT;
    }
    return count;
}

/* A record's text (name or string field of width bytes) as a terminated text in out (size
 * bytes): up to its zero, never beyond the field, cut to fit. What follows the zero in the
 * field is old text left behind by a longer value, never part of this one. */
static inline void vr_text(char *out, size_t size, const char *field, size_t width) {
    size_t n = 0;
    if (size == 0) return;
    while (n < width && n + 1 < size && field[n] != '\0') {
        out[n] = field[n];
        n++;
    }
    out[n] = '\0';
}

/* The tag of exactly that name in a snapshot of count tags, or NULL. (The bridges' own lookup
 * takes the first name that begins with the query; a reader wants the name itself, so that
 * "Recording1.Title" never answers for "Recording10.Title".) */
static inline const vr_record *vr_find(const vr_record *table, int count, const char *name) {
    int i;
    size_t n = strlen(name);
    if (n >= VR_NAME_SIZE) return NULL;
    for (i = 1; i <= count; i++)
        if (memcmp(table[i].name, name, n + 1) == 0) return &table[i];
    return NULL;
}

#endif /* VISTREL_READER_H */
