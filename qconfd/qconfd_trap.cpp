// SNMP traps: the trap groups read from snmp/trap/group, the trap built from each queued
// notification and its sending to every group that enables it.
//
// The throttler thread walks the group list while sending; the readers change it on the event
// loop. One mutex covers the list and the groups' maps.
#include "qconfd/qconfd_trap.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>

#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_notif_item.h"
#include "qconfd/qconfd_trap_internal.h"

namespace {

std::mutex groups_mutex;
std::list<QconfdTrapGroup> groups;  // in creation order

bool index_in_range(int index) {
    if (index < 1 || index > QCONFD_TRAP_INDEX_MAX) {
        PLX_LOG("Trap value out of bounds: trap_index %d", index);
        return false;
    }
    return true;
}

QconfdTrapGroup *find_locked(const char *name) {
    for (QconfdTrapGroup &g : groups)
        if (std::strncmp(g.name, name, QCONFD_TRAP_GROUP_NAME_LEN) == 0)
            return &g;
    return nullptr;
}

// Group names arrive as counted buffers; a group keeps at most 31 characters.
std::string key_text(const confd_value_t *key) {
    std::string s(CONFD_GET_CBUFPTR(key), CONFD_GET_BUFSIZE(key));
    s.resize(std::min(s.size(), strnlen(s.c_str(), s.size())));
    if (s.size() >= QCONFD_TRAP_GROUP_NAME_LEN)
        s.resize(QCONFD_TRAP_GROUP_NAME_LEN - 1);
    return s;
}

void set_module_level(uint8_t *map, int module, int level, bool on) {
    if (module == 0) {
        for (int m = 1; m <= QCONFD_TRAP_MODULE_MAX; ++m)
            set_module_level(map, m, level, on);
        return;
    }
    for (int index : qconfd_trap_module_level(module, level))
        qconfd_trap_set(map, index, on);
}

std::string bitmap_text(const QconfdTrapGroup &g) {
    std::string text(QCONFD_TRAP_INDEX_MAX, '0');
    for (int i = 1; i <= QCONFD_TRAP_INDEX_MAX; ++i)
        if (((g.map_a[i / 8] | g.map_b[i / 8]) >> (i % 8)) & 1)
            text[i - 1] = '1';
    return text;
}

void bitmap_dump(const QconfdTrapGroup &g) {
    QCONFD_DEBUG("Trap group %s has a combined bitmap %s", g.name, bitmap_text(g).c_str());
}

QconfdTrapGroup *add_locked(const char *name) {
    try {
        QconfdTrapGroup &g = groups.emplace_back();
        std::memset(&g, 0, sizeof g);
        std::snprintf(g.name, sizeof g.name, "%s", name);
        return &g;
    } catch (const std::bad_alloc &) {
        PLX_LOG("Failed to allocate memory for trap tag %s", name);
        return nullptr;
    }
}

}  // namespace

void qconfd_trap_init() {
    qconfd_trap_clear();
    qconfd_trap_table_fill();
}

void qconfd_trap_clear() {
    qconfd_trap_table_clear();
    std::lock_guard lock(groups_mutex);
    groups.clear();
}

bool qconfd_trap_is_enabled(const QconfdTrapGroup *group, int index) {
    if (!group || !index_in_range(index))
        return false;
    return ((group->map_a[index / 8] | group->map_b[index / 8]) >> (index % 8)) & 1;
}

void qconfd_trap_set(uint8_t *map, int index, bool on) {
    if (!map || !index_in_range(index))
        return;
    const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
    if (on)
        map[index / 8] |= bit;
    else
        map[index / 8] &= static_cast<uint8_t>(~bit);
}

QconfdTrapGroup *qconfd_trap_add_tag(const char *name) {
    std::lock_guard lock(groups_mutex);
    return add_locked(name);
}

QconfdTrapGroup *qconfd_trap_find_tag(const char *name) {
    std::lock_guard lock(groups_mutex);
    QconfdTrapGroup *g = find_locked(name);
    if (!g)
        PLX_LOG("Failed to find tag %s", name);
    return g;
}

void qconfd_trap_delete_tag(const char *name) {
    std::lock_guard lock(groups_mutex);
    groups.remove_if([name](const QconfdTrapGroup &g) {
        return std::strncmp(g.name, name, QCONFD_TRAP_GROUP_NAME_LEN) == 0;
    });
}

std::string qconfd_trap_group_bitmap(const char *name) {
    std::lock_guard lock(groups_mutex);
    const QconfdTrapGroup *g = find_locked(name);
    return g ? bitmap_text(*g) : std::string();
}

int qconfd_config_trap_group(SubscriptionPoint *, int operation, uint8_t key_count,
                             confd_value_t *key_p, uint16_t, confd_tag_value_t *) {
    if (key_count != 1) {
        PLX_LOG("Incorrect number of keys %u", key_count);
        return 1;
    }
    PLX_ASSERT((&key_p[0])->type == C_BUF);
    const std::string name = key_text(&key_p[0]);
    QCONFD_DEBUG("Configuring group %s with %d operation", name.c_str(), operation);
    if (operation == MOP_CREATED) {
        {
            std::lock_guard lock(groups_mutex);
            if (find_locked(name.c_str()))
                return 0;  // seen again (a repeated read): keep its settings
        }
        if (!qconfd_trap_add_tag(name.c_str())) {
            PLX_LOG("Unable to create a new tag for group %s", name.c_str());
            return 2;
        }
    } else if (operation == MOP_DELETED) {
        qconfd_trap_delete_tag(name.c_str());
    }
    return 0;
}

int qconfd_config_trap_group_enable(SubscriptionPoint *, int operation, uint8_t key_count,
                                    confd_value_t *key_p, uint16_t value_count,
                                    confd_tag_value_t *values) {
    if (key_count != 2) {
        PLX_LOG("Incorrect number of keys %u", key_count);
        return 1;
    }
    PLX_ASSERT((&key_p[0])->type == C_BUF);
    PLX_ASSERT((&key_p[1])->type == C_ENUM_VALUE);
    const std::string name = key_text(&key_p[0]);
    const int module = CONFD_GET_ENUM_VALUE(&key_p[1]);
    if (module < 0 || module > QCONFD_TRAP_MODULE_MAX) {
        PLX_LOG("Unknown trap module %d for %s group", module, name.c_str());
        return 1;
    }
    std::lock_guard lock(groups_mutex);
    QconfdTrapGroup *g = find_locked(name.c_str());
    // Groups and their entries are read at one level, groups first: a group deleted with its
    // entries has gone already, and an entry of a group this connection has not read yet (after
    // a reconnection) brings its group with it.
    if (!g && operation == MOP_DELETED) {
        QCONFD_DEBUG("Group %s went before its %d module entry", name.c_str(), module);
        return 0;
    }
    if (!g && !(g = add_locked(name.c_str()))) {
        PLX_LOG("Failed to find tag entry for %s group", name.c_str());
        return 1;
    }
    uint8_t kept_a[QCONFD_TRAP_MAP_BYTES];
    if (module == 0)
        std::memcpy(kept_a, g->map_a, sizeof kept_a);
    for (int level = 0; level < QCONFD_TRAP_LEVELS; ++level)
        set_module_level(g->map_a, module, level, 0);
    bitmap_dump(*g);

    for (uint16_t v = 0; v < value_count && values; ++v) {
        confd_tag_value_t *cur_val_p = &values[v];
        if (cur_val_p->tag.tag != QCONFD_TRAP_LEVEL_TAG)
            continue;
        if (cur_val_p->v.type == C_NOEXISTS)
            break;  // the level list was emptied: the module is only cleared
        PLX_ASSERT((&cur_val_p->v)->type == C_LIST);
        if (operation != MOP_CREATED && operation != MOP_MODIFIED)
            break;
        const confd_value_t *level_ptr = CONFD_GET_LIST(&cur_val_p->v);
        for (unsigned i = 0; i < CONFD_GET_LISTSIZE(&cur_val_p->v); ++i) {
            PLX_ASSERT((level_ptr + i)->type == C_ENUM_VALUE);
            const int level = CONFD_GET_ENUM_VALUE(level_ptr + i);
            if (level >= 0 && level < QCONFD_TRAP_LEVELS)
                set_module_level(g->map_a, module, level, 1);
        }
        break;
    }
    if (module == 0) {
        std::memcpy(g->map_b, g->map_a, sizeof g->map_b);
        std::memcpy(g->map_a, kept_a, sizeof kept_a);
    }
    QCONFD_DEBUG("Finished configuring %s group %d module", name.c_str(), module);
    bitmap_dump(*g);
    return 0;
}

void qconfd_trap_populate(QconfdNotifItem *p_item) {
    if (p_item->value_count <= 4) {
        PLX_LOG("Cannot populate empty notification queue item");
        return;
    }
    const uint32_t slots = p_item->value_count - 3;
    auto *vars = static_cast<confd_snmp_varbind *>(std::calloc(slots, sizeof(confd_snmp_varbind)));
    if (!vars) {
        PLX_LOG("Cannot allocate for trap item");
        return;
    }
    const confd_tag_value_t &head = p_item->val[0];
    if (head.v.type != C_XMLBEGIN) {
        PLX_LOG("Notification starts with wrong tag value type");
        std::free(vars);
        return;
    }
    uint32_t index = 0;
    const char *name = qconfd_trap_lookup(head.tag.tag, head.tag.ns, &index);
    if (!name) {
        PLX_LOG("Notification name couldn't be found in trap table for tag:%u ns:%u", head.tag.tag,
                head.tag.ns);
        std::free(vars);
        return;
    }
    std::snprintf(p_item->trap_name, sizeof p_item->trap_name, "%s", name);
    p_item->trap_index = index;

    uint32_t n = 0;
    auto bind = [&](const char *var, const confd_value_t &value) {
        vars[n].type = CONFD_SNMP_VARIABLE;
        std::snprintf(vars[n].var.name, sizeof vars[n].var.name, "%s", var);
        vars[n].val = value;
        ++n;
    };
    confd_value_t when{};
    CONFD_SET_DATETIME(&when, p_item->time);
    bind("eventTime", when);
    PLX_ASSERT((&(p_item->val[1].v))->type == C_ENUM_VALUE);
    bind("netconfNotificationSeverity", p_item->val[1].v);
    // Values 2 and 3 (the session's user and address) are not carried by traps.
    for (uint32_t i = 4; i < p_item->value_count && n < slots; ++i) {
        const confd_tag_value_t &tv = p_item->val[i];
        if (tv.v.type == C_XMLEND)
            continue;
        const uint32_t ns = tv.tag.ns ? tv.tag.ns : head.tag.ns;
        const char *var = qconfd_trap_lookup(tv.tag.tag, ns, nullptr);
        if (!var) {
            PLX_LOG("Notification field name couldn't be found in trap table");
            continue;
        }
        if (tv.v.type == C_IPV4 || tv.v.type == C_IPV6) {
            auto *text = static_cast<char *>(std::calloc(1, QCONFD_TRAP_ADDR_TEXT_LEN));
            if (!text) {
                PLX_LOG("Failed to allocate memory for trap buffer fields");
                continue;
            }
            if (tv.v.type == C_IPV4)
                inet_ntop(AF_INET, &tv.v.val.ip, text, QCONFD_TRAP_ADDR_TEXT_LEN);
            else
                inet_ntop(AF_INET6, &tv.v.val.ip6, text, QCONFD_TRAP_ADDR_TEXT_LEN);
            p_item->addr_texts[i] = text;
            confd_value_t s{};
            CONFD_SET_STR(&s, text);
            bind(var, s);
        } else {
            bind(var, tv.v);
        }
    }
    p_item->trap_vars = vars;
    p_item->trap_var_count = n;
}

void qconfd_trap_send(QconfdNotifItem *item, confd_notification_ctx *snmp_ctx) {
    QCONFD_DEBUG("Processing trap %s", item->trap_name);
    if (!item->trap_vars)
        return;
    std::lock_guard lock(groups_mutex);
    for (const QconfdTrapGroup &g : groups) {
        if (!qconfd_trap_is_enabled(&g, static_cast<int>(item->trap_index)))
            continue;
        if (confd_notification_set_snmp_notify_name(snmp_ctx, g.name) != CONFD_OK) {
            PLX_LOG("Failed to set snmp notify/tag name : %s (%d) %s", confd_strerror(confd_errno),
                    confd_errno, confd_lasterr());
            continue;
        }
        if (confd_notification_send_snmp(snmp_ctx, item->trap_name, item->trap_vars,
                                         static_cast<int>(item->trap_var_count)) != CONFD_OK) {
            PLX_LOG("Failed to send snmp notification %s : %s (%d) %s", item->trap_name,
                    confd_strerror(confd_errno), confd_errno, confd_lasterr());
            continue;
        }
        QCONFD_DEBUG("Sending trap %s", item->trap_name);
    }
}

void qconfd_trap_release(QconfdNotifItem *item) {
    std::free(item->trap_vars);
    item->trap_vars = nullptr;
    item->trap_var_count = 0;
    for (char *&text : item->addr_texts) {
        std::free(text);
        text = nullptr;
    }
}

qconfd_result qconfd_trap_reread(int data_sock) {
    // The groups were emptied with the connection: their rows are read again as a whole, so
    // traps go on to the groups the database holds.
    int points[2];
    int n = 0;
    for (SubscriptionPoint *row = qconfd_common_subscriptions(); row->path[0]; ++row) {
        if (row->add_point >= 0 && n < 2)
            points[n++] = row->add_point;
    }
    if (n == 0)
        return QCONFD_OK;
    if (cdb_trigger_subscriptions(data_sock, points, n) != CONFD_OK) {
        PLX_LOG("Failed to read the trap groups again %s (%d) : %s", confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        return QCONFD_FAILED;
    }
    QCONFD_DEBUG("Trap groups read again");
    return QCONFD_OK;
}
