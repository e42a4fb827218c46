// Tiny intrusive doubly-linked list.
//
// A record joins a list through a dll_node member; the list keeps head, tail and a count. Both
// operations check their invariants and stop the process (assertion convention) when the links
// and the count disagree, or when a node is appended while still linked somewhere.
#pragma once

#include <cstddef>
#include <cstdint>

struct dll_node {
    dll_node *p_next;
    dll_node *p_prev;
};

struct dll {
    dll_node *p_head;
    dll_node *p_tail;
    int32_t count;
};

static_assert(sizeof(dll_node) == 16 && offsetof(dll_node, p_prev) == 8);
static_assert(sizeof(dll) == 24 && offsetof(dll, count) == 16);

// Empties a list record (does not touch nodes that may still point into it).
void dll_init(dll *p_dll);

// Puts p_newnode at the tail. The node must be unlinked (both pointers NULL).
void dll_append(dll *p_dll, dll_node *p_newnode);

// Unlinks p_node (which must be in p_dll) and clears its links.
void dll_remove(dll *p_dll, dll_node *p_node);

inline dll_node *dll_head(const dll *p_dll) {
    return p_dll->p_head;
}
inline dll_node *dll_tail(const dll *p_dll) {
    return p_dll->p_tail;
}
inline int32_t dll_count(const dll *p_dll) {
    return p_dll->count;
}
inline bool dll_empty(const dll *p_dll) {
    return p_dll->count == 0;
}

// The record that holds a node: DLL_ENTRY(node, struct timer, mgr_node).
#define DLL_ENTRY(p_node, type, member) \
    reinterpret_cast<type *>(reinterpret_cast<char *>(p_node) - offsetof(type, member))
