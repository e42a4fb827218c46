// Client library: CDB sessions, data access and subscriptions.
#include "platform/confd/confd_cdb.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/confd/confd_client.h"

using confd_client::set_err;
using confd_client::sock_state;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

namespace {

std::string vformat(const char *fmt, va_list ap) {
    return confd_client::format_path(fmt, ap);
}

int simple(int sock, WireWriter &w) {
    std::vector<uint8_t> reply;
    return confd_client::request(sock, w.finish(), reply);
}

int path_request(int sock, Op op, const char *fmt, va_list ap, std::vector<uint8_t> &reply) {
    WireWriter w(op);
    w.str(vformat(fmt, ap));
    return confd_client::request(sock, w.finish(), reply);
}

int bad_reply() {
    return set_err(CONFD_ERR_PROTOUSAGE, "malformed reply from the database");
}

// Copies a library-owned tagged-value array out to the caller (malloc'ed, deep copy).
int copy_tvs(const confd_client::TvArray &src, confd_tag_value_t **values, int *nvalues) {
    const size_t n = src.items.size();
    auto *out = static_cast<confd_tag_value_t *>(std::calloc(n ? n : 1, sizeof(confd_tag_value_t)));
    if (!out)
        return set_err(CONFD_ERR_MALLOC, "out of memory");
    for (size_t i = 0; i < n; ++i) {
        out[i].tag = src.items[i].tag;
        if (!confd_value_dup_to(&src.items[i].v, &out[i].v)) {
            for (size_t j = 0; j < i; ++j)
                confd_free_value(&out[j].v);
            std::free(out);
            return set_err(CONFD_ERR_MALLOC, "out of memory");
        }
    }
    *values = out;
    *nvalues = static_cast<int>(n);
    return CONFD_OK;
}

}  // namespace

// The body of a variadic call that hands on its arguments after fmt as the va_list ap: returns
// what `call` returns.
#define RETURN_WITH_ARGS(call) \
    va_list ap;                \
    va_start(ap, fmt);         \
    const int rc = (call);     \
    va_end(ap);                \
    return rc

extern "C" int cdb_connect_name(int sock, enum cdb_sock_type type, const struct sockaddr *srv,
                                int srv_sz, const char *name) {
    WireSock kind = WireSock::CdbData;
    switch (type) {
        case CDB_READ_SOCKET:
            kind = WireSock::CdbRead;
            break;
        case CDB_SUBSCRIPTION_SOCKET:
            kind = WireSock::CdbSubscription;
            break;
        case CDB_DATA_SOCKET:
            kind = WireSock::CdbData;
            break;
        default:
            return set_err(CONFD_ERR_PROTOUSAGE, "unknown CDB socket type %d", type);
    }
    return confd_client::connect_sock(sock, srv, srv_sz, kind, name);
}

extern "C" int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv,
                           int srv_sz) {
    return cdb_connect_name(sock, type, srv, srv_sz, "");
}

extern "C" int cdb_close(int sock) {
    confd_client::forget_sock(sock);
    if (close(sock) != 0)
        return set_err(CONFD_ERR_OS, "close failed");
    return CONFD_OK;
}

extern "C" int cdb_wait_start(int sock) {
    WireWriter w(Op::WaitStart);
    return simple(sock, w);
}

extern "C" int cdb_get_phase(int sock, struct cdb_phase *phase) {
    WireWriter w(Op::GetPhase);
    std::vector<uint8_t> reply;
    int rc = confd_client::request(sock, w.finish(), reply);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(reply.data(), reply.size());
    int32_t p = 0, flags = 0, init = 0;
    if (!r.i32(p) || !r.i32(flags) || !r.i32(init))
        return bad_reply();
    phase->phase = p;
    phase->flags = flags;
    phase->init = init;
    phase->upgrade = 0;
    return CONFD_OK;
}

extern "C" int cdb_start_session2(int sock, enum cdb_db_type db, int flags) {
    WireWriter w(Op::StartSession);
    w.u32(static_cast<uint32_t>(db));
    w.u32(static_cast<uint32_t>(flags));
    return simple(sock, w);
}

extern "C" int cdb_start_session(int sock, enum cdb_db_type db) {
    return cdb_start_session2(sock, db, CDB_LOCK_SESSION | CDB_LOCK_WAIT);
}

extern "C" int cdb_end_session(int sock) {
    WireWriter w(Op::EndSession);
    return simple(sock, w);
}

extern "C" int cdb_set_namespace(int sock, int hashed_ns) {
    (void)hashed_ns;
    return sock_state(sock) ? CONFD_OK : CONFD_ERR;
}

static int get_with_text(int sock, confd_value_t *v, std::string *text, const char *fmt,
                         va_list ap) {
    std::vector<uint8_t> reply;
    int rc = path_request(sock, Op::Get, fmt, ap, reply);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(reply.data(), reply.size());
    confd_value_t val{};
    std::string t;
    if (!r.value(val) || !r.str(t)) {
        confd_free_value(&val);
        return bad_reply();
    }
    if (v)
        *v = val;
    else
        confd_free_value(&val);
    if (text)
        *text = std::move(t);
    return CONFD_OK;
}

extern "C" int cdb_vget(int sock, confd_value_t *v, const char *fmt, va_list args) {
    return get_with_text(sock, v, nullptr, fmt, args);
}

extern "C" int cdb_get(int sock, confd_value_t *v, const char *fmt, ...) {
    RETURN_WITH_ARGS(cdb_vget(sock, v, fmt, ap));
}

extern "C" int cdb_get_str(int sock, char *rval, int n, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text;
    int rc = get_with_text(sock, nullptr, &text, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return rc;
    if (static_cast<int>(text.size()) >= n)
        return set_err(CONFD_ERR_PROTOUSAGE, "buffer of %d bytes too small for \"%s\"", n,
                       text.c_str());
    std::memcpy(rval, text.c_str(), text.size() + 1);
    return CONFD_OK;
}

// A path request whose reply is one number (read by the given reader): the number, or an error.
template <typename T>
static int path_number(int sock, Op op, bool (WireReader::*read)(T &), const char *fmt,
                       va_list ap) {
    std::vector<uint8_t> reply;
    int rc = path_request(sock, op, fmt, ap, reply);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(reply.data(), reply.size());
    T n = 0;
    if (!(r.*read)(n))
        return bad_reply();
    return static_cast<int>(n);
}

extern "C" int cdb_exists(int sock, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = path_number(sock, Op::Exists, &WireReader::u8, fmt, ap);
    va_end(ap);
    return rc > 0 ? 1 : rc;
}

extern "C" int cdb_num_instances(int sock, const char *fmt, ...) {
    RETURN_WITH_ARGS(path_number(sock, Op::NumInstances, &WireReader::u32, fmt, ap));
}

extern "C" int cdb_vset_elem(int sock, confd_value_t *val, const char *fmt, va_list args) {
    WireWriter w(Op::SetElem);
    if (!val || !w.value(*val))
        return set_err(CONFD_ERR_BADTYPE, "value type %d cannot be written",
                       val ? static_cast<int>(val->type) : 0);
    w.str(vformat(fmt, args));
    return simple(sock, w);
}

extern "C" int cdb_set_elem(int sock, confd_value_t *val, const char *fmt, ...) {
    RETURN_WITH_ARGS(cdb_vset_elem(sock, val, fmt, ap));
}

extern "C" int cdb_vcreate(int sock, const char *fmt, va_list args) {
    std::vector<uint8_t> reply;
    return path_request(sock, Op::Create, fmt, args, reply);
}

extern "C" int cdb_create(int sock, const char *fmt, ...) {
    RETURN_WITH_ARGS(cdb_vcreate(sock, fmt, ap));
}

extern "C" int cdb_vdelete(int sock, const char *fmt, va_list args) {
    std::vector<uint8_t> reply;
    return path_request(sock, Op::Delete, fmt, args, reply);
}

extern "C" int cdb_delete(int sock, const char *fmt, ...) {
    RETURN_WITH_ARGS(cdb_vdelete(sock, fmt, ap));
}

// ---- subscriptions ----
static int subscribe(int sock, bool oper, int priority, int nspace, int *spoint, const char *fmt,
                     va_list ap) {
    WireWriter w(Op::Subscribe);
    w.u8(oper ? 1 : 0);
    w.i32(priority);
    w.u32(static_cast<uint32_t>(nspace));
    w.str(vformat(fmt, ap));
    std::vector<uint8_t> reply;
    int rc = confd_client::request(sock, w.finish(), reply);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(reply.data(), reply.size());
    int32_t id = 0;
    if (!r.i32(id))
        return bad_reply();
    if (spoint)
        *spoint = id;
    return CONFD_OK;
}

extern "C" int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt,
                             ...) {
    RETURN_WITH_ARGS(subscribe(sock, false, priority, nspace, spoint, fmt, ap));
}

extern "C" int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...) {
    RETURN_WITH_ARGS(subscribe(sock, true, 0, nspace, spoint, fmt, ap));
}

extern "C" int cdb_subscribe_done(int sock) {
    WireWriter w(Op::SubscribeDone);
    return simple(sock, w);
}

static int trigger(int sock, Op op, int sub_points[], int len, int flags) {
    if (len < 0 || (len > 0 && !sub_points))
        return set_err(CONFD_ERR_PROTOUSAGE, "bad point list");
    WireWriter w(op);
    w.u32(static_cast<uint32_t>(flags));
    w.u32(static_cast<uint32_t>(len));
    for (int i = 0; i < len; ++i)
        w.i32(sub_points[i]);
    return simple(sock, w);
}

extern "C" int cdb_trigger_subscriptions(int sock, int sub_points[], int len) {
    return trigger(sock, Op::Trigger, sub_points, len, 0);
}

extern "C" int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags) {
    return trigger(sock, Op::TriggerOper, sub_points, len, flags);
}

namespace confd_client {

// Checks an event's key path, values and modifications as EventData::read would decode them,
// and steps over them.
static bool skip_event_body(WireReader &r) {
    uint32_t len = 0;
    if (!r.u32(len) || len > MAXDEPTH)
        return false;
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t n = 0;
        if (!r.u8(n) || n > MAXKEYLEN)
            return false;
        for (uint8_t k = 0; k < n; ++k) {
            if (!r.skip_value())
                return false;
        }
    }
    return r.skip_value() && r.skip_value() && r.skip_tagged_list();
}

bool parse_notification(std::span<const uint8_t> payload, uint32_t &type, uint32_t &flags,
                        std::vector<PointChanges> &points) {
    WireReader r(payload.data(), payload.size());
    uint32_t npoints = 0;
    if (!r.u32(type) || !r.u32(flags) || !r.u32(npoints))
        return false;
    if (type < CDB_SUB_PREPARE || type > CDB_SUB_OPER)
        return false;
    for (uint32_t i = 0; i < npoints; ++i) {
        PointChanges pc;
        uint32_t nev = 0;
        uint8_t list_point = 0;
        if (!r.i32(pc.id) || !r.u8(list_point) || !r.u32(nev))
            return false;
        pc.list_point = list_point != 0;
        for (uint32_t e = 0; e < nev; ++e) {
            Event ev;
            uint8_t op = 0;
            if (!r.u32(ev.depth) || !r.u8(op) || op < MOP_CREATED || op > MOP_ATTR_SET)
                return false;
            ev.op = op;
            const uint8_t *body = r.position();
            if (!skip_event_body(r))
                return false;
            ev.body = {body, r.position()};
            pc.events.push_back(std::move(ev));
        }
        const uint8_t *mods = r.position();
        if (!r.skip_tagged_list())
            return false;
        pc.mods_body = {mods, r.position()};
        points.push_back(std::move(pc));
    }
    return true;
}

}  // namespace confd_client

extern "C" int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags,
                                             int **subpoints, int *resultlen) {
    auto st = sock_state(sock);
    if (!st)
        return CONFD_ERR;
    if (st->kind != WireSock::CdbSubscription)
        return set_err(CONFD_ERR_PROTOUSAGE, "not a subscription socket");
    // The frame is read into the buffer of the previous notification, whose changes are
    // dropped first: a fresh buffer of a few hundred KB per notification costs a page fault
    // per 4 KB.
    st->points.clear();
    st->current = nullptr;
    st->in_delivery = false;
    confd_wire::Frame f;
    f.payload.swap(st->notification);
    int rc = confd_client::read_reply(sock, f, "the database closed the subscription socket");
    if (rc != CONFD_OK)
        return rc;
    if (f.op != Op::Notify)
        return set_err(CONFD_ERR_PROTOUSAGE, "expected a notification, got frame %u",
                       static_cast<unsigned>(f.op));
    uint32_t t = 0, fl = 0;
    std::vector<confd_client::PointChanges> points;
    if (!confd_client::parse_notification(f.payload, t, fl, points))
        return bad_reply();
    auto *ids = static_cast<int *>(std::malloc(sizeof(int) * (points.size() + 1)));
    if (!ids)
        return set_err(CONFD_ERR_MALLOC, "out of memory");
    for (size_t i = 0; i < points.size(); ++i)
        ids[i] = points[i].id;
    st->points = std::move(points);
    st->notification = std::move(f.payload);  // the events lie in it (moving keeps the bytes)
    st->sub_type = static_cast<int>(t);
    st->sub_flags = static_cast<int>(fl);
    st->in_delivery = true;
    st->current = nullptr;
    if (type)
        *type = static_cast<cdb_sub_notification>(t);
    if (flags)
        *flags = static_cast<int>(fl);
    *subpoints = ids;
    *resultlen = static_cast<int>(st->points.size());
    return CONFD_OK;
}

extern "C" int cdb_read_subscription_socket(int sock, int sub_points[], int *resultlen) {
    int *ids = nullptr;
    int n = 0;
    int rc = cdb_read_subscription_socket2(sock, nullptr, nullptr, &ids, &n);
    if (rc != CONFD_OK)
        return rc;
    for (int i = 0; i < n; ++i)
        sub_points[i] = ids[i];
    *resultlen = n;
    std::free(ids);
    return CONFD_OK;
}

// The changes of point subid in the notification being read on the socket st, or null (error
// recorded; a null st has its error recorded already).
static const confd_client::PointChanges *delivered_point(const confd_client::SockState *st,
                                                         int subid) {
    if (!st)
        return nullptr;
    if (!st->in_delivery) {
        set_err(CONFD_ERR_BADSTATE, "no notification is being read");
        return nullptr;
    }
    for (const auto &p : st->points)
        if (p.id == subid)
            return &p;
    set_err(CONFD_ERR_NOEXISTS, "point %d did not fire", subid);
    return nullptr;
}

extern "C" int cdb_diff_iterate(int sock, int subid,
                                enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op,
                                                          confd_value_t *oldv, confd_value_t *newv,
                                                          void *state),
                                int flags, void *initstate) {
    (void)flags;
    auto st = sock_state(sock);
    const auto *pc = delivered_point(st.get(), subid);
    if (!pc)
        return CONFD_ERR;
    const auto &ev = pc->events;
    // One key path for every call, filled from the event: the iterator gets a path of its
    // own as before, without a 6 KB copy per event.
    auto kp = std::make_unique<confd_hkeypath_t>();
    size_t i = 0;
    while (i < ev.size()) {
        const confd_client::Event &e = ev[i];
        const confd_client::EventData *d = e.data();
        if (!d)
            return CONFD_ERR;
        d->fill_keypath(*kp);
        confd_value_t oldv = d->oldv, newv = d->newv;
        st->current = &e;
        enum cdb_iter_ret ret = iter(kp.get(), static_cast<cdb_iter_op>(e.op),
                                     d->oldv.type == C_NOEXISTS ? nullptr : &oldv,
                                     d->newv.type == C_NOEXISTS ? nullptr : &newv, initstate);
        st->current = nullptr;
        if (ret == ITER_RECURSE) {
            ++i;
        } else if (ret == ITER_CONTINUE) {
            size_t j = i + 1;
            while (j < ev.size() && ev[j].depth > e.depth)
                ++j;
            i = j;
        } else if (ret == ITER_UP) {
            size_t j = i + 1;
            while (j < ev.size() && ev[j].depth >= e.depth)
                ++j;
            i = j;
        } else {
            break;
        }
    }
    return CONFD_OK;
}

extern "C" int cdb_get_modifications_iter(int sock, int flags, confd_tag_value_t **values,
                                          int *nvalues) {
    (void)flags;
    // Called from cdb_diff_iterate's iterator, which checked the socket.
    auto st = confd_client::sock_state_checked_by_caller(sock);
    if (!st)
        return CONFD_ERR;
    if (!st->current)
        return set_err(CONFD_ERR_BADSTATE, "not called from a diff iterator");
    const confd_client::EventData *d = st->current->data();
    return d ? copy_tvs(d->mods, values, nvalues) : CONFD_ERR;
}

extern "C" int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values,
                                     int *nvalues, const char *fmt, ...) {
    (void)fmt;
    auto st = sock_state(sock);
    const auto *pc = delivered_point(st.get(), subid);
    if (!pc)
        return CONFD_ERR;
    // The point's array of a list point brackets whole entries; it is given only on request.
    if (pc->list_point && !(flags & CDB_GET_MODS_INCLUDE_LISTS)) {
        confd_client::TvArray empty;
        return copy_tvs(empty, values, nvalues);
    }
    const confd_client::TvArray *mods = pc->point_mods();
    return mods ? copy_tvs(*mods, values, nvalues) : CONFD_ERR;
}

extern "C" int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st_type) {
    auto st = sock_state(sock);
    if (!st)
        return CONFD_ERR;
    WireWriter w(Op::SubSync);
    w.u32(static_cast<uint32_t>(st_type));
    st->in_delivery = false;
    st->current = nullptr;
    st->points.clear();  // the notification's bytes stay for the next one to be read into
    return simple(sock, w);
}

extern "C" int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t apptag_ns,
                                   uint32_t apptag_tag, const char *fmt, ...) {
    (void)code;
    (void)apptag_ns;
    (void)apptag_tag;
    (void)fmt;
    return sock_state(sock) ? CONFD_OK : CONFD_ERR;
}
