// `ctf list new`: a list file from certificates, CRLs, bundles and lists.
#include <cstdio>
#include <optional>

#include "cert/lecursor.h"
#include "lists.h"
#include "text.h"

namespace {

int New(ctf::Context& ctx, ctf::Args& args) {
    const bool record = args.Flag("record"), pkcs7 = args.Flag("pkcs7");
    const auto purpose = args.Option("purpose");
    const auto version = args.Option("version");
    const auto userId = args.Option("user-id");
    const auto mac = args.Option("mac");
    const auto keyPath = args.Option("mac-key");
    const auto keyId = args.Option("key-id");
    std::vector<std::string> pos = args.Positionals();
    args.Done();
    if (pos.empty()) throw ctf::UsageError("list new: OUT is missing");
    if (record == pkcs7) throw ctf::UsageError("list new: give exactly one of --record and --pkcs7");
    const std::string out = pos.front();
    pos.erase(pos.begin());
    if (pkcs7 && (mac || purpose || version || userId))
        throw ctf::UsageError("list new: --purpose, --version, --user-id and --mac belong to the record form");
    if (mac.has_value() != keyPath.has_value()) throw ctf::UsageError("list new: --mac and --mac-key go together");
    if (keyId && !mac) throw ctf::UsageError("list new: --key-id needs --mac");

    std::uint32_t code = le::FourCC("TRCL");
    if (purpose) {
        if (purpose->size() != 4) throw ctf::UsageError("--purpose \"" + *purpose + "\": four characters");
        code = 0;
        for (int i = 3; i >= 0; --i) code = code << 8 | static_cast<std::uint8_t>((*purpose)[i]);
    }
    const DWORD ver = version ? ctf::NumberArgument("version", *version, 0xFFFFFFFFu) : 0x10001;
    if (ver == CTF_LIST_VERSION_PKCS7) throw ctf::UsageError("--version 16 is the PKCS #7 form: use --pkcs7");
    IdentObj kid;
    if (keyId) {
        kid = ctf::HexArgument("key-id", *keyId);
    }
    const ctf::ListInputs in = ctf::ReadListInputs(pos);
    if (record && !in.crls.empty()) throw ctf::UsageError("list new: a record list holds no CRLs");

    std::optional<ctf::ListMacKey> key;
    CCTFTrustRootCertList list;
    list.SetNewFileName(out.c_str());
    list.SetProtectionFlag(0);
    if (pkcs7) {
        list.SetFileVersion(CTF_LIST_VERSION_PKCS7);
    } else {
        list.SetPurposeCode(code);
        list.SetFileVersion(ver);
        if (userId) list.SetUserId(IdentObj(userId->data(), static_cast<DWORD>(userId->size())));
        if (mac) {
            CTOOString alg = ctf::MacAlgorithmArgument(*mac);
            key.emplace(*keyPath);
            IdentObj user = list.GetUserId();
            list.SetProtectInfo(alg, kid, user, key->Key());
            if (version) list.SetFileVersion(ver);
        }
    }
    for (const auto& c : in.certificates)
        if (!list.ReturnStorage()->AddEncodetCertificate(c))
            throw ctf::UsageError("list new: a certificate is refused by the store", WinErr2ToolsErr(GetLastError()));
    for (const auto& c : in.crls)
        if (!list.ReturnStorage()->AddEncodetCRL(c))
            throw ctf::UsageError("list new: a CRL is refused by the store", WinErr2ToolsErr(GetLastError()));
    ctf::WriteList(list, out);
    if (ctx.json)
        std::printf("%s\n", ctf::JsonObject()
                                .Add("file", out)
                                .Add("form", pkcs7 ? "pkcs7" : "record")
                                .Add("certificateCount", std::uint64_t(in.certificates.size()))
                                .Add("crlCount", std::uint64_t(in.crls.size()))
                                .Add("mac", mac.has_value())
                                .str()
                                .c_str());
    else
        std::printf("%s: %s list of %zu certificate(s)%s%s\n", out.c_str(), pkcs7 ? "PKCS #7" : "record",
                    in.certificates.size(), pkcs7 ? (" and " + std::to_string(in.crls.size()) + " CRL(s)").c_str() : "",
                    mac ? ", MAC-protected" : "");
    return ctf::kOk;
}

ctf::Registrar newList({"list new",
                        "make a certificate list file, plain or MAC-protected",
                        "OUT --record|--pkcs7 [--purpose CODE] [--version N] [--user-id TEXT]\n"
                        "    [--mac a|z|OID --mac-key FILE [--key-id HEX]] [INPUT...]\n\n"
                        "INPUT: certificates, CRLs, PKCS #7 bundles or lists, PEM or DER (told by\n"
                        "content); none makes an empty list. The record form holds certificates\n"
                        "only; its purpose code is four characters (default TRCL), its version N\n"
                        "decimal or 0x-hex (default 0x10001; a MAC list 1), the user id the\n"
                        "text's bytes. --mac a is 1.3.6.1.4.1.40321.2.1.1.4, z ...1.1.3; the key\n"
                        "file holds 32 bytes or 64 hex digits.",
                        {"record", "pkcs7"},
                        New});

}  // namespace
