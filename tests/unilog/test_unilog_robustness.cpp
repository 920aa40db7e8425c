// Calls that must never harm the caller: null and deleted handles, a file that
// cannot be opened, many threads at once.
#include <gmock/gmock.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "log_fixture.h"
#include "unilog.h"

using ::testing::ElementsAre;

namespace fs = std::filesystem;

namespace {

constexpr char kServerName[] = "OPC.Brisvale.1";

void WriteEverything(unilog *log) {
    unilog_ERROR(log, 0, "error %d", 1);
    unilog_WARNING(log, 0, "%!L warning");
    unilog_MESSAGE(log, 0, "%!e message %s", -1, "x");
    unilog_INFO(log, 0, "info");
    unilog_DEBUG(log, 0, "debug %!");
}

// Starts all threads' work at once, so that they really overlap.
class StartLine {
public:
    void Wait() const {
        while (!open_.load()) std::this_thread::yield();
    }
    void Open() { open_ = true; }

private:
    std::atomic<bool> open_{false};
};

using LogRobustness = LogTest;

TEST_F(LogRobustness, NullAndDeletedHandlesAreHarmless) {
    WriteEverything(nullptr);
    unilog_Delete(nullptr);
    unilog_Refresh(nullptr);
    unilog_Refresh("no log has this name");
    EXPECT_FALSE(fs::exists(LogPath()));

    unilog *nameless = unilog_Create(nullptr, nullptr, nullptr, 0, UL_MESSAGE);
    ASSERT_NE(nameless, nullptr);
    unilog_MESSAGE(nameless, 0, "nameless");
    unilog_Refresh("");
    unilog_Delete(nameless);
    unilog_Delete(nameless);
    unilog_Refresh("");
    EXPECT_THAT(Texts(), ElementsAre("nameless"));
}

TEST_F(LogRobustness, FileThatCannotBeOpenedGivesALogThatWritesNothing) {
    // A folder where the file should be: the open fails on every system, for every user.
    ASSERT_TRUE(fs::create_directory(LogPath()));
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_DEBUG);
    ASSERT_NE(log, nullptr);
    WriteEverything(log);
    WriteSettings("level=5\n");
    unilog_Refresh(kServerName);
    WriteEverything(log);
    unilog_Delete(log);
    EXPECT_TRUE(fs::is_directory(LogPath()));
    EXPECT_TRUE(fs::is_empty(LogPath()));

    // Once the way is clear, a new log writes again.
    fs::remove(LogPath());
    log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    unilog_MESSAGE(log, 0, "back");
    unilog_Delete(log);
    EXPECT_THAT(Texts(), ElementsAre("back"));
}

TEST_F(LogRobustness, ConcurrentWritersKeepEveryLineWhole) {
    constexpr int kWriters = 8;
    constexpr int kLines = 1000;
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    StartLine start;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([log, w, &start] {
            const std::string payload(100 + 20 * w, static_cast<char>('a' + w));
            start.Wait();
            for (int line = 0; line < kLines; ++line)
                unilog_MESSAGE(log, 0, "writer %d line %d %s", w, line, payload.c_str());
        });
    }
    start.Open();
    for (std::thread &writer : writers) writer.join();
    unilog_Delete(log);

    const auto records = Records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kWriters * kLines));
    std::map<int, int> nextLine;
    std::map<int, unsigned long> threadOf;
    for (const LogRecord &record : records) {
        int w = -1;
        int line = -1;
        char payload[512] = "";
        ASSERT_EQ(std::sscanf(record.text.c_str(), "writer %d line %d %511s", &w, &line, payload), 3) << record.text;
        ASSERT_TRUE(w >= 0 && w < kWriters) << record.text;
        EXPECT_EQ(line, nextLine[w]++) << "lines of one writer keep their order";
        EXPECT_EQ(std::string(payload), std::string(100 + 20 * w, static_cast<char>('a' + w)));
        if (threadOf.count(w) == 0) threadOf[w] = record.thread;
        EXPECT_EQ(record.thread, threadOf[w]);
    }
}

TEST_F(LogRobustness, CreateDeleteRefreshAndWriteAllAtOnce) {
    constexpr int kWriters = 4;
    constexpr int kLines = 300;
    constexpr int kChurners = 4;
    constexpr int kRounds = 50;
    WriteSettings("level=3\n");
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    StartLine start;
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([log, &start] {
            start.Wait();
            for (int line = 0; line < kLines; ++line) unilog_MESSAGE(log, 0, "steady %d", line);
        });
    }
    for (int c = 0; c < kChurners; ++c) {
        threads.emplace_back([c, &start] {
            start.Wait();
            for (int round = 0; round < kRounds; ++round) {
                unilog *own = unilog_Create(c % 2 == 0 ? kServerName : "LightOPC", "", "", -1, UL_MESSAGE);
                unilog_MESSAGE(own, 0, "churn %d", round);
                unilog_Refresh("LightOPC");
                unilog_Refresh(kServerName);
                unilog_Delete(own);
            }
        });
    }
    start.Open();
    for (std::thread &thread : threads) thread.join();
    unilog_MESSAGE(log, 0, "still here");
    unilog_Delete(log);

    const auto texts = Texts();
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(kWriters * kLines + kChurners * kRounds + 1));
    EXPECT_EQ(texts.back(), "still here");
}

}  // namespace
