// Path functions: the lexical ones on tables of cases, the disk ones in a private directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kestovar/platform/path.h"

using namespace kestovar;

namespace {

std::wstring W(const CXTString<wchar_t>& s) { return std::wstring(s.GetString(), size_t(s.GetLength())); }

struct Split {
    const wchar_t* path;
    const wchar_t* directory;
    const wchar_t* name;
    const wchar_t* extension;
    const wchar_t* withoutExtension;
};

}  // namespace

TEST(PathLexical, SplitsIntoDirectoryNameAndExtension) {
    const Split cases[] = {
        {L"/a/b.txt", L"/a/", L"b.txt", L".txt", L"/a/b"},
        {L"b.txt", L"", L"b.txt", L".txt", L"b"},
        {L"a/b.tar.gz", L"a/", L"b.tar.gz", L".gz", L"a/b.tar"},
        {L"a.b/c", L"a.b/", L"c", L"", L"a.b/c"},          // a dot in a folder is no extension
        {L"/home/u/.profile", L"/home/u/", L".profile", L"", L"/home/u/.profile"},  // leading dot
        {L"/a/dir/", L"/a/dir/", L"", L"", L"/a/dir/"},
        {L"name.", L"", L"name.", L".", L"name"},
        {L"", L"", L"", L"", L""},
    };
    for (const Split& c : cases) {
        EXPECT_EQ(c.directory, W(fileGetDirectory(c.path))) << c.path;
        EXPECT_EQ(c.name, W(fileGetName(c.path))) << c.path;
        EXPECT_EQ(c.extension, W(fileGetExtension(c.path))) << c.path;
        EXPECT_EQ(c.withoutExtension, W(fileRemoveExtension(c.path))) << c.path;
    }
    EXPECT_TRUE(fileGetName(nullptr).IsEmpty());
    EXPECT_TRUE(fileHasDirectory(L"a/b"));
    EXPECT_FALSE(fileHasDirectory(L"ab"));
    EXPECT_FALSE(fileHasDirectory(nullptr));
}

TEST(PathLexical, RecognisesURLs) {
    for (const wchar_t* url : {L"http://host/a.obj", L"https://host:8080/a", L"file:///tmp/a.obj", L"svn+ssh://h/x"})
        EXPECT_TRUE(fileIsURL(url)) << url;
    for (const wchar_t* path : {L"/tmp/http://x", L"mailto:someone", L"1http://x", L"http:/x", L""})
        EXPECT_FALSE(fileIsURL(path)) << path;
    EXPECT_FALSE(fileIsURL(nullptr));
}

TEST(PathLexical, JoinPutsExactlyOneSeparator) {
    EXPECT_EQ(L"/a/b", W(fileJoinPath(L"/a", L"b")));
    EXPECT_EQ(L"/a/b", W(fileJoinPath(L"/a/", L"b")));
    EXPECT_EQ(L"/a/b", W(fileJoinPath(L"/a/", L"/b")));
    EXPECT_EQ(L"b", W(fileJoinPath(L"", L"b")));
    EXPECT_EQ(L"/a", W(fileJoinPath(L"/a", nullptr)));
}

TEST(PathLexical, MakeAbsoluteNormalises) {
    EXPECT_EQ(L"/a/c", W(fileMakeAbsolutePath(L"/a/b/../c")));
    EXPECT_EQ(L"/a/b/", W(fileMakeAbsolutePath(L"/a//./b/")));
    EXPECT_EQ(L"/", W(fileMakeAbsolutePath(L"/../..")));  // never above the root
    EXPECT_EQ(L"/a/", W(fileMakeAbsolutePath(L"/a/b/..")));  // ".." names a directory
    EXPECT_EQ(L"/base/dir/x/y.txt", W(fileMakeAbsolutePath(L"x/y.txt", L"/base/dir")));
    EXPECT_EQ(L"/base/y.txt", W(fileMakeAbsolutePath(L"../y.txt", L"/base/dir/")));
    EXPECT_EQ(L"/base/dir/", W(fileMakeAbsolutePath(L"", L"/base/dir")));
    EXPECT_EQ(W(fileGetCurrentDirectory()) + L"rel.txt", W(fileMakeAbsolutePath(L"./rel.txt")));
}

TEST(PathLexical, MakeRelativeClimbsWithDotDot) {
    EXPECT_EQ(L"../b/c.txt", W(fileMakeRelativePath(L"/a/b/c.txt", L"/a/d/")));
    EXPECT_EQ(L"c.txt", W(fileMakeRelativePath(L"/a/b/c.txt", L"/a/b")));
    EXPECT_EQ(L"../dd/x", W(fileMakeRelativePath(L"/a/dd/x", L"/a/d/")));  // "d" is not a prefix of "dd"
    EXPECT_EQ(L"../../x", W(fileMakeRelativePath(L"/x", L"/a/b/")));
    EXPECT_EQ(L"./", W(fileMakeRelativePath(L"/a/b/", L"/a/b/")));
    EXPECT_EQ(L".", W(fileMakeRelativePath(L"/a/b", L"/a/b/")));
    EXPECT_EQ(L"http://h/x", W(fileMakeRelativePath(L"http://h/x", L"/a/")));
}

// ---- On disk -----------------------------------------------------------------------------------------

namespace {

class PathDisk : public ::testing::Test {
protected:
    void SetUp() override {
        CXTString<wchar_t> name = fileCreateTmpName(L"kxpath");
        ASSERT_FALSE(name.IsEmpty());
        ASSERT_TRUE(fileDelete(name));
        dir_ = W(name) + L"/";
        ASSERT_TRUE(fileCreateDirectory(dir_.c_str()));
    }
    void TearDown() override { std::filesystem::remove_all(std::filesystem::path(dir_)); }
    void Touch(const std::wstring& rel) { ASSERT_TRUE(std::ofstream(std::filesystem::path(dir_ + rel)).good()); }
    std::wstring dir_;
};

}  // namespace

TEST_F(PathDisk, CreateDirectoryMakesEveryParent) {
    std::wstring deep = dir_ + L"x/y/z";
    EXPECT_FALSE(fileExists(deep.c_str()));
    EXPECT_TRUE(fileCreateDirectory(deep.c_str()));
    EXPECT_TRUE(fileIsDirectory(deep.c_str()));
    EXPECT_TRUE(fileCreateDirectory(deep.c_str()));  // existing: still true
    // A file in the way fails.
    Touch(L"file");
    EXPECT_FALSE(fileCreateDirectory((dir_ + L"file/sub").c_str()));
    EXPECT_TRUE(fileExists((dir_ + L"file").c_str()));
    EXPECT_FALSE(fileIsDirectory((dir_ + L"file").c_str()));
    EXPECT_TRUE(fileDelete((dir_ + L"file").c_str()));
    EXPECT_FALSE(fileExists((dir_ + L"file").c_str()));
    EXPECT_FALSE(fileDelete((dir_ + L"file").c_str()));
    EXPECT_FALSE(fileExists(L""));
    EXPECT_FALSE(fileExists(nullptr));
}

TEST_F(PathDisk, UniqueNameCountsFromTwo) {
    std::wstring log = dir_ + L"log.txt";
    EXPECT_EQ(log, W(fileCreateUniqueName(log.c_str())));  // free: unchanged
    Touch(L"log.txt");
    EXPECT_EQ(dir_ + L"log (2).txt", W(fileCreateUniqueName(log.c_str())));
    Touch(L"log (2).txt");
    EXPECT_EQ(dir_ + L"log (3).txt", W(fileCreateUniqueName(log.c_str())));
    Touch(L"plain");
    EXPECT_EQ(dir_ + L"plain (2)", W(fileCreateUniqueName((dir_ + L"plain").c_str())));
    EXPECT_TRUE(fileCreateUniqueName(nullptr).IsEmpty());
}

TEST(PathTemp, TmpNameCreatesAFileInTmpdir) {
    const char* saved = getenv("TMPDIR");
    std::string savedValue = saved ? saved : "";
    CXTString<wchar_t> dir = fileCreateTmpName(L"kxtmpdir");
    ASSERT_FALSE(dir.IsEmpty());
    fileDelete(dir);
    ASSERT_TRUE(fileCreateDirectory(dir));
    setenv("TMPDIR", XCW2A(dir).GetString(), 1);

    EXPECT_EQ(W(dir) + L"/", W(fileGetTempDirectory()));
    CXTString<wchar_t> a = fileCreateTmpName(L"mesh", L".obj");
    CXTString<wchar_t> b = fileCreateTmpName(L"mesh", L".obj");
    EXPECT_NE(W(a), W(b));
    EXPECT_EQ(W(dir) + L"/", W(fileGetDirectory(a)));
    EXPECT_EQ(L".obj", W(fileGetExtension(a)));
    EXPECT_EQ(0u, W(fileGetName(a)).find(L"mesh"));
    EXPECT_EQ(14u, W(fileGetName(a)).size());  // "mesh" + 6 random characters + ".obj"
    EXPECT_TRUE(fileExists(a));

    fileDelete(a);
    fileDelete(b);
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
    fileDelete(dir);
}
