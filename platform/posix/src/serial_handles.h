// The serial devices open in this process, by handle, with the time-outs set
// for each. A handle stands for its file descriptor.
#pragma once

#include "platform/serial.h"

namespace serial_handles {

// False with EMFILE when too many ports are open at once.
bool Add(int fd, HANDLE *handle);
// False with EBADF for a handle that is not an open serial device.
bool Find(HANDLE handle, int *fd, COMMTIMEOUTS *timeouts);
bool StoreTimeouts(HANDLE handle, const COMMTIMEOUTS &timeouts);
bool Remove(HANDLE handle, int *fd);

}  // namespace serial_handles
