// `ctf crl check`: are serial numbers or certificates on a CRL?
#include <cstdio>
#include <filesystem>

#include "certs.h"
#include "crls.h"
#include "text.h"

namespace {

int Check(ctf::Context& ctx, ctf::Args& args) {
    std::vector<std::string> what = args.Positionals();
    args.Done();
    if (what.size() < 2) throw ctf::UsageError("give a CRL and at least one SERIAL or CERT");
    const CCTF_CRL_List crl = ctf::ReadCrl(what[0]);
    std::vector<std::string> json;
    bool any = false;
    for (std::size_t i = 1; i < what.size(); ++i) {
        std::error_code ec;
        IdentObj serial;
        // A file that is there is a certificate, else a serial; what is
        // neither is a file that cannot be read.
        std::vector<std::uint8_t> magnitude;
        if (!std::filesystem::exists(what[i], ec) && what[i] != "-" && ctf::ParseSerial(what[i], magnitude))
            serial = ctf::SerialArgument(what[i], "serial");
        else
            ctf::ReadCertificateContext(what[i]).GetSubjectSerialNumber(serial);
        const CCTF_CRL_Entry* e = crl.m_info.m_entries.Find(serial);
        any |= e != nullptr;
        const std::string shown = ctf::ModelSerial(serial);
        if (ctx.json) {
            ctf::JsonObject o;
            o.Add("serial", shown).Add("revoked", e != nullptr);
            if (e) o.Add("date", ctf::IsoTime(e->m_revocationDate)).Add("reason", ctf::ReasonName(e->GetReasonCode()));
            json.push_back(o.str());
        } else if (e) {
            std::printf("%s: revoked %s, %s\n", shown.c_str(), ctf::IsoTime(e->m_revocationDate).c_str(),
                        ctf::ReasonName(e->GetReasonCode()).c_str());
        } else {
            std::printf("%s: not revoked\n", shown.c_str());
        }
    }
    if (ctx.json) std::printf("%s\n", ctf::JsonArray(json).c_str());
    return any ? ctf::kCheckFailed : ctf::kOk;
}

ctf::Registrar check({"crl check",
                      "look serial numbers or certificates up in a CRL",
                      "CRL SERIAL|CERT...\n\n"
                      "A SERIAL is hex as OpenSSL prints it; an argument naming a file is a\n"
                      "certificate (DER or PEM), looked up by its serial. Exit 1 when any is revoked.",
                      {},
                      Check});

}  // namespace
