// Reading a key path: the keys of one list for the show callbacks, every key for the readers of
// a subscription, and the object's own tag.
#include "qconfd/qconfd_keypath.h"

#include <cstdlib>

#include "common/plx_log.h"
#include "qconfd/qconfd_log.h"

int qconfd_keypath_entry_keys(const confd_value_t *keys) {
    int n = 0;
    while (n < MAXKEYLEN && keys[n].type != C_NOEXISTS)
        ++n;
    return n;
}

confd_value_t *qconfd_keypath_get_keys(const confd_hkeypath_t *keypath, confd_value_t *buffer,
                                       int key_count, uint32_t list_tag) {
    if (key_count <= 0 || !keypath)
        return nullptr;
    // The first entry, from the top, whose list is the one asked for.
    const confd_value_t *keys = nullptr;
    qconfd_keypath_for_each_entry(
        *keypath, [&](const confd_value_t *entry, const confd_value_t *list) {
            if (list && list->type == C_XMLTAG && list->val.xmltag.tag == list_tag)
                keys = entry;
            return !keys;
        });
    const int found = keys ? qconfd_keypath_entry_keys(keys) : 0;
    if (found != key_count) {
        PLX_LOG("Number of keys given (%d) != number of keys found (%d) !", key_count, found);
        return nullptr;
    }
    confd_value_t *out = buffer;
    if (!out) {
        out = static_cast<confd_value_t *>(std::calloc(key_count, sizeof(confd_value_t)));
        if (!out) {
            PLX_LOG("Could not allocate memory");
            return nullptr;
        }
    }
    for (int k = 0; k < key_count; ++k)
        out[k] = keys[k];
    return out;
}

confd_value_t *qconfd_keypath_copy_keys(const confd_hkeypath_t *kp, uint8_t key_count,
                                        bool &no_memory) {
    int found = 0;
    qconfd_keypath_for_each_entry(*kp, [&](const confd_value_t *entry, const confd_value_t *) {
        found += qconfd_keypath_entry_keys(entry);
        return true;
    });
    PLX_ASSERT(key_count == found);
    no_memory = false;
    if (key_count == 0)
        return nullptr;
    auto *keys = static_cast<confd_value_t *>(std::calloc(key_count, sizeof(confd_value_t)));
    if (!keys) {
        no_memory = true;
        return nullptr;
    }
    int k = 0;
    qconfd_keypath_for_each_entry(*kp, [&](const confd_value_t *entry, const confd_value_t *) {
        for (int j = 0; j < qconfd_keypath_entry_keys(entry); ++j)
            confd_value_dup_to(&entry[j], &keys[k++]);
        return true;
    });
    return keys;
}

void qconfd_keypath_free_keys(confd_value_t *keys, uint8_t key_count) {
    if (!keys)
        return;
    for (uint8_t i = 0; i < key_count; ++i)
        confd_free_value(&keys[i]);
    std::free(keys);
}

uint32_t qconfd_keypath_own_tag(const confd_hkeypath_t *kp) {
    for (int i = 0; i < kp->len; ++i) {
        if (kp->v[i][0].type == C_XMLTAG)
            return kp->v[i][0].val.xmltag.tag;
    }
    return 0;
}
