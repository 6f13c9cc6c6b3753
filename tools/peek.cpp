// peek.cpp - vistrel_peek: shows a publication block's header and tags, once or every second.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "mp_term_text.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace {

// The block's tags as the readers' header copies them, 696,660 bytes, never on the stack.
vr_record table[VR_TABLE_RECORDS];

// The encoding that --encoding named (-1: none) and the one of the settings file of the folder,
// which a block without a marker is taken to follow.
int encoding_option = -1;
int settings_encoding = MP_TEXT_RAW;

// One line of output, composed here and written as UTF-8 (to a Windows console as its
// characters).
__attribute__((format(printf, 1, 2))) void emit(const char* format, ...) {
    static char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    vp_console_write(line, len);
}

// The state word with its zero bytes and other unprintable bytes shown as escapes.
void state_text(const char* word, char* out, size_t size) {
    size_t o = 0;
    for (int i = 0; i < 8 && o + 5 < size; i++) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c == 0) o += static_cast<size_t>(snprintf(out + o, size - o, "\\0"));
        else if (c < 32 || c >= 127) o += static_cast<size_t>(snprintf(out + o, size - o, "\\x%02x", c));
        else out[o++] = static_cast<char>(c);
    }
    out[o] = '\0';
}

void time_text(int32_t t, char* out, size_t size) {
    struct tm tm;
    if (vp_localtime(static_cast<time_t>(t), &tm) != 0 ||
        strftime(out, size, "%a %b %d %H:%M:%S %Y", &tm) == 0)
        snprintf(out, size, "(%ld)", static_cast<long>(t));
}

// Shows the block; false, with nothing shown, when a copy came back short. The block is read as
// it stands: the header first, and the table only while its state word reads "Numtags" and a
// zero, with a count that can be trusted as far as the table reaches.
bool show(const vr_block* block) {
    vr_record h;
    int count = vr_copy_as_is(block, &h, table, VR_TABLE_RECORDS);
    if (count == VR_CUT) return false;
    bool tags = count >= 0;

    // The block's encoding marker, unless an option names the encoding.
    char marker[VR_ENCODING_SIZE] = {};
    if (vr_read_at(block, VR_ENCODING_OFFSET, marker, sizeof marker) != 0) return false;
    int encoding = MP_term_block_encoding(encoding_option, marker, settings_encoding);

    // Each field is shown with a terminator of our own, since a reader may catch the block
    // half-written. The bridges pass on what their servers send, so every control shows as one
    // '?' rather than reaching the terminal; the letters show as the block's encoding means them.
    char state[40], when[64], status[MP_term_text_room(256)];
    state_text(h.name, state, sizeof state);
    time_text(h.time, when, sizeof when);
    MP_term_text(status, sizeof status, h.string, 256, encoding);
    emit("State=\"%s\" Numtags=%d Time=%s Text=%s Status=%s\n", state, h.len, when, MP_TEXT_ENCODING_NAMES[encoding],
         status);

    if (!tags) return true;
    emit("Tag  Typ         Ival  Len   Name                                     String\n");
    for (int i = 1; i <= count; i++) {
        const vr_record& r = table[i];
        // Names are the same in every encoding.
        char name[64], text[MP_term_text_room(256)];
        MP_term_text(name, sizeof name, r.name, 63, MP_TEXT_RAW);
        MP_term_text(text, sizeof text, r.string, 256, encoding);
        size_t columns = MP_term_columns(name, strlen(name));
        int pad = columns < 40 ? static_cast<int>(40 - columns) : 0;
        emit("%4d  %2d %12d  %3d   %s%*s %s\n", i, r.type, r.ival, r.len, name, pad, "", text);
    }
    return true;
}

int usage() {
    fprintf(stderr,
            "usage: vistrel_peek [-w|--watch] [--encoding NAME] BLOCK\n"
            "  Shows the state word, tag count, time, status line and tags of a publication\n"
            "  block such as Vistrel_MPExtended; with --watch every second until interrupted.\n"
            "  A block that does not exist yet is created empty and private, as the bridges\n"
            "  would; one that another user made, or that others may open, is not read.\n"
            "  Texts are shown for a UTF-8 terminal as the block's text encoding stores them:\n"
            "  --encoding names it (Raw, Windows-1252, ASCII or UTF-8), else the block's marker,\n"
            "  else Text_Encoding= in " VP_PLUGINS "MP.cfg of the current folder. Control\n"
            "  characters show as '?'.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = nullptr;
    bool watch = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-w") == 0 || strcmp(argv[i], "--watch") == 0) {
            watch = true;
        } else if (strcmp(argv[i], "--encoding") == 0 || strncmp(argv[i], "--encoding=", 11) == 0) {
            const char* value = argv[i][10] == '=' ? argv[i] + 11 : i + 1 < argc ? argv[++i] : "";
            encoding_option = MP_term_encoding_named(value);
            if (encoding_option < 0) return usage();
        } else if (argv[i][0] == '-' || name) {
            return usage();
        } else {
            name = argv[i];
        }
    }
    if (!name) return usage();
    // A bridge's name means the block of this run: VISTREL_BLOCK_SUFFIX, when set, follows it.
    // Any other name is the name of the block as it stands.
    static char block_name[VR_NAME_MAX];
    if (strcmp(name, VR_MPEXTENDED) == 0 || strcmp(name, VR_WIFIREMOTE) == 0) {
        if (vr_block_name(block_name, sizeof block_name, name) != 0) {
            fprintf(stderr, "vistrel_peek: VISTREL_BLOCK_SUFFIX takes 1 to %d letters, digits, '.', '_' or '-'\n",
                    VR_SUFFIX_MAX);
            return 2;
        }
        name = block_name;
    }
    settings_encoding = MP_term_encoding_of_file(VP_PLUGINS "MP.cfg");

    vp_shm handle;
    int err = vp_shm_open(name, VR_BLOCK_SIZE, &handle);
    if (err < 0) {
        // Made by another user, or open to others: what it holds is not a bridge's word.
        char object[320], why[256];
        vp_shm_object_name(name, object, sizeof object);
        vp_open_error_text(err, why, sizeof why);
        fprintf(stderr, "vistrel_peek: not reading %s: %s\n", object, why);
        return 1;
    }
    if (err) {
        fprintf(stderr, "vistrel_peek: cannot open block %s (error %d)\n", name, err);
        return 1;
    }
    // Read as a display reads it, through the readers' header, whose copies never fault on POSIX:
    // its owner may cut it down while it is watched, and a copy straight from a mapping would then
    // end the viewer with a bus error.
    vr_block block;
    err = vr_open(&block, name);
    if (err) {
        fprintf(stderr, "vistrel_peek: cannot map block %s (error %d)\n", name, err);
        vp_shm_close(handle);
        return 1;
    }
    int result = 0;
    for (;;) {
        // Watching redraws the screen in place, as the status monitor does.
        if (watch) vp_clear_screen();
        bool shown = show(&block);
        fflush(stdout);
        if (!shown) {
            // Only the block's owner can cut it down, and no bridge opens a block that short
            // again: the viewer ends rather than watch what is left.
            char object[320];
            vp_shm_object_name(name, object, sizeof object);
            fprintf(stderr, "vistrel_peek: %s has been cut down below %d bytes; nothing to show\n", object,
                    VR_BLOCK_SIZE);
            result = 1;
            break;
        }
        if (!watch) break;
        vp_sleep_ms(1000);
    }
    vr_close(&block);
    vp_shm_close(handle);
    return result;
}
