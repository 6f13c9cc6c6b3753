// mp_tagindex.cpp - the name index behind tag lookups: a radix tree over the stored names.
#include "mp_tagindex.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "mp_tags.h"

// These helpers run several times per tag store, so they are not traced: a push and pop
// would cost more than the work itself, and nothing in them can fail or loop without bound.

namespace {

// Radix tree node. Its label, the bytes on the edge from its parent, is a piece of the name
// of the entry that made it: MP_Tags[entry].name[start .. start + len). Names in the table are
// never rewritten once stored (a store under a shorter name keeps the longer one), and
// MP_Clear_tags, which does rewrite them, makes the index start over.
//
// The children of a node form a list, told apart by the first byte of their labels. Children
// are mostly made one after the other (a run of names under one beginning), so a list lies
// close together in the node array and is read from few cache lines.
struct Node {
    uint16_t first;  // lowest entry index among the names below; 0 only in an empty root
    uint16_t entry;
    uint16_t child;  // the first child, 0 for none (the root, node 0, is nobody's child)
    uint16_t next;   // the next child of the same parent, 0 for none
    uint8_t start;
    uint8_t len;
    uint8_t byte;  // the label's first byte
};

// Each indexed entry adds at most two nodes (its leaf and the node that splits an edge), and
// at most MP_MAXTAGS entries are indexed, so the tree never holds more than this.
constexpr int kNodeMax = 2 * MP_MAXTAGS + 1;
Node nodes[kNodeMax];
int node_count = 1;  // node 0 is the root, with the empty label

// For every indexed entry: the length of its name when it is its own first match (no earlier
// name begins with it), or kNotOwn. Entries above the indexed count hold stale values that
// are never read.
constexpr uint8_t kNotOwn = 0xFF;
uint8_t own_len[MP_TABLE_SIZE];
// The entry that the last successful lookup gave. Stores come in runs that follow table order
// (every poll flattens the same list again), so the next lookup is tried on the entry after it
// first: a match there needs no walk at all.
int last_found = 0;

// How many table entries, 1 to indexed, the index holds, and whether it may be used at all.
int indexed = 0;
bool valid = false;

const char* label_of(const Node& n) { return MP_Tags[n.entry].name + n.start; }

int child_of(int parent, unsigned char byte) {
    for (int c = nodes[parent].child; c != 0; c = nodes[c].next)
        if (nodes[c].byte == byte) return c;
    return 0;
}

// Names are at most 63 bytes, compared and copied here a word at a time: a call into the C
// library for a dozen bytes costs more than the work.
uint64_t load8(const char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

uint32_t load4(const char* p) {
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
}

// The index of the first differing byte of two words that differ: the lowest byte on a
// little-endian machine, the highest on a big-endian one.
template <typename Word>
int first_difference(Word x, Word y) {
    Word d = x ^ y;
    int bits = std::endian::native == std::endian::little ? std::countr_zero(d) : std::countl_zero(d);
    return bits / 8;
}

// How many of the first n bytes of a and b agree. Only the bytes below n are read: the last
// word is the one that ends at n, overlapping bytes already found equal. Inlined into every
// caller, as the walk below is: both run for every new name, and the calls cost more than
// the few words compared.
[[gnu::always_inline]] inline int common_length(const char* a, const char* b, int n) {
    if (n < 8) {
        // Two words of four that overlap in the middle, as the long form does with words of
        // eight: the walk mostly compares the first few bytes of a name ("Rec12.").
        if (n < 4) {
            int i = 0;
            while (i < n && a[i] == b[i]) i++;
            return i;
        }
        uint32_t x = load4(a), y = load4(b);
        if (x != y) return first_difference(x, y);
        x = load4(a + n - 4);
        y = load4(b + n - 4);
        if (x != y) return n - 4 + first_difference(x, y);
        return n;
    }
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x = load8(a + i), y = load8(b + i);
        if (x != y) return i + first_difference(x, y);
    }
    if (i < n) {
        uint64_t x = load8(a + n - 8), y = load8(b + n - 8);
        if (x != y) return n - 8 + first_difference(x, y);
    }
    return n;
}

// Whether entry k, which is its own first match, is named exactly the len bytes of q.
bool own_name_is(int k, const char* q, int len) {
    return own_len[k] == len && common_length(MP_Tags[k].name, q, len) == len;
}

// Where a query ends in the tree, or where it leaves it.
struct Walk {
    int first;  // > 0: the first entry below the point where the query ends
    int node;   // otherwise: the last node that the query passed whole,
    int depth;  // the query's length up to that node,
    int child;  // the child whose label the query left (0: the node has no child for it)
    int common; // and how many bytes of that label the query matched
};

// The nodes that the last walk passed whole, root first, each with the length of the query
// up to its end. A node stands for the same beginning of a name for as long as the tree lives:
// a split puts a new node above it but leaves the text up to its end as it was, and that text
// begins the name of the node's own entry. So a walk starts at the deepest of them that still
// lies on its own query instead of at the root, found by comparing the query with the name of
// the deepest node's entry: names are stored in runs that share their beginning
// ("Rec12.Title" after "Rec12.StopTime"), and most of the walk is then done already.
struct Trail {
    int count;  // nodes kept; 0 when there is no trail (a new tree)
    uint16_t node[MP_TAG_NAME_MAX + 1];
    uint8_t depth[MP_TAG_NAME_MAX + 1];
};
Trail trail;

[[gnu::always_inline]] inline Walk walk(const char* q, int len) {
    Walk w{0, 0, 0, 0, 0};
    int n = 1;
    if (trail.count > 1) {
        // How much of the query the deepest kept node's text shares, and where to start.
        int i = trail.count - 1;
        int deepest = trail.depth[i];
        int shared = common_length(q, MP_Tags[nodes[trail.node[i]].entry].name,
                                   len < deepest ? len : deepest);
        while (i > 0 && trail.depth[i] > shared) i--;
        w.node = trail.node[i];
        w.depth = trail.depth[i];
        n = i + 1;
    } else {
        trail.node[0] = 0;
        trail.depth[0] = 0;
    }
    for (;;) {
        if (w.depth == len) {
            w.first = nodes[w.node].first;
            break;
        }
        int child = child_of(w.node, static_cast<unsigned char>(q[w.depth]));
        if (child == 0) break;
        const Node& c = nodes[child];
        const char* label = label_of(c);
        int rest = len - w.depth;
        int m = rest < c.len ? rest : c.len;
        // The first byte matched when the child was chosen.
        int j = 1 + common_length(label + 1, q + w.depth + 1, m - 1);
        if (j < m) {
            w.child = child;
            w.common = j;
            break;
        }
        if (rest <= c.len) {
            w.first = c.first;
            break;
        }
        w.node = child;
        w.depth += c.len;
        trail.node[n] = static_cast<uint16_t>(child);
        trail.depth[n] = static_cast<uint8_t>(w.depth);
        n++;
    }
    // Every node kept lies on this query.
    trail.count = n;
    return w;
}

// byte is the label's first byte, which the caller has at hand.
int new_node(int first, int entry, int start, int len, char byte) {
    Node& n = nodes[node_count];
    n.first = static_cast<uint16_t>(first);
    n.entry = static_cast<uint16_t>(entry);
    n.child = 0;
    n.next = 0;
    n.start = static_cast<uint8_t>(start);
    n.len = static_cast<uint8_t>(len);
    n.byte = static_cast<uint8_t>(byte);
    return node_count++;
}

void add_child(int parent, int child) {
    nodes[child].next = nodes[parent].child;
    nodes[parent].child = static_cast<uint16_t>(child);
}

// Adds entry k, whose name (the len bytes at name) the walk w did not find, at the point where
// it left the tree. The new nodes' labels refer to the entry's name in the table, so it must
// lie there before the next lookup. Inlined into both callers: one of them runs for every new
// name.
[[gnu::always_inline]] inline void insert_at(const Walk& w, const char* name, int len, int k) {
    if (node_count + 2 > kNodeMax) return;  // cannot happen: see kNodeMax
    if (nodes[0].first == 0) nodes[0].first = static_cast<uint16_t>(k);
    int d = w.depth;
    if (d == len) return;  // the empty name in an empty tree: the root holds it
    if (w.child == 0) {
        add_child(w.node, new_node(k, k, d, len - d, name[d]));
        return;
    }
    // The name leaves the child's label after j bytes: a new node takes the common part, in
    // the child's place among its parent's children, with the old child and a leaf for the
    // rest of the new name below it.
    int old = w.child;
    int j = w.common;
    Node& c = nodes[old];
    int mid = new_node(c.first, c.entry, c.start, j, static_cast<char>(c.byte));
    nodes[mid].next = c.next;
    if (nodes[w.node].child == old) {
        nodes[w.node].child = static_cast<uint16_t>(mid);
    } else {
        int s = nodes[w.node].child;
        while (nodes[s].next != old) s = nodes[s].next;
        nodes[s].next = static_cast<uint16_t>(mid);
    }
    c.next = 0;
    c.start = static_cast<uint8_t>(c.start + j);
    c.len = static_cast<uint8_t>(c.len - j);
    c.byte = static_cast<uint8_t>(label_of(c)[0]);
    nodes[mid].child = static_cast<uint16_t>(old);
    add_child(mid, new_node(k, k, d + j, len - d - j, name[d + j]));
}

// Empties the index. Nodes above the root are only read once made again.
void reset() {
    nodes[0] = Node{0, 0, 0, 0, 0, 0, 0};
    node_count = 1;
    indexed = 0;
    last_found = 0;
    trail.count = 0;
    valid = true;
}

// Indexes entry k, the next one in table order. Only a name that no earlier name begins with
// is its own first match; any other name is found through the earlier entry.
void add_entry(int k) {
    const char* name = MP_Tags[k].name;
    int len = MP_tag_name_length(name);
    own_len[k] = kNotOwn;
    Walk w = walk(name, len);
    if (w.first == 0) {
        insert_at(w, name, len, k);
        own_len[k] = static_cast<uint8_t>(len);
    }
    indexed = k;
}

// Rebuilds the index when the table was cleared or its count went down, then adds the
// entries stored since it was last brought up to the table, in table order. Kept out of the
// lookups, which mostly find the index up to date.
[[gnu::noinline]] void catch_up() {
    int target = MP_Numtags;
    if (target < 0) target = 0;
    if (target > MP_MAXTAGS) target = MP_MAXTAGS;
    if (!valid || indexed > target) reset();
    while (indexed < target) add_entry(indexed + 1);
}

// Brings the index up to the table.
void sync() {
    // Mostly the index is up to date: the table's count is the one indexed.
    if (valid && MP_Numtags == indexed) return;
    catch_up();
}

// The lookup of a name that is not the entry after the last one found: a walk down the tree.
// When nothing is found and the caller is about to store the name as `entry`, the next entry,
// the name goes into the tree where the walk left it. Kept out of the lookup, so that the
// lookups that need no walk, the bulk of a poll, do not pay for the registers that the walk
// uses.
[[gnu::noinline]] int find_by_walk(const char* query, int length, int entry) {
    Walk w = walk(query, length);
    if (w.first != 0) return last_found = w.first;
    if (entry == indexed + 1 && entry <= MP_MAXTAGS) {
        insert_at(w, query, length, entry);
        own_len[entry] = static_cast<uint8_t>(length);
        indexed = entry;
        // The store that follows a new name is mostly the next new name or, in the next poll,
        // an update of the entry after this one.
        last_found = entry;
    }
    return 0;
}

int lookup(const char* query, int length, int entry) {
    if (!query || length < 0) return 0;
    if (length > MP_TAG_NAME_MAX) length = MP_TAG_NAME_MAX;
    sync();
    int next = last_found + 1;
    if (next <= indexed && own_name_is(next, query, length)) return last_found = next;
    return find_by_walk(query, length, entry);
}

}  // namespace

int MP_tagindex_find(const char* query, int length) { return lookup(query, length, 0); }

int MP_tagindex_find_or_add(const char* name, int length, int entry) {
    return lookup(name, length, entry);
}

void MP_tagindex_invalidate() { valid = false; }
