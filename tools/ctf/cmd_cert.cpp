// `ctf cert show|reencode|new`: certificates through the library's
// certificate model.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cert/vrkscapi.h"
#include "certs.h"
#include "cli.h"
#include "io.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::JsonObject;
using ctf::UsageError;

int Show(ctf::Context& ctx, Args& args) {
    const std::string in = args.Positional("FILE");
    args.Done();
    const std::vector<IdentObj> ders = ctf::ReadCertificates(in);
    std::vector<std::string> json;
    std::string text;
    for (std::size_t i = 0; i < ders.size(); ++i) {
        const std::string what = in + ": certificate " + std::to_string(i + 1);
        const CCTFX509Certificate cert = ctf::DecodeCertificate(ders[i], what);
        if (ctx.json)
            json.push_back(ctf::CertificateJson(cert, ders[i]));
        else
            text += "certificate " + std::to_string(i + 1) + ":\n" + ctf::CertificateText(cert, ders[i]);
    }
    std::printf("%s", ctx.json ? (ctf::JsonArray(json) + "\n").c_str() : text.c_str());
    return ctf::kOk;
}

int Reencode(ctf::Context& ctx, Args& args) {
    const std::string in = args.Positional("FILE");
    const std::string out = args.Required("out");
    args.Done();
    const std::vector<IdentObj> ders = ctf::ReadCertificates(in);
    if (ders.size() > 1) throw UsageError(in + ": holds " + std::to_string(ders.size()) + " certificates; give one");
    const CCTFX509Certificate cert = ctf::DecodeCertificate(ders[0], in);
    const IdentObj der = cert.GetEncodetCert();
    if (der.IsEmpty()) ctf::ThrowWinError(GetLastError(), in + ": the certificate's fields do not encode");
    ctf::WriteOutputFile(out, ctf::Span(der));
    // Standard output carries the certificate itself then.
    if (out == "-") return ctf::kOk;
    const bool same = der == ders[0];
    if (ctx.json)
        std::printf("%s\n", JsonObject().Add("bytes", der.size()).Add("identical", same).str().c_str());
    else
        std::printf("%u bytes written, %s the input\n", unsigned(der.size()), same ? "identical to" : "different from");
    return ctf::kOk;
}

// URLs go into certificates as IA5String: visible ASCII only.
std::vector<std::string> Urls(Args& args, const std::string& option) {
    std::vector<std::string> urls = args.Options(option);
    for (const auto& url : urls)
        if (url.empty() || std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= 0x20 || c > 0x7E; }))
            throw UsageError("--" + option + " \"" + url + "\": a URL is visible ASCII (escape anything else)");
    return urls;
}

int New(ctf::Context& ctx, Args& args) {
    const ctf::KeyOptions k = ctf::ReadKeyOptions(args);
    const std::string subject = args.Required("subject");
    ctf::NewCertificate what;
    if (const auto months = args.Option("months")) what.months = WORD(ctf::NumberArgument("months", *months, 0xFFFF));
    what.ca = args.Flag("ca");
    if (const auto eku = args.Option("eku")) what.extendedUsage = ctf::NumberArgument("eku", *eku, 0xFFFFFFFFu);
    if (const auto keyId = args.Option("key-id")) {
        if (keyId->empty() || keyId->size() > 8 ||
            keyId->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw UsageError("--key-id takes 1 to 8 hex digits, not \"" + *keyId + "\"");
        what.keyIdText = *keyId;
    }
    what.crlUrls = Urls(args, "crl");
    what.caIssuerUrls = Urls(args, "aia");
    what.ocspUrls = Urls(args, "ocsp");
    const std::string out = args.Required("out");
    args.Done();
    try {
        what.subject = CCTFX509Name(subject.c_str(), 0, false);
    } catch (const XTOOStatus& s) {
        throw UsageError("--subject \"" + subject + "\" cannot be encoded as a name", s.Status());
    }
    const auto password = ctf::TakePassword(k.passwordFrom, "Password of the key in " + k.container, false);

    VRKSCApi::CryptProvider p = ctf::OpenContainer(k, VRK_PROV_TYPE_GOST);
    ctf::SetPassword(p, k, password);
    CCTFX509Certificate cert;
    try {
        cert = ctf::MakeSelfSigned(p, what);
    } catch (const ctf::Error& e) {
        const DWORD code = ToolsErr2WinErr(e.Status());
        if (code == NTE_BAD_KEYSET_PARAM || code == ERROR_CANCELLED || code == NTE_NO_KEY)
            ctf::ThrowKeyError(code, k, password.has_value(), e.Message());
        throw;
    }
    ctf::WriteOutputFile(out, ctf::Span(cert.m_encoded));
    if (out == "-") return ctf::kOk;
    std::string name;
    cert.m_info.m_subject.GetX500String(name, X500NameParser::kModeKeywords);
    const std::string serial = ctf::ModelSerial(cert.m_info.m_serialNumber);
    if (ctx.json)
        std::printf("%s\n", JsonObject()
                                .Add("out", out)
                                .Add("serial", serial)
                                .Add("subject", name)
                                .Add("notAfter", ctf::IsoTime(cert.m_info.m_notAfter))
                                .Add("ca", what.ca)
                                .str()
                                .c_str());
    else
        std::printf("%s: self-signed certificate %s for %s, valid until %s\n", out.c_str(), serial.c_str(),
                    name.c_str(), ctf::IsoTime(cert.m_info.m_notAfter).c_str());
    return ctf::kOk;
}

ctf::Registrar show({"cert show",
                     "show each certificate of a file through the certificate model",
                     "FILE\n\n"
                     "FILE is DER (one or more certificates) or PEM (any number of blocks); - is\n"
                     "standard input. With --json: an array, one object per certificate.",
                     {},
                     Show});

ctf::Registrar reencode({"cert reencode",
                         "encode a certificate again from its fields",
                         "FILE --out F\n\n"
                         "Writes what the model encodes of the certificate's fields (v3, the inner\n"
                         "signature algorithm without parameters) as DER; - is standard output.",
                         {},
                         Reencode});

ctf::Registrar make({"cert new",
                     "make a self-signed certificate with a container's signature key",
                     "--container NAME [--machine] [--password-file F | --no-password]\n"
                     "          --subject TEXT [--months N] [--ca] [--eku BITS] [--key-id HEX]\n"
                     "          [--crl URL]... [--aia URL]... [--ocsp URL]... --out F\n\n"
                     "TEXT is a name as `ctf name encode` takes it, in the order to encode.\n"
                     "A GOST key signs with its own hash; an RSA key with SHA-256.\n"
                     "  --months N   validity from now, 12 by default\n"
                     "  --ca         a CA certificate: certificate and CRL signing, no purposes\n"
                     "  --eku BITS   purposes: 1 server, 2 client, 4 code signing, 8 e-mail,\n"
                     "               0x10 trust lists, 0x20 time stamping\n"
                     "  --key-id HEX the key identifier word of the serial, and the subject's\n"
                     "               unique identifier\n"
                     "  --crl URL    a CRL distribution point; --aia URL a CA issuers location;\n"
                     "  --ocsp URL   an OCSP responder (each may be given more than once)",
                     {"machine", "no-password", "ca"},
                     New,
                     {},
                     {"crl", "aia", "ocsp"}});

}  // namespace
