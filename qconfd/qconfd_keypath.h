// Reading a key path (the database's path of a changed or requested object): its list entries,
// their keys and the object's own tag.
#pragma once

#include <cstdint>

#include "platform/confd/confd_lib.h"

// Calls fn(keys, list) for every list entry of the key path, from the outermost inwards: `keys`
// are the entry's key values (ended by C_NOEXISTS or MAXKEYLEN), `list` the element above them
// (the list's tag), or null for an entry at the top. fn returns false to stop the walk.
template <class Fn>
void qconfd_keypath_for_each_entry(const confd_hkeypath_t &kp, Fn fn) {
    // Elements are stored leaf-most first: the walk runs from the top element (len - 1) down.
    for (int i = kp.len - 1; i >= 0; --i) {
        if (kp.v[i][0].type == C_XMLTAG)
            continue;
        if (!fn(kp.v[i], i + 1 < kp.len ? &kp.v[i + 1][0] : nullptr))
            return;
    }
}

// Number of key values of one list entry.
int qconfd_keypath_entry_keys(const confd_value_t *keys);

// Returns key_count keys of the list element under list_tag in keypath (into buffer, or into a
// new array that the caller frees when buffer is null), or null.
confd_value_t *qconfd_keypath_get_keys(const confd_hkeypath_t *keypath, confd_value_t *buffer,
                                       int key_count, uint32_t list_tag);

// Deep copies of every key of the key path, outermost list first, in a new array for
// qconfd_keypath_free_keys. `key_count` is the number the path must hold (fatal otherwise).
// Null for none; null with no_memory set when the array could not be allocated.
confd_value_t *qconfd_keypath_copy_keys(const confd_hkeypath_t *kp, uint8_t key_count,
                                        bool &no_memory);
void qconfd_keypath_free_keys(confd_value_t *keys, uint8_t key_count);

// The tag of the object's own node: the innermost plain tag of the key path, 0 for none.
uint32_t qconfd_keypath_own_tag(const confd_hkeypath_t *kp);
