// The Linux registry: one small text file per key under a root folder, each
// replaced whole (temporary file and rename) so that a reader never sees half
// a file, synced so that it survives a crash, and changed only under an
// exclusive lock on the root's lock file so that concurrent registrations of
// several processes do not interleave. A registration writes two files: when
// the second cannot be written, the first is put back as it was.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/com_remote.h"
#include "platform/guid_text.h"
#include "registry_common.h"

namespace {

constexpr const char *kDefaultName = "@";

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string ClassFolder(const std::string &root) {
    return root + "/" + kClsidKey;
}
std::string ProgIdFolder(const std::string &root) {
    return root + "/" + kProgIdKey;
}

// Makes the folder's latest changes of entries (a rename, a removal, a new
// folder) survive a crash.
int SyncFolder(const std::string &folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

int MakeFolder(const std::string &path) {
    std::error_code error;
    const bool made = std::filesystem::create_directories(path, error);
    if (error) return error.value();
    return made ? SyncFolder(std::filesystem::path(path).parent_path().string()) : 0;
}

// Clients refuse a registry that group or others may write (they run the
// commands it records): whatever the umask, registration leaves none such.
void ClosedToOthers(const std::string &folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 022) != 0)
        chmod(folder.c_str(), info.st_mode & 07755);
}

class RootLock {
public:
    RootLock() = default;
    RootLock(const RootLock &) = delete;
    RootLock &operator=(const RootLock &) = delete;
    ~RootLock() {
        if (fd_ >= 0) close(fd_);  // closing drops the lock
    }

    int Acquire(const std::string &root) {
        fd_ = open((root + "/.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ < 0) return errno;
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }

private:
    int fd_ = -1;
};

std::string Render(const Entries &entries) {
    std::string text;
    for (const auto &entry : entries) text += entry.first + "=" + entry.second + "\n";
    return text;
}

// The value of the first line "name=...", if any.
bool FindEntry(const std::string &text, const std::string &name, std::string *value) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::size_t equals = text.find('=', start);
        if (equals < end && text.compare(start, equals - start, name) == 0) {
            *value = text.substr(equals + 1, end - equals - 1);
            return true;
        }
        start = end + 1;
    }
    return false;
}

// 0, ENOENT for a missing file, or the error number.
int ReadText(const std::string &path, std::string *text) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    text->clear();
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            return error;
        }
        if (n == 0) break;
        text->append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return 0;
}

int WriteAll(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int WriteAtomically(const std::string &folder, const std::string &name, const std::string &text) {
    // A short name of its own: the entry's name may already be as long as a file name may be.
    std::string temporary = folder + "/.new.XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return errno;
    int error = WriteAll(fd, text);
    if (error == 0 && fchmod(fd, 0644) != 0) error = errno;
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), (folder + "/" + name).c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    return SyncFolder(folder);
}

// 0 when removed, ENOENT when there was nothing, or the error number.
int RemoveFile(const std::string &folder, const std::string &name) {
    if (unlink((folder + "/" + name).c_str()) != 0) return errno;
    return SyncFolder(folder);
}

// An entry as it was before a registration changed it, to put it back.
struct Previous {
    std::string folder;
    std::string name;
    bool existed = false;
    std::string text;
};

// 0 or the error number; a missing entry (or a folder in its place, which
// no write can replace) is remembered as none.
int Remember(const std::string &folder, const std::string &name, Previous *previous) {
    previous->folder = folder;
    previous->name = name;
    const int error = ReadText(folder + "/" + name, &previous->text);
    previous->existed = error == 0;
    return error == 0 || error == ENOENT || error == EISDIR ? 0 : error;
}

void Restore(const Previous &previous) {
    if (previous.existed) {
        WriteAtomically(previous.folder, previous.name, previous.text);
    } else {
        RemoveFile(previous.folder, previous.name);
    }
}

// Whether the ProgID's entry (text) names the class.
bool NamesClass(const std::string &text, const std::string &classText) {
    std::string named;
    return FindEntry(text, kClsidKey, &named) && named == classText;
}

// Removes the ProgID's file if it names the class; 0, ENOENT or the error number.
int RemoveProgIdOf(const std::string &root, const std::string &progId, const std::string &classText) {
    std::string text;
    const int error = ReadText(ProgIdFolder(root) + "/" + progId, &text);
    if (error != 0) return error;
    if (!NamesClass(text, classText)) return ENOENT;
    return RemoveFile(ProgIdFolder(root), progId);
}

}  // namespace

int RegisterServer(const CLSID *clsid, const char *progId, const char *description, const char *exePath) {
    if (clsid == nullptr || !ValidProgId(progId) || !ValidRegistryText(description) || !ValidRegistryText(exePath))
        return EINVAL;
    const std::string root = com_RegistryRoot();
    if (root.empty()) return ENOENT;
    int error = MakeFolder(ClassFolder(root));
    if (error == 0) error = MakeFolder(ProgIdFolder(root));
    if (error != 0) return error;
    for (const std::string &folder : {root, ClassFolder(root), ProgIdFolder(root)}) ClosedToOthers(folder);
    RootLock lock;
    error = lock.Acquire(root);
    if (error != 0) return error;

    const std::string classText = GuidText(*clsid);
    Previous oldClass;
    Previous oldProgId;
    Previous stale;  // the class's former ProgID, which must not lead to it any more
    error = Remember(ClassFolder(root), classText, &oldClass);
    if (error == 0) error = Remember(ProgIdFolder(root), progId, &oldProgId);
    if (error != 0) return error;
    std::string staleProgId;
    if (oldClass.existed && FindEntry(oldClass.text, kProgIdKey, &staleProgId) && staleProgId != progId &&
        ValidProgId(staleProgId.c_str())) {
        error = Remember(ProgIdFolder(root), staleProgId, &stale);
        if (error != 0) return error;
        stale.existed = stale.existed && NamesClass(stale.text, classText);
    }

    Entries classEntries = {{kDefaultName, description}, {kLocalServerKey, exePath}, {kProgIdKey, progId}};
    const std::string independent = VersionIndependentProgId(progId);
    if (!independent.empty()) classEntries.emplace_back(kIndependentProgIdKey, independent);
    for (const char *category : kOpcServerCategories)
        classEntries.emplace_back(std::string(kCategoriesKey) + "\\" + category, "");
    const std::string classBody = Render(classEntries);
    const std::string progIdBody = Render({{kDefaultName, description}, {kClsidKey, classText}});
    // Each step is undone, last first, when a later one fails (a step that
    // failed may have taken place all the same, if only its sync failed).
    const Previous *steps[] = {&oldClass, &oldProgId, &stale};
    std::size_t reached = 1;
    error = WriteAtomically(ClassFolder(root), classText, classBody);
    if (error == 0) {
        reached = 2;
        error = WriteAtomically(ProgIdFolder(root), progId, progIdBody);
    }
    if (error == 0 && stale.existed) {
        reached = 3;
        error = RemoveFile(stale.folder, stale.name);
    }
    if (error == 0) return 0;
    while (reached > 0) Restore(*steps[--reached]);
    return error;
}

int UnregisterServer(const CLSID *clsid, const char *progId) {
    if (clsid == nullptr || !ValidProgId(progId)) return EINVAL;
    const std::string root = com_RegistryRoot();
    struct stat info {};
    // Nothing is created for a registry that does not exist.
    if (root.empty() || stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ENOENT;
    RootLock lock;
    int error = lock.Acquire(root);
    if (error != 0) return error;

    const std::string classText = GuidText(*clsid);
    return RemoveBoth(
        ENOENT, [&] { return RemoveFile(ClassFolder(root), classText); },
        [&] { return RemoveProgIdOf(root, progId, classText); });
}

int ReadServer(const CLSID *clsid, std::string (&values)[3]) {
    if (clsid == nullptr) return EINVAL;
    const std::string root = com_RegistryRoot();
    if (root.empty()) return ENOENT;
    std::string text;
    const int error = ReadText(ClassFolder(root) + "/" + GuidText(*clsid), &text);
    if (error != 0) return error;
    FindEntry(text, kDefaultName, &values[0]);
    FindEntry(text, kLocalServerKey, &values[1]);
    FindEntry(text, kProgIdKey, &values[2]);
    return 0;
}

int ReadProgId(const char *progId, CLSID *clsid) {
    if (clsid == nullptr || !ValidProgId(progId)) return EINVAL;
    const std::string root = com_RegistryRoot();
    if (root.empty()) return ENOENT;
    std::string text;
    std::string classText;
    const int error = ReadText(ProgIdFolder(root) + "/" + progId, &text);
    if (error != 0) return error;
    if (!FindEntry(text, kClsidKey, &classText) || !ParseGuid(classText, clsid)) return EINVAL;
    return 0;
}
