#include "peers/cdbd/cdbcli_oper_print.h"

#include <algorithm>
#include <cctype>

#include "peers/cdbd/path_text.h"

namespace cdbcli {

std::string node_name(const confd_cs_node *n) {
    const char *s = n ? confd_hash2str(n->tag) : nullptr;
    return s ? s : (n ? std::to_string(n->tag) : "");
}

std::string value_text(const confd_cs_node *leaf, const confd_value_t &v) {
    char buf[1024];
    if (leaf && leaf->info.type && confd_val2str(leaf->info.type, &v, buf, sizeof buf) >= 0)
        return buf;
    confd_pp_value(buf, sizeof buf, &v);
    return buf;
}

namespace {

using cdbd::xml_escape;

std::string pad(int depth) {
    return std::string(2 * static_cast<size_t>(std::max(depth, 0)), ' ');
}

const char *ns_field(uint32_t ns, bool module) {
    confd_nsinfo *list = nullptr;
    int n = confd_get_nslist(&list);
    for (int i = 0; i < n; ++i)
        if (list[i].hash == ns)
            return module ? list[i].module : list[i].uri;
    return nullptr;
}

bool is_leaf(const confd_cs_node *c) {
    return !(c->info.flags &
             (CS_NODE_IS_LIST | CS_NODE_IS_CONTAINER | CS_NODE_IS_ACTION | CS_NODE_IS_NOTIF));
}

// Nested printing with lazy openings: a container shows only once something inside it does;
// an entry shows at once.
class TreeSink : public OperSink {
  public:
    explicit TreeSink(const OperOut &out, int root_depth) : out_(out) {
        st_.push_back(Level{nullptr, true, true, root_depth});
    }
    void container(const confd_cs_node *c) override { st_.push_back(Level{c, false, false, 0}); }
    void entry(const confd_cs_node *list, const std::vector<confd_tag_value_t> &values,
               const OperCtx &) override {
        st_.push_back(Level{list, true, false, 0});
        reveal();
        // The reply's own containers are balanced within it; an unknown one is skipped whole.
        int unknown = 0;
        size_t opened = 0;
        for (const confd_tag_value_t &tv : values) {
            if (unknown) {
                unknown += tv.v.type == C_XMLBEGIN ? 1 : tv.v.type == C_XMLEND ? -1 : 0;
                continue;
            }
            if (tv.v.type == C_XMLEND) {
                if (opened) {
                    --opened;
                    end();
                }
                continue;
            }
            if (tv.v.type == C_NOEXISTS)
                continue;
            const confd_cs_node *c = confd_find_cs_node_child(st_.back().n, tv.tag);
            if (tv.v.type == C_XMLBEGIN) {
                if (!c) {
                    unknown = 1;
                    continue;
                }
                container(c);
                ++opened;
            } else if (c) {
                reveal();
                leaf(c, value_text(c, tv.v));
            }
        }
        while (opened--)
            end();
    }
    void end() override {
        if (st_.size() < 2)
            return;
        if (st_.back().shown)
            close(st_.back(), st_[st_.size() - 2]);
        st_.pop_back();
    }

  protected:
    struct Level {
        const confd_cs_node *n;  // null for the root
        bool entry;
        bool shown;
        int depth;  // indentation of the level's members (JSON) or of the level itself (XML)
        bool first = true;
        const confd_cs_node *array = nullptr;  // JSON: the list whose array is open here
        uint32_t ns() const { return n ? n->ns : 0; }
    };
    virtual void open(Level &l, Level &parent) = 0;
    virtual void close(Level &l, Level &parent) = 0;
    virtual void leaf(const confd_cs_node *c, const std::string &text) = 0;

    void reveal() {
        for (size_t i = 1; i < st_.size(); ++i)
            if (!st_[i].shown) {
                open(st_[i], st_[i - 1]);
                st_[i].shown = true;
            }
    }

    const OperOut &out_;
    std::vector<Level> st_;
};

class XmlSink : public TreeSink {
  public:
    explicit XmlSink(const OperOut &out) : TreeSink(out, -1) {}
    void finish() override {}

  private:
    static std::string opening(const confd_cs_node *n, uint32_t parent_ns) {
        std::string s = node_name(n);
        if (n->ns != parent_ns)
            if (const char *uri = ns_field(n->ns, false))
                s += std::string(" xmlns=\"") + uri + "\"";
        return s;
    }
    void open(Level &l, Level &parent) override {
        l.depth = parent.depth + 1;
        out_(pad(l.depth) + "<" + opening(l.n, parent.ns()) + ">\n");
    }
    void close(Level &l, Level &) override { out_(pad(l.depth) + "</" + node_name(l.n) + ">\n"); }
    void leaf(const confd_cs_node *c, const std::string &text) override {
        const Level &p = st_.back();
        out_(pad(p.depth + 1) + "<" + opening(c, p.ns()) + ">" + xml_escape(text) + "</" +
             node_name(c) + ">\n");
    }
};

std::string json_str(const std::string &s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        out += ch;
    }
    return out + "\"";
}

class JsonSink : public TreeSink {
  public:
    explicit JsonSink(const OperOut &out) : TreeSink(out, 1) { out_("{\n"); }
    void finish() override {
        close_array(st_.front());
        out_("\n}\n");
    }

  private:
    static std::string name(const confd_cs_node *n, uint32_t parent_ns) {
        std::string s = node_name(n);
        if (n->ns != parent_ns)
            if (const char *m = ns_field(n->ns, true))
                s = std::string(m) + ":" + s;
        return json_str(s);
    }
    void close_array(Level &l) {
        if (l.array)
            out_("\n" + pad(l.depth) + "]");
        l.array = nullptr;
    }
    void member(Level &l) {
        close_array(l);
        if (!l.first)
            out_(",\n");
        l.first = false;
    }
    void open(Level &l, Level &parent) override {
        if (!l.entry) {
            member(parent);
            out_(pad(parent.depth) + name(l.n, parent.ns()) + ": {\n");
            l.depth = parent.depth + 1;
            return;
        }
        if (parent.array != l.n) {
            member(parent);
            out_(pad(parent.depth) + name(l.n, parent.ns()) + ": [\n");
            parent.array = l.n;
        } else {
            out_(",\n");
        }
        out_(pad(parent.depth) + "  {\n");
        l.depth = parent.depth + 2;
    }
    void close(Level &l, Level &parent) override {
        close_array(l);
        out_("\n" + pad(parent.depth) + (l.entry ? "  }" : "}"));
    }
    void leaf(const confd_cs_node *c, const std::string &text) override {
        Level &p = st_.back();
        member(p);
        const auto t = c->info.shallow_type;
        const bool bare = t == C_BOOL || t == C_INT8 || t == C_INT16 || t == C_INT32 ||
                          t == C_UINT8 || t == C_UINT16 || t == C_UINT32;
        out_(pad(p.depth) + name(c, p.ns()) + ": " + (bare ? text : json_str(text)));
    }
};

std::string upper(std::string s) {
    for (auto &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// A table whose column widths come from its heading and its first rows; later rows that are
// wider push the following cells to the right rather than being held back.
class TableSink : public OperSink {
  public:
    TableSink(const confd_cs_node *list, const OperOut &out, bool &printed)
        : list_(list), out_(out), printed_(printed) {}
    void container(const confd_cs_node *) override {}
    void end() override {}
    void entry(const confd_cs_node *list, const std::vector<confd_tag_value_t> &values,
               const OperCtx &ctx) override {
        if (list != list_)
            return;
        if (head_.empty()) {
            for (const auto &[name, keys] : ctx)
                head_.push_back(upper(name));
            for (const confd_cs_node *l = list->children; l; l = l->next)
                if (is_leaf(l)) {
                    leaves_.push_back(l);
                    head_.push_back(upper(node_name(l)));
                }
        }
        std::vector<std::string> row;
        row.reserve(head_.size());
        for (const auto &[name, keys] : ctx)
            row.push_back(keys);
        for (const confd_cs_node *l : leaves_)
            row.push_back(cell(l, values));
        if (!sized_) {
            first_.push_back(std::move(row));
            if (first_.size() == kSizingRows)
                start();
        } else {
            line(row);
        }
    }
    void finish() override {
        if (!sized_ && !first_.empty())
            start();
    }

  private:
    static constexpr size_t kSizingRows = 64;

    // The text of a leaf among the reply's own leaves (not inside its containers), or "-".
    static std::string cell(const confd_cs_node *l, const std::vector<confd_tag_value_t> &values) {
        int depth = 0;
        for (const confd_tag_value_t &tv : values) {
            if (tv.v.type == C_XMLBEGIN)
                ++depth;
            else if (tv.v.type == C_XMLEND)
                --depth;
            else if (depth == 0 && tv.tag.tag == l->tag && tv.v.type != C_NOEXISTS)
                return value_text(l, tv.v);
        }
        return "-";
    }
    void start() {
        w_.assign(head_.size(), 0);
        for (size_t i = 0; i < head_.size(); ++i) {
            w_[i] = head_[i].size();
            for (const auto &r : first_)
                w_[i] = std::max(w_[i], r[i].size());
        }
        std::string title;
        for (const confd_cs_node *n = list_; n; n = n->parent)
            title = "/" + node_name(n) + title;
        if (printed_)
            out_("\n");
        printed_ = true;
        out_(title + "\n");
        line(head_);
        std::vector<std::string> dashes;
        for (size_t x : w_)
            dashes.push_back(std::string(x, '-'));
        line(dashes);
        for (const auto &r : first_)
            line(r);
        first_.clear();
        first_.shrink_to_fit();
        sized_ = true;
    }
    void line(const std::vector<std::string> &cells) {
        std::string s;
        for (size_t i = 0; i < cells.size(); ++i) {
            s += cells[i];
            if (i + 1 < cells.size())
                s += std::string(std::max(w_[i], cells[i].size()) - cells[i].size() + 2, ' ');
        }
        out_(s + "\n");
    }

    const confd_cs_node *list_;
    const OperOut &out_;
    bool &printed_;
    std::vector<std::string> head_;
    std::vector<const confd_cs_node *> leaves_;
    std::vector<std::vector<std::string>> first_;
    std::vector<size_t> w_;
    bool sized_ = false;
};

}  // namespace

std::unique_ptr<OperSink> make_xml_sink(const OperOut &out) {
    return std::make_unique<XmlSink>(out);
}

std::unique_ptr<OperSink> make_json_sink(const OperOut &out) {
    return std::make_unique<JsonSink>(out);
}

std::unique_ptr<OperSink> make_table_sink(const confd_cs_node *list, const OperOut &out,
                                          bool &printed) {
    return std::make_unique<TableSink>(list, out, printed);
}

}  // namespace cdbcli
