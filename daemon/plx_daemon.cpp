// Process entry, instance guard, start-up and stop sequences.
#include "daemon/plx_daemon.h"

#include <event2/event.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"

bool plx_foreground = false;

plx_ctx &plx_context() {
    static plx_ctx ctx{};
    return ctx;
}

bool plx_instance_exists(int *pid) {
    *pid = 0;
    const std::string name = qrv_pid_file_name(QRV_MOD_PLXD, 0);
    FILE *fp = std::fopen(name.c_str(), "re");
    if (!fp)
        return false;
    if (std::fscanf(fp, "%d", pid) != 1)
        *pid = 0;
    std::fclose(fp);
    // The file of an instance that died without removing it names a process that is gone.
    if (*pid > 0 && kill(*pid, 0) != 0 && errno == ESRCH) {
        PLX_LOG("Removing the pid file of instance %d, which is gone", *pid);
        unlink(name.c_str());
        return false;
    }
    return true;
}

// Writes this instance's pid file; false when another instance made one first.
static bool plx_write_pid_file() {
    const std::string name = qrv_pid_file_name(QRV_MOD_PLXD, 0);
    plx_make_parent_dirs(name);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        PLX_LOG("Cannot create the pid file %s: %s", name.c_str(), std::strerror(errno));
        return false;
    }
    const std::string text = std::to_string(getpid()) + "\n";
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

static void plx_remove_pid_file() {
    int pid = 0;
    if (plx_instance_exists(&pid) && pid == getpid())
        unlink(qrv_pid_file_name(QRV_MOD_PLXD, 0).c_str());
}

int appmain(int argc, char **argv) {
    int pid = 0;
    if (plx_instance_exists(&pid)) {
        const char *name = qrv_daemon_name(QRV_MOD_PLXD);
        PLX_LOG("Daemon %s already exists @ pid %d", name, pid);
        std::fprintf(stderr, "Daemon %s already exists @ pid %d\n", name, pid);
        return -1;
    }

    opterr = 0;  // the usage line is the only complaint
    int opt;
    while ((opt = getopt(argc, argv, "fd")) != -1) {
        switch (opt) {
            case 'd':
                plx_debug_flags = PLX_DEBUG_ALL_ON;
                break;
            case 'f':
                plx_foreground = true;
                break;
            default:
                std::fputs("usage: plxd [-f]\n", stderr);
                std::exit(1);
        }
    }

    if (!plx_foreground && daemon(0, 0) != 0) {
        PLX_LOG("Failed to daemonize process: %s", std::strerror(errno));
        std::exit(-1);
    }

    if (!plx_write_pid_file()) {
        std::fprintf(stderr, "Daemon %s: cannot write its pid file\n",
                     qrv_daemon_name(QRV_MOD_PLXD));
        return -1;
    }
    plx_ctx *ctx = &plx_context();
    if (int rc = plx_init(ctx); rc != 0) {
        plx_remove_pid_file();
        return rc;
    }
    event_base_loop(ctx->evbase, 0);
    plx_shutdown(ctx);
    plx_remove_pid_file();
    return 0;
}

int plx_init(plx_ctx *ctx) {
    return plx_init(ctx, plx_default_init_steps());
}

int plx_init(plx_ctx *ctx, const plx_init_steps &s) {
    using fini = const plx_init_steps::fini_fn *;
    // Runs the undo operations of a failed start-up in the given order, returns the code.
    auto unwind = [ctx](int rc, std::initializer_list<fini> undo) {
        for (fini op : undo)
            (*op)(ctx);
        return rc;
    };

    plx_log_open("PLXD");
    plx_log_event(LOG_INFO, "INFO", 1100001, "Starting");

    int rc = s.event_init(ctx);
    if (rc != 0)
        return rc;

    rc = s.base_timer_init(ctx);
    if (rc != 0)
        return unwind(rc, {&s.event_deinit});

    rc = s.mem_init(ctx, true);
    if (rc != 0)
        return unwind(rc, {&s.base_timer_deinit, &s.event_deinit});

    s.compiler_set_mem_ops(ctx);
    // The DPI engine has no early step: it is always started inline after the first stage.

    rc = s.class_init(ctx);
    if (rc != 0)
        return unwind(rc, {&s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.sla_class_init(ctx);
    if (rc != 0)
        return unwind(rc,
                      {&s.class_teardown, &s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.policy_init(ctx);
    if (rc != 0)
        return unwind(rc, {&s.sla_class_teardown, &s.class_teardown, &s.mem_destroy,
                           &s.base_timer_deinit, &s.event_deinit});

    // The access-list model has no teardown, so the next two failures undo the same steps.
    rc = s.acl_init(ctx);
    if (rc != 0)
        return unwind(rc, {&s.policy_teardown, &s.sla_class_teardown, &s.class_teardown,
                           &s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.fibd_link_init(ctx);
    if (rc != 0)
        return unwind(rc, {&s.policy_teardown, &s.sla_class_teardown, &s.class_teardown,
                           &s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.hbus_link_init(ctx);
    if (rc != 0)
        return unwind(
            rc, {&s.fibd_link_deinit, &s.policy_teardown, &s.sla_class_teardown, &s.class_teardown,
                 &s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.compiler_create(ctx);
    if (rc != 0)
        return unwind(rc, {&s.hbus_link_deinit, &s.fibd_link_deinit, &s.policy_teardown,
                           &s.sla_class_teardown, &s.class_teardown, &s.mem_destroy,
                           &s.base_timer_deinit, &s.event_deinit});

    // From here on the class and SLA-class teardowns run before the policy model's.
    rc = s.confd_start(ctx);
    if (rc != 0)
        return unwind(rc, {&s.compiler_destroy, &s.hbus_link_deinit, &s.fibd_link_deinit,
                           &s.sla_class_teardown, &s.class_teardown, &s.policy_teardown,
                           &s.mem_destroy, &s.base_timer_deinit, &s.event_deinit});

    rc = s.sysmgr_connect(ctx);
    if (rc != 0)
        return unwind(rc,
                      {&s.confd_stop, &s.compiler_destroy, &s.hbus_link_deinit, &s.fibd_link_deinit,
                       &s.sla_class_teardown, &s.class_teardown, &s.policy_teardown, &s.mem_destroy,
                       &s.base_timer_deinit, &s.event_deinit});

    PLX_LOG("Initialization - Stage 1 complete");

    PLX_LOG("Inline initialization - DPI start");
    if (int dpi_rc = s.dpi_init(ctx); dpi_rc != 0)
        PLX_LOG("Inline DPI initialization failed: %d", dpi_rc);
    PLX_LOG("Inline Initialization - DPI end");

    PLX_LOG("Initialization - Stage 2 complete");
    return 0;
}

int plx_shutdown(plx_ctx *ctx) {
    return plx_shutdown(ctx, plx_default_init_steps());
}

int plx_shutdown(plx_ctx *ctx, const plx_init_steps &s) {
    s.sysmgr_close(ctx);
    s.dpi_destroy(ctx);
    s.confd_stop(ctx);
    s.compiler_destroy(ctx);
    s.fibd_link_deinit(ctx);
    s.hbus_link_deinit(ctx);
    s.policy_teardown(ctx);
    s.mem_destroy(ctx);
    s.base_timer_deinit(ctx);
    s.event_deinit(ctx);
    closelog();
    return 0;
}
