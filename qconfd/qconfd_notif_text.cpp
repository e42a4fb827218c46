// The syslog copy of every notification the throttler sends:
// "%Quorvel-<host>-<DAEMON>-6-INFO-1400002: Notification: M/D/Y h:m:s <name> leaf:value ...".
#include <syslog.h>

#include <cstdio>
#include <string>

#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"

namespace {

constexpr size_t kTextSize = 2048;
constexpr int kNotificationEvent = 1400002;

std::string tag_name(uint32_t tag) {
    const char *name = confd_hash2str(tag);
    return name ? name : std::to_string(tag);
}

// An enumeration leaf prints its label when the schema knows the leaf, its number otherwise.
std::string value_text(const std::string &notification, const std::string &leaf,
                       const confd_value_t *v) {
    if (v->type == C_ENUM_VALUE) {
        const confd_cs_node *node =
            confd_cs_node_cd(nullptr, "/%s/%s", notification.c_str(), leaf.c_str());
        const char *label = nullptr;
        if (node && confd_val2str_ptr(node->info.type, v, &label) != CONFD_ERR && label)
            return label;
    }
    char buf[128];
    confd_pp_value(buf, sizeof buf, v);
    return buf;
}

}  // namespace

std::string qconfd_notification_text(const confd_tag_value_t *values, int count) {
    if (!values || count < 1)
        return {};
    const std::string name = tag_name(values[0].tag.tag);
    std::string text = name + " ";
    for (int i = 1; i < count - 1 && text.size() < kTextSize - 1; ++i) {
        const std::string leaf = tag_name(values[i].tag.tag);
        text += leaf + ":" + value_text(name, leaf, &values[i].v) + " ";
    }
    if (text.size() > kTextSize - 1)
        text.resize(kTextSize - 1);
    return text;
}

void qconfd_add_to_syslog(const confd_datetime *time, const confd_tag_value_t *values, int count) {
    if (!values || count <= 0 || !time) {
        PLX_LOG("Notification: Failed to write notification information to syslog");
        return;
    }
    const std::string text = qconfd_notification_text(values, count);
    char line[2400];
    snprintf(line, sizeof line, "%%Quorvel-%s-%s-%d-%s-%d: Notification: %d/%d/%d %d:%d:%d %s",
             plx_hostname, qconfd_log_daemon_name(), 6, "INFO", kNotificationEvent, time->month,
             time->day, time->year, time->hour, time->min, time->sec, text.c_str());
    syslog(LOG_LOCAL7 | LOG_INFO, "%s", line);
    plx_log_copy(line);
}
