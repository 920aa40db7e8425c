#include "platform/file.h"

#include <share.h>

std::FILE *OpenSharedRead(const wchar_t *path) {
    return _wfsopen(path, L"rt", _SH_DENYNO);
}
