// mp_tagindex.h - the name index behind tag lookups: a radix tree over the stored names.
#pragma once

#include <cstring>

#include "mp_tags.h"

// A lookup answers: the first tag in table order whose name begins with the query. Scanning
// the table for that costs a comparison per tag, and a poll stores some 2,000 tags, so the
// index answers it in time proportional to the query's length instead:
//
// - The radix tree holds every name; each node keeps the first (lowest) entry index among the
//   names below it. Entries only ever get added, with rising indices, so a node's first index
//   is set when the node is made and never changes. A prefix query walks down the tree and
//   returns the first index of the node where the query ends. A walk starts where the last
//   walk's path leaves the new query, not at the root: new names come in runs that share their
//   beginning, so a store of a new name mostly costs one step down and one insertion.
// - Updates of known names, the bulk of every poll, come in the order in which the names were
//   first stored, so a lookup first compares the entry after the last one found. A stored name
//   that no earlier name begins with is its own first match, so when that entry is named
//   exactly as the query, it is the answer, found with one comparison of the name.
//
// The index follows the table on its own: it keeps count of the entries it holds, indexes the
// entries added since, and rebuilds itself from MP_Tags when MP_Numtags went down or
// MP_Clear_tags ran, so code that fills or resets the table directly (tests, benchmarks) does
// not leave it stale. Names are never rewritten in place otherwise.

// The length under which a name or query is stored and looked up: its length cut to
// MP_TAG_NAME_MAX characters. Inline: every store and lookup measures its name.
inline int MP_tag_name_length(const char* name) {
    return name ? static_cast<int>(strnlen(name, MP_TAG_NAME_MAX)) : 0;
}
// The first entry (1 to count) whose name begins with the first length bytes of query, or 0.
// length is at most MP_TAG_NAME_MAX.
int MP_tagindex_find(const char* query, int length);
// The lookup that a store makes: as MP_tagindex_find, but when nothing is found and entry is
// the one after the last stored (MP_Numtags + 1), the name is taken into the index as that
// entry at once, without walking the tree again. The caller must then store the name (its
// first length bytes) there before the next lookup; entry 0 adds nothing.
int MP_tagindex_find_or_add(const char* name, int length, int entry);
// The table's names were rewritten in place (MP_Clear_tags): rebuild before the next lookup.
void MP_tagindex_invalidate();
