// CRL installation between processes: two processes installing CRLs of two
// issuers into one trust list at once keep both.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "../unit/tdir/tdir_test_util.h"

namespace {

class TdirProcesses : public certtest::HomeTest {};

TEST_F(TdirProcesses, TwoIssuersCrlsInstalledAtOnceAreBothKept) {
    using namespace tdirtest;
    const Pki& a = SharedPki(0);
    const Pki& b = SharedPki(1);
    const std::string dir = home_ / "t", list = dir + "/d_station/0001_trl.p7s";
    WriteList(list, {a.Der("ca.der"), b.Der("ca.der")});
    std::vector<pid_t> children;
    for (const Pki* p : {&a, &b})
        children.push_back(certtest::ForkChild([&, p] {
            LoadRoot(dir, "d_station", "0001_trl.p7s");
            // The older CRL, then the newer one: two rewrites each.
            for (const char* name : {"empty.crl.der", "crl.der"}) {
                int error = 0;
                CTOOString place;
                if (!CTFUpdateCRLContext(CCTFCRLContext(p->Der(name)), &error, &place)) return 10 + error % 100;
            }
            return 0;
        }));
    for (pid_t c : children) EXPECT_EQ(certtest::ExitOf(c), 0);
    const std::vector<IdentObj> crls = CrlsOfList(list);
    EXPECT_EQ(crls.size(), 2u);
    for (const Pki* p : {&a, &b}) EXPECT_NE(std::find(crls.begin(), crls.end(), p->Der("crl.der")), crls.end());
}

}  // namespace
