// fuzz_cfg.cpp - libFuzzer target: the settings file of both bridges, read from any bytes.
//
// Both bridges name their settings reader alike; the MPExtended one is compiled into this target
// under the names declared below, so that one input goes through both readers.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fuzz_checks.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "wfr.h"

// The MPExtended bridge's reader, renamed when compiled for this target.
int MPX_read_cfg_file(int unused);
void MPX_init_globals();
void MP_Extended_defaults();
extern int MP_Global_mWait;
extern char MP_Global_mUserName[256];
extern char MP_Global_mPassword[256];

int MP_Process_incoming(const char*) { return 0; }

namespace {

bool terminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

bool ends_with(const char* text, const char* end) {
    size_t n = strlen(text), m = strlen(end);
    return n >= m && memcmp(text + n - m, end, m) == 0;
}

void check_common() {
    fuzz_check(terminated(MP_Global_IPAddress, sizeof MP_Global_IPAddress), "address unterminated");
    fuzz_check(MP_Global_Port >= 1 && MP_Global_Port <= 65535, "port out of range");
    fuzz_check(MP_Numtags >= 0 && MP_Numtags <= MP_MAXTAGS, "tag count out of range");
    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers take "plugins/MP.cfg" below the working directory: a directory of our own.
    char dir[] = "/tmp/vistrel_fuzz_cfg_XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0 || mkdir("plugins", 0700) != 0) abort();
    MPX_init_globals();
    MP_init_globals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(WFR_CFG_PATH, "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);

    MP_Extended_defaults();
    MPX_read_cfg_file(1);
    check_common();
    fuzz_check(MP_Global_mWait >= 0 && MP_Global_mWait <= 86400, "poll pause out of range");
    fuzz_check(terminated(MP_Global_mUserName, 256) && terminated(MP_Global_mPassword, 256), "credential unterminated");
    fuzz_check(MP_Numtags == 4, "the MPExtended bridge seeds four tags");

    MP_WifiRemote_defaults();
    MP_read_cfg_file(1);
    check_common();
    fuzz_check(terminated(MP_Global_wPasscode, 16) && terminated(MP_Global_wUserName, 512) &&
              terminated(MP_Global_wPassword, 256), "credential unterminated");
    for (const char* request : {MP_Global_wRequest1, MP_Global_wRequest2}) {
        fuzz_check(terminated(request, WFR_REQUEST_SIZE), "request unterminated");
        fuzz_check(ends_with(request, "]}\r\n\r\n"), "request without its end");
        // Every name between the brackets is a plain JSON string.
        for (const char* p = strchr(request, '['); p && *p; p++) {
            bool line_end = *p == '\r' || *p == '\n';
            bool plain = *p != '\\' && static_cast<unsigned char>(*p) >= 0x20;
            fuzz_check(line_end || plain, "request holds an escape or control character");
        }
    }
    fuzz_check(strlen(MP_Global_wRequest1) <= 500 + 3 + WFR_PROPERTY_NAME_MAX + 1 + 6, "first request too long");
    for (int i = 1; i <= MP_Numtags; i++) fuzz_check(strlen(MP_Tags[i].name) <= 63, "tag name too long");
    return 0;
}
