// mp_logsecret.cpp - the secrets that the log shows as "***" below Debug=3, and the search for them.
#include "mp_logsecret.h"

#include <cstdint>
#include <cstring>

#include "mp_log.h"

namespace {

struct Secret {
    size_t at;  // where its bytes lie in the pool
    size_t len;
};

// Kept longest first, so that the first match at a position is the longest one there.
Secret secrets[MP_LOG_SECRETS_MAX];
int count = 0;
char pool[MP_LOG_SECRET_POOL];
size_t pool_used = 0;

// A line is not compared with every secret at every byte. Every occurrence of a secret holds
// the first `shortest` bytes of that secret, and so shortest - 1 pairs of neighbouring bytes; the
// search samples the pair at every (shortest - 1)th byte, which lands inside each occurrence
// once, and compares the secrets only at the few starts whose sampled pair lies within the
// first `shortest` bytes of one of them. Ordinary text then costs a look into a small table
// per sample, and the samples do not wait on each other. The table keys a pair by the low six
// bits of each byte, so that it stays in the processor's first cache; pairs that share a key
// only cost a comparison now and then. With a secret of one byte every byte is a sample.
size_t shortest = 0;
constexpr unsigned kPairKeys = 4096;
uint64_t pairs[kPairKeys / 64];
bool single[256];  // the bytes that are a secret of their own

inline unsigned pair_key(unsigned char a, unsigned char b) { return (a & 0x3Fu) << 6 | (b & 0x3Fu); }
inline bool pair_marked(unsigned char a, unsigned char b) {
    unsigned k = pair_key(a, b);
    return (pairs[k >> 6] >> (k & 63) & 1) != 0;
}

bool word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The table for the secrets registered: the pairs within the first `shortest` bytes of each;
// with a secret of one byte, the first pair of each longer secret.
void rebuild_pairs() {
    shortest = secrets[count - 1].len;
    for (int s = 0; s < count; s++)
        if (secrets[s].len < shortest) shortest = secrets[s].len;
    memset(pairs, 0, sizeof pairs);
    for (int s = 0; s < count; s++) {
        const auto* p = reinterpret_cast<const unsigned char*>(pool + secrets[s].at);
        size_t last = shortest < 2 ? (secrets[s].len >= 2 ? 1 : 0) : shortest - 1;
        for (size_t j = 1; j <= last; j++) {
            unsigned k = pair_key(p[j - 1], p[j]);
            pairs[k >> 6] |= uint64_t{1} << (k & 63);
        }
    }
}

bool matches(const Secret& s, const unsigned char* t, size_t len, size_t i) {
    if (s.len > len - i || memcmp(t + i, pool + s.at, s.len) != 0) return false;
    if (s.len >= MP_LOG_SECRET_WORD) return true;
    // A short secret counts only where it stands alone.
    return (i == 0 || !word_byte(t[i - 1])) && (i + s.len == len || !word_byte(t[i + s.len]));
}

}  // namespace

namespace mp_log_secrets {

bool active() { return count > 0 && MP_Global_Debug < MP_LOG_SECRET_LEVEL; }

size_t next(const char* text, size_t len, size_t from, size_t stop, size_t* found) {
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    *found = 0;
    if (count == 0) return len;
    if (stop > len) stop = len;
    auto first_at = [&](size_t i) {
        for (int s = 0; s < count; s++) {
            if (matches(secrets[s], t, len, i)) {
                *found = secrets[s].len;
                return true;
            }
        }
        return false;
    };
    if (shortest < 2) {
        for (size_t i = from; i < stop; i++)
            if ((single[t[i]] || (i + 1 < len && pair_marked(t[i], t[i + 1]))) && first_at(i)) return i;
        return len;
    }
    // The sample at s lies inside each occurrence that starts from s - stride + 1 to s.
    const size_t stride = shortest - 1;
    for (size_t s = from; s + 1 < len && s + 1 < stop + stride; s += stride) {
        if (!pair_marked(t[s], t[s + 1])) continue;
        for (size_t i = s + 1 >= from + stride ? s + 1 - stride : from; i <= s && i < stop; i++)
            if (first_at(i)) return i;
    }
    return len;
}

size_t copy(char* out, size_t room, const char* text, size_t len, size_t from, size_t* used) {
    constexpr size_t kMark = sizeof MP_LOG_REDACTED - 1;
    size_t o = 0;
    size_t i = from;
    while (i < len && o < room) {
        size_t found;
        // A secret that begins beyond the room left is never reached.
        size_t at = next(text, len, i, i + (room - o), &found);
        size_t plain = at - i < room - o ? at - i : room - o;
        memcpy(out + o, text + i, plain);
        o += plain;
        i += plain;
        if (i < at || at == len || room - o < kMark) break;
        memcpy(out + o, MP_LOG_REDACTED, kMark);
        o += kMark;
        i = at + found;
    }
    *used = i;
    return o;
}

size_t longest() { return count > 0 ? secrets[0].len : 0; }

void forget() {
    // No copy of a credential outlives its registration.
    memset(pool, 0, pool_used);
    pool_used = 0;
    count = 0;
    shortest = 0;
    memset(single, 0, sizeof single);
}

}  // namespace mp_log_secrets

int MP_log_add_secret(const char* text, size_t len) {
    if (!text || len == 0) return 0;
    for (int s = 0; s < count; s++)
        if (secrets[s].len == len && memcmp(pool + secrets[s].at, text, len) == 0) return 0;
    if (count == MP_LOG_SECRETS_MAX || len > sizeof pool - pool_used) return -1;

    Secret added{pool_used, len};
    memcpy(pool + pool_used, text, len);
    pool_used += len;
    int pos = count++;
    while (pos > 0 && secrets[pos - 1].len < len) {
        secrets[pos] = secrets[pos - 1];
        pos--;
    }
    secrets[pos] = added;

    if (len == 1) single[static_cast<unsigned char>(text[0])] = true;
    rebuild_pairs();
    // Lines kept before the registration hold nothing of it any more either.
    mp_log_scrub_ring();
    return 0;
}

void MP_log_forget_secrets() { mp_log_secrets::forget(); }
