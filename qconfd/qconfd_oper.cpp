// Operational values written into the configuration database.
//
// A caller on the event loop never waits for the database: each write runs in a thread of its
// own, and each thread first joins the thread of the write requested before it, so the writes
// reach the database in the order they were asked for however long any one of them takes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_api.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"

static_assert(std::is_same_v<pthread_t, unsigned long>,
              "the context keeps the last write thread as an unsigned long");

namespace {

inline constexpr size_t kPathLen = 100;  // at most 99 characters

struct OperWriteRequest {
    QconfdContext *ctx;
    confd_value_t value;  // C_NOEXISTS: write without a value
    char path[kPathLen];
    int operation;
    int lock;
    pthread_t previous;  // 0: the first write
};

void free_request(OperWriteRequest *req) {
    if (req->value.type != C_NOEXISTS)
        confd_free_value(&req->value);
    std::free(req);
}

bool tolerated(int operation, int err) {
    return ((operation == QCONFD_OPER_CREATE || operation == QCONFD_OPER_SET) &&
            err == CONFD_ERR_ALREADY_EXISTS) ||
           (operation == QCONFD_OPER_DELETE && err == CONFD_ERR_NOEXISTS);
}

int vset_oper_value(const confd_value_t *value, int operation, int lock, const char *fmt,
                    va_list args) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        PLX_LOG("Cannot allocate socket (errno: %d)", errno);
        return QCONFD_FAILED;
    }
    if (cdb_connect(sock, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Cannot connect to CDB (%d)%s (%d) : %s", sock, confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        cdb_close(sock);
        return QCONFD_NO_SESSION;
    }
    int flags = lock == 1 ? (CDB_LOCK_SESSION | CDB_LOCK_PARTIAL) : 0;
    if (cdb_start_session2(sock, CDB_OPERATIONAL, flags) != CONFD_OK) {
        PLX_LOG("Failed start session %s (%d) : %s", confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
        cdb_close(sock);
        return QCONFD_NO_SESSION;
    }
    int rc = CONFD_OK;
    const char *what = nullptr;
    switch (operation) {
        case QCONFD_OPER_SET: {
            confd_value_t v{};
            if (value)
                v = *value;
            else
                CONFD_SET_NOEXISTS(&v);
            rc = cdb_vset_elem(sock, &v, fmt, args);
            what = "add";
            break;
        }
        case QCONFD_OPER_DELETE:
            rc = cdb_vdelete(sock, fmt, args);
            what = "del";
            break;
        case QCONFD_OPER_CREATE:
            rc = cdb_vcreate(sock, fmt, args);
            what = "create";
            break;
        default:
            break;
    }
    int result = QCONFD_OK;
    if (rc != CONFD_OK) {
        result = confd_errno;
        if (!tolerated(operation, result)) {
            char path[256];
            va_list again;
            va_copy(again, args);
            std::vsnprintf(path, sizeof path, fmt, again);
            va_end(again);
            PLX_LOG("Failed to %s elem %s (%d) : %s", what, path, result, confd_lasterr());
        }
    }
    cdb_end_session(sock);
    cdb_close(sock);  // also closes the descriptor
    return result;
}

int write_with_path(const confd_value_t *value, int operation, int lock, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
int write_with_path(const confd_value_t *value, int operation, int lock, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = vset_oper_value(value, operation, lock, fmt, ap);
    va_end(ap);
    return rc;
}

void *oper_write_thread(void *arg) {
    auto *req = static_cast<OperWriteRequest *>(arg);
    if (!req) {
        PLX_LOG("argument is NULL");
        return reinterpret_cast<void *>(static_cast<intptr_t>(1));
    }
    if (req->previous != 0) {
        QCONFD_DEBUG("\n%s Waiting for previous thread: %lu to exit", __func__, req->previous);
        void *prev_ret = nullptr;
        pthread_join(req->previous, &prev_ret);
        QCONFD_DEBUG("\n%s: Previous thread: %lu exited, ret_val: %d", __func__, req->previous,
                     static_cast<int>(reinterpret_cast<intptr_t>(prev_ret)));
    }
    const confd_value_t *value = req->value.type == C_NOEXISTS ? nullptr : &req->value;
    // The path is used as the format, as the caller wrote it (no arguments follow).
    int rc = write_with_path(value, req->operation, req->lock, "%s", req->path);
    intptr_t result = 0;
    if (rc != 0 && !tolerated(req->operation, rc)) {
        PLX_LOG("Failed to do operation %d for %s with type %d", req->operation, req->path,
                static_cast<int>(req->value.type));
        result = 1;
    }
    free_request(req);
    return reinterpret_cast<void *>(result);
}

}  // namespace

qconfd_result qconfd_set_cdb_oper_value(QconfdContext *ctx, const confd_value_t *value,
                                        const char *path, int operation, int lock) {
    auto *req = static_cast<OperWriteRequest *>(std::calloc(1, sizeof(OperWriteRequest)));
    if (!req) {
        PLX_LOG("Failed to allocate memory for list");
        return QCONFD_NO_MEMORY;
    }
    req->ctx = ctx;
    std::snprintf(req->path, sizeof req->path, "%s", path ? path : "");
    if (value && value->type != C_NOEXISTS) {
        if (!confd_value_dup_to(value, &req->value)) {
            PLX_LOG("Failed to allocate memory");
            std::free(req);
            return QCONFD_NO_MEMORY;
        }
    } else {
        CONFD_SET_NOEXISTS(&req->value);
    }
    req->operation = operation;
    req->lock = lock;
    req->previous = ctx ? ctx->last_oper_thread : 0;
    pthread_t th{};
    int err = pthread_create(&th, nullptr, oper_write_thread, req);
    if (err != 0) {
        PLX_LOG("Failed to create qconfd thread (error %d, errno %d))", err, errno);
        free_request(req);
        return QCONFD_FAILED;
    }
    if (ctx)
        ctx->last_oper_thread = th;
    else
        pthread_detach(th);  // nobody would join it
    return QCONFD_OK;
}

int qconfd_vset_cdb_oper_value(QconfdContext *, const confd_value_t *value, int operation, int lock,
                               const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = vset_oper_value(value, operation, lock, fmt, ap);
    va_end(ap);
    return rc;
}

void qconfd_oper_writes_join(QconfdContext *ctx) {
    if (!ctx || ctx->last_oper_thread == 0)
        return;
    pthread_join(ctx->last_oper_thread, nullptr);
    ctx->last_oper_thread = 0;
}
