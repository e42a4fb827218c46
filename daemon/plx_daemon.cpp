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

namespace {

// Undoes the first `started` steps, last started first.
void plx_unwind(plx_ctx *ctx, const plx_init_steps &steps, size_t started) {
    while (started > 0) {
        const plx_init_step &step = steps[--started];
        if (step.fini)
            step.fini(ctx);
    }
}

}  // namespace

int plx_init(plx_ctx *ctx, const plx_init_steps &steps) {
    plx_log_open("PLXD");
    plx_log_event(LOG_INFO, "INFO", 1100001, "Starting");

    size_t i = 0;
    for (; i < steps.size() && !steps[i].inline_start; ++i) {
        if (int rc = steps[i].init(ctx); rc != 0) {
            plx_unwind(ctx, steps, i);
            return rc;
        }
    }
    PLX_LOG("Initialization - Stage 1 complete");

    for (; i < steps.size(); ++i) {
        const char *name = steps[i].name;
        PLX_LOG("Inline initialization - %s start", name);
        if (int rc = steps[i].init(ctx); rc != 0)
            PLX_LOG("Inline %s initialization failed: %d", name, rc);
        PLX_LOG("Inline Initialization - %s end", name);
    }

    PLX_LOG("Initialization - Stage 2 complete");
    return 0;
}

int plx_shutdown(plx_ctx *ctx) {
    return plx_shutdown(ctx, plx_default_init_steps());
}

int plx_shutdown(plx_ctx *ctx, const plx_init_steps &steps) {
    plx_unwind(ctx, steps, steps.size());
    closelog();
    return 0;
}
