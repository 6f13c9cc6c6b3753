// status_block.cpp - the monitor's two block channels and the copy and merge of both tables.
#include <cstdio>
#include <cstring>

#include "mp_term_text.h"
#include "status.h"
#include "vistrel_reader.h"
#include "vp.h"

const char* const MP_status_base_name[STATUS_CHANNELS] = {VR_WIFIREMOTE, VR_MPEXTENDED};
char MP_status_block_name[STATUS_CHANNELS][STATUS_NAME_MAX] = {VR_WIFIREMOTE, VR_MPEXTENDED};

int MP_status_name_blocks() {
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        int rc = vr_block_name(MP_status_block_name[c], sizeof MP_status_block_name[c], MP_status_base_name[c]);
        if (rc != 0) return rc;
    }
    return 0;
}

vr_record MP_status_header1;
vr_record MP_status_header2;
vr_record MP_status_mpx_table[VR_TABLE_RECORDS];
vr_record MP_status_merged[VR_TABLE_RECORDS];
int MP_status_count1 = 0;
int MP_status_count2 = 0;
int MP_status_row_total = 0;
int MP_status_encoding_option = -1;
int MP_status_settings_encoding = MP_TEXT_RAW;
char MP_status_marker[STATUS_CHANNELS][MP_TEXT_MARKER_SIZE];

namespace {
struct Channel {
    bool started;
    bool cut;  // a copy came back short: the block was cut down after it was opened
    vp_shm handle;   // holds the block, made here when no bridge has made it yet
    bool readable;   // whether block is open
    vr_block block;  // the block opened for reading, as the readers' header reads it
    char problem[640];
    char start_problem[512];  // why its bridge was not started
};
Channel channels[STATUS_CHANNELS] = {{false, false, VP_NO_SHM, false, {}, "", ""},
                                     {false, false, VP_NO_SHM, false, {}, "", ""}};
// Both problems of a channel, as MP_status_channel_problem gives them.
char shown_problems[STATUS_CHANNELS][1160];

// A count as an index into a table: a header caught half-written, or a block written by
// something else, may hold any value.
int usable_count(int32_t count) {
    if (count < 0) return 0;
    if (count > VR_MAX_TAGS) return VR_MAX_TAGS;
    return count;
}

// A channel's header and, when it reads "Numtags", its table, copied as the block stands. A
// channel without an open block reads as a block of zeros: no state, no tags. So does a block
// that is shorter than the copy: only its owner can cut it down, and half a table is none.
void copy_channel(int channel, vr_record* header, vr_record* table) {
    Channel& ch = channels[channel];
    if (!ch.readable) {
        memset(header, 0, sizeof *header);
        return;
    }
    if (vr_copy_as_is(&ch.block, header, table, VR_TABLE_RECORDS) != VR_CUT) {
        // A block grown back to its size reads whole again: the cut is over, and so is its line.
        if (ch.cut) {
            ch.cut = false;
            ch.problem[0] = '\0';
        }
    } else if (!ch.cut) {
        ch.cut = true;
        snprintf(ch.problem, sizeof ch.problem, "The block has been cut down below %d bytes; it reads as empty.",
                 VR_BLOCK_SIZE);
    }
}

// The encoding marker of a channel's block into dest; zeros when it has no open block or the
// block is too short.
void copy_marker(int channel, char* dest) {
    Channel& ch = channels[channel];
    if (!ch.readable || vr_read_at(&ch.block, VR_ENCODING_OFFSET, dest, VR_ENCODING_SIZE) != 0)
        memset(dest, 0, VR_ENCODING_SIZE);
}
}  // namespace

void MP_status_open_block(int channel, const char* name) {
    if (channel < 0 || channel >= STATUS_CHANNELS) return;
    Channel& ch = channels[channel];
    if (ch.started) return;
    ch.started = true;
    // The bridge may not have made its block yet; then this makes it, zero-filled and private,
    // and the bridge opens the same block later. The monitor never writes into it. A block that
    // another user made, or that others may open, is not read: its tags would be theirs.
    // It is read as a display reads it, through the readers' header, whose copies never fault on
    // POSIX: the block's owner may cut it down while it is watched, and a copy straight from a
    // mapping would then end the monitor with a bus error.
    int err = vp_shm_open(name, VR_BLOCK_SIZE, &ch.handle);
    if (err < 0) {
        char object[320], why[256];
        vp_shm_object_name(name, object, sizeof object);
        vp_open_error_text(err, why, sizeof why);
        snprintf(ch.problem, sizeof ch.problem, "Not reading %s: %s.", object, why);
    } else if (err != 0) {
        snprintf(ch.problem, sizeof ch.problem, "Could not open file mapping object (%d).", err);
    } else if ((err = vr_open(&ch.block, name)) != 0) {
        snprintf(ch.problem, sizeof ch.problem, "Could not map view of file (%d).", err);
        vp_shm_close(ch.handle);
    } else {
        ch.readable = true;
        return;
    }
    printf("%s\n", ch.problem);
    ch.handle = VP_NO_SHM;
}

int MP_status_encoding(int channel) {
    const char* marker = channel >= 0 && channel < STATUS_CHANNELS ? MP_status_marker[channel] : nullptr;
    return MP_term_block_encoding(MP_status_encoding_option, marker, MP_status_settings_encoding);
}

int MP_status_row_channel(int r) { return r <= usable_count(MP_status_count1) ? 0 : 1; }

const char* MP_status_channel_problem(int channel) {
    if (channel < 0 || channel >= STATUS_CHANNELS) return "";
    Channel& ch = channels[channel];
    if (ch.start_problem[0] == '\0') return ch.problem;
    if (ch.problem[0] == '\0') return ch.start_problem;
    snprintf(shown_problems[channel], sizeof shown_problems[channel], "%s %s", ch.start_problem, ch.problem);
    return shown_problems[channel];
}

void MP_status_note_start_problem(int channel, const char* text) {
    if (channel < 0 || channel >= STATUS_CHANNELS) return;
    snprintf(channels[channel].start_problem, sizeof channels[channel].start_problem, "%s", text);
}

void MP_status_read_tables() {
    // The header first; the count is trusted only while the state word reads "Numtags" and a
    // zero. Otherwise the rows copied last stay.
    // Each block's marker, which says how its texts are to be shown.
    for (int c = 0; c < STATUS_CHANNELS; c++) copy_marker(c, MP_status_marker[c]);
    copy_channel(0, &MP_status_header1, MP_status_merged);
    MP_status_count1 = MP_status_header1.len;
    int rows1 = usable_count(MP_status_count1);
    copy_channel(1, &MP_status_header2, MP_status_mpx_table);
    MP_status_count2 = MP_status_header2.len;
    int rows2 = usable_count(MP_status_count2);

    // The MPExtended tags follow the WifiRemote tags, as far as the merged table reaches.
    for (int i = 1; i <= rows2 && rows1 + i <= VR_MAX_TAGS; i++) {
        vr_record& row = MP_status_merged[rows1 + i];
        const vr_record& tag = MP_status_mpx_table[i];
        row.len = tag.len;
        row.type = tag.type;
        row.ival = tag.ival;
        memcpy(row.name, tag.name, sizeof row.name);
        memcpy(row.string, tag.string, sizeof row.string);
    }
    MP_status_row_total = rows1 + rows2 + 1;
}
