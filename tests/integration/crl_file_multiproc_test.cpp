// CRL files between processes: processes merging CRLs of their own issuers
// into one file that none of them finds at the start lose no CRL.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "../unit/messages/crl_file_util.h"
#include "cert/crlfile.h"
#include "testsupport.h"

namespace {

class CrlFileProcesses : public certtest::HomeTest {};

TEST_F(CrlFileProcesses, ParallelMergesIntoANewFileKeepEveryCrl) {
    constexpr int kProcesses = 6, kEach = 5;
    const std::string path = home_ / "crls.p7";
    auto issuer = [](int p, int i) { return "CN=Центр " + std::to_string(p) + "-" + std::to_string(i) + ", C=RU"; };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p)
        children.push_back(certtest::ForkChild([&, p] {
            // Each CRL in an edit of its own, so the processes take turns
            // many times, the first ones all finding no file.
            for (int i = 0; i < kEach; ++i) {
                int error = 0;
                if (!CTFUpdateCRLsInFile(path, {crlfiletest::MakeCrl(issuer(p, i), "k")}, false, {}, nullptr, true,
                                         &error))
                    return 10 + i;
            }
            return 0;
        }));
    for (pid_t c : children) EXPECT_EQ(certtest::ExitOf(c), 0);

    const std::list<IdentObj> crls = crlfiletest::CrlsIn(certtest::ReadFile(path));
    ASSERT_EQ(crls.size(), std::size_t(kProcesses * kEach));
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kEach; ++i)
            EXPECT_NE(std::find(crls.begin(), crls.end(), crlfiletest::MakeCrl(issuer(p, i), "k")), crls.end())
                << issuer(p, i);
}

}  // namespace
