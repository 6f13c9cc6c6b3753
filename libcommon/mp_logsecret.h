// mp_logsecret.h - inside the log core: the registered secrets and the search for them in a line.
#pragma once

#include <cstddef>

namespace mp_log_secrets {
// Whether lines are redacted now: a secret is registered and the debug level is below 3.
bool active();
// The first secret that begins in text[from, stop) and ends within len: its position, or len
// when there is none, and its length in *found. Where two secrets begin at one position the
// longer one is taken. The bytes before from and from stop on are read only to tell whether a
// short secret stands alone.
size_t next(const char* text, size_t len, size_t from, size_t stop, size_t* found);
// Copies text[from, len) into out, which has room for room characters (no terminator is
// written), each secret replaced with MP_LOG_REDACTED. A replacement goes in whole or not at
// all; plain bytes as far as they fit. Returns the characters written, with *used the position
// in text reached.
size_t copy(char* out, size_t room, const char* text, size_t len, size_t from, size_t* used);
// The longest secret's length, 0 while there is none.
size_t longest();
// Forgets every secret.
void forget();
}  // namespace mp_log_secrets

// In the log core (mp_log.cpp): the ring's lines of its own redacted afresh, after a secret was
// registered.
void mp_log_scrub_ring();
