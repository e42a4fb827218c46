// Printing received notifications: a readable form and the XML of a NETCONF notification.
#include <cstdio>
#include <string>
#include <vector>

#include "peers/cdbd/cdbd_internal.h"
#include "peers/cdbd/path_text.h"

namespace cdbd {

namespace {

const lysc_node *find_notification(const SchemaDb &s, uint32_t tag, uint32_t ns) {
    for (const lys_module *m : s.modules()) {
        if (!m->compiled || (ns && s.ns(m) != ns))
            continue;
        for (const lysc_node_notif *n = m->compiled->notifs; n;
             n = reinterpret_cast<const lysc_node_notif *>(n->next))
            if (s.tag(&n->node) == tag)
                return &n->node;
    }
    return nullptr;
}

const lysc_node *child_tagged(const SchemaDb &s, const lysc_node *parent, uint32_t tag) {
    const lysc_node *c = nullptr;
    while (parent && (c = lys_getnext(c, parent, nullptr, 0)))
        if (s.tag(c) == tag)
            return c;
    return nullptr;
}

}  // namespace

std::string format_notification(const SchemaDb &s, const confd_value_t &time,
                                const std::vector<confd_tag_value_t> &values, bool xml) {
    char when[64];
    const confd_datetime &t = time.val.datetime;
    snprintf(when, sizeof when, "%04d-%02u-%02uT%02u:%02u:%02u.%06u%c%02d:%02d", t.year, t.month,
             t.day, t.hour, t.min, t.sec, t.micro, t.timezone < 0 ? '-' : '+',
             t.timezone < 0 ? -t.timezone : t.timezone,
             t.timezone_minutes < 0 ? -t.timezone_minutes : t.timezone_minutes);
    const confd_tag_value_t &first = values.front();
    const lysc_node *notif = find_notification(s, first.tag.tag, first.tag.ns);
    const std::string nname = notif ? notif->name : std::to_string(first.tag.tag);
    std::string out;
    if (xml) {
        out =
            "<notification xmlns=\"urn:ietf:params:xml:ns:netconf:notification:1.0\">\n"
            "  <eventTime>" +
            std::string(when) + "</eventTime>\n  <" + nname;
        if (notif && notif->module->ns)
            out += std::string(" xmlns=\"") + notif->module->ns + "\"";
        out += ">\n";
    } else {
        out = std::string(when) + " " + nname + "\n";
    }
    std::vector<const lysc_node *> stack{notif};
    std::vector<std::string> names{nname};
    for (size_t i = 1; i + 1 < values.size(); ++i) {
        const confd_tag_value_t &tv = values[i];
        const std::string pad(2 * (stack.size() + (xml ? 1 : 0)), ' ');
        if (tv.v.type == C_XMLEND) {
            if (stack.size() > 1) {
                stack.pop_back();
                if (xml)
                    out += std::string(pad.size() - 2, ' ') + "</" + names.back() + ">\n";
                names.pop_back();
            }
            continue;
        }
        const lysc_node *node = child_tagged(s, stack.back(), tv.tag.tag);
        const std::string name = node ? node->name : std::to_string(tv.tag.tag);
        if (tv.v.type == C_XMLBEGIN) {
            out += xml ? pad + "<" + name + ">\n" : pad + name + "\n";
            stack.push_back(node);
            names.push_back(name);
            continue;
        }
        std::string text, err;
        if (!node || !(node->nodetype & (LYS_LEAF | LYS_LEAFLIST)) ||
            !s.to_text(node, tv.v, text, err)) {
            char buf[512];
            confd_pp_value(buf, sizeof buf, &tv.v);
            text = buf;
        }
        if (xml)
            out += pad + "<" + name + ">" + xml_escape(text) + "</" + name + ">\n";
        else
            out += pad + name + " " + text + "\n";
    }
    if (xml)
        out += "  </" + nname + ">\n</notification>\n";
    return out;
}

}  // namespace cdbd
