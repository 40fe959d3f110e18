// `ctf explain` and `ctf oid`: the frame's texts and registry as the tool shows them.
#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using certtest::Ctf;

using certtest::kExitOk;
using certtest::kExitUsage;

TEST(CtfExplain, EveryFormOfACodeAndTrustBits) {
    auto hex = Ctf("explain 0x80090006");
    ASSERT_EQ(hex.exitCode, kExitOk) << hex.err;
    EXPECT_EQ(hex.out, "0x80090006: Подпись неверна\nsystem: Invalid Signature.\n");
    for (const char* form : {"-- -2146893818", "0xFFFFFFFF80090006", "2148073478"})
        EXPECT_EQ(Ctf(std::string("explain ") + form).out, hex.out) << form;

    // Decimal is a status number of the library: its own, or a Windows code it carries.
    EXPECT_EQ(Ctf("explain 206").out, "206: malformed ASN.1 data\n");
    EXPECT_EQ(Ctf("explain 1073741911").out, Ctf("explain 0x57").out);

    auto unknown = Ctf("--json explain 0x800B010D");
    EXPECT_EQ(unknown.out.rfind("{\"code\": 2148204813, \"windows\": true, \"text\": \"Возникла неизвестная ошибка\", "
                                "\"known\": false, \"system\": \"The certification path",
                                0),
              0u)
        << unknown.out;

    auto bits = Ctf("explain --bits 0x14");
    EXPECT_EQ(bits.out,
              "0x00000014: Один или несколько сертификатов цепочки отозваны\n"
              "error 0x800B010C: Этот сертификат был отозван выдавшим его центром сертификации.\n");
    EXPECT_NE(Ctf("explain --bits 0x14 --json").out.find("\"error\": 2148204812, "), std::string::npos);
    EXPECT_EQ(Ctf("explain 12junk").exitCode, kExitUsage);
    EXPECT_EQ(Ctf("explain").exitCode, kExitUsage);
}

TEST(CtfOid, RowsNamesAndParameterSets) {
    auto sig = Ctf("oid --json 1.2.643.2.2.3");
    ASSERT_EQ(sig.exitCode, kExitOk) << sig.err;
    EXPECT_NE(sig.out.find("\"algId\": 32798, \"hashOid\": \"1.2.643.2.2.9\", \"publicKeyAlgId\": 11811"),
              std::string::npos)
        << sig.out;
    auto byName = Ctf("oid 'gost r 34.10-2012 512'");
    EXPECT_NE(byName.out.find("oid:        1.2.643.7.1.1.1.2\n"), std::string::npos) << byName.out;
    EXPECT_NE(byName.out.find("key bits:   1024\n"), std::string::npos);
    EXPECT_NE(Ctf("oid 1.2.643.2.2.36.1").out.find("set of:     1.2.643.2.2.98\n"), std::string::npos);
    auto none = Ctf("oid 1.2.3.4");
    EXPECT_EQ(none.exitCode, kExitUsage);
    EXPECT_NE(none.err.find("1.2.3.4"), std::string::npos);
}

}  // namespace
