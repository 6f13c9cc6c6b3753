/* vistrel_reader.h - read a Vistrel bridge's publication block from another process (C99/C++). */
/*
 * Self-contained: copy this one file into a display plug-in. It depends on nothing of the
 * bridges' own sources, only on the C library and the operating system (kernel32 on Windows,
 * POSIX shared memory elsewhere; glibc before 2.34 needs -lrt). On POSIX include it first, or
 * build with _POSIX_C_SOURCE defined, so that shm_open is declared.
 *
 * A bridge rewrites its block in place whenever it publishes and nothing locks the block
 * between processes, so a reader never works on the block itself: vr_snapshot copies it into
 * the caller's table and keeps the copy only when the block did not change while it was taken.
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
#include <string.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
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

/* A block opened for reading. */
typedef struct vr_block {
    const void *view;
    size_t size;
#ifdef _WIN32
    HANDLE mapping;
#endif
} vr_block;

/* Opens the block of that name read-only, without ever creating it. Returns 0, or the system's
 * error code: ERROR_FILE_NOT_FOUND (2) or ENOENT when no process holds the block (no bridge
 * has run since the last one ended); on POSIX EINVAL for an object shorter than a block. */
static inline int vr_open(vr_block *block, const char *name) {
#ifdef _WIN32
    block->view = NULL;
    block->size = 0;
    block->mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (block->mapping == NULL) return (int)GetLastError();
    /* Mapping the full size fails on a smaller mapping, which is then not a bridge's block. */
    block->view = MapViewOfFile(block->mapping, FILE_MAP_READ, 0, 0, VR_BLOCK_SIZE);
    if (block->view == NULL) {
        int err = (int)GetLastError();
        CloseHandle(block->mapping);
        block->mapping = NULL;
        return err;
    }
    block->size = VR_BLOCK_SIZE;
    return 0;
#else
    char path[256];
    struct stat st;
    void *view;
    int fd, err, n = snprintf(path, sizeof path, "/%s", name);
    block->view = NULL;
    block->size = 0;
    if (n <= 0 || (size_t)n >= sizeof path) return ENAMETOOLONG;
    fd = shm_open(path, O_RDONLY, 0);
    if (fd < 0) return errno;
    /* Bytes beyond the end of a shorter object would fault when read: refuse it instead. It is
     * not a bridge's block, or one being made this instant. */
    if (fstat(fd, &st) != 0) {
        err = errno;
        close(fd);
        return err;
    }
    if (st.st_size < (off_t)VR_BLOCK_SIZE) {
        close(fd);
        return EINVAL;
    }
    view = mmap(NULL, VR_BLOCK_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    err = errno;
    close(fd); /* the mapping keeps the object */
    if (view == MAP_FAILED) return err;
    block->view = view;
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
    if (block->view) munmap((void *)block->view, block->size);
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

/* One copy attempt from a view of view_size bytes into table, which holds room records: the
 * header entry first, its state word and count checked, then (count + 1) records. Returns the
 * count, or VR_NOT_PUBLISHED (table[0] then holds the header), VR_BAD_COUNT, VR_TORN (the
 * header changed under the copy) or VR_BAD_ARGS.
 * The copy is only good if vr_copy_holds confirms it. */
static inline int vr_copy_table(const void *view, size_t view_size, vr_record *table, int room) {
    vr_state state;
    int32_t count;
    if (view == NULL || table == NULL || room < 1 || view_size < VR_RECORD_SIZE) return VR_BAD_ARGS;
    vr_read_bytes(&table[0], view, VR_RECORD_SIZE);
    state = vr_state_of(&table[0]);
    if (state == VR_STATE_NO_TAGS) return 0;
    if (state != VR_STATE_TAGS) return VR_NOT_PUBLISHED;
    count = table[0].len;
    if (count < 0 || count > VR_MAX_TAGS || count >= room ||
        (size_t)(count + 1) * VR_RECORD_SIZE > view_size)
        return VR_BAD_COUNT;
    vr_read_bytes(&table[0], view, (size_t)(count + 1) * VR_RECORD_SIZE);
    /* The header copied again with the table must still read "Numtags" with the same count. */
    if (vr_state_of(&table[0]) != VR_STATE_TAGS || table[0].len != count) return VR_TORN;
    return count;
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
 * header, whose state word says why), VR_BAD_COUNT, VR_TORN or VR_BAD_ARGS. */
static inline int vr_snapshot(const vr_block *block, vr_record *table, int room, int tries) {
    int attempt, result = VR_TORN;
    if (block == NULL || block->view == NULL) return VR_BAD_ARGS;
    for (attempt = 0; attempt < tries; attempt++) {
        if (attempt > 0) vr_pause_ms(1);
        result = vr_copy_table(block->view, block->size, table, room);
        if (result == VR_BAD_ARGS) return result;
        /* A block that is not published yet (or stopped) stays so for a while; say it at once.
         * An unknown state word may be a header caught half-written: try again. */
        if (result == VR_NOT_PUBLISHED && vr_state_of(&table[0]) != VR_STATE_UNKNOWN) return result;
        if (result >= 0) {
            if (vr_copy_holds(block->view, table, result)) return result;
            result = VR_TORN;
        }
    }
    return result;
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
