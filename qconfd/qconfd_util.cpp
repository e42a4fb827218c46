// Reading the keys of one list out of a key path, for the show callbacks.
#include <cstdlib>

#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"

confd_value_t *qconfd_keypath_get_keys(const confd_hkeypath_t *keypath, confd_value_t *buffer,
                                       int key_count, uint32_t list_tag) {
    if (key_count <= 0 || !keypath)
        return nullptr;
    // Key paths are stored leaf-most first: walk from the top element (len - 1) down to the
    // first key element whose parent is the list asked for.
    const confd_value_t *keys = nullptr;
    for (int i = keypath->len - 2; i >= 0 && !keys; --i) {
        const confd_value_t &parent = keypath->v[i + 1][0];
        if (keypath->v[i][0].type != C_XMLTAG && parent.type == C_XMLTAG &&
            parent.val.xmltag.tag == list_tag)
            keys = keypath->v[i];
    }
    int found = 0;
    while (keys && found < MAXKEYLEN && keys[found].type != C_NOEXISTS)
        ++found;
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
