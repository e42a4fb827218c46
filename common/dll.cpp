#include "common/dll.h"

#include "common/plx_log.h"

void dll_init(dll *p_dll) {
    p_dll->p_head = nullptr;
    p_dll->p_tail = nullptr;
    p_dll->count = 0;
}

void dll_append(dll *p_dll, dll_node *p_newnode) {
    PLX_ASSERT(p_newnode->p_next == NULL && p_newnode->p_prev == NULL);
    if (p_dll->p_head == nullptr) {
        PLX_ASSERT(p_dll->count == 0);
        p_dll->p_head = p_newnode;
    } else {
        PLX_ASSERT(p_dll->count > 0);
        p_dll->p_tail->p_next = p_newnode;
        p_newnode->p_prev = p_dll->p_tail;
    }
    p_dll->p_tail = p_newnode;
    ++p_dll->count;
}

void dll_remove(dll *p_dll, dll_node *p_node) {
    PLX_ASSERT(p_dll->count > 0);
    // A node without a predecessor must be the head, one without a successor the tail.
    PLX_ASSERT(p_node->p_prev != NULL || p_dll->p_head == p_node);
    PLX_ASSERT(p_node->p_next != NULL || p_dll->p_tail == p_node);
    if (p_node->p_prev)
        p_node->p_prev->p_next = p_node->p_next;
    else
        p_dll->p_head = p_node->p_next;
    if (p_node->p_next)
        p_node->p_next->p_prev = p_node->p_prev;
    else
        p_dll->p_tail = p_node->p_prev;
    p_node->p_next = nullptr;
    p_node->p_prev = nullptr;
    --p_dll->count;
}
