#include "log_refresh.h"

#include "server_identity.h"
#include "unilog.h"

bool log_refresh_due(DWORD *epoch, const FILETIME &now) {
    const DWORD masked = now.dwLowDateTime & kLogRefreshMask;
    if (masked == *epoch) return false;
    *epoch = masked;
    return true;
}

void refresh_logs() {
    unilog_Refresh("LightOPC");
    unilog_Refresh(kProgId);
}
