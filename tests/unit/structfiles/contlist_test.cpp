#include "cert/structfiles.h"
#include "testsupport.h"

class ContList : public certtest::HomeTest {
protected:
    std::vector<std::string> All() {
        std::vector<std::string> out;
        CommonContInfoList l;
        for (const char* p = l.GetFirst(); p; p = l.GetNext()) out.emplace_back(p);
        return out;
    }
};

TEST_F(ContList, AddEraseAndWalk) {
    CommonContInfoList list;
    EXPECT_EQ(list.GetFirst(), nullptr);
    EXPECT_EQ(list.Add("\\\\.\\DISK\\alice"), 0);
    EXPECT_EQ(list.Add("\\\\.\\DISK\\bob"), 0);
    EXPECT_EQ(list.Add("\\\\.\\disk\\ALICE"), 0);  // already listed
    EXPECT_EQ(list.Add("\\\\.\\DISK\\carol"), 0);
    EXPECT_EQ(All(), (std::vector<std::string>{"\\\\.\\DISK\\alice", "\\\\.\\DISK\\bob", "\\\\.\\DISK\\carol"}));
    EXPECT_EQ(certtest::ReadFile(home_ / "common/containers.lst"),
              "\\\\.\\DISK\\alice\n\\\\.\\DISK\\bob\n\\\\.\\DISK\\carol\n");

    // A walk keeps the list it started with.
    const char* first = list.GetFirst();
    EXPECT_EQ(list.Erase("\\\\.\\DISK\\BOB"), 0);
    EXPECT_STREQ(first, "\\\\.\\DISK\\alice");
    EXPECT_STREQ(list.GetNext(), "\\\\.\\DISK\\bob");
    EXPECT_EQ(All(), (std::vector<std::string>{"\\\\.\\DISK\\alice", "\\\\.\\DISK\\carol"}));

    EXPECT_EQ(list.Erase("\\\\.\\DISK\\bob"), TOOERR_NOTFOUND);
    EXPECT_EQ(list.Add(""), TOOERR_BADARG);
    EXPECT_EQ(list.Add(nullptr), TOOERR_BADARG);
    EXPECT_EQ(list.Add("two\nlines"), TOOERR_BADARG);
}
