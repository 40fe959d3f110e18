// Files that replace others and outputs that users name: planted work files
// and links, devices and FIFOs, modes and syncs.
#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "cert/platform.h"
#include "cert/toofile.h"
#include "testsupport.h"

using cert::platform::ReadWholeFile;
using cert::platform::WriteFileAtomic;
using cert::platform::WriteOutputFile;
using certtest::ReadFile;
using certtest::TempDir;
using certtest::WriteFile;

// What the library does to files while a test watches: the mode a regular
// file has when each write reaches it, and which folders are synced. The
// definitions below take the place of the C library's for the library's
// calls and pass every call on.
namespace {
std::atomic<bool> g_watching{false};
std::mutex g_seenMutex;
std::vector<std::string> g_seen;

std::string PathOfFd(int fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

void Note(const char* what, int fd) {
    if (!g_watching) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    char mode[16];
    std::snprintf(mode, sizeof mode, " %04o ", static_cast<unsigned>(st.st_mode & 07777));
    std::lock_guard<std::mutex> lock(g_seenMutex);
    g_seen.push_back(std::string(what) +
                     (S_ISDIR(st.st_mode)   ? " folder"
                      : S_ISREG(st.st_mode) ? " file"
                                            : " other") +
                     mode + PathOfFd(fd));
}

struct Watch {
    Watch() {
        g_seen.clear();
        g_watching = true;
    }
    ~Watch() { g_watching = false; }
    std::vector<std::string> Seen() {
        g_watching = false;
        return g_seen;
    }
};
}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    Note("write", fd);
    return ::syscall(SYS_write, fd, data, size);
}

extern "C" int fsync(int fd) {
    Note("fsync", fd);
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A folder every user may write to, as a shared transport folder is.
void OpenToAll(const TempDir& dir) { ::chmod(dir.path().c_str(), 0777); }

// The work-copy name a writer in this thread used to take.
std::string OldWorkName(const std::string& target) {
    return target + ".work." + std::to_string(::getpid()) + "." + std::to_string(GetCurrentThreadId());
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    CTOOFindFile ff;
    for (bool ok = ff.Get(folder.c_str(), "*"); ok; ok = ff.GetLast()) names.push_back(ff.Name());
    return names;
}

// A character device node of our own as root (so that a fault replaces the
// node, not the system's), the system's node otherwise.
std::string DeviceNode(const TempDir& dir, const char* name, unsigned minor) {
    const std::string node = dir / name;
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0 && ::chmod(node.c_str(), 0666) == 0) return node;
    return std::string("/dev/") + name;
}

}  // namespace

TEST(Output, PlantedWorkFilesAndLinksNeverGetTheSecret) {
    TempDir dir;
    OpenToAll(dir);
    const std::string key = dir / "key.pem", copy = dir / "copy.pem", linked = dir / "linked.pem";
    const std::string bait = dir / "bait", source = dir / "source";
    WriteFile(source, "copied secret");
    const std::string plantLink = OldWorkName(key), plantFile = OldWorkName(copy);
    // Another user, who may write to the folder, plants a link to a file of
    // theirs at each name a writer here could be predicted to use, a file
    // of theirs open to all, and a link where an output will go.
    ASSERT_EQ(0, certtest::AsUnprivileged([&] {
                  int bad = 0;
                  int fd = ::open(bait.c_str(), O_CREAT | O_WRONLY, 0666);
                  if (fd < 0 || ::fchmod(fd, 0666) != 0) bad |= 1;
                  if (fd >= 0) ::close(fd);
                  if (::symlink(bait.c_str(), plantLink.c_str()) != 0) bad |= 2;
                  fd = ::open(plantFile.c_str(), O_CREAT | O_WRONLY, 0666);
                  if (fd < 0 || ::fchmod(fd, 0666) != 0) bad |= 4;
                  if (fd >= 0) ::close(fd);
                  if (::symlink(bait.c_str(), linked.c_str()) != 0) bad |= 8;
                  return bad;
              }));

    EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(key, "private key", 11, 0600));
    EXPECT_TRUE(CTOOFile::CopyFileA(source.c_str(), copy.c_str())) << GetLastError();
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, WriteFileAtomic(linked, "private key", 11, 0600));
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, GetLastError());
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, WriteOutputFile(linked, "private key", 11, 0600));
    EXPECT_FALSE(CTOOFile::CopyFileA(source.c_str(), linked.c_str()));
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, GetLastError());
    EXPECT_FALSE(CTOOFile::MoveFileA(source.c_str(), linked.c_str()));
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, GetLastError());

    EXPECT_EQ("", ReadFile(bait));
    for (const std::string& out : {key, copy}) {
        struct stat st {};
        ASSERT_EQ(0, ::lstat(out.c_str(), &st)) << out;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << out;
        EXPECT_EQ(::geteuid(), st.st_uid) << out;
    }
    EXPECT_EQ(0600u, ModeOf(key) & 07777);
    EXPECT_EQ("private key", ReadFile(key));
    EXPECT_EQ("copied secret", ReadFile(copy));
    EXPECT_TRUE(S_ISLNK(ModeOf(linked)));
    EXPECT_EQ("copied secret", ReadFile(source));
}

TEST(Output, ModeIsFinalBeforeTheFirstByteAndTheFolderIsSynced) {
    TempDir dir;
    const std::string asked = dir / "asked", kept = dir / "kept", fresh = dir / "fresh";
    WriteFile(kept, "old");
    ::chmod(kept.c_str(), 0640);
    const mode_t umaskBefore = ::umask(0);
    std::vector<std::string> seen;
    {
        Watch watch;
        EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(asked, "secret", 6, 0600));
        ::umask(077);
        // The mode asked for stands whatever the umask; without one the
        // replaced file's mode stays, and a new file's is 0644 under the umask.
        EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(asked, "shared", 6, 0644));
        EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(kept, "new", 3));
        EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(fresh, "new", 3));
        seen = watch.Seen();
    }
    ::umask(umaskBefore);
    EXPECT_EQ(0644u, ModeOf(asked) & 07777);
    EXPECT_EQ(0640u, ModeOf(kept) & 07777);
    EXPECT_EQ(0600u, ModeOf(fresh) & 07777);
    EXPECT_EQ("shared", ReadFile(asked));

    std::vector<std::string> writes, folderSyncs;
    for (const std::string& s : seen) {
        if (s.rfind("write file ", 0) == 0 && s.find(dir.path()) != std::string::npos) writes.push_back(s);
        if (s == "fsync folder 0700 " + dir.path()) folderSyncs.push_back(s);
    }
    ASSERT_EQ(4u, writes.size());
    EXPECT_EQ(0, writes[0].compare(0, 16, "write file 0600 ")) << writes[0];
    EXPECT_EQ(0, writes[1].compare(0, 16, "write file 0644 ")) << writes[1];
    EXPECT_EQ(0, writes[2].compare(0, 16, "write file 0640 ")) << writes[2];
    EXPECT_EQ(0, writes[3].compare(0, 16, "write file 0600 ")) << writes[3];
    EXPECT_EQ(4u, folderSyncs.size());
    // Nothing of the work copies is left.
    EXPECT_EQ((std::vector<std::string>{"asked", "fresh", "kept"}), Names(dir.path()));
}

TEST(Output, DevicesAndFifosAreWrittenInPlace) {
    TempDir dir;
    const std::string null = DeviceNode(dir, "null", 3), full = DeviceNode(dir, "full", 7);
    EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(null, "private key", 11, 0600));
    EXPECT_EQ(ERROR_SUCCESS, WriteOutputFile(null, "private key", 11, 0600));
    WriteFile(dir / "source", "copied key");
    EXPECT_TRUE(CTOOFile::CopyFileA((dir / "source").c_str(), null.c_str())) << GetLastError();
    EXPECT_TRUE(S_ISCHR(ModeOf(null)));
    EXPECT_EQ(0666u, ModeOf(null) & 0777);
    EXPECT_EQ(ERROR_DISK_FULL, WriteOutputFile(full, "private key", 11, 0600));
    EXPECT_TRUE(S_ISCHR(ModeOf(full)));

    const std::string fifo = dir / "fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // The reader is there first, so the writer neither waits nor fails.
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(ERROR_SUCCESS, WriteFileAtomic(fifo, "through the fifo", 16, 0600));
    char buf[64] = {};
    EXPECT_EQ(16, ::read(reader, buf, sizeof buf));
    EXPECT_EQ("through the fifo", std::string(buf));
    ::close(reader);
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
    EXPECT_EQ(0600u, ModeOf(fifo) & 0777);
    // A folder in the output's place is refused, not replaced.
    EXPECT_EQ(ERROR_DIRECTORY, WriteFileAtomic(dir.path(), "x", 1));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, WriteFileAtomic(dir / "missing/x", "x", 1));
}

TEST(Output, DashIsStandardOutputAndAGoneReaderIsAnError) {
    for (bool readerGone : {false, true}) {
        int p[2];
        ASSERT_EQ(0, ::pipe(p));
        if (readerGone) ::close(p[0]);
        const pid_t pid = certtest::ForkChild([&] {
            ::dup2(p[1], STDOUT_FILENO);
            return static_cast<int>(WriteOutputFile("-", "to stdout", 9) & 0xFF);
        });
        ::close(p[1]);
        std::string carried;
        char buf[64];
        for (ssize_t n; !readerGone && (n = ::read(p[0], buf, sizeof buf)) > 0;)
            carried.append(buf, static_cast<std::size_t>(n));
        if (!readerGone) ::close(p[0]);
        // -1: ended by a signal (SIGPIPE) instead of reporting.
        EXPECT_EQ(certtest::ExitOf(pid), static_cast<int>(readerGone ? ERROR_BROKEN_PIPE : ERROR_SUCCESS));
        EXPECT_EQ(carried, readerGone ? "" : "to stdout");
    }
}

TEST(Output, WholeFileReaderTellsWhyByCode) {
    TempDir dir;
    WriteFile(dir / "ten", "0123456789");
    WriteFile(dir / "empty", "");
    WriteFile(dir / "private", "secret");
    ::chmod((dir / "private").c_str(), 0);
    ::chmod(dir.path().c_str(), 0755);
    struct Case {
        std::string path;
        std::size_t limit;
        DWORD code;
        std::string content;
    } cases[] = {
        {dir / "ten", 10, ERROR_SUCCESS, "0123456789"},  {dir.path() + "\\ten", 100, ERROR_SUCCESS, "0123456789"},
        {dir / "ten", 9, ERROR_FILE_TOO_LARGE, ""},      {dir / "empty", 0, ERROR_SUCCESS, ""},
        {dir / "none", 10, ERROR_FILE_NOT_FOUND, ""},    {dir / "none/ten", 10, ERROR_PATH_NOT_FOUND, ""},
        {dir / "ten/ten", 10, ERROR_PATH_NOT_FOUND, ""}, {dir.path(), 10, ERROR_DIRECTORY, ""},
        {"/dev/zero", 1000, ERROR_FILE_TOO_LARGE, ""},   {"/dev/null", 10, ERROR_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(c.code, ReadWholeFile(c.path, out, c.limit)) << c.path;
        EXPECT_EQ(c.code, GetLastError()) << c.path;
        EXPECT_EQ(c.content, out) << c.path;
    }
    // A pipe has no size to check first: it is read up to the limit.
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    ASSERT_EQ(6, ::write(p[1], "abcdef", 6));
    ::close(p[1]);
    std::string out;
    EXPECT_EQ(ERROR_FILE_TOO_LARGE, ReadWholeFile("/proc/self/fd/" + std::to_string(p[0]), out, 5));
    ::close(p[0]);
    EXPECT_EQ(0, certtest::AsUnprivileged([&] {
                  std::string text;
                  return ReadWholeFile(dir / "private", text, 100) == ERROR_ACCESS_DENIED && text.empty() ? 0 : 1;
              }));
}

// The reader behind ReadWholeFile, in steps: the first bytes before the
// rest, then the rest into the caller's buffer, which a regular file sizes
// once and a stream doubles.
TEST(Output, FileReaderFillsTheCallersBuffer) {
    TempDir dir;
    std::string text;
    for (int i = 0; text.size() < 10000; ++i) text += std::to_string(i) + ",";
    const std::string big = dir / "big";
    WriteFile(big, text);
    std::string buf;
    std::vector<std::size_t> sizes;
    auto resize = [&](std::size_t n) {
        sizes.push_back(n);
        buf.resize(n);
        return reinterpret_cast<std::uint8_t*>(buf.data());
    };

    cert::platform::FileReader file;
    ASSERT_EQ(ERROR_SUCCESS, file.Open(big));
    EXPECT_EQ(text.size(), file.Size());
    buf.resize(4);
    std::size_t have = 0;
    ASSERT_EQ(ERROR_SUCCESS, file.Read(buf.data(), 4, have));
    ASSERT_EQ(4u, have);
    ASSERT_EQ(ERROR_SUCCESS, file.ReadToEnd(have, text.size(), resize));
    EXPECT_EQ(text, buf);
    EXPECT_EQ((std::vector<std::size_t>{text.size() + 1, text.size()}), sizes);

    // Over the limit: known before a byte is read.
    sizes.clear();
    have = 0;
    ASSERT_EQ(ERROR_SUCCESS, file.Open(big));
    EXPECT_EQ(ERROR_FILE_TOO_LARGE, file.ReadToEnd(have, text.size() - 1, resize));
    EXPECT_TRUE(sizes.empty());
    // A buffer that cannot grow is reported, not let out.
    ASSERT_EQ(ERROR_SUCCESS, file.Open(big));
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY,
              file.ReadToEnd(have, 1 << 20, [](std::size_t) -> std::uint8_t* { throw std::bad_alloc(); }));

    // A stream has no size: its buffer doubles up to the end.
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(p[1], text.data(), text.size()));
    ::close(p[1]);
    sizes.clear();
    have = 0;
    ASSERT_EQ(ERROR_SUCCESS, file.Open("/proc/self/fd/" + std::to_string(p[0])));
    ::close(p[0]);
    EXPECT_EQ(cert::platform::FileReader::kUnknownSize, file.Size());
    ASSERT_EQ(ERROR_SUCCESS, file.ReadToEnd(have, 1 << 20, resize));
    EXPECT_EQ(text, buf);
    EXPECT_EQ((std::vector<std::size_t>{4096, 8192, 16384, text.size()}), sizes);

    // Standard input is read on from where it stands.
    const int saved = ::dup(STDIN_FILENO);
    const int fd = ::open(big.c_str(), O_RDONLY);
    ASSERT_EQ(100, ::lseek(fd, 100, SEEK_SET));
    ::dup2(fd, STDIN_FILENO);
    ::close(fd);
    have = 0;
    ASSERT_EQ(ERROR_SUCCESS, file.OpenInput("-"));
    EXPECT_EQ(text.size() - 100, file.Size());
    EXPECT_EQ(ERROR_SUCCESS, file.ReadToEnd(have, text.size(), resize));
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    EXPECT_EQ(text.substr(100), buf);

    // A link is followed unless the caller says otherwise; a folder is refused.
    ASSERT_EQ(0, ::symlink(big.c_str(), (dir / "link").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, file.Open(dir / "link"));
    EXPECT_EQ(ERROR_STOPPED_ON_SYMLINK, file.Open(dir / "link", false));
    EXPECT_EQ(ERROR_DIRECTORY, file.Open(dir.path()));
    EXPECT_EQ(ERROR_INVALID_HANDLE, file.Read(buf.data(), 1, have));
}
