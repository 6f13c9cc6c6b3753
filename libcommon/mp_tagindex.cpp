// mp_tagindex.cpp - the name index behind tag lookups: an exact-name hash and a radix tree.
#include "mp_tagindex.h"

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
struct Node {
    uint16_t first;  // lowest entry index among the names below; 0 only in an empty root
    uint16_t entry;
    uint8_t start;
    uint8_t len;
};

// Each indexed entry adds at most two nodes (its leaf and the node that splits an edge), and
// at most MP_MAXTAGS entries are indexed, so the tree never holds more than this.
constexpr int kNodeMax = 2 * MP_MAXTAGS + 1;
Node nodes[kNodeMax];
int node_count = 1;  // node 0 is the root, with the empty label

// The two hashes below are emptied at every rebuild, which follows each MP_Clear_tags. Rather
// than wiping their 160 KiB, every slot carries the generation that filled it: a slot of an
// older generation is free. Only when the generation counter wraps are they wiped for real.
uint16_t generation = 1;

// Edges: (parent node, first byte of the child's label) -> child, in an open-addressing hash
// kept below a quarter full. Node 0 is never a child.
constexpr int kEdgeBits = 14;
constexpr uint32_t kEdgeSlots = 1u << kEdgeBits;
struct Edge {
    uint32_t key;
    uint16_t child;
    uint16_t gen;  // the slot is in use when this is the current generation
};
Edge edges[kEdgeSlots];

// Exact names: hash of the name -> entry, kept below half full. The name's length is kept in
// own_len, by entry.
constexpr int kNameBits = 12;
constexpr uint32_t kNameSlots = 1u << kNameBits;
struct NameSlot {
    uint32_t hash;
    uint16_t entry;
    uint16_t gen;  // the slot is in use when this is the current generation
};
NameSlot exact[kNameSlots];

// For every indexed entry: the length of its name when it is its own first match (it is in
// the exact-name hash), or kNotOwn. Entries above the indexed count hold stale values that are
// never read.
constexpr uint8_t kNotOwn = 0xFF;
uint8_t own_len[MP_TABLE_SIZE];
// The entry that the last successful lookup gave. Stores come in runs that follow table order
// (every poll flattens the same list again), so the next lookup is tried on the entry after it
// first: a match there needs neither hashing nor a probe of the hash.
int last_found = 0;

// How many table entries, 1 to indexed, the index holds, and whether it may be used at all.
int indexed = 0;
bool valid = false;

uint32_t edge_key(int parent, unsigned char byte) {
    return (static_cast<uint32_t>(parent) << 8 | byte) + 1;
}

uint32_t edge_slot(uint32_t key) { return (key * 2654435761u) >> (32 - kEdgeBits); }

int edge_find(int parent, unsigned char byte) {
    uint32_t key = edge_key(parent, byte);
    uint32_t i = edge_slot(key);
    for (uint32_t probes = 0; probes < kEdgeSlots; probes++) {
        const Edge& e = edges[i];
        if (e.gen != generation) return 0;
        if (e.key == key) return e.child;
        i = (i + 1) & (kEdgeSlots - 1);
    }
    return 0;
}

// Points the edge at child, adding the edge when the parent has none for that byte.
void edge_set(int parent, unsigned char byte, int child) {
    uint32_t key = edge_key(parent, byte);
    uint32_t i = edge_slot(key);
    for (uint32_t probes = 0; probes < kEdgeSlots; probes++) {
        Edge& e = edges[i];
        if (e.gen != generation || e.key == key) {
            e.key = key;
            e.child = static_cast<uint16_t>(child);
            e.gen = generation;
            return;
        }
        i = (i + 1) & (kEdgeSlots - 1);
    }
}

// A word-at-a-time hash of a name of at most MP_TAG_NAME_MAX bytes.
uint32_t name_hash(const char* s, int len) {
    uint64_t h = static_cast<uint64_t>(len) * 0x9E3779B97F4A7C15ull;
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, s + i, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    // The last 1 to 7 bytes are read in at most two loads that may overlap (the length is
    // hashed too, so the bytes that both loads cover cannot make two names alike). Copying
    // them one by one into a word would make the processor wait for the pieces to land.
    int rest = len - i;
    if (rest > 0) {
        const unsigned char* t = reinterpret_cast<const unsigned char*>(s + i);
        uint64_t w;
        if (rest >= 4) {
            uint32_t lo, hi;
            memcpy(&lo, t, 4);
            memcpy(&hi, t + rest - 4, 4);
            w = static_cast<uint64_t>(hi) << 32 | lo;
        } else {
            w = static_cast<uint64_t>(t[0]) | static_cast<uint64_t>(t[rest / 2]) << 8 |
                static_cast<uint64_t>(t[rest - 1]) << 16;
        }
        h = (h ^ w) * 0x94D049BB133111EBull;
        h ^= h >> 29;
    }
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// Whether entry k, which is its own first match, is named exactly the len bytes of q.
bool own_name_is(int k, const char* q, int len) {
    return own_len[k] == len && memcmp(MP_Tags[k].name, q, static_cast<size_t>(len)) == 0;
}

int exact_find(const char* q, int len, uint32_t h) {
    uint32_t i = h & (kNameSlots - 1);
    for (uint32_t probes = 0; probes < kNameSlots; probes++) {
        const NameSlot& s = exact[i];
        if (s.gen != generation) return 0;
        if (s.hash == h && own_name_is(s.entry, q, len)) return s.entry;
        i = (i + 1) & (kNameSlots - 1);
    }
    return 0;
}

void exact_add(int entry, int len, uint32_t h) {
    own_len[entry] = static_cast<uint8_t>(len);
    uint32_t i = h & (kNameSlots - 1);
    for (uint32_t probes = 0; probes < kNameSlots; probes++) {
        NameSlot& s = exact[i];
        if (s.gen != generation) {
            s.hash = h;
            s.entry = static_cast<uint16_t>(entry);
            s.gen = generation;
            return;
        }
        i = (i + 1) & (kNameSlots - 1);
    }
}

const char* label_of(const Node& n) { return MP_Tags[n.entry].name + n.start; }

// Where a query ends in the tree, or where it leaves it.
struct Walk {
    int first;  // > 0: the first entry below the point where the query ends
    int node;   // otherwise: the last node that the query passed whole,
    int depth;  // the query's length up to that node,
    int child;  // the child whose label the query left (0: the node has no edge for it)
    int common; // and how many bytes of that label the query matched
};

// The nodes that the last walk passed whole, root first, each with the length of the query
// up to its end, and that query. A node stands for the same beginning of a name for as long as
// the tree lives: a split puts a new node above it but leaves the text up to its end as it
// was. So a walk starts at the deepest of them that still lies on its own query instead of at
// the root: names are stored in runs that share their beginning ("Rec12.Title" after
// "Rec12.StopTime"), and most of the walk is then done already.
struct Trail {
    int count;  // nodes kept; 0 when there is no trail (a new tree)
    int len;
    uint16_t node[MP_TAG_NAME_MAX + 1];
    uint8_t depth[MP_TAG_NAME_MAX + 1];
    char query[MP_TAG_NAME_MAX];
};
Trail trail;

Walk walk(const char* q, int len) {
    Walk w{0, 0, 0, 0, 0};
    // How much of the query the last walk's query shares, and where on its trail to start.
    int shared = 0;
    int n = 1;
    if (trail.count > 0) {
        int m = len < trail.len ? len : trail.len;
        while (shared < m && q[shared] == trail.query[shared]) shared++;
        int i = trail.count - 1;
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
        int child = edge_find(w.node, static_cast<unsigned char>(q[w.depth]));
        if (child == 0) break;
        const Node& c = nodes[child];
        const char* label = label_of(c);
        int rest = len - w.depth;
        int m = rest < c.len ? rest : c.len;
        int j = 1;  // the first byte matched when the edge was chosen
        while (j < m && label[j] == q[w.depth + j]) j++;
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
    // Every node kept lies on this query; the part that the two queries share is there already.
    trail.count = n;
    trail.len = len;
    memcpy(trail.query + shared, q + shared, static_cast<size_t>(len - shared));
    return w;
}

int new_node(int first, int entry, int start, int len) {
    Node& n = nodes[node_count];
    n.first = static_cast<uint16_t>(first);
    n.entry = static_cast<uint16_t>(entry);
    n.start = static_cast<uint8_t>(start);
    n.len = static_cast<uint8_t>(len);
    return node_count++;
}

// Adds entry k, whose name of len bytes the walk w did not find, at the point where it left
// the tree. Its bytes are read from the table, where the name now lies.
void insert_at(const Walk& w, int len, int k) {
    if (node_count + 2 > kNodeMax) return;  // cannot happen: see kNodeMax
    if (nodes[0].first == 0) nodes[0].first = static_cast<uint16_t>(k);
    const char* q = MP_Tags[k].name;
    int d = w.depth;
    if (d == len) return;  // the empty name in an empty tree: the root holds it
    unsigned char byte = static_cast<unsigned char>(q[d]);
    if (w.child == 0) {
        edge_set(w.node, byte, new_node(k, k, d, len - d));
        return;
    }
    // The name leaves the child's edge after j bytes: a new node takes the common part, with
    // the old child and a leaf for the rest of the new name below it.
    Node& c = nodes[w.child];
    int j = w.common;
    int mid = new_node(c.first, c.entry, c.start, j);
    unsigned char split_byte = static_cast<unsigned char>(label_of(c)[j]);
    c.start = static_cast<uint8_t>(c.start + j);
    c.len = static_cast<uint8_t>(c.len - j);
    edge_set(w.node, byte, mid);
    edge_set(mid, split_byte, w.child);
    edge_set(mid, static_cast<unsigned char>(q[d + j]), new_node(k, k, d + j, len - d - j));
}

// The last lookup that found nothing, kept so that the store which then adds the name can
// insert it where the walk left off instead of walking again.
struct Miss {
    bool valid;
    int indexed;  // the index as it was: any change since makes the walk stale
    int len;
    uint32_t hash;
    Walk walk;
    char name[MP_TAG_NAME_MAX + 1];
};
Miss miss;

// Empties the index. Nodes above the root are only read once made again; the hashes are
// emptied by moving to the next generation.
void reset() {
    nodes[0] = Node{0, 0, 0, 0};
    node_count = 1;
    if (++generation == 0) {
        // Slots of the generation that comes round again would count as in use.
        memset(edges, 0, sizeof edges);
        memset(exact, 0, sizeof exact);
        generation = 1;
    }
    indexed = 0;
    last_found = 0;
    trail.count = 0;
    valid = true;
    miss.valid = false;
}

// Indexes entry k, the next one in table order.
void add_entry(int k) {
    const char* name = MP_Tags[k].name;
    int len = MP_tag_name_length(name);
    uint32_t h = name_hash(name, len);
    own_len[k] = kNotOwn;
    if (miss.valid && miss.indexed == indexed && miss.len == len && miss.hash == h &&
        memcmp(name, miss.name, static_cast<size_t>(len)) == 0) {
        insert_at(miss.walk, len, k);
        exact_add(k, len, h);
    } else {
        // Only a name that no earlier name begins with is its own first match; any other
        // name is found through the earlier entry.
        Walk w = walk(name, len);
        if (w.first == 0) {
            insert_at(w, len, k);
            exact_add(k, len, h);
        }
    }
    miss.valid = false;
    indexed = k;
}

// Brings the index up to the table: rebuilds it when the table was cleared or its count went
// down, then adds the entries stored since the last call, in table order.
void sync() {
    int target = MP_Numtags;
    if (target < 0) target = 0;
    if (target > MP_MAXTAGS) target = MP_MAXTAGS;
    if (!valid || indexed > target) reset();
    while (indexed < target) add_entry(indexed + 1);
}

}  // namespace

int MP_tag_name_length(const char* name) {
    return name ? static_cast<int>(strnlen(name, MP_TAG_NAME_MAX)) : 0;
}

int MP_tagindex_find(const char* query, int length) {
    if (!query || length < 0) return 0;
    if (length > MP_TAG_NAME_MAX) length = MP_TAG_NAME_MAX;
    sync();
    int next = last_found + 1;
    if (next <= indexed && own_name_is(next, query, length)) return last_found = next;
    uint32_t h = name_hash(query, length);
    int hit = exact_find(query, length, h);
    if (hit) return last_found = hit;
    Walk w = walk(query, length);
    if (w.first == 0) {
        miss.valid = true;
        miss.indexed = indexed;
        miss.len = length;
        miss.hash = h;
        miss.walk = w;
        memcpy(miss.name, query, static_cast<size_t>(length));
        return 0;
    }
    return last_found = w.first;
}

void MP_tagindex_invalidate() { valid = false; }
