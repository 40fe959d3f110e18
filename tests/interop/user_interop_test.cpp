// A container's keys in OpenSSL's GOST engine: the public key `ctf key
// export --public` writes without a password is the one openssl reads from
// the exported private key, and certificates the engine's CA issues for it
// bind with `ctf key set-cert` (one made with -force_pubkey, one from a
// request signed with the exported key), while a certificate of another key
// with the same subject is refused.
#include <regex>

#include "cert/ctfuser.h"
#include "openssl_home.h"

namespace {

class UserInterop : public interoptest::OpensslHomeTest {};

TEST_F(UserInterop, ExportedKeysAreTheContainersAndItsCertificatesBindToThemOnly) {
    Write("pw", "interop\n");
    for (const interoptest::Kind& k : interoptest::kGost) {
        SCOPED_TRACE(k.name);
        const std::string c = std::string("user-") + k.name, pw = " --password-file pw",
                          md = std::string(" -") + k.md + " -engine gost ";
        CtfOk("key new --container " + c + " --alg " + k.name + pw);
        // The public key without a password, as another user of the machine would.
        CtfOk("key export --public --container " + c + " --out " + c + ".pub");
        CtfOk("key export --container " + c + pw + " --out " + c + ".key.pem");
        // The "Public key:" part of `openssl pkey -text` (X and Y, parameter set).
        auto publicPart = [](const std::string& text) {
            return text.substr(std::min(text.find("Public key:"), text.size()));
        };
        const std::string fromPublic =
            publicPart(Ok("openssl pkey -engine gost -pubin -in " + c + ".pub -noout -text"));
        // A coordinate of 256 or 512 bits, which openssl prints without its leading zero digits.
        EXPECT_TRUE(std::regex_search(fromPublic, std::regex("X:[0-9A-F]{40,128}(?![0-9A-F])"))) << fromPublic;
        EXPECT_EQ(fromPublic, publicPart(Ok("openssl pkey -engine gost -in " + c + ".key.pem -noout -text_pub")));
        // openssl writes the same key back: the encoding is one it takes as is.
        EXPECT_EQ(Ok("openssl pkey -engine gost -pubin -in " + c + ".pub -pubout"), Read(c + ".pub"));

        const std::string sign = " -CA " + c + ".ca.pem -CAkey " + c + ".ca.key -days 30 -extfile leaf.cnf" + md;
        Ok("openssl req -x509 -newkey " + std::string(k.newkey) + " -nodes -keyout " + c + ".ca.key -out " + c +
           ".ca.pem -days 30 -subj /CN=Interop-CA" + md);
        // A request of another key with the user's subject: certified as it
        // is, and with the container's key forced in; and one signed with
        // the container's own key.
        Ok("openssl req -new -newkey " + std::string(k.newkey) + " -nodes -keyout " + c + ".other.key -out " + c +
           ".csr -subj /CN=Interop-User" + md);
        Ok("openssl x509 -req -in " + c + ".csr" + sign + "-set_serial 2 -force_pubkey " + c + ".pub -out " + c +
           ".forced.pem");
        Ok("openssl x509 -req -in " + c + ".csr" + sign + "-set_serial 3 -out " + c + ".other.pem");
        Ok("openssl req -new -key " + c + ".key.pem -out " + c + ".own.csr -subj /CN=Interop-User" + md);
        Ok("openssl x509 -req -in " + c + ".own.csr" + sign + "-set_serial 4 -out " + c + ".own.pem");

        const std::pair<const char*, int> binds[] = {{".other.pem", certtest::kExitCheckFailed},
                                                     {".forced.pem", certtest::kExitOk},
                                                     {".other.pem", certtest::kExitCheckFailed},
                                                     {".own.pem", certtest::kExitOk}};
        for (const auto& [cert, code] : binds) {
            const auto r = Ctf("key set-cert --container " + c + pw + " " + c + cert);
            EXPECT_EQ(r.exitCode, code) << cert << "\n" << r.err;
            if (code) {
                EXPECT_NE(r.err.find("32"), std::string::npos) << r.err;
            }
        }
        // The binding is the last good one: the certificate from the request.
        CCTFUser user;
        ASSERT_EQ(user.LogInUser(c.c_str(), "interop", "interop", nullptr, false, true, false), 0);
        std::list<CCTFCertContext> list;
        int status = 0;
        ASSERT_NE(user.GetCertificateList(list, &status), 0) << status;
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(std::string(list.front().GetEncoded().view()), Ok("openssl x509 -in " + c + ".own.pem -outform DER"));
    }
}

}  // namespace
