#include <cstring>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "cert/sysapi.h"
#include "testsupport.h"

using cert::platform::Registry;
using certtest::HomeTest;

namespace {

class RegistryTest : public HomeTest {};

HKEY Create(HKEY root, const char* path, DWORD* disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition));
    return k;
}

LONG SetSz(HKEY k, const char* name, const char* text) {
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(std::strlen(text) + 1));
}

int InChild(const std::function<int()>& body) { return certtest::ExitOf(certtest::ForkChild(body)); }

}  // namespace

TEST_F(RegistryTest, ValuesOfEachTypeAndBufferSizes) {
    DWORD disp = 0;
    HKEY k = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnok\\Certificate", &disp);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
    DWORD one = 1;
    const BYTE bin[] = {0, 1, 0xFF, '%', '"', '\n'};
    const char multi[] = "first\0second\0";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "DontAppendAkiSelfCert", 0, REG_DWORD, (BYTE*)&one, 4));
    ASSERT_EQ(ERROR_SUCCESS, SetSz(k, "Name", "a \"quoted\" 100% text]"));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Bin", 0, REG_BINARY, bin, sizeof bin));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Multi", 0, REG_MULTI_SZ, (const BYTE*)multi, sizeof multi));
    ASSERT_EQ(ERROR_SUCCESS, SetSz(k, nullptr, "default"));
    RegCloseKey(k);

    // Another spelling of the path opens the same key.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VARNOK\\certificate\\", 0, KEY_READ, &k));
    auto query = [&](const char* name) {
        char buf[64];
        DWORD type = 0, size = sizeof buf;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, name, nullptr, &type, (BYTE*)buf, &size)) << name;
        return std::pair{type, std::string(buf, size)};
    };
    EXPECT_EQ(query("dontappendakiselfcert"), std::pair(DWORD(REG_DWORD), std::string("\1\0\0\0", 4)));
    EXPECT_EQ(query("Bin"), std::pair(DWORD(REG_BINARY), std::string((const char*)bin, sizeof bin)));
    EXPECT_EQ(query("Multi"), std::pair(DWORD(REG_MULTI_SZ), std::string(multi, sizeof multi)));
    EXPECT_EQ(query("").second, std::string("default", 8));

    DWORD type = 0, size = 0;

    // Size only, then too small a buffer, then the real read.
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Name", nullptr, &type, nullptr, &size));
    EXPECT_EQ(std::strlen("a \"quoted\" 100% text]") + 1, size);
    char small[4];
    DWORD smallSize = sizeof small;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(k, "Name", nullptr, &type, (BYTE*)small, &smallSize));
    EXPECT_EQ(size, smallSize);
    std::string text(size, '\0');
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Name", nullptr, &type, (BYTE*)text.data(), &size));
    EXPECT_STREQ("a \"quoted\" 100% text]", text.c_str());

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, "Missing", nullptr, &type, nullptr, &size));
    // A read-only handle cannot change the key.
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetSz(k, "Name", "x"));
    RegCloseKey(k);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(k));

    // Machine and user hives are separate files.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Varnok", 0, KEY_READ, &k));
    EXPECT_EQ(home_ / "common/registry.txt", cert::platform::RegistryFile(HKEY_LOCAL_MACHINE));
    EXPECT_NE(std::string::npos,
              certtest::ReadFile(home_ / "common/registry.txt").find("\"DontAppendAkiSelfCert\"=dword:1"));
}

TEST_F(RegistryTest, EnumerationInfoAndDeletion) {
    HKEY root = Create(HKEY_CURRENT_USER, "Root");
    for (const char* name : {"beta", "Alpha", "gamma\\deep", "Delta"}) RegCloseKey(Create(root, name));
    for (const char* name : {"z", "a", "m"}) SetSz(root, name, "v");

    char name[64];
    DWORD len;
    std::string keys;
    DWORD i = 0;
    for (;; ++i) {
        len = sizeof name;
        LONG e = RegEnumKeyExA(root, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, e);
        EXPECT_EQ(std::strlen(name), len);
        keys += std::string(name) + ",";
    }
    EXPECT_EQ("Alpha,beta,Delta,gamma,", keys);
    len = 3;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(root, 0, name, &len, nullptr, nullptr, nullptr, nullptr));

    std::string values;
    for (i = 0;; ++i) {
        len = sizeof name;
        DWORD type = 0;
        LONG e = RegEnumValueA(root, i, name, &len, nullptr, &type, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, e);
        values += name;
    }
    EXPECT_EQ("zam", values);

    DWORD subKeys = 0, maxSub = 0, nValues = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(root, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &nValues,
                                              &maxName, &maxData, nullptr, nullptr));
    EXPECT_EQ(4u, subKeys);
    EXPECT_EQ(5u, maxSub);
    EXPECT_EQ(3u, nValues);
    EXPECT_EQ(1u, maxName);
    EXPECT_EQ(2u, maxData);

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(root, "gamma"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(root, "GAMMA\\deep"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(root, "gamma"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(root, "gamma"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(root, "A"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(root, "a"));

    HKEY alpha = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, "alpha", 0, KEY_ALL_ACCESS, &alpha));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "root"));
    EXPECT_EQ(ERROR_KEY_DELETED, SetSz(alpha, "x", "y"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(root, "z", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(alpha);
    RegCloseKey(root);
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndDamagedLinesSkipped) {
    cert::platform::MakeFolders(home_ / "local");
    certtest::WriteFile(home_ / "local/registry.txt",
                        "cert-registry 1\r\n"
                        "# comment\n"
                        "[Software\\Test]\n"
                        "\"Level\"=dword:0x10\n"
                        "\"Text\"=\"caf\xC3\xA9 %25\"\n"
                        "\"Raw\"=hex(3):00ff\n"
                        "\"Broken\"=hex(3):0\n"
                        "garbage line\n"
                        "@=\"dflt\"\n");
    DWORD level = 0;
    std::string text, dflt;
    EXPECT_TRUE(Registry::GetDword(HKEY_CURRENT_USER, "software\\test", "level", level));
    EXPECT_EQ(16u, level);
    EXPECT_TRUE(Registry::GetString(HKEY_CURRENT_USER, "Software\\Test", "Text", text));
    EXPECT_EQ("caf\xC3\xA9 %", text);
    EXPECT_TRUE(Registry::GetString(HKEY_CURRENT_USER, "Software\\Test", "", dflt));
    EXPECT_EQ("dflt", dflt);
    EXPECT_FALSE(Registry::GetString(HKEY_CURRENT_USER, "Software\\Test", "Level", text));  // wrong type
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &k));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, "Broken", nullptr, nullptr, nullptr, nullptr));
    BYTE raw[2];
    DWORD size = 2;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Raw", nullptr, nullptr, raw, &size));
    EXPECT_EQ(0xFF, raw[1]);
    RegCloseKey(k);

    // What we write reads back the same after another process rewrote it.
    ASSERT_EQ(ERROR_SUCCESS, Registry::SetString(HKEY_CURRENT_USER, "Software\\Test", "Text", "new"));
    EXPECT_EQ(0, InChild([] {
                  std::string t;
                  return Registry::GetString(HKEY_CURRENT_USER, "SOFTWARE\\TEST", "text", t) && t == "new" ? 0 : 1;
              }));
}

TEST_F(RegistryTest, TwoProcessesShareOneHive) {
    // The parent reads first so that it holds a cached copy.
    DWORD v = 0;
    EXPECT_FALSE(Registry::GetDword(HKEY_LOCAL_MACHINE, "Shared", "fromChild", v));
    ASSERT_EQ(0, InChild([] { return Registry::SetDword(HKEY_LOCAL_MACHINE, "Shared", "fromChild", 7) ? 1 : 0; }));
    EXPECT_TRUE(Registry::GetDword(HKEY_LOCAL_MACHINE, "shared", "FROMCHILD", v));
    EXPECT_EQ(7u, v);

    // Concurrent writers of different values lose none of them.
    constexpr int kEach = 40;
    pid_t pid = fork();
    const char* who = pid == 0 ? "c" : "p";
    for (int i = 0; i < kEach; ++i)
        Registry::SetDword(HKEY_LOCAL_MACHINE, "Shared\\Race", who + std::to_string(i), static_cast<DWORD>(i));
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Shared\\Race", 0, KEY_READ, &k));
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                              nullptr, nullptr, nullptr));
    EXPECT_EQ(2u * kEach, values);
    RegCloseKey(k);
}

TEST(PercentEscape, RoundTripsEveryByteAndRefusesBrokenEscapes) {
    using cert::platform::PercentEscape;
    using cert::platform::PercentUnescape;
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string escaped = PercentEscape(all, [](unsigned c, std::size_t) { return c < '0' || c > '9'; });
    EXPECT_EQ(escaped.size(), 246u * 3 + 10);
    EXPECT_EQ(escaped.substr(0, 6), "%00%01");
    EXPECT_EQ(escaped.substr(escaped.size() - 3), "%FF");
    std::string back;
    ASSERT_TRUE(PercentUnescape(escaped, back));
    EXPECT_EQ(back, all);
    // The index lets a position decide; lower-case hex where a format has it.
    EXPECT_EQ(PercentEscape(
                  ".a.\xd0", [](unsigned c, std::size_t i) { return (c == '.' && i == 0) || c > 0x7F; }, true),
              "%2ea.%d0");
    EXPECT_TRUE(PercentUnescape("%2ea.%d0", back));
    EXPECT_EQ(back, ".a.\xd0");
    // UTF-16 text: only units below 0x100 can be escaped.
    EXPECT_EQ(PercentEscape<char16_t>(u"a b\u0430", [](unsigned c, std::size_t) { return c <= ' ' || c > 0x7F; }),
              u"a%20b\u0430");
    for (const char* bad : {"%", "%4", "a%zz", "%4g"}) EXPECT_FALSE(PercentUnescape(bad, back)) << bad;
}
