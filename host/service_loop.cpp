#include "service_loop.h"

#include "CError.h"
#include "driver.h"
#include "entry_flags.h"
#include "lo_delete.h"
#include "log_handle.h"
#include "log_refresh.h"
#include "pass_interrupt.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "process_objects.h"

namespace {
constexpr DWORD kPassSleepMs = 50;

void poll_tag_updater() {
    if (tag_updater != nullptr) tag_updater->PollBlocks();
}

// Ctrl-C ends a pass between two blocks, and the loop at its next test.
bool stop_asked() {
    return stop_requests != 0;
}
}  // namespace

void (*poll_pass)() = poll_tag_updater;

void UpdateTags() {
    unilog_MESSAGE(log_handle, 0, "UpdateTags Started...");
    pass_interrupted = stop_asked;
    DWORD refresh_epoch = 0;
    try {
        for (;;) {
            if (server_factory.server_running == 0) break;
            if (stop_requests != 0) {
                // Only the first press gets here: the loop ends right after.
                server_factory.server_release();
                break;
            }
            Sleep(kPassSleepMs);
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            if (log_refresh_due(&refresh_epoch, now)) refresh_logs();
            poll_pass();
        }
    } catch (const CError &error) {
        unilog_ERROR(log_handle, 0, "%s", error.narrowMessage);
    } catch (...) {
        unilog_WARNING(log_handle, 0, "exiting...");
    }
    unilog_MESSAGE(log_handle, 0, "All clean. exiting...");
}

void service_run(DWORD cookie) {
    server_factory.server_addref();
    UpdateTags();
    if (FAILED(CoRevokeClassObject(cookie))) unilog_WARNING(log_handle, 0, "CoRevokeClassObject() failed...");
    loDelete();
    CoUninitialize();
}
