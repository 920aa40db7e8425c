#include "unilog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log_file.h"
#include "log_render.h"
#include "log_settings.h"
#include "platform/errors.h"

using unilog_file::LogFile;

struct unilog {
    std::string name;
    int createdLevel = UL_MESSAGE;
    // Changed by a refresh while other threads write.
    std::atomic<int> level{UL_MESSAGE};
    std::shared_ptr<LogFile> file;
};

namespace {

const char *const kLevelNames[] = {"", "ERROR", "WARNING", "MESSAGE", "INFO", "DEBUG"};

// Every live log, so that a refresh finds the logs of its name, and the file
// they share. Never destroyed: a static destructor may still delete a log at exit.
struct Registry {
    std::mutex lock;
    std::vector<unilog *> logs;
    std::weak_ptr<LogFile> file;
};

Registry &TheRegistry() {
    static Registry *const registry = new Registry;
    return *registry;
}

// The last error belongs to the caller: no log call changes it. Taken first
// thing, it is also the error that "%!L" reports.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper &) = delete;
    LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;
    DWORD error() const { return error_; }

private:
    const DWORD error_;
};

int ClampLevel(int level) {
    return std::min(std::max(level, static_cast<int>(UL_ERROR)), static_cast<int>(UL_DEBUG));
}

int EffectiveLevel(int settingsLevel, int createdLevel) {
    return settingsLevel != unilog_settings::kNoLevel ? settingsLevel : createdLevel;
}

void Write(unilog *log, int level, DWORD lastError, const char *format, va_list args) {
    if (log == nullptr || format == nullptr || level > log->level.load() || !log->file->IsOpen()) return;
    try {
        char text[unilog_render::kTextCapacity];
        unilog_render::RenderText(text, lastError, format, args);
        log->file->WriteLine(kLevelNames[level], text);
    } catch (...) {
        // Only memory or a lock can fail here: the line is lost, the caller carries on.
    }
}

}  // namespace

unilog *unilog_Create(const char *name, const char * /*target*/, const char * /*options*/, int /*maxSize*/, int level) {
    LastErrorKeeper keep;
    try {
        auto log = std::make_unique<unilog>();
        log->name = name != nullptr ? name : "";
        log->createdLevel = ClampLevel(level);
        log->level = EffectiveLevel(unilog_settings::ReadLevel(), log->createdLevel);

        Registry &registry = TheRegistry();
        std::lock_guard<std::mutex> hold(registry.lock);
        log->file = registry.file.lock();
        // A file that could not be opened before is tried again.
        if (log->file == nullptr || !log->file->IsOpen()) {
            log->file = LogFile::OpenBesideExecutable();
            registry.file = log->file;
        }
        registry.logs.push_back(log.get());
        return log.release();
    } catch (...) {
        return nullptr;
    }
}

void unilog_Delete(unilog *log) {
    LastErrorKeeper keep;
    if (log == nullptr) return;
    try {
        Registry &registry = TheRegistry();
        {
            std::lock_guard<std::mutex> hold(registry.lock);
            const auto found = std::find(registry.logs.begin(), registry.logs.end(), log);
            // Deleted before: the pointer is not touched again.
            if (found == registry.logs.end()) return;
            registry.logs.erase(found);
        }
        delete log;
    } catch (...) {
    }
}

void unilog_Refresh(const char *name) {
    LastErrorKeeper keep;
    if (name == nullptr) return;
    try {
        Registry &registry = TheRegistry();
        std::lock_guard<std::mutex> hold(registry.lock);
        const auto named = [name](const unilog *log) { return log->name == name; };
        if (std::none_of(registry.logs.begin(), registry.logs.end(), named)) return;
        const int settingsLevel = unilog_settings::ReadLevel();
        for (unilog *log : registry.logs) {
            if (named(log)) log->level = EffectiveLevel(settingsLevel, log->createdLevel);
        }
    } catch (...) {
    }
}

void unilog_ERROR(unilog *log, int /*reserved*/, const char *format, ...) {
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    Write(log, UL_ERROR, keep.error(), format, args);
    va_end(args);
}

void unilog_WARNING(unilog *log, int /*reserved*/, const char *format, ...) {
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    Write(log, UL_WARNING, keep.error(), format, args);
    va_end(args);
}

void unilog_MESSAGE(unilog *log, int /*reserved*/, const char *format, ...) {
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    Write(log, UL_MESSAGE, keep.error(), format, args);
    va_end(args);
}

void unilog_INFO(unilog *log, int /*reserved*/, const char *format, ...) {
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    Write(log, UL_INFO, keep.error(), format, args);
    va_end(args);
}

void unilog_DEBUG(unilog *log, int /*reserved*/, const char *format, ...) {
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    Write(log, UL_DEBUG, keep.error(), format, args);
    va_end(args);
}
