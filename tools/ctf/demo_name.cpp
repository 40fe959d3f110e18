// Demo step: one distinguished name, encoded and shown in its three text
// forms.
#include <cstdio>
#include <string>

#include "cert/x500name.h"
#include "cli.h"
#include "io.h"
#include "text.h"

namespace {

int Run(ctf::Context&) {
    const char* text =
        "CN=Иванов Иван Иванович, O=\"ООО \"\"Ромашка\"\"\", L=Москва, C=RU, E=ivanov@example.ru, "
        "INN=007712345678, POSTALADDRESS=\"ул. Тверская, 1$$Москва\"";
    // Country first, common name last, as certificates list them.
    const CCTFX509Name name(text, 0, true);
    std::printf("typed:          %s\n", text);
    std::printf("DER:            %s\n", ctf::Hex(ctf::Span(name)).c_str());
    std::string shown;
    name.GetX500String(shown, X500NameParser::kModeKeywords);
    std::printf("keywords (3):   %s\n", shown.c_str());
    name.GetX500String(shown, X500NameParser::kModeOids);
    std::printf("OIDs (2):       %s\n", shown.c_str());
    name.GetX500String(shown, X500NameParser::kModeValues);
    std::printf("values (1):     %s\n", shown.c_str());
    name.GetCertNameString(shown);
    std::printf("display name:   %s\n", shown.c_str());
    const CCTFX509Name reordered(
        "C=RU;L=Москва;O=ООО \"Ромашка\";CN=Иванов Иван Иванович;INN=007712345678;"
        "E=ivanov@example.ru;POSTALADDRESS=\"ул. Тверская, 1$$Москва\"",
        X500NameParser::kSemicolonOnly, false);
    std::printf("the same name in another order and separator compares %s\n",
                name == reordered ? "equal" : "NOT equal");
    return name == reordered ? ctf::kOk : ctf::kFailure;
}

ctf::DemoRegistrar step({45, "names: one name in its three text forms", Run});

}  // namespace
