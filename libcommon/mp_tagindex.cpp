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

// Edges: (parent node, first byte of the child's label) -> child, in an open-addressing hash
// kept below a quarter full. Node 0 is never a child, so child 0 marks a free slot.
constexpr int kEdgeBits = 14;
constexpr uint32_t kEdgeSlots = 1u << kEdgeBits;
struct Edge {
    uint32_t key;
    uint16_t child;
};
Edge edges[kEdgeSlots];

// Exact names: hash of the name -> entry, kept below half full; entry 0 marks a free slot.
constexpr int kNameBits = 12;
constexpr uint32_t kNameSlots = 1u << kNameBits;
struct NameSlot {
    uint32_t hash;
    uint16_t entry;
    uint8_t len;
};
NameSlot exact[kNameSlots];

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
        if (e.child == 0) return 0;
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
        if (e.child == 0 || e.key == key) {
            e.key = key;
            e.child = static_cast<uint16_t>(child);
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
    if (i < len) {
        uint64_t w = 0;
        memcpy(&w, s + i, static_cast<size_t>(len - i));
        h = (h ^ w) * 0x94D049BB133111EBull;
        h ^= h >> 29;
    }
    return static_cast<uint32_t>(h ^ (h >> 32));
}

int exact_find(const char* q, int len, uint32_t h) {
    uint32_t i = h & (kNameSlots - 1);
    for (uint32_t probes = 0; probes < kNameSlots; probes++) {
        const NameSlot& s = exact[i];
        if (s.entry == 0) return 0;
        if (s.hash == h && s.len == len && memcmp(MP_Tags[s.entry].name, q, len) == 0)
            return s.entry;
        i = (i + 1) & (kNameSlots - 1);
    }
    return 0;
}

void exact_add(int entry, int len, uint32_t h) {
    uint32_t i = h & (kNameSlots - 1);
    for (uint32_t probes = 0; probes < kNameSlots; probes++) {
        NameSlot& s = exact[i];
        if (s.entry == 0) {
            s.hash = h;
            s.entry = static_cast<uint16_t>(entry);
            s.len = static_cast<uint8_t>(len);
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

Walk walk(const char* q, int len) {
    Walk w{0, 0, 0, 0, 0};
    for (;;) {
        if (w.depth == len) {
            w.first = nodes[w.node].first;
            return w;
        }
        int child = edge_find(w.node, static_cast<unsigned char>(q[w.depth]));
        if (child == 0) return w;
        const Node& c = nodes[child];
        const char* label = label_of(c);
        int rest = len - w.depth;
        int m = rest < c.len ? rest : c.len;
        int j = 1;  // the first byte matched when the edge was chosen
        while (j < m && label[j] == q[w.depth + j]) j++;
        if (j < m) {
            w.child = child;
            w.common = j;
            return w;
        }
        if (rest <= c.len) {
            w.first = c.first;
            return w;
        }
        w.node = child;
        w.depth += c.len;
    }
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

void reset() {
    memset(nodes, 0, sizeof nodes);
    memset(edges, 0, sizeof edges);
    memset(exact, 0, sizeof exact);
    node_count = 1;
    indexed = 0;
    valid = true;
    miss.valid = false;
}

// Indexes entry k, the next one in table order.
void add_entry(int k) {
    const char* name = MP_Tags[k].name;
    int len = MP_tag_name_length(name);
    uint32_t h = name_hash(name, len);
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
    uint32_t h = name_hash(query, length);
    int hit = exact_find(query, length, h);
    if (hit) return hit;
    Walk w = walk(query, length);
    if (w.first == 0) {
        miss.valid = true;
        miss.indexed = indexed;
        miss.len = length;
        miss.hash = h;
        miss.walk = w;
        memcpy(miss.name, query, static_cast<size_t>(length));
    }
    return w.first;
}

void MP_tagindex_invalidate() { valid = false; }
