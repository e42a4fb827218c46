// Edits of libyang data trees shared by operational writes and commits.
#include "peers/cdbd/cdbd_internal.h"

namespace cdbd {

void free_node(DataTree &t, lyd_node *n) {
    if (!n->parent && n == t.root)
        t.root = n->next;
    lyd_free_tree(n);
}

uint32_t free_matches(DataTree &t, const std::string &xpath) {
    ly_set *set = nullptr;
    uint32_t n = 0;
    if (t.root && lyd_find_xpath(t.root, xpath.c_str(), &set) == LY_SUCCESS) {
        n = set->count;
        for (uint32_t i = 0; i < set->count; ++i)
            free_node(t, set->dnodes[i]);
    }
    ly_set_free(set, nullptr);
    return n;
}

int merge_new_node(ly_ctx *ctx, DataTree &t, const std::string &xpath, const char *value,
                   uint32_t options, std::string &err) {
    lyd_node *created = nullptr;
    if (lyd_new_path(nullptr, ctx, xpath.c_str(), value, options, &created) != LY_SUCCESS) {
        err = ly_error_text(ctx);
        return CONFD_ERR_BADTYPE;
    }
    if (lyd_merge_siblings(&t.root, created, LYD_MERGE_DESTRUCT) != LY_SUCCESS) {
        err = ly_error_text(ctx);
        return CONFD_ERR_INTERNAL;
    }
    return 0;
}

}  // namespace cdbd
