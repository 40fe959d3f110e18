#include "cert/storedev.h"
#include "testsupport.h"

TEST(StoreDev, DevicePathsSplitAndRebuild) {
    struct Case {
        const char* path;
        const char* device;
        const char* folder;
        const char* container;
    } cases[] = {
        {"\\\\.\\DISK\\user1", "DISK", "\\\\.\\DISK", "user1"},
        {"\\\\.\\DISK\\keys\\2026\\user1", "DISK", "\\\\.\\DISK\\keys\\2026", "user1"},
        {"\\\\.\\TOKEN-0\\", "TOKEN-0", "\\\\.\\TOKEN-0", ""},
        {"\\\\.\\TOKEN-0", "TOKEN-0", "\\\\.\\TOKEN-0", ""},
        {"//./disk/keys/c", "disk", "\\\\.\\disk\\keys", "c"},
    };
    for (const auto& c : cases) {
        bool dev = false;
        CTOOString folder, container;
        ASSERT_TRUE(storedev::ParseFullPath(c.path, &dev, &folder, &container)) << c.path;
        EXPECT_TRUE(dev);
        EXPECT_EQ(folder, c.folder) << c.path;
        EXPECT_EQ(container, c.container) << c.path;
        EXPECT_EQ(storedev::GetStorageName(c.path), c.device);
        CTOOString back;
        ASSERT_TRUE(storedev::MakeFullPath(back, folder, container));
        CTOOString again;
        ASSERT_TRUE(storedev::ParseFullPath(back, &dev, &folder, &again));
        EXPECT_EQ(again, c.container);
    }
    // A storage with no container named yet gets one added.
    bool dev = false;
    CTOOString folder, container, out;
    ASSERT_TRUE(storedev::ParseFullPath("\\\\.\\DISK\\keys\\", &dev, &folder, &container));
    ASSERT_TRUE(storedev::MakeFullPath(out, folder, container.IsEmpty() ? "sgn_cont" : container.c_str(), ""));
    EXPECT_EQ(out, "\\\\.\\DISK\\keys\\sgn_cont");
    ASSERT_TRUE(storedev::MakeFullPath(out, "\\\\.\\DISK\\", "c", "part"));
    EXPECT_EQ(out, "\\\\.\\DISK\\c\\part");
}

TEST(StoreDev, PlainNamesAndMalformedPaths) {
    bool dev = true;
    CTOOString folder = "x", container;
    ASSERT_TRUE(storedev::ParseFullPath("my container", &dev, &folder, &container));
    EXPECT_FALSE(dev);
    EXPECT_TRUE(folder.IsEmpty());
    EXPECT_EQ(container, "my container");
    EXPECT_TRUE(storedev::GetStorageName("my container").IsEmpty());

    for (const char* bad : {"\\\\.\\", "\\\\.\\\\c", "\\\\.\\DI SK\\c", "\\\\.\\DISK\\\\c", "\\\\.\\DISK\\a\\\\c"})
        EXPECT_FALSE(storedev::ParseFullPath(bad, &dev, &folder, &container)) << bad;
    CTOOString out;
    EXPECT_FALSE(storedev::MakeFullPath(out, "not a device", "c"));
    EXPECT_FALSE(storedev::MakeFullPath(out, "\\\\.\\DISK", "a\\b"));
    EXPECT_FALSE(storedev::MakeFullPath(out, "\\\\.\\DISK", "", "extra"));
}
