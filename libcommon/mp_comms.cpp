// mp_comms.cpp - publication channels over named shared memory, and publishing the tag table.
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace {

struct Channel {
    bool started;      // set by the first CommsStart and never cleared
    bool mapped;       // the mapping handle is open
    bool reported;     // the missing view has been reported once
    vp_shm handle;
    void* view;
    int size;
};
Channel channels[MP_CHANNELS];

bool valid_channel(int channel) { return channel >= 0 && channel < MP_CHANNELS; }

// The channel's view, or null after reporting once that the channel has none: a channel whose
// start failed would otherwise add an error line to every publication.
void* usable_view(int channel, const char* label) {
    if (!valid_channel(channel)) {
        MP_errlogf(label, "No channel %d\n", channel);
        return nullptr;
    }
    Channel& c = channels[channel];
    if (c.view) return c.view;
    if (!c.reported) {
        c.reported = true;
        MP_errlogf(label, "Channel %d has no view; nothing is read or written\n", channel);
    }
    return nullptr;
}

// A length that stays inside the view, with an error line when the caller asked for more.
int bounded_length(int channel, int length, const char* label) {
    int size = channels[channel].size;
    if (length < 0) {
        MP_errlogf(label, "entry %d bad length %d\n", channel, length);
        return 0;
    }
    if (length > size) {
        MP_errlogf(label, "entry %d len %d cut to the block size %d\n", channel, length, size);
        return size;
    }
    return length;
}

// Writes the name of the text encoding into the block's last bytes, where readers look for it:
// no table reaches them. A view too small to keep them clear of a full table gets none.
void write_marker(int channel) {
    Channel& c = channels[channel];
    constexpr size_t kTable = sizeof(MP_TagEntry) * MP_TABLE_SIZE;
    if (!c.view || c.size < 0 || static_cast<size_t>(c.size) < kTable + MP_TEXT_MARKER_SIZE) return;
    MP_text_marker(static_cast<char*>(c.view) + c.size - MP_TEXT_MARKER_SIZE);
}

}  // namespace

void CommsStart(int channel, int full_access, const char* name, int size) {
    MP_TRACE("CommsStart");
    if (!valid_channel(channel) || channels[channel].started) return;
    Channel& c = channels[channel];
    c.started = true;
    if (!name || size <= 0) {
        MP_errlogf("CommsStart", "Channel %d needs a mapping name and a size above 0 (%d)\n",
                   channel, size);
        return;
    }

    vp_shm handle;
    int err = vp_shm_open(name, static_cast<size_t>(size), &handle);
    if (err < 0) {
        // An object of that name that someone else made, or that others may open: nothing of
        // the table goes into it. The channel stays without a view, as after any failed start.
        char object[320], why[256];
        vp_shm_object_name(name, object, sizeof object);
        vp_open_error_text(err, why, sizeof why);
        MP_errlogf("CommsStart", "Not using %s for channel %d: %s; nothing is published\n", object,
                   channel, why);
        return;
    }
    if (err) {
        MP_errlogf("CommsStart", "Could not open file mapping object %d error:%d\n", channel, err);
        return;
    }
    void* view = nullptr;
    err = vp_shm_map(handle, static_cast<size_t>(size), full_access, &view);
    if (err) {
        MP_errlogf("CommsStart", "Could not map view of file %d error:%d\n", channel, err);
        vp_shm_close(handle);
        return;
    }
    c.mapped = true;
    c.handle = handle;
    c.view = view;
    c.size = size;

    // Readers see "Invalid " until the first publication. The writer marks itself as the
    // block's server, so that the monitor can tell it from a bridge of another run.
    if (full_access) {
        CommsSend(channel, "Invalid ", 8);
        write_marker(channel);
        err = vp_serve_mark(name);
        if (err) MP_errlogf("CommsStart", "Could not mark channel %d as served error:%d\n", channel, err);
    }
    MP_logf(3, "CommsStart", "entry %d address 0x%08" PRIxPTR, channel,
            reinterpret_cast<uintptr_t>(view));
}

void MP_publish_start(const char* base) {
    static char name[VR_NAME_MAX];
    if (vr_block_name(name, sizeof name, base) != 0) {
        MP_errlogf("CommsStart", "%s takes 1 to %d letters, digits, '.', '_' or '-'; nothing is published\n",
                   VR_SUFFIX_VARIABLE, VR_SUFFIX_MAX);
        vp_exit_now(2);
    }
    CommsStart(0, 1, name, MP_BLOCK_SIZE);
}

void CommsSend(int channel, const void* source, int length) {
    MP_TRACE("CommsSend");
    void* view = usable_view(channel, "CommsSend");
    if (!view) return;
    MP_logf(3, "CommsSend", "entry %d address 0x%08" PRIxPTR " len %d", channel,
            reinterpret_cast<uintptr_t>(view), length);
    if (!source) {
        MP_errlogf("CommsSend", "entry %d has nothing to send\n", channel);
        return;
    }
    int n = bounded_length(channel, length, "CommsSend");
    memmove(view, source, static_cast<size_t>(n));
}

void CommsRecv(int channel, void* dest, int length) {
    MP_TRACE("CommsRecv");
    void* view = usable_view(channel, "CommsRecv");
    if (!view) return;
    if (!dest) {
        MP_errlogf("CommsRecv", "entry %d has nowhere to copy to\n", channel);
        return;
    }
    int n = bounded_length(channel, length, "CommsRecv");
    memmove(dest, view, static_cast<size_t>(n));
}

void CommsStop(int channel) {
    MP_TRACE("CommsStop");
    if (!usable_view(channel, "CommsStop")) return;
    CommsSend(channel, "Shutdown", 8);
    Channel& c = channels[channel];
    vp_shm_unmap(c.view, static_cast<size_t>(c.size));
    if (c.mapped) vp_shm_close(c.handle);
    c.view = nullptr;
    c.mapped = false;
    // A stopped channel says so once if it is used again, like a channel that never started.
    c.reported = false;
}

void CommsPacket(int channel, const char* status) {
    MP_TRACE("CommsPacket");
    if (!status) status = "";
    // At most 256 characters, zero-filled behind the text, and a zero at position 256.
    char* s = MP_Tags[0].string;
    int i = 0;
    for (; i < MP_TAG_TEXT_MAX && status[i]; i++) s[i] = status[i];
    for (; i <= MP_TAG_TEXT_MAX; i++) s[i] = '\0';

    time_t now;
    unsigned short millis;
    vp_time_now(&now, &millis);
    MP_Tags[0].time = static_cast<int32_t>(now);

    int count = MP_Numtags < 0 ? 0 : MP_Numtags > MP_MAXTAGS ? MP_MAXTAGS : MP_Numtags;
    CommsSend(channel, MP_Tags, (count + 1) * static_cast<int>(sizeof(MP_TagEntry)));
    // With every publication, so that a marker that anything else wrote over is put right.
    if (valid_channel(channel)) write_marker(channel);
}

const void* CommsView(int channel) {
    return valid_channel(channel) ? channels[channel].view : nullptr;
}
