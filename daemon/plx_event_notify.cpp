#include "daemon/plx_event_notify.h"

#include <atomic>
#include <cstdarg>

#include "common/plx_log.h"
#include "qconfd/plx_program_status.h"

namespace {

std::atomic<QconfdContext *> events_ctx{nullptr};

void event_to_notification(int, int event, va_list args) {
    QconfdContext *ctx = events_ctx.load();
    if (!ctx)
        return;
    switch (event) {
        case PLX_EVENT_POLICY_NO_MEMORY:
        case PLX_EVENT_POLICY_REFUSED:
        case PLX_EVENT_POLICY_REPROGRAMMED: {
            const char *policy = va_arg(args, const char *);
            const char *vpn_list = va_arg(args, const char *);
            plx_send_data_policy_status(ctx, vpn_list, policy,
                                        event == PLX_EVENT_POLICY_REPROGRAMMED);
            break;
        }
        case PLX_EVENT_ACCESS_LIST_NO_MEMORY:
        case PLX_EVENT_ACCESS_LIST_REFUSED:
        case PLX_EVENT_ACCESS_LIST_REPROGRAMMED: {
            const char *access_list = va_arg(args, const char *);
            plx_send_access_list_status(ctx, access_list,
                                        event == PLX_EVENT_ACCESS_LIST_REPROGRAMMED);
            break;
        }
        default:
            break;
    }
}

}  // namespace

void plx_events_attach(QconfdContext *ctx) {
    events_ctx.store(ctx);
    plx_set_event_hook(ctx ? event_to_notification : nullptr);
}

void plx_events_detach() {
    plx_events_attach(nullptr);
}
