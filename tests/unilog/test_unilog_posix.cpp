// Linux: the log is never written through a symbolic link, which whoever may
// write the executable's folder could point at any file of the server's user.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/module.h"
#include "unilog.h"

namespace fs = std::filesystem;

TEST(LogOnLinux, ALogFileThatIsASymbolicLinkIsNotWrittenThrough) {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string logPath = std::string(path, length) + ".log";
    const std::string target = logPath + ".target";
    fs::remove(logPath);
    std::ofstream(target) << "precious\n";
    fs::create_symlink(target, logPath);
    unilog *log = unilog_Create("OPC.Brisvale.1", "", "", -1, UL_MESSAGE);
    unilog_ERROR(log, 0, "%s", "through the link");
    unilog_Delete(log);
    std::stringstream text;
    text << std::ifstream(target).rdbuf();
    EXPECT_EQ(text.str(), "precious\n");
    fs::remove(logPath);
    fs::remove(target);
}
