// mp_credential.cpp - a credential registered with the log in every form that received text
// can show it in.
#include <cstring>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_text.h"

int MP_add_credential(const char* text) {
    MP_TRACE("MP_add_credential");
    if (!text) return 0;
    // The longest credential sent is a JSON-escaped password of 255 characters, 1,530 bytes.
    static char received[4096];
    size_t len = strnlen(text, sizeof received);
    if (len == sizeof received) return -1;
    int rc = MP_log_add_secret(text, len);
    memcpy(received, text, len + 1);
    remove_utf8(received);
    // A credential of multi-byte characters alone reads as blanks, which show nothing of it,
    // and blanks replaced would take the columns of the log apart.
    size_t received_len = strlen(received);
    if (strspn(received, " ") < received_len && MP_log_add_secret(received, received_len) != 0) rc = -1;
    // In the readable encodings the receive turns each multi-byte character into a token
    // instead, and the log shows received text in that form.
    if (MP_text_readable() && MP_next_lead(text, 0, len) < len) {
        static MP_TextPoint points[sizeof received];
        memcpy(received, text, len + 1);
        int held = 0;
        int n = MP_text_clean(received, points, 0, static_cast<int>(len), true, &held);
        // Tokens alone, like blanks alone, show nothing of the credential.
        bool plain = false;
        for (int i = 0; i < n && !plain; i++) plain = !MP_text_is_token(received[i]);
        if (plain && MP_log_add_secret(received, static_cast<size_t>(n)) != 0) rc = -1;
        memset(points, 0, sizeof points);
    }
    // No copy of a credential outlives the call.
    memset(received, 0, len);
    return rc;
}
