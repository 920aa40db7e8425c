#include "class_factory.h"

myClassFactory::myClassFactory() {
    InitializeCriticalSection(&server_lock);
}

myClassFactory::~myClassFactory() {
    DeleteCriticalSection(&server_lock);
}

void myClassFactory::server_addref() {
    EnterCriticalSection(&server_lock);
    CoAddRefServerProcess();
    ++server_count;
    LeaveCriticalSection(&server_lock);
}

void myClassFactory::server_release() {
    EnterCriticalSection(&server_lock);
    if (CoReleaseServerProcess() == 0) server_running = 0;
    if (--server_count == 0) server_running = 0;
    LeaveCriticalSection(&server_lock);
}
