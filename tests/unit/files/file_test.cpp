#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "cert/toofile.h"
#include "testsupport.h"

using certtest::ReadFile;
using certtest::TempDir;
using certtest::WriteFile;

TEST(File, ModeTextsDecideWhatIsAllowed) {
    TempDir dir;
    const std::string name = dir / "data.bin";
    {
        CTOOFile f(name.c_str(), "wb");
        ASSERT_TRUE(f.IsOpen());
        EXPECT_EQ(5u, f.Write("hello", 5));
        char c;
        EXPECT_EQ(0u, f.Read(&c, 1));  // write-only
        EXPECT_EQ(TOOERR_ACCESS, f.GetStatus());
    }
    EXPECT_EQ("hello", ReadFile(name));
    {
        CTOOFile f(name.c_str(), "ab");
        f.Seek(0, SEEK_SET);
        f.Write(" world", 6);  // append ignores the position
    }
    EXPECT_EQ("hello world", ReadFile(name));
    {
        CTOOFile f(name.c_str(), "rb");
        EXPECT_TRUE(f.IsReadOnly());
        EXPECT_EQ(0u, f.Write("x", 1));
        EXPECT_EQ(TOOERR_READONLY, f.GetStatus());
        EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
        EXPECT_FALSE(f.Truncate(0));
        char buf[32] = {};
        EXPECT_EQ(11u, f.Read(buf, sizeof buf));  // short read at the end is no error
        EXPECT_FALSE(f.GetError().IsError());
    }
    {
        // "r+" switches between reading and writing without explicit seeks.
        CTOOFile f(name.c_str(), "r+bc");
        char buf[5];
        ASSERT_EQ(5u, f.Read(buf, 5));
        EXPECT_EQ(1u, f.Write("_", 1));
        ASSERT_EQ(5u, f.Read(buf, 5));
        EXPECT_EQ("world", std::string(buf, 5));
        EXPECT_TRUE(f.Flush());
    }
    EXPECT_EQ("hello_world", ReadFile(name));
    {
        CTOOFile f(name.c_str(), "w+b");  // truncates, then reads back
        EXPECT_EQ(0, f.Length());
        f.Write("abc", 3);
        f.Seek(0, SEEK_SET);
        char buf[3];
        EXPECT_EQ(3u, f.Read(buf, 3));
    }
    CTOOFile x;
    EXPECT_FALSE(x.Open(name.c_str(), "wbx"));
    EXPECT_EQ(TOOERR_EXISTS, x.GetStatus());
    EXPECT_FALSE(x.Open(name.c_str(), "q"));
    EXPECT_EQ(TOOERR_BADARG, x.GetStatus());
    EXPECT_FALSE(x.Open(dir.path().c_str(), "rb"));  // a folder is not a file
}

TEST(File, ErrorsCarryStatusPlaceAndThrowWhenAsked) {
    TempDir dir;
    const std::string missing = dir / "no\\such.bin";
    CTOOFile f;
    EXPECT_FALSE(f.Open(missing.c_str(), "rb"));
    EXPECT_EQ(TOOERR_NOFILE, f.GetStatus());
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, f.GetError().WinError());
    EXPECT_FALSE(f.Open((dir / "none.bin").c_str(), "rb"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, f.GetError().WinError());
    EXPECT_STREQ("CTOOFile::Open", f.GetError().Operation());
    EXPECT_EQ("CTOOFile::Open " + dir / "none.bin", std::string(f.GetError().Place()));

    try {
        CTOOFile t((dir / "none.bin").c_str(), "rb", true);
        FAIL() << "no exception";
    } catch (const XTOOStatus& e) {  // generic handlers see file errors
        EXPECT_EQ(TOOERR_NOFILE, e.Status());
        const auto* fe = dynamic_cast<const XTOOFile*>(&e);
        ASSERT_NE(nullptr, fe);
        EXPECT_EQ(dir / "none.bin", std::string(fe->FileName()));
    }
    WriteFile(dir / "ro.bin", "x");
    CTOOFile ro((dir / "ro.bin").c_str(), "rb", true);
    EXPECT_THROW(ro.Write("y", 1), XTOOFile);
}

TEST(File, UnwritableFolderGivesAccessStatus) {
    TempDir dir;
    const std::string locked = dir / "locked";
    ASSERT_TRUE(CTOOFolder::MakeFolder(locked.c_str()));
    WriteFile(dir / "src.bin", "x");
    ::chmod(dir.path().c_str(), 0755);
    ::chmod((dir / "src.bin").c_str(), 0644);
    ::chmod(locked.c_str(), 0555);
    auto body = [&]() -> int {
        int failures = 0;
        CTOOFile f;
        if (f.Open((locked + "/new.bin").c_str(), "wb") || f.GetStatus() != TOOERR_ACCESS) failures |= 1;
        if (CTOOFile::CopyFileA((dir / "src.bin").c_str(), (locked + "/copy.bin").c_str()) ||
            GetLastError() != ERROR_ACCESS_DENIED)
            failures |= 2;
        if (CTOOFolder::MakeFolder((locked + "/sub").c_str()) || GetLastError() != ERROR_ACCESS_DENIED) failures |= 4;
        if (!f.Open((dir / "src.bin").c_str(), "rb") || f.Open((dir / "src.bin").c_str(), "r+b")) failures |= 8;
        return failures;
    };
    EXPECT_EQ(0, certtest::AsUnprivileged(body));
    ::chmod(locked.c_str(), 0700);
}

TEST(File, SeekTruncateAndLength) {
    TempDir dir;
    const std::string name = dir / "t.bin";
    CTOOFile f(name.c_str(), "w+b");
    f.Write("0123456789", 10);
    EXPECT_EQ(10, f.Length());  // counts bytes still buffered
    EXPECT_TRUE(f.Seek(-3, SEEK_END));
    EXPECT_EQ(7, f.CurPos());
    EXPECT_TRUE(f.Truncate());
    EXPECT_EQ(7, f.Length());
    EXPECT_EQ(7, f.CurPos());
    EXPECT_TRUE(f.Seek(-2, SEEK_CUR));
    char buf[8] = {};
    EXPECT_EQ(2u, f.Read(buf, 8));
    EXPECT_STREQ("56", buf);
    EXPECT_TRUE(f.Seek(12, SEEK_SET));  // beyond the end: the gap reads as zeros
    f.Write("Z", 1);
    EXPECT_EQ(13, f.Length());
    EXPECT_FALSE(f.Seek(-1, SEEK_SET));
    EXPECT_FALSE(f.Seek(0, 7));
    EXPECT_TRUE(f.Truncate(3));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ("012", ReadFile(name));
    EXPECT_EQ(3, CTOOFile::Length(name.c_str()));
    EXPECT_EQ(-1, CTOOFile::Length((dir / "gone").c_str()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(0u, f.Write("x", 1));

    // A direct file reaches the system on each write, before any flush.
    CTOODirectFile direct((dir / "direct.bin").c_str(), "wbc");
    direct.Write("abc", 3);
    EXPECT_EQ("abc", ReadFile(dir / "direct.bin"));
}

TEST(File, BlobsRoundTripAndDamagedLengthIsRejected) {
    TempDir dir;
    const std::string name = dir / "blobs.bin";
    IdentObj a("first", 5), empty, b;
    {
        CTOOFile f(name.c_str(), "wb");
        ASSERT_TRUE(a.WriteData(f));
        ASSERT_TRUE(empty.WriteData(f));
    }
    EXPECT_EQ(std::string("\x05\0\0\0first\0\0\0\0", 13), ReadFile(name));
    {
        CTOOFile f(name.c_str(), "rb");
        ASSERT_TRUE(b.ReadData(f));
        EXPECT_EQ(a, b);
        ASSERT_TRUE(b.ReadData(f));
        EXPECT_TRUE(b.IsEmpty());
        EXPECT_FALSE(b.ReadData(f));
        EXPECT_EQ(TOOERR_SHORTREAD, f.GetStatus());
    }
    WriteFile(name, std::string("\xFF\xFF\xFF\x7Fshort", 9));
    CTOOFile f(name.c_str(), "rb");
    b = a;
    EXPECT_FALSE(b.ReadData(f));
    EXPECT_EQ(TOOERR_SHORTREAD, f.GetStatus());
    EXPECT_EQ(a, b);  // untouched on failure
}

TEST(File, CopyAndMoveKeepTheOldTargetOnFailure) {
    TempDir dir;
    const std::string src = dir / "src.bin", dst = dir / "dst.bin";
    WriteFile(src, "new contents");
    WriteFile(dst, "old");
    FILETIME old = cert::platform::UnixToFileTime(1000000000, 5000);
    ASSERT_TRUE(CTOOFile::SetLastWriteTime(src.c_str(), old));

    EXPECT_FALSE(CTOOFile::CopyFileA(src.c_str(), dst.c_str(), true));
    EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());
    EXPECT_EQ("old", ReadFile(dst));
    EXPECT_FALSE(CTOOFile::CopyFileA((dir / "missing").c_str(), dst.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ("old", ReadFile(dst));
    EXPECT_FALSE(CTOOFile::CopyFileA(src.c_str(), (dir / "nofolder/dst.bin").c_str()));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

    ASSERT_TRUE(CTOOFile::CopyFileA(src.c_str(), dst.c_str()));
    EXPECT_EQ("new contents", ReadFile(dst));
    FILETIME t{};
    ASSERT_TRUE(CTOOFile::LastWriteTime(dst.c_str(), t));
    EXPECT_EQ(cert::platform::FileTimeToU64(old), cert::platform::FileTimeToU64(t));

    // No work copies are left behind.
    CTOOFindFile ff;
    int count = 0;
    for (bool ok = ff.Get((dir.path() + "\\*").c_str()); ok; ok = ff.GetLast()) ++count;
    EXPECT_EQ(2, count);

    WriteFile(dst, "old");
    EXPECT_FALSE(CTOOFile::MoveFileA((dir / "missing").c_str(), dst.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ("old", ReadFile(dst));
    ASSERT_TRUE(CTOOFile::MoveFileA(src.c_str(), dst.c_str()));
    EXPECT_EQ("new contents", ReadFile(dst));
    EXPECT_FALSE(CTOOFile::IsExists(src.c_str()));
    EXPECT_TRUE(CTOOFile::IsExists(dst.c_str()));
}

TEST(FindFile, MasksMatchWithoutCaseInNameOrder) {
    TempDir dir;
    for (const char* n : {"b.CRL", "a.crl", "c.crlx", "x.cer", "noext", ".hidden.crl"}) WriteFile(dir / n, n);
    ASSERT_TRUE(CTOOFolder::MakeFolder((dir / "Sub.crl").c_str()));
    auto list = [&](const std::string& mask) {
        std::string out;
        CTOOFindFile ff;
        for (bool ok = ff.Get((dir.path() + "/" + mask).c_str()); ok; ok = ff.GetLast())
            out += std::string(ff.Name()) + (ff.IsFolder() ? "/" : "") + ",";
        return out;
    };
    EXPECT_EQ(".hidden.crl,a.crl,b.CRL,Sub.crl/,", list("*.crl"));
    EXPECT_EQ("a.crl,b.CRL,", list("?.CRL"));
    EXPECT_EQ(".hidden.crl,a.crl,b.CRL,c.crlx,noext,Sub.crl/,x.cer,", list("*.*"));
    EXPECT_EQ("c.crlx,", list("*crl?"));
    EXPECT_EQ("", list("*.p7s"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    CTOOFindFile ff;
    EXPECT_FALSE(ff.Get((dir / "absent\\*.crl").c_str()));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
    ASSERT_TRUE(ff.Get(dir.path().c_str(), "x.CER"));
    EXPECT_EQ(5u, ff.Size());
    EXPECT_EQ(dir / "x.cer", std::string(ff.FullName()));
    EXPECT_FALSE(ff.GetLast());
    EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
    EXPECT_TRUE(CTOOFindFile::MatchMask("abcabd", "*ab?"));
    EXPECT_FALSE(CTOOFindFile::MatchMask("abc", "abc?"));
}

TEST(Folder, CreateUnlinkUniqueNamesAndTempFolders) {
    std::string kept;
    {
        TOO::TEMPFOLDER tmp;
        ASSERT_TRUE(tmp.IsValid());
        kept = tmp.Path();
        const std::string deep = std::string(tmp / "a") + "\\b\\c";
        EXPECT_FALSE(CTOOFolder::MakeFolder(deep.c_str()));  // one level only
        EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
        ASSERT_TRUE(CTOOFolder::Create(deep.c_str()));
        EXPECT_TRUE(CTOOFolder::Create(deep.c_str()));
        EXPECT_TRUE(CTOOFolder::IsExists(deep.c_str()));
        WriteFile(std::string(tmp / "a/b/c/f"), "x");

        EXPECT_FALSE(CTOOFolder::UnLink(std::string(tmp / "a").c_str()));
        EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
        EXPECT_TRUE(CTOOFolder::UnLink(std::string(tmp / "a").c_str(), true));
        EXPECT_FALSE(CTOOFolder::IsExists(std::string(tmp / "a").c_str()));
        EXPECT_FALSE(CTOOFolder::UnLink(std::string(tmp / "a").c_str()));
        EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

        CTOOString u1 = CTOOFolder::UniqueFileName(tmp, "req", "p10");
        WriteFile(u1.str(), "");
        CTOOString u2 = CTOOFolder::UniqueFileName(tmp, "req", ".p10");
        EXPECT_NE(u1, u2);
        EXPECT_EQ(".p10", std::string(TOO::FILENAME::ExtractFileExt(u2)));
        EXPECT_EQ(0, TOO::FILENAME::ExtractFileName(u2).Find("req"));
        EXPECT_EQ(std::string(tmp) + "/", std::string(TOO::FILENAME::ExtractFilePath(u2)));
    }
    EXPECT_FALSE(CTOOFolder::IsExists(kept.c_str()));
}

TEST(FileName, PartsWithBothSeparators) {
    using TOO::FILENAME;
    EXPECT_EQ("b.tar.gz", std::string(FILENAME::ExtractFileName("c:\\a/x\\b.tar.gz")));
    EXPECT_EQ("c:\\a/x\\", std::string(FILENAME::ExtractFilePath("c:\\a/x\\b.tar.gz")));
    EXPECT_EQ("b.tar", std::string(FILENAME::ExtractFileTitle("c:\\a/x\\b.tar.gz")));
    EXPECT_EQ("", std::string(FILENAME::ExtractFilePath("name")));
    EXPECT_EQ(".profile", std::string(FILENAME::ExtractFileTitle("/home/.profile")));
    EXPECT_EQ("", std::string(FILENAME::ExtractFileName("dir\\")));
}
