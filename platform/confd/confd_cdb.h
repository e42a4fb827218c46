/*
 * Configuration-database client library: the CDB interface (sessions, subscriptions, changes).
 *
 * Datastores: CDB_RUNNING holds the committed configuration; CDB_OPERATIONAL the operational
 * (config false) data, which clients write through sessions; CDB_PRE_COMMIT_RUNNING reads the
 * configuration as it was before the transaction whose changes are being delivered (outside a
 * delivery it reads the same as CDB_RUNNING).
 *
 * Paths are printf formats: "/policy/lists/vpn-list{%s}/vpn{%s}". The leading "/" is optional
 * for subscriptions. A list entry's keys are written in braces, several keys separated by
 * blanks ("{k1 k2}"); a key holding blanks is written in double quotes. Names may carry a
 * "prefix:" which is ignored.
 *
 * Subscriptions. cdb_subscribe on a CDB_SUBSCRIPTION_SOCKET registers a point (id returned in
 * *spoint) on a path; a list named without keys covers every entry of the list. After
 * cdb_subscribe_done the socket receives, for every commit that changes anything at or below
 * an instance of a point's path, one notification per priority level at which some of the
 * socket's points fired, lowest priority first. The server delivers the next level only when
 * every socket notified at this level has answered cdb_sync_subscription_socket
 * (CDB_DONE_PRIORITY); a commit completes when its last level is synchronised. A socket may
 * subscribe one path twice at two priorities; each point fires at its own level.
 * cdb_trigger_subscriptions presents the whole configuration under the listed points (all
 * points when len is 0) as created, flag CDB_SUB_FLAG_TRIGGER, in priority order; every listed
 * point fires, even one with no data. cdb_oper_subscribe points fire (type CDB_SUB_OPER) after
 * an operational session that changed data under their path has ended.
 *
 * Reading a notification: cdb_read_subscription_socket2 returns the fired point ids
 * (malloc'ed; the caller frees them). Then, for each point:
 *
 * cdb_diff_iterate calls iter once per changed instance of the point's path (a list point:
 * each created, deleted or modified entry; a container point: each changed child), with the
 * absolute key path, op MOP_CREATED, MOP_DELETED or MOP_MODIFIED (MOP_VALUE_SET for a leaf
 * or leaf-list that was set, MOP_DELETED for one that was removed; oldv/newv hold the leaf's
 * values, NULL otherwise). Returning ITER_RECURSE descends into the instance's changed
 * children, ITER_CONTINUE goes on with the next sibling change, ITER_UP leaves the current
 * level, ITER_STOP ends the iteration.
 *
 * cdb_get_modifications_iter, called from inside iter, returns the changes of the instance
 * being iterated as a tagged-value array (malloc'ed; free values with confd_free_value, then
 * the array) built by these rules:
 *  1. Only leaves, leaf-lists and containers below the instance appear, in schema (document)
 *     order. Keys never appear. Nested list entries never appear (they are reported at their
 *     own paths). Leaves that only hold a schema default count as absent.
 *  2. A created instance: every present leaf with its value.
 *  3. A modified instance: every leaf set or changed, with its new value; every removed leaf
 *     as C_NOEXISTS (tag set, namespace of the leaf).
 *  4. A leaf-list is one C_LIST value holding all its elements after the change (C_NOEXISTS
 *     when it became empty).
 *  5. A container below the instance that holds a listed change appears as C_XMLBEGIN, its
 *     changes (by these rules, recursively), C_XMLEND, both tagged with the container; a
 *     container that holds no listed change does not appear. A container that was deleted
 *     appears as one C_NOEXISTS value tagged with the container. A presence container
 *     created empty appears as an adjacent C_XMLBEGIN/C_XMLEND pair.
 *  6. A created instance that has nothing by rules 1-5 (a list entry with only its keys, or
 *     only nested list entries) is one adjacent C_XMLBEGIN/C_XMLEND pair tagged with the
 *     instance's own node; an array is otherwise never empty for a created instance.
 *  7. A deleted instance returns an empty array (count 0).
 *
 * cdb_get_modifications (point, flags 0, path NULL or "") returns the changes of the point's
 * container instance by the same rules (the way keyless paths are read); for a list point it
 * returns the concatenation of the entries' arrays, each bracketed by C_XMLBEGIN/C_XMLEND of
 * the list (C_XMLBEGINDEL ... C_XMLEND for a deleted entry) only when flags has
 * CDB_GET_MODS_INCLUDE_LISTS, otherwise an empty array.
 */
#ifndef PLX_CONFD_CDB_H
#define PLX_CONFD_CDB_H

#include <stdarg.h>

#include "platform/confd/confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

enum cdb_sock_type { CDB_READ_SOCKET = 0, CDB_SUBSCRIPTION_SOCKET = 1, CDB_DATA_SOCKET = 2 };

enum cdb_db_type {
    CDB_RUNNING = 1,
    CDB_STARTUP = 2,
    CDB_OPERATIONAL = 3,
    CDB_PRE_COMMIT_RUNNING = 4
};

/* Session lock flags (accepted; every request is atomic on the server). */
#define CDB_LOCK_WAIT (1 << 0)
#define CDB_LOCK_SESSION (1 << 1)
#define CDB_LOCK_REQUEST (1 << 2)
#define CDB_LOCK_PARTIAL (1 << 3)

enum cdb_sub_type { CDB_SUB_RUNNING = 1, CDB_SUB_RUNNING_TWOPHASE = 2, CDB_SUB_OPERATIONAL = 3 };

enum cdb_sub_notification {
    CDB_SUB_PREPARE = 1,
    CDB_SUB_COMMIT = 2,
    CDB_SUB_ABORT = 3,
    CDB_SUB_OPER = 4
};

#define CDB_SUB_FLAG_IS_LAST (1 << 0)
#define CDB_SUB_FLAG_TRIGGER (1 << 1)
#define CDB_SUB_FLAG_REVERT (1 << 2)

enum cdb_subscription_sync_type {
    CDB_DONE_PRIORITY = 1,
    CDB_DONE_SOCKET = 2,
    CDB_DONE_TRANSACTION = 3,
    CDB_DONE_OPERATIONAL = 4
};

enum cdb_iter_op {
    MOP_CREATED = 1,
    MOP_DELETED = 2,
    MOP_MODIFIED = 3,
    MOP_VALUE_SET = 4,
    MOP_MOVED_AFTER = 5,
    MOP_ATTR_SET = 6
};

enum cdb_iter_ret {
    ITER_STOP = 1,
    ITER_RECURSE = 2,
    ITER_CONTINUE = 3,
    ITER_UP = 4,
    ITER_SUSPEND = 5
};

#define CDB_GET_MODS_INCLUDE_LISTS (1 << 0)

#define CDB_ITER_WANT_PREV (1 << 0)

struct cdb_phase {
    int phase; /* 0, 1 or 2 */
    int flags;
    int init;
    int upgrade;
};

/* ---- connection ---- */
/* Connects sock (a fresh AF_INET stream socket) as a socket of the given kind. */
int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz);
/* Like cdb_connect; the name shows in the server's status. */
int cdb_connect_name(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz,
                     const char *name);
/* Closes the socket and forgets its state. */
int cdb_close(int sock);
/* Returns when the server has reached start phase 1. */
int cdb_wait_start(int sock);
int cdb_get_phase(int sock, struct cdb_phase *phase);

/* ---- sessions and data ----
 * Paths are printf-style; a key may also be given as a value: "%x" takes a confd_value_t *,
 * "%*x" an int count and an array of that many values (a list's keys, in order). */
int cdb_start_session(int sock, enum cdb_db_type db);
int cdb_start_session2(int sock, enum cdb_db_type db, int flags);
/* Ends the session; operational writes become visible and oper subscribers are notified. */
int cdb_end_session(int sock);
/* Accepted for compatibility: paths carry their own namespace. */
int cdb_set_namespace(int sock, int hashed_ns);
int cdb_get(int sock, confd_value_t *v, const char *fmt, ...);
int cdb_vget(int sock, confd_value_t *v, const char *fmt, va_list args);
/* The value as text (enumeration labels as labels) into rval of n bytes. */
int cdb_get_str(int sock, char *rval, int n, const char *fmt, ...);
/* 1 when the element exists, 0 when not, CONFD_ERR on error. */
int cdb_exists(int sock, const char *fmt, ...);
/* Number of entries of a list, or CONFD_ERR. */
int cdb_num_instances(int sock, const char *fmt, ...);
/* Operational writes (CDB_OPERATIONAL sessions, config false nodes only). */
int cdb_set_elem(int sock, confd_value_t *val, const char *fmt, ...);
int cdb_vset_elem(int sock, confd_value_t *val, const char *fmt, va_list args);
/* Fails with CONFD_ERR_ALREADY_EXISTS when the element exists. */
int cdb_create(int sock, const char *fmt, ...);
int cdb_vcreate(int sock, const char *fmt, va_list args);
/* Fails with CONFD_ERR_NOEXISTS when the element does not exist. */
int cdb_delete(int sock, const char *fmt, ...);
int cdb_vdelete(int sock, const char *fmt, va_list args);

/* ---- subscriptions ---- */
int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt, ...);
int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...);
int cdb_subscribe_done(int sock);
/* Triggers the points (all of the server's when len is 0); returns once delivered and synced. */
int cdb_trigger_subscriptions(int sock, int sub_points[], int len);
int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags);
/* Reads one notification: its type, flags and the fired points (malloc'ed, caller frees). */
int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags,
                                  int **subpoints, int *resultlen);
/* Like the above without type and flags. */
int cdb_read_subscription_socket(int sock, int sub_points[], int *resultlen);
int cdb_diff_iterate(int sock, int subid,
                     enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op,
                                               confd_value_t *oldv, confd_value_t *newv,
                                               void *state),
                     int flags, void *initstate);
int cdb_get_modifications_iter(int sock, int flags, confd_tag_value_t **values, int *nvalues);
int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values, int *nvalues,
                          const char *fmt, ...);
int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st);
/* Two-phase subscriptions only; accepted and ignored for the others. */
int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t apptag_ns, uint32_t apptag_tag,
                        const char *fmt, ...);

#ifdef __cplusplus
}
#endif

#endif /* PLX_CONFD_CDB_H */
