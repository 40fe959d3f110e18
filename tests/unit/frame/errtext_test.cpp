#include <gtest/gtest.h>

#include "cert/errtext.h"

namespace {

const char kNoError[] = "Ошибок нет, действие прошло успешно";
const char kUnknown[] = "Возникла неизвестная ошибка";

struct Case {
    unsigned long code;
    const char* text;
};
const Case kCodes[] = {
    {0, kNoError},
    {ERROR_MORE_DATA, "Данные исчерпаны"},
    {NTE_BAD_SIGNATURE, "Подпись неверна"},
    {CRYPT_E_NO_SIGNER,
     "В подписанном сообщении не найден подписавший сообщение пользователь для указанного индекса подписавших "
     "пользователей"},
    {CERT_E_REVOKED, "Этот сертификат был отозван выдавшим его центром сертификации."},
};

unsigned long SignExtended(DWORD code) {
    return static_cast<unsigned long>(static_cast<long>(static_cast<std::int32_t>(code)));
}

}  // namespace

TEST(Explanations, EveryCodeItsTextAndItsWidenedForm) {
    for (const auto& c : kCodes) {
        EXPECT_EQ(CTFGetWinErrorExplaination(c.code).str(), c.text) << std::hex << c.code;
        EXPECT_TRUE(CTFHasWinErrorExplaination(c.code));
        EXPECT_EQ(CTFGetWinErrorExplaination(SignExtended(static_cast<DWORD>(c.code))).str(), c.text)
            << std::hex << c.code;
    }
    // Neighbours of explained codes, and the 32-bit code hiding in a
    // non-sign-extended 64-bit value, are unknown.
    for (unsigned long code : {0x800B010Dul, 0x800B010Bul, 0x80090005ul, 1ul, 0x80070002ul, 0x100000000ul,
                               0x1800B010Cul, 0xFFFFFFFF0000000Cul}) {
        EXPECT_EQ(CTFGetWinErrorExplaination(code).str(), kUnknown) << std::hex << code;
        EXPECT_FALSE(CTFHasWinErrorExplaination(code));
    }
}

TEST(Explanations, TrustBitsRulesInOrder) {
    struct Bits {
        unsigned long mask;
        unsigned long error;
    };
    const Bits errors[] = {
        {0, 0},
        {0x10000 | 0x8 | 0x4, CERT_E_CHAINING},     // partial chain before everything
        {0x20 | 0x8, CERT_E_CHAINING},              // untrusted root before the signature
        {0x8 | 0x4 | 0x1, TRUST_E_CERT_SIGNATURE},  // signature before revocation
        {0x4 | 0x10, CERT_E_REVOKED},               // revocation before usage
        {0x4 | 0x1, CERT_E_REVOKED},                // revocation before time
        {0x1 | 0x80 | 0x40, CERT_E_EXPIRED},        // time before cycles
        {0x80 | 0x40, CERT_E_CHAINING},             // cycle before unknown revocation
        {0x40 | 0x2, CERT_E_REVOCATION_FAILURE},
        {0x2 | 0x10, CERT_E_VALIDITYPERIODNESTING},
        {0x10 | 0x40000, CERT_E_WRONG_USAGE},
        {0x40000 | 0x20000, TRUST_E_CERT_SIGNATURE},
        {0x20000 | 0x80000, CERT_E_EXPIRED},
        {0x80000 | 0x200, CERT_E_WRONG_USAGE},
        {0x200, TRUST_E_BASIC_CONSTRAINTS},
        {0x400, TRUST_E_BASIC_CONSTRAINTS},
        {0x800, TRUST_E_BASIC_CONSTRAINTS},
        {0x100 | 0x1000000, 0},  // bits no rule names
    };
    for (const auto& b : errors) EXPECT_EQ(CTFCertFlags2WinErr(b.mask), b.error) << std::hex << b.mask;

    struct Text {
        unsigned long mask;
        const char* text;
    };
    const Text texts[] = {
        {0, kNoError},
        {0x10000 | 0x8, "Цепочка сертификатов неполна"},
        {0x8 | 0x20 | 0x1, "Неверна подпись корневого сертификата"},
        {0x20 | 0x1 | 0x4, "Корневой сертификат не является доверенным"},
        {0x1 | 0x2 | 0x4, "Один или несколько сертификатов цепочки неверны по времени"},
        {0x2 | 0x4, "Период действия сертификата не вложен в период действия корневого сертификата"},
        {0x4 | 0x40, "Один или несколько сертификатов цепочки отозваны"},
        {0x40 | 0x10, "Неизвестно, является ли сертификат или один из сертификатов цепочки сертификатов отозванным"},
    };
    for (const auto& t : texts)
        EXPECT_EQ(CTFGetCertTotalBitMaskExplaination(t.mask).str(), t.text) << std::hex << t.mask;
}

namespace {
std::string g_response;
std::string Response() { return g_response; }
}  // namespace

TEST(SystemTexts, Win32HresultsDirectoryAndServerResponses) {
    std::string t = "stale";
    EXPECT_TRUE(CertDll::GetWin32ErrorText(ERROR_FILE_NOT_FOUND, t));
    EXPECT_EQ(t, "The system cannot find the file specified.");
    std::string wrapped, widened;
    EXPECT_TRUE(CertDll::GetWin32ErrorText(0x80070002, wrapped));
    EXPECT_EQ(wrapped, t);
    EXPECT_TRUE(CertDll::GetWin32ErrorText(SignExtended(NTE_BAD_SIGNATURE), widened));
    t = "stale";
    EXPECT_FALSE(CertDll::GetWin32ErrorText(0x0BADC0DE, t));
    EXPECT_TRUE(t.empty());

    // 12003: the server's last response, cut to the 260-character buffer.
    EXPECT_TRUE(CertDll::GetWin32ErrorText(12003, t));
    EXPECT_TRUE(t.empty());
    g_response = "550 No such file\r\n" + std::string(400, 'x');
    CertDll::SetLastResponseSource(&Response);
    EXPECT_TRUE(CertDll::GetWin32ErrorText(12003, t));
    EXPECT_EQ(t, g_response.substr(0, 259));
    CertDll::SetLastResponseSource(nullptr);

    std::u16string w;
    EXPECT_TRUE(CertDll::GetErrorText(static_cast<HRESULT>(0x80005000u), w));
    EXPECT_EQ(w, u"E_ADS_BAD_PATHNAME");
    EXPECT_FALSE(CertDll::GetErrorText(static_cast<HRESULT>(0x80005011u), w));  // a gap in the table
    EXPECT_TRUE(w.empty());
    EXPECT_TRUE(CertDll::GetErrorText(static_cast<HRESULT>(E_ACCESSDENIED), w));
    EXPECT_EQ(w, u"Access is denied.");
    // Not wrapped Win32 and no directory bits: no text, even when the
    // system has one for the plain code.
    EXPECT_FALSE(CertDll::GetErrorText(static_cast<HRESULT>(NTE_BAD_SIGNATURE), w));
    EXPECT_FALSE(CertDll::GetErrorText(ERROR_FILE_NOT_FOUND, w));
}
