// What the readers were last handed, and the difference to a whole read after a reconnection.
#include "qconfd/qconfd_resync.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_api.h"

namespace {

// A node below an object: its namespace and tag.
using Seg = uint64_t;
using FlatKey = std::vector<Seg>;

Seg seg_of(const confd_tag_value_t &tv) {
    return (static_cast<uint64_t>(tv.tag.ns) << 32) | tv.tag.tag;
}

// A leaf's value, or a container's presence (type C_XMLBEGIN).
struct Val {
    confd_value_t v{};
    Val() { v.type = C_XMLBEGIN; }
    explicit Val(const confd_value_t &src) { confd_value_dup_to(&src, &v); }
    Val(const Val &) = delete;
    Val &operator=(const Val &) = delete;
    Val(Val &&o) noexcept : v(o.v) { o.v.type = C_NOEXISTS; }
    Val &operator=(Val &&o) noexcept {
        if (this != &o) {
            confd_free_value(&v);
            v = o.v;
            o.v.type = C_NOEXISTS;
        }
        return *this;
    }
    ~Val() { confd_free_value(&v); }
};

// An object's leaves and containers by their path below it; a container's path sorts just
// before everything inside it.
using Flat = std::map<FlatKey, Val>;

struct KeptObject {
    std::vector<confd_value_t> keys;
    Flat nodes;
    KeptObject() = default;
    KeptObject(const KeptObject &) = delete;
    KeptObject(KeptObject &&o) noexcept : keys(std::move(o.keys)), nodes(std::move(o.nodes)) {}
    ~KeptObject() {
        for (confd_value_t &k : keys)
            confd_free_value(&k);
    }
};

std::mutex g_mutex;
std::unordered_map<const SubscriptionPoint *, std::map<std::string, KeptObject>> g_rows;

bool has_prefix(const FlatKey &key, const FlatKey &prefix) {
    return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

void erase_subtree(Flat &flat, const FlatKey &at) {
    auto it = flat.lower_bound(at);
    while (it != flat.end() && has_prefix(it->first, at))
        it = flat.erase(it);
}

// An object with nothing but its keys arrives as one bracket pair of its own node.
bool only_own_brackets(const confd_tag_value_t *values, size_t count, uint32_t own_tag) {
    return count == 2 && values[0].v.type == C_XMLBEGIN && values[1].v.type == C_XMLEND &&
           values[0].tag.tag == own_tag;
}

// Applies a change array (a whole object read onto an empty set) to an object's nodes.
void apply(Flat &flat, const confd_tag_value_t *values, size_t count, uint32_t own_tag) {
    if (only_own_brackets(values, count, own_tag))
        return;
    FlatKey at;
    for (size_t i = 0; i < count; ++i) {
        const confd_tag_value_t &tv = values[i];
        switch (tv.v.type) {
            case C_XMLBEGIN:
            case C_XMLBEGINDEL:
                at.push_back(seg_of(tv));
                flat.try_emplace(at);
                break;
            case C_XMLEND:
                if (!at.empty())
                    at.pop_back();
                break;
            case C_NOEXISTS:
                at.push_back(seg_of(tv));
                erase_subtree(flat, at);
                at.pop_back();
                break;
            default:
                at.push_back(seg_of(tv));
                flat.insert_or_assign(at, Val(tv.v));
                at.pop_back();
                break;
        }
    }
}

confd_tag_value_t tagged(Seg seg, confd_vtype type) {
    confd_tag_value_t tv{};
    tv.tag.ns = static_cast<uint32_t>(seg >> 32);
    tv.tag.tag = static_cast<uint32_t>(seg);
    tv.v.type = type;
    tv.v.val.xmltag = tv.tag;
    return tv;
}

// Builds the modification array from the kept nodes to an object's whole new array: leaves set
// or changed with their values, removed leaves and containers as C_NOEXISTS, containers
// bracketed only around a change (or when they are new).
class DeltaBuilder {
  public:
    DeltaBuilder(const Flat &old_nodes, const Flat &new_nodes, std::vector<confd_tag_value_t> &out)
        : old_(old_nodes), new_(new_nodes), out_(out) {}

    void run(const confd_tag_value_t *values, size_t count, uint32_t own_tag) {
        if (!only_own_brackets(values, count, own_tag)) {
            for (size_t i = 0; i < count; ++i)
                step(values[i]);
        }
        removed_below(FlatKey{});
    }

  private:
    struct Open {
        Seg seg;
        bool written;
    };

    void write_open() {
        for (Open &o : open_) {
            if (!o.written) {
                out_.push_back(tagged(o.seg, C_XMLBEGIN));
                o.written = true;
            }
        }
    }

    void step(const confd_tag_value_t &tv) {
        switch (tv.v.type) {
            case C_XMLBEGIN:
            case C_XMLBEGINDEL:
                at_.push_back(seg_of(tv));
                open_.push_back({seg_of(tv), false});
                if (!old_.count(at_))
                    write_open();
                break;
            case C_XMLEND:
                if (open_.empty())
                    break;
                removed_below(at_);
                if (open_.back().written)
                    out_.push_back(tagged(open_.back().seg, C_XMLEND));
                open_.pop_back();
                at_.pop_back();
                break;
            case C_NOEXISTS:
                break;
            default: {
                at_.push_back(seg_of(tv));
                auto it = old_.find(at_);
                if (it == old_.end() || !confd_val_eq(&it->second.v, &tv.v)) {
                    write_open();
                    confd_tag_value_t copy = tv;
                    confd_value_dup_to(&tv.v, &copy.v);
                    out_.push_back(copy);
                }
                at_.pop_back();
                break;
            }
        }
    }

    // Every node directly below `parent` that was kept and is gone now.
    void removed_below(const FlatKey &parent) {
        auto it = old_.lower_bound(parent);
        while (it != old_.end() && has_prefix(it->first, parent)) {
            if (it->first.size() == parent.size()) {
                ++it;
                continue;
            }
            FlatKey child = parent;
            child.push_back(it->first[parent.size()]);
            if (!new_.count(child)) {
                write_open();
                out_.push_back(tagged(child.back(), C_NOEXISTS));
            }
            while (it != old_.end() && has_prefix(it->first, child))
                ++it;
        }
    }

    const Flat &old_;
    const Flat &new_;
    std::vector<confd_tag_value_t> &out_;
    FlatKey at_;
    std::vector<Open> open_;
};

std::vector<confd_value_t> copy_values(const confd_value_t *v, size_t n) {
    std::vector<confd_value_t> out(n);
    for (size_t i = 0; i < n; ++i)
        confd_value_dup_to(&v[i], &out[i]);
    return out;
}

}  // namespace

QconfdResyncChange::QconfdResyncChange(QconfdResyncChange &&o) noexcept
    : op(o.op),
      kpath(std::move(o.kpath)),
      keys(std::move(o.keys)),
      values(std::move(o.values)),
      own_tag(o.own_tag) {
    o.keys.clear();
    o.values.clear();
}

QconfdResyncChange::~QconfdResyncChange() {
    for (confd_value_t &k : keys)
        confd_free_value(&k);
    for (confd_tag_value_t &tv : values)
        confd_free_value(&tv.v);
}

void qconfd_snapshot_record(const SubscriptionPoint *row, const std::string &kpath, int op,
                            uint8_t key_count, const confd_value_t *keys,
                            const confd_tag_value_t *values, size_t count, uint32_t own_tag) {
    std::lock_guard lock(g_mutex);
    auto &objects = g_rows[row];
    if (op == MOP_DELETED) {
        // The object and every object kept below it.
        auto it = objects.lower_bound(kpath);
        while (it != objects.end() && it->first.compare(0, kpath.size(), kpath) == 0 &&
               (it->first.size() == kpath.size() || it->first[kpath.size()] == '/'))
            it = objects.erase(it);
        return;
    }
    auto [it, created] = objects.try_emplace(kpath);
    KeptObject &obj = it->second;
    if (created || op == MOP_CREATED) {
        obj.nodes.clear();
        for (confd_value_t &k : obj.keys)
            confd_free_value(&k);
        obj.keys = copy_values(keys, keys ? key_count : 0);
    }
    apply(obj.nodes, values, count, own_tag);
}

void qconfd_snapshot_clear_row(const SubscriptionPoint *row) {
    std::lock_guard lock(g_mutex);
    g_rows.erase(row);
}

void qconfd_snapshot_forget_all() {
    std::lock_guard lock(g_mutex);
    g_rows.clear();
}

std::vector<QconfdResyncChange> qconfd_resync_changes(const SubscriptionPoint *row,
                                                      const std::vector<QconfdFreshObject> &fresh) {
    std::lock_guard lock(g_mutex);
    const auto &objects = g_rows[row];
    std::vector<QconfdResyncChange> out;
    std::map<std::string, const QconfdFreshObject *> now;
    for (const QconfdFreshObject &f : fresh)
        now.emplace(f.kpath, &f);
    for (const auto &[kpath, obj] : objects) {
        if (now.count(kpath) || kpath.empty())
            continue;
        QconfdResyncChange &c = out.emplace_back();
        c.op = MOP_DELETED;
        c.kpath = kpath;
        c.keys = copy_values(obj.keys.data(), obj.keys.size());
    }
    for (const QconfdFreshObject &f : fresh) {
        auto kept = objects.find(f.kpath);
        QconfdResyncChange c;
        c.kpath = f.kpath;
        c.own_tag = f.own_tag;
        if (kept == objects.end()) {
            if (f.count == 0)  // a row without keys whose container is still empty
                continue;
            c.op = MOP_CREATED;
            for (int i = 0; i < f.count; ++i) {
                confd_tag_value_t copy = f.values[i];
                confd_value_dup_to(&f.values[i].v, &copy.v);
                c.values.push_back(copy);
            }
        } else {
            Flat nodes;
            apply(nodes, f.values, static_cast<size_t>(f.count), f.own_tag);
            c.op = MOP_MODIFIED;
            DeltaBuilder(kept->second.nodes, nodes, c.values)
                .run(f.values, static_cast<size_t>(f.count), f.own_tag);
            if (c.values.empty())
                continue;
        }
        c.keys = copy_values(f.keys, f.keys ? row->key_count : 0);
        out.push_back(std::move(c));
    }
    return out;
}
