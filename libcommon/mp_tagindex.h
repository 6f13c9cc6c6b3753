// mp_tagindex.h - the name index behind tag lookups: an exact-name hash and a radix tree.
#pragma once

// A lookup answers: the first tag in table order whose name begins with the query. Scanning
// the table for that costs a comparison per tag, and a poll stores some 2,000 tags, so the
// index answers it in time proportional to the query's length instead:
//
// - The exact-name hash maps every stored name to its entry. A stored name is always its own
//   first match: had an earlier name begun with it, the store would have updated that one
//   instead of adding a new entry. Updates of known names, the bulk of every poll, take one
//   probe here. Before the probe, the entry after the last one found is tried: a poll stores
//   its names again in the order in which they were first stored, so that guess mostly holds
//   and costs one comparison of the name.
// - The radix tree holds every name; each node keeps the first (lowest) entry index among the
//   names below it. Entries only ever get added, with rising indices, so a node's first index
//   is set when the node is made and never changes. A prefix query walks down the tree and
//   returns the first index of the node where the query ends.
//
// The index follows the table on its own: it keeps count of the entries it holds, indexes the
// entries added since, and rebuilds itself from MP_Tags when MP_Numtags went down or
// MP_Clear_tags ran, so code that fills or resets the table directly (tests, benchmarks) does
// not leave it stale. Names are never rewritten in place otherwise.

// The length under which a name or query is stored and looked up: its length cut to
// MP_TAG_NAME_MAX characters.
int MP_tag_name_length(const char* name);
// The first entry (1 to count) whose name begins with the first length bytes of query, or 0.
// length is at most MP_TAG_NAME_MAX.
int MP_tagindex_find(const char* query, int length);
// The table's names were rewritten in place (MP_Clear_tags): rebuild before the next lookup.
void MP_tagindex_invalidate();
