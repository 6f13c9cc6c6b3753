// mpx_requests.cpp - the two HTTP requests of the MPExtended bridge, composed byte for byte.
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_tcp.h"
#include "mp_encoding.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

constexpr char kRecordingsLine[] =
    "GET /MpExtended/TVAccessService/json/GetRecordings?sort=3&order=1 HTTP/1.1\r\n";
constexpr char kChannelLine[] =
    "GET /MpExtended/TVAccessService/json/GetChannelBasicById?channelId=%d HTTP/1.1\r\n";
// The service is always addressed as itself on its own machine, whatever address and port
// the bridge connects to.
constexpr char kHostLine[] = "Host: 127.0.0.1:40505\r\n";
constexpr char kAuthorization[] = "Authorization: Basic ";
constexpr char kTail[] = "\r\nAccept: application/json; charset=utf-8\r\n\r\n";
static_assert(sizeof kRecordingsLine - 1 == 76 && sizeof kHostLine - 1 == 23);
static_assert(sizeof kAuthorization - 1 == 21 && sizeof kTail - 1 == 45);

// The request, the credentials text and its base64 form (four characters for every three
// bytes of the credentials, and the terminator).
constexpr int kRequestSize = 4096;
char request[kRequestSize];
char credentials[4096];
char credentials_b64[4108];
// The longest credentials: two settings of 255 characters and the colon.
constexpr int kCredentialsMax = 2 * (sizeof MP_Global_mUserName - 1) + 1;
static_assert(sizeof credentials > kCredentialsMax);
static_assert(sizeof credentials_b64 >= (kCredentialsMax + 2) / 3 * 4 + 1);

// The credentials of the settings in force, "user:password", and their base64 form as the
// Authorization line carries it.
void compose_credentials() {
    // User name and password hold at most 255 characters each, so the credentials always fit.
    int clen = snprintf(credentials, sizeof credentials, "%s:%s", MP_Global_mUserName,
                        MP_Global_mPassword);
    if (clen < 0) clen = 0;
    if (clen > kCredentialsMax) clen = kCredentialsMax;
    int b64len = 0;
    base64_encode(reinterpret_cast<const unsigned char*>(credentials),
                  static_cast<unsigned int>(clen), &b64len, credentials_b64);
}

}  // namespace

int MP_Extended_register_secrets() {
    MP_TRACE("MP_Extended_register_secrets");
    MP_log_forget_secrets();
    compose_credentials();
    int rc = MP_add_credential(MP_Global_mPassword);
    if (MP_add_credential(credentials) != 0) rc = -1;
    if (MP_add_credential(credentials_b64) != 0) rc = -1;
    if (rc != 0) MP_errlog("MP_read_cfg_file:", "The credentials are too long to be kept out of the log");
    return rc;
}

// The format is one of the two request lines above, each with at most the one int it names.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
int MP_Extended_compose_request(char* out, int size, int channel, int id) {
    MP_TRACE("MP_Extended_compose_request");
    compose_credentials();

    char line[sizeof kChannelLine + 16];
    if (channel)
        snprintf(line, sizeof line, kChannelLine, id);
    else
        snprintf(line, sizeof line, "%s", kRecordingsLine);
    int len = snprintf(out, static_cast<size_t>(size), "%s%s%s%s%s", line, kHostLine,
                       kAuthorization, credentials_b64, kTail);
    if (len < 0) len = 0;
    return len < size ? len : size - 1;
}
#pragma GCC diagnostic pop

int MP_Extended_request_recordings(const char* tag) {
    MP_TRACE("MP_Extended_request_recordings");
    (void)tag;
    MP_Extended_compose_request(request, kRequestSize, 0, 0);
    return MP_Send(request);
}

int MP_Extended_request_channel(const char* tag, int id) {
    MP_TRACE("MP_Extended_request_channel");
    (void)tag;
    MP_Extended_compose_request(request, kRequestSize, 1, id);
    return MP_Send(request);
}
