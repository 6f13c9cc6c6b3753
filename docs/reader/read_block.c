/* read_block.c - prints a bridge's publication block: state, time, status line, text encoding and every tag. */
/*
 * Usage: read_block [BLOCK]     BLOCK defaults to Vistrel_MPExtended
 * Exit codes: 0 the table was printed; 1 the block does not exist, cannot be mapped or is
 * not read (another user's, open to others, too small or no plain object);
 * 2 no consistent copy could be taken; 3 the bridge has published nothing (yet); 4 usage.
 */
#include "vistrel_reader.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

/* 696,660 bytes: static rather than on the stack. */
static vr_record table[VR_TABLE_RECORDS];

static const char *state_name(vr_state state) {
    switch (state) {
        case VR_STATE_EMPTY: return "empty (no bridge has opened the block yet)";
        case VR_STATE_STARTED: return "Invalid (opened by its bridge, nothing published yet)";
        case VR_STATE_NO_TAGS: return "Invalid (published, no tags)";
        case VR_STATE_TAGS: return "Numtags";
        case VR_STATE_SHUTDOWN: return "Shutdown";
        default: return "unknown";
    }
}

static const char *type_name(int32_t type) {
    switch (type) {
        case VR_TYPE_INT: return "int";
        case VR_TYPE_TEXT: return "text";
        case VR_TYPE_TIME: return "time";
        default: return "?";
    }
}

/* A field as printable text: the bridges pass on what their servers send, so every control
 * is shown as one '?' rather than sent to the terminal: bytes below 32, DEL, the C1 controls
 * 0x80-0x9F (an 8-bit terminal takes 0x9B for CSI and 0x9D for OSC) and their UTF-8 forms C2 80
 * to C2 9F (which a UTF-8 terminal takes the same way). */
static const char *printable(char *out, size_t size, const char *field, size_t width) {
    size_t r = 0, w = 0;
    vr_text(out, size, field, width);
    while (out[r] != '\0') {
        unsigned char c = (unsigned char)out[r];
        unsigned char next = (unsigned char)out[r + 1];
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out[w++] = '?';
            r += 2;
        } else {
            out[w++] = (c < 32 || c == 127 || (c >= 0x80 && c <= 0x9F)) ? '?' : (char)c;
            r++;
        }
    }
    out[w] = '\0';
    return out;
}

/* Why vr_open refused an object of the block's name (a result below 0), in words. */
static const char *refusal(int err) {
    switch (err) {
        case VR_FOREIGN: return "it belongs to another user";
        case VR_SHARED: return "other users may open it";
        case VR_SHORT: return "it is smaller than a block";
        case VR_ODD: return "it is no plain shared-memory object with a single name";
        default: return "it is no block of this user";
    }
}

/* Why vr_snapshot took no copy, for a result below 0 other than VR_NOT_PUBLISHED. */
static const char *copy_failure(int result) {
    switch (result) {
        case VR_BAD_COUNT: return "tag count out of range";
        case VR_TORN: return "the block kept changing";
        case VR_CUT: return "the block was cut down while it was read";
        default: return "the copy was not attempted";
    }
}

static void print_header(const char *name, const vr_record *header, vr_encoding encoding) {
    char status[VR_TEXT_SIZE + 1];
    char when[64] = "";
    time_t t = (time_t)header->time;
    struct tm *local = localtime(&t);
    if (local == NULL || strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local) == 0)
        strcpy(when, "?");
    printf("Block:  %s\n", name);
    printf("State:  %s\n", state_name(vr_state_of(header)));
    printf("Time:   %ld (%s local)\n", (long)header->time, when);
    printf("Status: %s\n", printable(status, sizeof status, header->string, VR_TEXT_SIZE));
    printf("Text:   %s\n", vr_encoding_name(encoding));
}

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : VR_MPEXTENDED;
    static char named[VR_NAME_MAX];
    vr_block block;
    int err, count, i;
    vr_encoding encoding;
    if (argc > 2 || name[0] == '-') {
        fprintf(stderr, "usage: read_block [BLOCK]   (Vistrel_MPExtended or Vistrel_WIFIRemote)\n");
        return 4;
    }

    /* A bridge's name means the block of this run: VISTREL_BLOCK_SUFFIX, when set, follows it. */
    if (strcmp(name, VR_MPEXTENDED) == 0 || strcmp(name, VR_WIFIREMOTE) == 0) {
        if (vr_block_name(named, sizeof named, name) != 0) {
            fprintf(stderr, "read_block: VISTREL_BLOCK_SUFFIX takes 1 to %d letters, digits, '.', '_' or '-'\n",
                    VR_SUFFIX_MAX);
            return 4;
        }
        name = named;
    }
    err = vr_open(&block, name);
    if (err < 0) {
        /* An object of the name that is no block of this user: somebody else's words. */
        fprintf(stderr, "read_block: not reading block %s: %s\n", name, refusal(err));
        return 1;
    }
    if (err != 0) {
        fprintf(stderr, "read_block: block %s cannot be opened (error %d); is its bridge running?\n",
                name, err);
        return 1;
    }
    count = vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES);
    /* How the texts are written: the texts below are printed as their bytes. */
    encoding = vr_encoding_of(&block);
    vr_close(&block);

    if (count == VR_NOT_PUBLISHED) {
        print_header(name, &table[0], encoding);
        return 3;
    }
    if (count < 0) {
        fprintf(stderr, "read_block: no consistent copy of %s (%s)\n", name, copy_failure(count));
        return 2;
    }

    print_header(name, &table[0], encoding);
    printf("Tags:   %d\n", count);
    for (i = 1; i <= count; i++) {
        char tag[VR_NAME_SIZE + 1], text[VR_TEXT_SIZE + 1];
        printf("%4d %-4s %11ld  %-40s %s\n", i, type_name(table[i].type), (long)table[i].ival,
               printable(tag, sizeof tag, table[i].name, VR_NAME_SIZE),
               printable(text, sizeof text, table[i].string, VR_TEXT_SIZE));
    }
    return 0;
}
