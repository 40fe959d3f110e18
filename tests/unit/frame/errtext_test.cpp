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
    {6, "Дескриптор неверен"},
    {87, "Параметр неверен"},
    {234, "Данные исчерпаны"},
    {0x80070057, "Один или более аргумент неверен"},
    {0x80090001, "Идентификатор (имя) неверен"},
    {0x80090002, "Ошибка хэширования"},
    {0x80090003, "Ключ неверен"},
    {0x80090004, "Длина неверна"},
    {0x80090006, "Подпись неверна"},
    {0x80090008, "Указан неверный или неизвестный алгоритм"},
    {0x80090009, "Указан неверный флаг"},
    {0x8009000C, "Hash-значение неверно для использования в указанном месте"},
    {0x8009000D, "Ключи не существуют"},
    {0x8009000E, "Недостаточно свободной памяти для выполнения действия"},
    {0x80090020, "Возникла внутренняя ошибка"},
    {0x8009200A, "Сертификат не имеет данных, указывающих на закрытый ключ"},
    {0x8009200B, "Не возможно найти сертификат и/или закрытый ключ для шифрования/расшифрования"},
    {0x8009200E,
     "В подписанном сообщении не найден подписавший сообщение пользователь для указанного индекса подписавших "
     "пользователей"},
    {0x80096002, "Сертификат пользователя, подписавшего сообщение, неверен или не найден."},
    {0x80096004, "Целостность этого сертификата не гарантирована. Возможно, он поврежден или изменен."},
    {0x80096005, "Дата подписи и/или сертификата не может быть проверена или неверна."},
    {0x800B0101, "Срок действия этого сертификата уже истек или еще не наступил."},
    {0x800B010A, "Недостаточно информации для проверки этого сертификата."},
    {0x800B010C, "Этот сертификат был отозван выдавшим его центром сертификации."},
    {0x800B010E,
     "Не удалось проверить этот сертификат, поскольку не получен правильный список отзыва сертификатов от центра "
     "сертификации, выпустившего этот сертификат."},
    {0x800B0110, "Неверное назначение сертификата"},
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
        {0x10000 | 0x8 | 0x4, 0x800B010A},  // partial chain before everything
        {0x20 | 0x8, 0x800B010A},           // untrusted root before the signature
        {0x8 | 0x4 | 0x1, 0x80096004},      // signature before revocation
        {0x4 | 0x10, 0x800B010C},           // revocation before usage
        {0x4 | 0x1, 0x800B010C},            // revocation before time
        {0x1 | 0x80 | 0x40, 0x800B0101},    // time before cycles
        {0x80 | 0x40, 0x800B010A},          // cycle before unknown revocation
        {0x40 | 0x2, 0x800B010E},
        {0x2 | 0x10, 0x800B0102},
        {0x10 | 0x40000, 0x800B0110},
        {0x40000 | 0x20000, 0x80096004},
        {0x20000 | 0x80000, 0x800B0101},
        {0x80000 | 0x200, 0x800B0110},
        {0x200, 0x80096019},
        {0x400, 0x80096019},
        {0x800, 0x80096019},
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

TEST(Explanations, TextsAreTheModulesStringResources) {
    CTOOString s;
    ASSERT_TRUE(s.LoadStringA(134, kCertModuleName));
    EXPECT_EQ(s.str(), "Подпись неверна");
    EXPECT_FALSE(s.LoadStringA(149, kCertModuleName));
}

namespace {
std::string g_response;
std::string Response() { return g_response; }
}  // namespace

TEST(SystemTexts, Win32HresultsDirectoryAndServerResponses) {
    std::string t = "stale";
    EXPECT_TRUE(CertDll::GetWin32ErrorText(2, t));
    EXPECT_EQ(t, "The system cannot find the file specified.");
    std::string wrapped, widened;
    EXPECT_TRUE(CertDll::GetWin32ErrorText(0x80070002, wrapped));
    EXPECT_EQ(wrapped, t);
    EXPECT_TRUE(CertDll::GetWin32ErrorText(SignExtended(0x80090006), widened));
    EXPECT_EQ(widened, "Invalid Signature.");
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
    EXPECT_TRUE(CertDll::GetErrorText(static_cast<HRESULT>(0x80005014u), w));
    EXPECT_EQ(w, u"E_ADS_INVALID_FILTER");
    EXPECT_FALSE(CertDll::GetErrorText(static_cast<HRESULT>(0x80005011u), w));  // a gap in the table
    EXPECT_TRUE(w.empty());
    EXPECT_TRUE(CertDll::GetErrorText(static_cast<HRESULT>(0x80070005u), w));
    EXPECT_EQ(w, u"Access is denied.");
    // Not wrapped Win32 and no directory bits: no text, even when the
    // system has one for the plain code.
    EXPECT_FALSE(CertDll::GetErrorText(static_cast<HRESULT>(0x80090006u), w));
    EXPECT_FALSE(CertDll::GetErrorText(2, w));
}
