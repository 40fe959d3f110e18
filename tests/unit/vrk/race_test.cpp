// Several processes creating one container at once: exactly one creator
// wins, the others are told that the container exists, and no key is lost.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "cert/asnkeys.h"
#include "cert/vrkscapi.h"
#include "provider/gost.h"
#include "testsupport.h"

namespace {

namespace gost = cert::gost;
using VRKSCApi::CryptKey;
using VRKSCApi::CryptProvider;

// Runs `child(i)` in `n` forked processes released at the same moment and
// gives back what each one answered, in order.
std::vector<std::string> RaceInChildren(int n, const std::function<std::string(int)>& child) {
    int go[2];
    if (::pipe(go) != 0) return {};
    std::vector<int> answers;
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        int out[2];
        if (::pipe(out) != 0) break;
        std::fflush(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(go[1]);
            ::close(out[0]);
            char c;
            (void)!::read(go[0], &c, 1);  // returns when the parent closes its end
            std::string answer = "exception";
            try {
                answer = child(i);
            } catch (...) {
            }
            (void)!::write(out[1], answer.data(), answer.size());
            _exit(0);
        }
        ::close(out[1]);
        answers.push_back(out[0]);
        pids.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);  // go
    std::vector<std::string> result;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        std::string a;
        char buf[512];
        for (ssize_t r; (r = ::read(answers[i], buf, sizeof buf)) > 0;) a.append(buf, std::size_t(r));
        ::close(answers[i]);
        ::waitpid(pids[i], nullptr, 0);
        result.push_back(a);
    }
    return result;
}

std::string Hex(const IdentObj& b) { return TOOBin2HexStr(b.data(), b.size()); }
std::string Code(DWORD e) { return "error " + TOOBin2HexStr(&e, sizeof e); }

// The public key of the container's signature key, as hex.
std::string StoredPublicKey(const std::string& name) {
    CryptProvider p;
    IdentObj der;
    if (!VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST, CRYPT_SILENT) ||
        !VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, der, 0))
        return Code(GetLastError());
    ASNContainerInfo info;
    if (!info.Decode(der) || info.keys.size() != 1) return "unreadable";
    return Hex(info.keys[0].publicKey);
}

// Of the answers exactly one is "won <its public key>", every other one is
// NTE_EXISTS, and the container holds the winner's key.
void ExpectOneWinnerWhoseKeyStays(const std::vector<std::string>& answers, const std::string& name, int round) {
    int won = 0;
    std::string winner;
    for (const auto& a : answers) {
        if (a.rfind("won ", 0) == 0) {
            ++won;
            winner = a.substr(4);
        } else {
            EXPECT_EQ(a, Code(NTE_EXISTS)) << "round " << round;
        }
    }
    ASSERT_EQ(won, 1) << "round " << round;
    EXPECT_EQ(StoredPublicKey(name), winner) << "round " << round;
}

class ContainerRace : public certtest::HomeTest {};

TEST_F(ContainerRace, NewKeySetHasExactlyOneCreator) {
    for (int round = 0; round < 20; ++round) {
        std::string name = "race" + std::to_string(round);
        auto answers = RaceInChildren(3, [&](int) {
            CryptProvider p;
            if (!VRKAcquireContext(&p, name.c_str(), nullptr, VRK_PROV_TYPE_GOST, CRYPT_NEWKEYSET | CRYPT_SILENT))
                return Code(GetLastError());
            CryptKey k;
            IdentObj info;
            if (!VRKGenKey(p, AT_SIGNATURE, 0, &k) || !VRKGetProvParam(p, VRK_PP_CONTAINER_INFO, info, 0))
                return Code(GetLastError());
            ASNContainerInfo decoded;
            decoded.Decode(info);
            return "won " + Hex(decoded.keyInfo.publicKey);
        });
        ASSERT_EQ(answers.size(), 3u);
        ExpectOneWinnerWhoseKeyStays(answers, name, round);
    }
}

TEST_F(ContainerRace, ImportIntoOneNewContainerKeepsTheFirstKey) {
    std::vector<IdentObj> pems;
    std::vector<std::string> publics;
    for (int i = 0; i < 2; ++i) {
        gost::Key k = gost::GenerateKey(gost::KeyAlg::Gost2001, gost::DefaultParamset(gost::KeyAlg::Gost2001));
        pems.push_back(IdentObj(gost::ExportPrivateKeyPem(k).text()));
        publics.push_back(Hex(gost::ToIdent(gost::PublicKeyToRaw(k))));
    }
    for (int round = 0; round < 15; ++round) {
        std::string name = "import" + std::to_string(round);
        auto answers = RaceInChildren(2, [&](int i) {
            DWORD rc = vrk::ImportPkcs8(name, false, pems[i], "", AT_SIGNATURE, "", false);
            return rc ? Code(rc) : "won " + publics[i];
        });
        ASSERT_EQ(answers.size(), 2u);
        ExpectOneWinnerWhoseKeyStays(answers, name, round);
    }
}

}  // namespace
