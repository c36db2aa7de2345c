#include <gtest/gtest.h>

// ---- CXFile and CXMemFile -----------------------------------------------------------------------

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kestovar/core/memory.h"
#include "kestovar/platform/file.h"

namespace {

using kestovar::CXFile;
using kestovar::CXFileException;
using kestovar::CXMemFile;

// Runs `f` and returns the cause of the CXFileException it raised (releasing it), or -1.
template <class F>
int FileCause(F&& f) {
    try {
        f();
    } catch (CXFileException* e) {
        int cause = e->m_cause;
        kestovar::XDeleteThreadException();
        return cause;
    }
    return -1;
}

// A private directory, removed with everything in it.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "kxfileXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : "<missing>";
    }

    std::string dir_;
};

TEST_F(FileTest, OpenReportsTheCauseOfFailure) {
    CXFile file;
    CXFileException error;
    EXPECT_FALSE(file.Open(Path("missing.bin").c_str(), CXFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CXFileException::fileNotFound);
    EXPECT_FALSE(file.IsOpen());

    // A directory is not a file, even though Linux would open it for reading.
    EXPECT_FALSE(file.Open(dir_.c_str(), CXFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CXFileException::accessDenied);

    EXPECT_FALSE(file.Open("", CXFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CXFileException::badPath);

    // The opening constructor raises instead.
    std::string missing = Path("missing2.bin");
    EXPECT_EQ(FileCause([&] { CXFile f(missing.c_str(), CXFile::modeRead); }), CXFileException::fileNotFound);
}

TEST_F(FileTest, WriteSeekReadAndLength) {
    std::string path = Path("data.bin");
    CXFile file(path.c_str(), CXFile::modeCreate | CXFile::modeReadWrite);
    file.Write("hello world", 11);
    EXPECT_EQ(file.GetLength(), 11u);
    EXPECT_EQ(file.GetPosition(), 11u);
    EXPECT_EQ(file.Seek(6, CXFile::begin), 6u);
    char buf[16] = {};
    EXPECT_EQ(file.Read(buf, sizeof buf), 5u);  // short read at the end of the file
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(file.Read(buf, 4), 0u);
    EXPECT_EQ(file.Seek(-5, CXFile::end), 6u);
    EXPECT_EQ(file.Seek(-1, CXFile::current), 5u);
    EXPECT_EQ(FileCause([&] { file.Seek(-6, CXFile::current); }), CXFileException::badSeek);
    EXPECT_STREQ(file.GetFilePath(), path.c_str());

    // SetLength truncates and extends with zero bytes.
    file.SetLength(5);
    file.SetLength(8);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(Slurp(path), std::string("hello\0\0\0", 8));
}

// Readers that take a file twice, or to its end, read only regular files: a device or a pipe
// opens but is told apart.
TEST_F(FileTest, RegularFilesAreToldFromDevicesAndPipes) {
    CXFile file;
    EXPECT_FALSE(file.IsRegularFile());  // not open
    std::string path = Path("plain.bin");
    ASSERT_TRUE(file.Open(path.c_str(), CXFile::modeCreate | CXFile::modeWrite));
    EXPECT_TRUE(file.IsRegularFile());
    file.Close();
    ASSERT_TRUE(file.Open("/dev/zero", CXFile::modeRead));
    EXPECT_FALSE(file.IsRegularFile());
    file.Close();
    std::string fifo = Path("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int keep = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // so that opening does not wait
    ASSERT_GE(keep, 0);
    ASSERT_TRUE(file.Open(fifo.c_str(), CXFile::modeRead));
    EXPECT_FALSE(file.IsRegularFile());
    file.Close();
    ::close(keep);
    EXPECT_FALSE(CXMemFile().IsRegularFile());
}

TEST_F(FileTest, CreateTruncatesUnlessNoTruncate) {
    std::string path = Path("trunc.bin");
    {
        CXFile f(path.c_str(), CXFile::modeCreate | CXFile::modeWrite);
        f.Write("abcdef", 6);
    }
    {
        CXFile f(path.c_str(), CXFile::modeCreate | CXFile::modeNoTruncate | CXFile::modeWrite);
        EXPECT_EQ(f.GetLength(), 6u);
        f.Write("XY", 2);  // overwrites from the start
    }
    EXPECT_EQ(Slurp(path), "XYcdef");
    {
        CXFile f(path.c_str(), CXFile::modeCreate | CXFile::modeWrite);
        EXPECT_EQ(f.GetLength(), 0u);
    }
    EXPECT_EQ(Slurp(path), "");
}

TEST_F(FileTest, AccessViolationsAndClosedFilesRaise) {
    std::string path = Path("ro.bin");
    { CXFile f(path.c_str(), CXFile::modeCreate | CXFile::modeWrite); }
    CXFile file(path.c_str(), CXFile::modeRead);
    EXPECT_EQ(FileCause([&] { file.Write("x", 1); }), CXFileException::accessDenied);
    file.Close();
    char c;
    EXPECT_NE(FileCause([&] { file.Read(&c, 1); }), -1);
    file.Abort();  // harmless on a closed file
}

TEST_F(FileTest, WidePathsAreUtf8OnDisk) {
    std::string utf8 = Path("gr\xC3\xBC\xC3\x9F.txt");  // "grüß.txt"
    std::wstring wide(utf8.begin(), utf8.end() - 10);
    wide += L"gr\u00FC\u00DF.txt";
    {
        CXFile file(wide.c_str(), CXFile::modeCreate | CXFile::modeWrite);
        file.Write("ok", 2);
    }
    EXPECT_EQ(Slurp(utf8), "ok");
}

// ---- CXMemFile ----

TEST(MemFileTest, GrowsInWholeGranules) {
    CXMemFile file(2048);
    EXPECT_EQ(file.GetBufferSize(), 0u);
    file.Write("a", 1);
    EXPECT_EQ(file.GetBufferSize(), 2048u);
    std::vector<char> block(2047, 'b');
    file.Write(block.data(), unsigned(block.size()));
    EXPECT_EQ(file.GetBufferSize(), 2048u);  // exactly full
    file.Write("c", 1);
    EXPECT_EQ(file.GetBufferSize(), 4096u);
    EXPECT_EQ(file.GetLength(), 2049u);
}

TEST(MemFileTest, SeekPastEndThenWriteLeavesZeroGap) {
    CXMemFile file(16);
    file.Write("ab", 2);
    EXPECT_EQ(file.Seek(5, CXFile::begin), 5u);
    EXPECT_EQ(file.GetLength(), 2u);  // seeking alone does not grow the file
    char buf[8];
    EXPECT_EQ(file.Read(buf, 8), 0u);
    file.Write("z", 1);
    ASSERT_EQ(file.GetLength(), 6u);
    EXPECT_EQ(std::memcmp(file.GetBuffer(), "ab\0\0\0z", 6), 0);
    EXPECT_EQ(FileCause([&] { file.Seek(-7, CXFile::end); }), CXFileException::badSeek);
}

TEST(MemFileTest, ReadOnlyViewRejectsWrites) {
    const char data[] = "0123456789";
    CXMemFile file(data, 10);
    char buf[4] = {};
    file.Seek(8, CXFile::begin);
    EXPECT_EQ(file.Read(buf, 4), 2u);
    EXPECT_EQ(std::memcmp(buf, "89", 2), 0);
    EXPECT_EQ(FileCause([&] { file.Write("x", 1); }), CXFileException::accessDenied);
    EXPECT_EQ(FileCause([&] { file.SetLength(2); }), CXFileException::accessDenied);
    EXPECT_STREQ(data, "0123456789");
    CXFileException error;
    EXPECT_FALSE(file.Open("/tmp/anything", CXFile::modeRead, &error));
}

TEST(MemFileTest, AttachedFixedBufferNeverGrowsNorFrees) {
    char buffer[4] = {'.', '.', '.', '.'};
    {
        CXMemFile file;
        file.Attach(buffer, 4);  // growBytes 0: the buffer stays ours
        file.Write("xy", 2);
        EXPECT_EQ(file.GetLength(), 4u);
        EXPECT_EQ(FileCause([&] { file.Write("abc", 3); }), CXFileException::diskFull);
        file.Seek(0, CXFile::end);
        EXPECT_EQ(FileCause([&] { file.Write("q", 1); }), CXFileException::diskFull);
    }  // destruction must not free the stack buffer (AddressSanitizer would report it)
    EXPECT_EQ(std::memcmp(buffer, "xy..", 4), 0);
}

TEST(MemFileTest, AttachOwnedThenDetach) {
    uint8_t* block = static_cast<uint8_t*>(kestovar::xmalloc(3));
    std::memcpy(block, "abc", 3);
    CXMemFile file;
    file.Attach(block, 3, 8);  // owned: may grow
    file.Seek(0, CXFile::end);
    file.Write("defgh", 5);
    EXPECT_EQ(file.GetLength(), 8u);
    EXPECT_EQ(file.GetBufferSize(), 8u);
    uint8_t* out = file.Detach();
    EXPECT_EQ(std::memcmp(out, "abcdefgh", 8), 0);
    EXPECT_EQ(file.GetLength(), 0u);
    EXPECT_EQ(file.GetBuffer(), nullptr);
    kestovar::xfree(out);
    file.Write("again", 5);  // a detached file starts over as a growable one
    EXPECT_EQ(file.GetLength(), 5u);
}

TEST(MemFileTest, SetLengthZeroFillsAndClampsPosition) {
    CXMemFile file(4);
    file.Write("abcdef", 6);
    file.SetLength(2);
    EXPECT_EQ(file.GetPosition(), 2u);
    file.SetLength(5);
    EXPECT_EQ(std::memcmp(file.GetBuffer(), "ab\0\0\0", 5), 0);
    EXPECT_EQ(file.GetBufferSize(), 8u);
}

}  // namespace
