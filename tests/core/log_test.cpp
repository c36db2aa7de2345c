// The log file: banner, open modes, indentation and depth limit, line integrity across threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestovar/core/log.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/path.h"

using namespace kestovar;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string Narrow(const CXTString<wchar_t>& s) { return std::string(XCW2A(s).GetString()); }

const char kBannerHead[] = "\n\n*************************\nLogging information for ";
const char kBannerTail[] = ")\nRelease Mode\n*************************\n";

// The content after the banner (the banner itself is checked by its own test).
std::string AfterBanner(const std::string& content) {
    size_t at = content.find(kBannerTail);
    return at == std::string::npos ? std::string("<no banner>") : content.substr(at + sizeof(kBannerTail) - 1);
}

// A fresh temporary directory per test, removed with what the test left in it; the log is always
// closed and the library shut down, whatever the test asserted.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CXTString<wchar_t> name = fileCreateTmpName(L"kxlog");
        ASSERT_FALSE(name.IsEmpty());
        fileDelete(name);
        ASSERT_TRUE(fileCreateDirectory(name));
        dir_ = Narrow(name) + "/";
    }
    void TearDown() override {
        CloseLogFile();
        if (IsKestovarApplicationInitialized()) CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
        for (const std::string& f : created_) std::remove(f.c_str());
        std::remove(dir_.c_str());
    }
    std::string File(const std::string& name) {
        created_.push_back(dir_ + name);
        return dir_ + name;
    }
    static CXTString<wchar_t> Wide(const std::string& s) { return CXTString<wchar_t>(s.c_str()); }

    std::string dir_;
    std::vector<std::string> created_;
};

}  // namespace

TEST_F(LogTest, BannerNamesTheApplicationAndTheDate) {
    SetApplicationPath(L"/opt/kx/bin/viewer.exe");
    std::string path = File("log.txt");
    ASSERT_TRUE(SetLogFile(Wide(path), LOG_FILE_TRUNCATE));
    CloseLogFile();
    SetApplicationPath(nullptr);
    EXPECT_FALSE(IsLogFileEnabled());

    std::string content = ReadAll(path);
    std::string head = std::string(kBannerHead) + "viewer (";
    ASSERT_EQ(head, content.substr(0, head.size()));
    size_t tail = content.find(kBannerTail);
    ASSERT_NE(std::string::npos, tail);
    EXPECT_GT(tail, head.size());  // a non-empty date between the parentheses
    EXPECT_EQ(content.size(), tail + sizeof(kBannerTail) - 1);
}

TEST_F(LogTest, SecondOpenFailsAndKeepsTheFirst) {
    std::string first = File("first.txt"), second = File("second.txt");
    ASSERT_TRUE(SetLogFile(Wide(first)));
    EXPECT_FALSE(SetLogFile(Wide(second)));
    WriteToLogFile("still here\n");
    CloseLogFile();
    EXPECT_EQ("still here\n", AfterBanner(ReadAll(first)));
    EXPECT_FALSE(fileExists(Wide(second)));
}

TEST_F(LogTest, RejectsBadArguments) {
    EXPECT_FALSE(SetLogFile(nullptr));
    EXPECT_FALSE(SetLogFile(L""));
    EXPECT_FALSE(SetLogFile(Wide(File("x.txt")), LogFileMode(3)));
    EXPECT_FALSE(SetLogFile(Wide(dir_ + "missing/dir/x.txt")));
    EXPECT_FALSE(IsLogFileEnabled());
    WriteToLogFile("dropped\n");  // no log: nothing happens
    // A null format is dropped too; called through a pointer, which carries no printf checking.
    void (*write)(const char*, ...) = WriteToLogFile;
    write(nullptr);
}

TEST_F(LogTest, ModesTruncateAppendAndUnique) {
    std::string path = File("modes.txt");
    WriteAll(path, "previous\n");
    ASSERT_TRUE(SetLogFile(Wide(path), LOG_FILE_APPEND));
    WriteToLogFile("appended\n");
    CloseLogFile();
    std::string appended = ReadAll(path);
    EXPECT_EQ("previous\n\n\n", appended.substr(0, 11));
    EXPECT_EQ("appended\n", AfterBanner(appended));

    ASSERT_TRUE(SetLogFile(Wide(path), LOG_FILE_TRUNCATE));
    CloseLogFile();
    EXPECT_EQ(0u, ReadAll(path).find(kBannerHead));

    // The unique mode leaves the existing file alone and writes beside it.
    std::string unique = File("modes (2).txt");
    ASSERT_TRUE(SetLogFile(Wide(path), LOG_FILE_UNIQUE));
    EXPECT_EQ(unique, Narrow(GetLogFilePath()));
    WriteToLogFile("fresh\n");
    CloseLogFile();
    EXPECT_EQ("fresh\n", AfterBanner(ReadAll(unique)));
    EXPECT_EQ(std::string::npos, ReadAll(path).find("fresh"));
}

TEST_F(LogTest, NameWithoutDirectoryGoesToThePreferencesDirectory) {
    std::string prefs = dir_ + "prefs/";
    SetUserPreferencesPath(Wide(prefs));
    std::string expected = File("prefs/bare.log");
    ASSERT_TRUE(SetLogFile(L"bare.log"));
    EXPECT_EQ(expected, Narrow(GetLogFilePath()));
    CloseLogFile();
    SetUserPreferencesPath(nullptr);
    EXPECT_TRUE(fileExists(Wide(expected)));
    created_.push_back(prefs);  // removed after the file
}

TEST_F(LogTest, IndentationAndMaximumDepth) {
    std::string path = File("depth.txt");
    ASSERT_TRUE(SetLogFile(Wide(path), LOG_FILE_TRUNCATE, 1));
    WriteToLogFile("level %d\n", 0);
    EXPECT_EQ(1, LogFileAddTab(true));
    WriteToLogFile("level %d\n", 1);
    EXPECT_EQ(2, LogFileAddTab(true));
    WriteToLogFile("too deep\n");  // depth 2 > maximum 1: dropped
    WriteToLogFile(L"too deep %ls\n", L"too");
    EXPECT_EQ(1, LogFileAddTab(false));
    WriteToLogFile(L"wide %ls %d\n", L"\u00e9t\u00e9", 1);
    EXPECT_EQ(0, LogFileAddTab(false));
    EXPECT_EQ(0, LogFileAddTab(false));  // nothing left to remove
    WriteToLogFile("back\n");
    // A narrow argument that is not text of the C locale: the format stands in for the message.
    WriteToLogFile(L"narrow %s\n", "caf\xC3\xA9");
    CloseLogFile();
    EXPECT_EQ(
        "level 0\n\tlevel 1\n\twide \xC3\xA9t\xC3\xA9 1\nback\n"
        "narrow %s [the arguments of this message could not be formatted]\n",
        AfterBanner(ReadAll(path)));
}

TEST_F(LogTest, ThreadWithoutIndentationUsesTheMainThreads) {
    ASSERT_TRUE(InitKestovarApplication());
    std::string path = File("threads.txt");
    ASSERT_TRUE(SetLogFile(Wide(path)));
    LogFileAddTab(true);
    std::thread plain([] { WriteToLogFile("borrowed\n"); });
    plain.join();
    std::thread own([] {
        LogFileAddTab(true);
        LogFileAddTab(true);
        WriteToLogFile("own\n");
        LogFileAddTab(false);
        LogFileAddTab(false);
    });
    own.join();
    LogFileAddTab(false);
    CloseLogFile();
    EXPECT_EQ("\tborrowed\n\t\town\n", AfterBanner(ReadAll(path)));
}

TEST_F(LogTest, LinesFromSeveralThreadsNeverInterleave) {
    std::string path = File("parallel.txt");
    ASSERT_TRUE(SetLogFile(Wide(path)));
    const int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                WriteToLogFile("thread %d line %03d %s\n", t, i, "abcdefghijklmnopqrstuvwxyz0123456789");
        });
    for (std::thread& th : threads) th.join();
    CloseLogFile();

    std::istringstream lines(AfterBanner(ReadAll(path)));
    std::regex pattern("thread [0-3] line [0-9]{3} abcdefghijklmnopqrstuvwxyz0123456789");
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, pattern)) << line;
        ++count;
    }
    EXPECT_EQ(kThreads * kLines, count);
}

TEST_F(LogTest, TimerWritesItsLineOnlyWhenLogging) {
    { CLogTimer silent("C3DGeomObject::Triangulate"); }  // no log: nothing to write, no failure
    std::string path = File("timer.txt");
    ASSERT_TRUE(SetLogFile(Wide(path)));
    { CLogTimer timer("C3DGeomObject::Triangulate"); }
    CloseLogFile();
    std::string line = AfterBanner(ReadAll(path));
    EXPECT_TRUE(std::regex_match(line, std::regex("C3DGeomObject::Triangulate time [0-9]+ ms\n"))) << line;
}

TEST_F(LogTest, InitWritesTheThreadCountAndApplicationPath) {
    std::string path = File("init.txt");
    ASSERT_TRUE(InitKestovarApplication(L"/opt/kx/bin/host", 0, Wide(path)));
    EXPECT_TRUE(IsLogFileEnabled());
    // Read while open: every message is flushed.
    std::string content = AfterBanner(ReadAll(path));
    char expected[512];
    std::snprintf(expected, sizeof(expected),
                  "InitKestovarApplication\n%d core will be used by default (use OMPSetMaxThreadCount, or define "
                  "OMP_NUM_THREADS under linux, to change the behavior)\n/opt/kx/bin/host application path is "
                  "defined\n",
                  omp_get_max_threads());
    EXPECT_EQ(expected, content);
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_FALSE(IsLogFileEnabled());
}
