// Text files: line reading, open modes, and the byte-exact encodings of CStdioFileEx.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "kestovar/platform/path.h"
#include "kestovar/platform/stdio_file.h"

using namespace kestovar;

namespace {

class StdioFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        CXTString<wchar_t> name = fileCreateTmpName(L"kxstdio", L".txt");
        ASSERT_FALSE(name.IsEmpty());
        path_ = XCW2A(name).GetString();
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string ReadBytes() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void WriteBytes(const std::string& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    std::string path_;
};

std::string S(const CXTString<char>& s) { return std::string(s.GetString(), size_t(s.GetLength())); }
std::wstring W(const CXTString<wchar_t>& s) { return std::wstring(s.GetString(), size_t(s.GetLength())); }

}  // namespace

TEST_F(StdioFileTest, ReadsLinesWithEitherLineEnd) {
    std::string longLine(700, 'q');  // longer than the reader's internal chunk
    WriteBytes("first\r\n\nthird\n" + longLine + "\nlast without end");
    CXStdioFile f;
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead | CXStdioFile::typeText));
    CXTString<char> line;
    for (const std::string& expected : {std::string("first"), std::string(), std::string("third"), longLine,
                                        std::string("last without end")}) {
        ASSERT_TRUE(f.ReadString(line));
        EXPECT_EQ(expected, S(line));
    }
    EXPECT_FALSE(f.ReadString(line));
    EXPECT_TRUE(line.IsEmpty());
}

TEST_F(StdioFileTest, WideTextIsWrittenAsUTF8) {
    CXStdioFile f;
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeWrite | CXStdioFile::modeCreate));
    EXPECT_TRUE(f.WriteString(L"\u00e9\u20ac\U0001F600\n"));
    EXPECT_TRUE(f.WriteString("ascii\n"));
    EXPECT_EQ(5, f.Printf("%d-%s", 12, "ab"));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\nascii\n12-ab", ReadBytes());

    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead));
    CXTString<wchar_t> line;
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ(L"\u00e9\u20ac\U0001F600", W(line));
}

TEST_F(StdioFileTest, OpenModesTruncateOrKeep) {
    WriteBytes("0123456789");
    CXStdioFile f;
    // Without truncation the position starts at 0 and writes overwrite in place.
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeWrite | CXStdioFile::modeCreate | CXStdioFile::modeNoTruncate));
    EXPECT_EQ(10u, f.GetLength());
    f.WriteString("ab");
    EXPECT_EQ(10u, f.SeekToEnd());
    f.WriteString("!");
    f.Close();
    EXPECT_EQ("ab23456789!", ReadBytes());

    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeWrite | CXStdioFile::modeCreate));
    EXPECT_EQ(0u, f.GetLength());
    f.Close();
    EXPECT_EQ("", ReadBytes());

    // Read-write keeps the content and starts at the beginning.
    WriteBytes("line\n");
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeReadWrite));
    CXTString<char> line;
    EXPECT_TRUE(f.ReadString(line));
    EXPECT_EQ("line", S(line));
}

TEST_F(StdioFileTest, OpenFailures) {
    CXStdioFile f;
    std::remove(path_.c_str());
    EXPECT_FALSE(f.Open(path_.c_str(), CXStdioFile::modeRead));  // missing
    EXPECT_FALSE(f.Open(path_.c_str(), CXStdioFile::modeWrite));  // missing, no modeCreate
    EXPECT_FALSE(f.Open(XCW2A(fileGetTempDirectory()).GetString(), CXStdioFile::modeRead));  // a directory
    EXPECT_FALSE(f.Open(path_.c_str(), 3u));  // no such access mode
    EXPECT_FALSE(f.Open(static_cast<const char*>(nullptr), CXStdioFile::modeRead));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.WriteString("x"));
    CXTString<char> line;
    EXPECT_FALSE(f.ReadString(line));
    EXPECT_TRUE(f.Close());  // closing a closed file is fine
}

// ---- Encodings --------------------------------------------------------------------------------------

TEST_F(StdioFileTest, CreatesUTF16LittleEndianWithItsMark) {
    CStdioFileEx f;
    ASSERT_TRUE(f.OpenEx(path_.c_str(), CXStdioFile::modeWrite | CXStdioFile::modeCreate, CStdioFileEx::ENCODING_UTF16LE));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF16LE, f.GetEncoding());
    f.WriteString(L"A\u00e9\U0001F600\n");
    f.WriteString("b");  // narrow text is UTF-8, re-encoded
    f.Close();
    // FF FE, 'A', U+00E9, the surrogate pair D83D DE00, '\n', 'b': 16-bit little-endian units.
    const char expected[] = "\xFF\xFE" "A\0" "\xE9\0" "\x3D\xD8" "\x00\xDE" "\n\0" "b\0";
    EXPECT_EQ(std::string(expected, sizeof(expected) - 1), ReadBytes());

    CStdioFileEx r;
    ASSERT_TRUE(r.Open(path_.c_str(), CXStdioFile::modeRead));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF16LE, r.GetEncoding());
    CXTString<wchar_t> line;
    ASSERT_TRUE(r.ReadString(line));
    EXPECT_EQ(L"A\u00e9\U0001F600", W(line));
    CXTString<char> narrow;
    ASSERT_TRUE(r.ReadString(narrow));
    EXPECT_EQ("b", S(narrow));
    EXPECT_FALSE(r.ReadString(line));
}

TEST_F(StdioFileTest, ReadsBigEndianAndUTF8Marks) {
    // FE FF, "hi\r\n", "x" in big-endian units.
    const char be[] = "\xFE\xFF" "\0h" "\0i" "\0\r" "\0\n" "\0x";
    WriteBytes(std::string(be, sizeof(be) - 1));
    CStdioFileEx f;
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF16BE, f.GetEncoding());
    CXTString<wchar_t> line;
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ(L"hi", W(line));
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ(L"x", W(line));
    f.Close();

    WriteBytes("\xEF\xBB\xBF\xC3\xA9t\xC3\xA9\n");
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF8_BOM, f.GetEncoding());
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ(L"\u00e9t\u00e9", W(line));  // the mark is not part of the text
    f.Close();

    WriteBytes("plain\n");
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF8, f.GetEncoding());
}

TEST_F(StdioFileTest, MalformedUTF16BecomesReplacementCharacters) {
    // A lone low surrogate, then an odd trailing byte.
    const char bytes[] = "\xFF\xFE" "a\0" "\x00\xDC" "b\0" "\x41";
    WriteBytes(std::string(bytes, sizeof(bytes) - 1));
    CStdioFileEx f;
    ASSERT_TRUE(f.Open(path_.c_str(), CXStdioFile::modeRead));
    CXTString<wchar_t> line;
    ASSERT_TRUE(f.ReadString(line));
    EXPECT_EQ(L"a\uFFFDb\uFFFD", W(line));
    EXPECT_FALSE(f.ReadString(line));
}

TEST_F(StdioFileTest, AppendingKeepsTheExistingEncoding) {
    const char start[] = "\xFF\xFE" "a\0";
    WriteBytes(std::string(start, sizeof(start) - 1));
    CStdioFileEx f;
    // Write-only on an existing file: the mark is read through a separate handle.
    ASSERT_TRUE(f.OpenEx(path_.c_str(), CXStdioFile::modeWrite | CXStdioFile::modeCreate | CXStdioFile::modeNoTruncate,
                         CStdioFileEx::ENCODING_UTF8));
    EXPECT_EQ(CStdioFileEx::ENCODING_UTF16LE, f.GetEncoding());
    f.SeekToEnd();
    f.WriteString(L"z");
    f.Close();
    const char expected[] = "\xFF\xFE" "a\0" "z\0";
    EXPECT_EQ(std::string(expected, sizeof(expected) - 1), ReadBytes());
}
