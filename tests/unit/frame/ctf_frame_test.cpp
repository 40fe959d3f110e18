#include <gtest/gtest.h>

#include "testsupport.h"

using certtest::Ctf;

TEST(CtfExplain, EveryFormOfACodeAndTrustBits) {
    auto hex = Ctf("explain 0x80090006");
    ASSERT_EQ(hex.exitCode, 0) << hex.err;
    EXPECT_EQ(hex.out, "0x80090006: Подпись неверна\nsystem: Invalid Signature.\n");
    for (const char* form : {"-2146893818", "-- -2146893818", "0xFFFFFFFF80090006", "2148073478"})
        EXPECT_EQ(Ctf(std::string("explain ") + form).out, hex.out) << form;

    auto unknown = Ctf("--json explain 0x800B010D");
    EXPECT_NE(unknown.out.find("\"text\": \"Возникла неизвестная ошибка\""), std::string::npos) << unknown.out;
    EXPECT_NE(unknown.out.find("\"known\": false"), std::string::npos);

    auto bits = Ctf("explain --bits 0x14");
    EXPECT_EQ(bits.out,
              "0x00000014: Один или несколько сертификатов цепочки отозваны\n"
              "error 0x800B010C: Этот сертификат был отозван выдавшим его центром сертификации.\n");
    EXPECT_EQ(Ctf("explain 12junk").exitCode, 2);
    EXPECT_EQ(Ctf("explain").exitCode, 2);
}

TEST(CtfOid, RowsNamesAndParameterSets) {
    auto sig = Ctf("oid --json 1.2.643.2.2.3");
    ASSERT_EQ(sig.exitCode, 0) << sig.err;
    EXPECT_NE(sig.out.find("\"algId\": \"0x801E\", \"hashOid\": \"1.2.643.2.2.9\", \"publicKeyAlgId\": \"0x2E23\""),
              std::string::npos)
        << sig.out;
    auto byName = Ctf("oid 'gost r 34.10-2012 512'");
    EXPECT_NE(byName.out.find("oid:        1.2.643.7.1.1.1.2\n"), std::string::npos) << byName.out;
    EXPECT_NE(byName.out.find("key bits:   1024\n"), std::string::npos);
    auto set = Ctf("oid 1.2.643.2.2.36.1");
    EXPECT_NE(set.out.find("set of:     1.2.643.2.2.98\n"), std::string::npos) << set.out;
    auto none = Ctf("oid 1.2.3.4");
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("1.2.3.4"), std::string::npos);
}
