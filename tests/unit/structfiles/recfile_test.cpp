#include <cstring>
#include <map>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "cert/structfiles.h"
#include "testsupport.h"

using certtest::TempDir;

namespace {

struct Rec {
    char text[12];
    std::uint32_t n;
};

Rec MakeRec(const char* t, std::uint32_t n) {
    Rec r{};
    std::strncpy(r.text, t, sizeof r.text - 1);
    r.n = n;
    return r;
}

bool AddRec(CRecFile& f, const char* t, std::uint32_t n) {
    Rec r = MakeRec(t, n);
    return f.Add(&r);
}

}  // namespace

TEST(RecFile, RecordsAndHeaderSurviveReopen) {
    TempDir dir;
    const std::string path = dir / "r.dat";
    {
        CRecFile f;
        ASSERT_TRUE(f.Open(path.c_str(), "wbc", sizeof(Rec), 8));
        EXPECT_EQ(f.ModeOpen(), CRecFile::ModeCreate);
        for (std::uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(AddRec(f, "rec", i));
        Rec two = MakeRec("two", 22);
        ASSERT_TRUE(f.Put(1, &two));
        ASSERT_TRUE(f.Put(3, &two));  // just past the end appends
        std::memcpy(f.HeaderData(), "USERHDR", 8);
        ASSERT_TRUE(f.PutHeader());
        EXPECT_EQ(f.Size(), 4);
    }
    EXPECT_EQ(certtest::ReadFile(path).size(), std::size_t(CRecFile::kFixedHeaderSize + 8 + 4 * sizeof(Rec)));

    CRecFile f(path.c_str(), "rb", sizeof(Rec), 8);
    ASSERT_TRUE(f.IsOpen()) << f.GetErrText();
    EXPECT_EQ(f.ModeOpen(), CRecFile::ModeReadOnly);
    EXPECT_EQ(f.Size(), 4);
    char hdr[8] = {};
    ASSERT_TRUE(f.GetHeader(hdr));
    EXPECT_STREQ(hdr, "USERHDR");
    Rec r{};
    ASSERT_TRUE(f.Get(1, &r));
    EXPECT_STREQ(r.text, "two");
    ASSERT_TRUE(f.Get(2, &r));
    EXPECT_EQ(r.n, 2u);
    EXPECT_FALSE(f.Get(4, &r));
    EXPECT_EQ(f.GetRetCode(), TOOERR_BADARG);

    // Writes through a read-only object are refused with 108 and a text.
    EXPECT_FALSE(f.Add(&r));
    EXPECT_EQ(f.GetRetCode(), TOOERR_READONLY);
    EXPECT_NE(std::string(f.GetErrText()).find("Finction=<Add record>"), std::string::npos);
    EXPECT_FALSE(f.Put(0, &r));
    EXPECT_FALSE(f.PutHeader());
    EXPECT_EQ(f.GetRetCode(), TOOERR_READONLY);

    // Create mode starts an empty file.
    CRecFile again(path.c_str(), CRecFile::ModeCreate, sizeof(Rec), 8);
    EXPECT_EQ(again.Size(), 0);
}

TEST(RecFile, TruncatedFileIsShortReadAndCanBeRepaired) {
    TempDir dir;
    const std::string path = dir / "t.dat";
    {
        CRecFile f(path.c_str(), CRecFile::ModeCreate, sizeof(Rec));
        for (std::uint32_t i = 0; i < 10; ++i) ASSERT_TRUE(AddRec(f, "x", i));
    }
    // Seven whole records and half of the eighth remain.
    ASSERT_EQ(::truncate(path.c_str(), CRecFile::kFixedHeaderSize + 7 * sizeof(Rec) + sizeof(Rec) / 2), 0);
    CRecFile f(path.c_str(), CRecFile::ModeReadOnly, sizeof(Rec));
    ASSERT_TRUE(f.IsOpen());
    Rec r{};
    EXPECT_TRUE(f.Get(6, &r));
    EXPECT_FALSE(f.Get(7, &r));
    EXPECT_EQ(f.GetRetCode(), TOOERR_SHORTREAD);
    EXPECT_EQ(std::string(f.GetErrText()),
              "File=<" + path + "> Finction=<Get record> Adv=<00000007> Size=10 Mode=2 Rc=37");

    CRecFile fix(path.c_str(), CRecFile::ModeUpdate, sizeof(Rec));
    fix.SetSize(7);
    ASSERT_TRUE(fix.PutHeader());
    EXPECT_EQ(f.Size(), 7);
    ASSERT_TRUE(AddRec(fix, "new", 7));  // overwrites the torn tail
    EXPECT_TRUE(f.Get(7, &r));
    EXPECT_STREQ(r.text, "new");

    // A file too short for its header, or not a record file at all.
    certtest::WriteFile(dir / "short.dat", "CREC");
    CRecFile s;
    EXPECT_FALSE(s.Open((dir / "short.dat").c_str(), "rb", sizeof(Rec)));
    EXPECT_EQ(s.GetRetCode(), TOOERR_SHORTREAD);
    certtest::WriteFile(dir / "text.dat", std::string(100, 'z'));
    EXPECT_FALSE(s.Open((dir / "text.dat").c_str(), "rbc+", sizeof(Rec)));
    EXPECT_EQ(s.GetRetCode(), TOOERR_BADFORMAT);
    EXPECT_FALSE(s.Open(path.c_str(), "rb", sizeof(Rec) + 1));
    EXPECT_EQ(s.GetRetCode(), TOOERR_BADFORMAT);
}

TEST(RecFile, OpenFailuresGiveStatuses) {
    TempDir dir;
    CRecFile f;
    EXPECT_FALSE(f.Open((dir / "none.dat").c_str(), "rb", 8));
    EXPECT_EQ(f.GetRetCode(), TOOERR_NOFILE);
    EXPECT_FALSE(f.Open((dir / "no/such/folder/x.dat").c_str(), CRecFile::ModeCreate, 8));
    EXPECT_EQ(f.GetRetCode(), TOOERR_NOFILE);
    EXPECT_FALSE(f.Open((dir / "x.dat").c_str(), "ab", 8));
    EXPECT_EQ(f.GetRetCode(), TOOERR_BADARG);
    EXPECT_FALSE(f.Open((dir / "x.dat").c_str(), CRecFile::ModeCreate, 0));
    EXPECT_EQ(f.GetRetCode(), TOOERR_BADARG);
    // A folder that cannot be written, and a file in it that can only be
    // read: each open says why, the read-only one still reads.
    ::chmod(dir.path().c_str(), 0755);
    ::mkdir((dir / "ro").c_str(), 0755);
    {
        CRecFile made((dir / "ro/old.dat").c_str(), CRecFile::ModeCreate, 8);
        ASSERT_TRUE(made.Add("12345678"));
    }
    ::chmod((dir / "ro/old.dat").c_str(), 0444);
    ::chmod((dir / "ro").c_str(), 0555);
    EXPECT_EQ(0, certtest::AsUnprivileged([&] {
                  int failures = 0;
                  CRecFile g;
                  if (g.Open((dir / "ro/x.dat").c_str(), CRecFile::ModeUpdate, 8) || g.GetRetCode() != TOOERR_ACCESS)
                      failures |= 1;
                  if (g.Open((dir / "ro/old.dat").c_str(), CRecFile::ModeUpdate, 8) || g.GetRetCode() != TOOERR_ACCESS)
                      failures |= 2;
                  if (!g.Open((dir / "ro/old.dat").c_str(), CRecFile::ModeReadOnly, 8) || g.Size() != 1) failures |= 4;
                  if (g.Add("abcdefgh") || g.GetRetCode() != TOOERR_READONLY || g.Size() != 1) failures |= 8;
                  return failures;
              }));
    ::chmod((dir / "ro").c_str(), 0755);
}

TEST(RecFile, ThreadsAppendingThroughOneOrTwoObjectsLoseNothing) {
    TempDir dir;
    const std::string path = dir / "m.dat";
    CRecFile shared(path.c_str(), CRecFile::ModeCreate, sizeof(Rec));
    CRecFile other(path.c_str(), CRecFile::ModeUpdate, sizeof(Rec));
    auto work = [](CRecFile* f, const char* tag) {
        for (std::uint32_t i = 0; i < 300; ++i) AddRec(*f, tag, i);
    };
    std::thread a(work, &shared, "a"), b(work, &shared, "b"), c(work, &other, "c");
    a.join();
    b.join();
    c.join();
    ASSERT_EQ(shared.Size(), 900);
    std::map<std::string, std::uint32_t> next;
    for (long i = 0; i < 900; ++i) {
        Rec r{};
        ASSERT_TRUE(shared.Get(i, &r));
        EXPECT_EQ(r.n, next[r.text]++) << r.text;
    }
    EXPECT_EQ(next.size(), 3u);
}
