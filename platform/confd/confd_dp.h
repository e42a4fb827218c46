/*
 * Configuration-database client library: daemons (data providers, actions, validation,
 * notification streams and SNMP notifications).
 *
 * A daemon context (confd_init_daemon) owns one control socket and any number of worker
 * sockets, each connected with confd_connect. The daemon registers its callbacks on the
 * control socket and ends with confd_register_done; from then on the server sends requests:
 *
 * - the init callbacks (transaction, validation, action) arrive on the control socket; each
 *   must bind the transaction or action to a worker socket (confd_trans_set_fd,
 *   confd_action_set_fd), where every later request of it arrives;
 * - data-provider requests (get-object, get-next-object, find-next-object), actions and the
 *   validation stop arrive on that worker socket.
 *
 * The daemon's event loop calls confd_fd_ready when a control or worker socket is readable:
 * it reads one request, runs the registered callback and sends the reply (a data callback
 * replies with one of the confd_data_reply_* calls before it returns; an init callback that
 * returns CONFD_OK is answered by the library). A callback returning CONFD_ERR fails the
 * request with the text set by confd_trans_seterr or confd_action_seterr. confd_fd_ready
 * returns CONFD_EOF once the server has closed the socket; the daemon then releases the
 * context and connects again.
 *
 * Key paths handed to callbacks are built leaf-most first (confd_lib.h): for a read of the
 * list /a/b{k}/c the path is v[3] a, v[2] b, v[1] {k}, v[0] c; get-object of an entry adds
 * the entry's keys as v[0].
 *
 * Notifications (confd_notification_send, confd_notification_send_snmp) may be sent from any
 * thread; they are one-way frames on the socket the stream was registered with.
 */
#ifndef PLX_CONFD_DP_H
#define PLX_CONFD_DP_H

#include "platform/confd/confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_DAEMON_NAME_LEN 256
#define MAX_CALLPOINT_LEN 256
#define MAX_STREAMNAME_LEN 256
#define MAX_USERNAME_LEN 256
#define MAX_SNMP_VARNAME_LEN 256

enum confd_sock_type { CONTROL_SOCKET = 1, WORKER_SOCKET = 2 };

enum confd_find_next_type { CONFD_FIND_NEXT = 0, CONFD_FIND_SAME_OR_NEXT = 1 };

enum confd_trans_mode { CONFD_READ = 1, CONFD_READ_WRITE = 2 };

enum confd_proto { CONFD_PROTO_UNKNOWN = 0, CONFD_PROTO_TCP = 1, CONFD_PROTO_CONSOLE = 4 };

struct confd_daemon_ctx {
    char name[MAX_DAEMON_NAME_LEN];
    int ctl_sock;    /* the control socket, -1 before confd_connect */
    void *d_opaque;  /* the daemon's own data: the library never touches it */
    void *internal_; /* library state */
};

/* An action in progress: which worker socket runs it. */
struct confd_action_ctx {
    struct confd_daemon_ctx *dx;
    int fd; /* set by confd_action_set_fd */
    void *t_opaque;
};

/* Who made the request: the command-line session (usid) an action prints to. */
struct confd_user_info {
    char username[MAX_USERNAME_LEN];
    int usid; /* the user session: maapi_cli_printf writes to it */
    char context[MAX_USERNAME_LEN];
    enum confd_proto proto;
    int af;
    struct in_addr ip4;
    struct in6_addr ip6;
    uint16_t port;
    struct confd_action_ctx actx;
    void *u_opaque;
};

struct confd_trans_ctx {
    int fd; /* the worker socket, set by confd_trans_set_fd */
    struct confd_daemon_ctx *dx;
    enum confd_trans_mode mode;
    int dbname;
    struct confd_user_info *uinfo;
    int thandle; /* the server's transaction handle */
    void *t_opaque;
};

struct confd_trans_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*trans_lock)(struct confd_trans_ctx *tctx);
    int (*trans_unlock)(struct confd_trans_ctx *tctx);
    int (*write_start)(struct confd_trans_ctx *tctx);
    int (*prepare)(struct confd_trans_ctx *tctx);
    int (*abort)(struct confd_trans_ctx *tctx);
    int (*commit)(struct confd_trans_ctx *tctx);
    int (*finish)(struct confd_trans_ctx *tctx);
    void (*interrupt)(struct confd_trans_ctx *tctx);
};

struct confd_trans_validate_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*stop)(struct confd_trans_ctx *tctx);
};

struct confd_valpoint_cb {
    char valpoint[MAX_CALLPOINT_LEN];
    int (*validate)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, confd_value_t *newval);
    void *cb_opaque;
};

struct confd_qname;

/* An action callback. name: the action's node; kp: where it was invoked; params: its input. */
typedef int confd_action_fn(struct confd_user_info *uinfo, struct xml_tag *name,
                            confd_hkeypath_t *kp, confd_tag_value_t *params, int nparams);

struct confd_action_cbs {
    char actionpoint[MAX_CALLPOINT_LEN];
    int (*init)(struct confd_user_info *uinfo);
    int (*abort)(struct confd_user_info *uinfo);
    confd_action_fn *action;
    int (*command)(struct confd_user_info *uinfo, char *path, int argc, char **argv);
    int (*completion)(struct confd_user_info *uinfo, int cli_style, char *token,
                      int completion_char, confd_hkeypath_t *kp, char *cmdpath, char *cmdparam_id,
                      struct confd_qname *simpleType, char *extra);
    void *cb_opaque;
};

/*
 * Data provider of one callpoint. This server reads operational lists through the object
 * callbacks only; the per-leaf callbacks are accepted and never called.
 */
struct confd_data_cbs {
    char callpoint[MAX_CALLPOINT_LEN];
    int (*exists_optional)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_elem)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_next)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    int (*set_elem)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, confd_value_t *newval);
    int (*create)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*remove)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*find_next)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                     enum confd_find_next_type type, confd_value_t *keys, int nkeys);
    int (*num_instances)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    /* One entry of a list (kp ends with its keys). */
    int (*get_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    /* The entry after next (-1: the first one). */
    int (*get_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    /* The entry with these keys (SAME_OR_NEXT) or the first after them (nkeys 0: first). */
    int (*find_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                            enum confd_find_next_type type, confd_value_t *keys, int nkeys);
    void *cb_opaque;
    int flags;
};

struct confd_notification_ctx {
    char streamname[MAX_STREAMNAME_LEN];
    int fd; /* the socket notifications are sent on */
    char snmp_notify_name[MAX_STREAMNAME_LEN];
    char ctx_name[MAX_STREAMNAME_LEN];
    struct confd_daemon_ctx *dx;
    void *cb_opaque;
};

struct confd_notification_stream_cbs {
    char streamname[MAX_STREAMNAME_LEN];
    int fd; /* a worker socket of the daemon */
    int (*get_log_times)(struct confd_notification_ctx *nctx);
    int (*replay)(struct confd_notification_ctx *nctx, struct confd_datetime *start,
                  struct confd_datetime *stop);
    void *cb_opaque;
};

enum confd_snmp_var_type { CONFD_SNMP_VARIABLE = 1, CONFD_SNMP_OID = 2, CONFD_SNMP_COL_ROW = 3 };

/* One variable binding of an SNMP notification: only named variables (kind 1) are sent. */
struct confd_snmp_varbind {
    enum confd_snmp_var_type type;
    union {
        char name[MAX_SNMP_VARNAME_LEN];
    } var;
    confd_value_t val;
};

/* ---- daemon ---- */

/* A new daemon context named name (shown by the server), or NULL. */
struct confd_daemon_ctx *confd_init_daemon(const char *name);
/* Connects sock (a fresh AF_INET stream socket) as the control or a worker socket. */
int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type,
                  const struct sockaddr *srv, int addrsz);
int confd_register_trans_cb(struct confd_daemon_ctx *dx, const struct confd_trans_cbs *tcb);
int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx,
                                     const struct confd_trans_validate_cbs *vcbs);
int confd_register_valpoint_cb(struct confd_daemon_ctx *dx, const struct confd_valpoint_cb *vcb);
int confd_register_action_cbs(struct confd_daemon_ctx *dx, const struct confd_action_cbs *acb);
int confd_register_data_cb(struct confd_daemon_ctx *dx, const struct confd_data_cbs *dcb);
int confd_register_notification_stream(struct confd_daemon_ctx *dx,
                                       const struct confd_notification_stream_cbs *ncbs,
                                       struct confd_notification_ctx **nctx);
int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd, const char *notify_name,
                                     const char *ctx_name, struct confd_notification_ctx **nctx);
/* Ends the registrations: the server starts calling the daemon. */
int confd_register_done(struct confd_daemon_ctx *dx);
/* Reads and serves one request on a control or worker socket of dx. */
int confd_fd_ready(struct confd_daemon_ctx *dx, int fd);
/* Frees the context and forgets its sockets (the caller closes them). */
void confd_release_daemon(struct confd_daemon_ctx *dx);

int confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock);
int confd_action_set_fd(struct confd_user_info *uinfo, int sock);
void confd_trans_seterr(struct confd_trans_ctx *tctx, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void confd_action_seterr(struct confd_user_info *uinfo, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/* ---- data-provider replies (inside the callback) ---- */

/* The requested object: its leaves (keys included) in schema order. */
int confd_data_reply_tag_value_array(struct confd_trans_ctx *tctx, confd_tag_value_t *tv, int n);
/* An entry for get-next/find-next and the handle of the next one (-1: continue by keys). */
int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *tctx,
                                                 confd_tag_value_t *tv, int n, long next);
/* The keys of the next entry; v NULL and num_vals -1 end the list. */
int confd_data_reply_next_key(struct confd_trans_ctx *tctx, const confd_value_t *v, int num_vals,
                              long next);
int confd_data_reply_not_found(struct confd_trans_ctx *tctx);
/* Output values of an action (optional; without it the action's result is just success). */
int confd_action_reply_values(struct confd_user_info *uinfo, confd_tag_value_t *values,
                              int nvalues);

/* ---- notifications ---- */

/*
 * Sends a notification on the stream: values begin with C_XMLBEGIN of the notification's node
 * and end with its C_XMLEND; time is the event time (NULL: now).
 */
int confd_notification_send(struct confd_notification_ctx *nctx, struct confd_datetime *time,
                            confd_tag_value_t *values, int nvalues);
/* Chooses the notify name (the server's target group) of the next SNMP notifications. */
int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx,
                                            const char *notify_name);
/* Sends an SNMP notification named by its MIB name with named variables. */
int confd_notification_send_snmp(struct confd_notification_ctx *nctx, const char *notification,
                                 struct confd_snmp_varbind *varbinds, int num_vars);

#ifdef __cplusplus
}
#endif

#endif /* PLX_CONFD_DP_H */
