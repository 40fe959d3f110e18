// `ctf key list`: the containers, their keys and the certificate of each
// key, read from what each container tells about itself (no password).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cert/capi.h"
#include "cert/ctfuser.h"
#include "cert/x500name.h"
#include "certs.h"
#include "cli.h"
#include "io.h"
#include "keys.h"
#include "text.h"

namespace {

using ctf::Args;
using ctf::JsonObject;

struct CertificateView {
    std::string subject, issuer, serial, notBefore, notAfter, sha1;
};

CertificateView ViewOf(const CCTFCertContext& c) {
    const CERT_INFO* i = c.GetContext()->pCertInfo;
    CertificateView v;
    v.subject = ctf::NameText(i->Subject);
    v.issuer = ctf::NameText(i->Issuer);
    std::vector<std::uint8_t> serial(i->SerialNumber.pbData, i->SerialNumber.pbData + i->SerialNumber.cbData);
    std::reverse(serial.begin(), serial.end());
    v.serial = ctf::FormatSerial(serial);
    v.notBefore = ctf::IsoTime(i->NotBefore);
    v.notAfter = ctf::IsoTime(i->NotAfter);
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (CertGetCertificateContextProperty(c.GetContext(), CERT_SHA1_HASH_PROP_ID, hash, &size))
        v.sha1 = ctf::Hex(ctf::ByteSpan(hash, size));
    return v;
}

// One row per key; a container without keys or one that cannot be read is
// one row of its own.
struct Row {
    std::string container;
    bool machine = false;
    bool damaged = false;
    int status = 0;  // why a damaged container cannot be read
    std::string place;
    const CCTFUserKeyInfo* key = nullptr;
};

std::string RowJson(const Row& r) {
    JsonObject o;
    o.Add("container", r.container).Add("machine", r.machine);
    if (r.damaged) return o.Add("damaged", true).Add("status", std::uint32_t(r.status)).Add("place", r.place).str();
    const CCTFUserKeyInfo* k = r.key;
    o.Add("spec", ctf::KeySpecName(k ? k->m_keySpec : 0))
        .Add("alg", k ? ctf::KeyAlgName(k->m_algId) : std::string("-"))
        .Add("paramSet", k ? k->m_paramSet.str() : std::string())
        .Add("hasCertificate", k && k->IsCertExist())
        .Add("hasPassword", k && k->m_hasPassword)
        .Add("damaged", false);
    if (!k || !k->IsCertExist()) return o.AddJson("certificate", "null").str();
    const CertificateView v = ViewOf(k->m_certificate);
    return o
        .AddJson("certificate", JsonObject()
                                    .Add("subject", v.subject)
                                    .Add("issuer", v.issuer)
                                    .Add("serial", v.serial)
                                    .Add("notBefore", v.notBefore)
                                    .Add("notAfter", v.notAfter)
                                    .Add("sha1", v.sha1)
                                    .str())
        .str();
}

std::string RowText(const Row& r) {
    if (r.damaged) {
        // The code as `ctf explain` takes it back, and the platform's words.
        const auto e = ctf::ExplainStatus(r.status);
        return r.container + "\tdamaged\t" + e.Lines().front() + (e.system.empty() ? "" : " (" + e.system + ")") + "\n";
    }
    const CCTFUserKeyInfo* k = r.key;
    if (!k) return r.container + "\t-\t-\t-\tno keys\n";
    std::string line = r.container + "\t" + ctf::KeySpecName(k->m_keySpec) + "\t" + ctf::KeyAlgName(k->m_algId) + "\t" +
                       (k->m_paramSet.IsEmpty() ? "-" : ctf::ParamSetName(k->m_paramSet.str())) + "\t" +
                       (k->m_hasPassword ? "password" : "no password");
    if (!k->IsCertExist()) return line + "\n";
    const CertificateView v = ViewOf(k->m_certificate);
    return line + "\tcertificate\n  subject: " + v.subject + "\n  issuer:  " + v.issuer + "\n  serial:  " + v.serial +
           "\n  valid:   " + v.notBefore + " to " + v.notAfter + "\n  sha1:    " + v.sha1 + "\n";
}

int List(ctf::Context& ctx, Args& args) {
    const bool machine = args.Flag("machine");
    args.Done();
    std::list<CTOOString> names;
    try {
        CTFGetContainerList(names, machine, false);
    } catch (const XTOOStatus& st) {
        // The provider is found by name in the registry under the home, so
        // an unusable home shows as a provider not defined: the key set's
        // own reading tells what is wrong with it.
        ctf::ListKeys(machine);
        ctf::ThrowKeySetError(st.Status(), machine);
    }
    // The descriptions stay alive while the rows point into them.
    std::list<CCTFUserContainerInfo> infos;
    std::vector<Row> rows;
    for (const CTOOString& name : names) {
        Row r;
        r.container = name.str();
        r.machine = machine;
        CCTFContainer c;
        int status = 0;
        CTOOString place;
        if (!c.Load(name.c_str(), machine, &status, &place)) {
            // Gone since the enumeration: nothing to list.
            if (ToolsErr2WinErr(status) == NTE_BAD_KEYSET) continue;
            r.damaged = true;
            r.status = status;
            r.place = place.str();
            rows.push_back(r);
            continue;
        }
        try {
            infos.push_back(c.GetContainerInfo());
        } catch (const XTOOStatus& st) {
            r.damaged = true;
            r.status = st.Status();
            r.place = st.Place();
            rows.push_back(r);
            continue;
        }
        if (infos.back().m_keys.empty()) rows.push_back(r);
        for (const CCTFUserKeyInfo& k : infos.back().m_keys) {
            r.key = &k;
            rows.push_back(r);
        }
    }
    if (ctx.json) {
        std::vector<std::string> items;
        for (const Row& r : rows) items.push_back(RowJson(r));
        std::printf("%s\n", ctf::JsonArray(items).c_str());
        return ctf::kOk;
    }
    for (const Row& r : rows) std::fputs(RowText(r).c_str(), stdout);
    return ctf::kOk;
}

ctf::Registrar regList({"key list",
                        "list the containers, their keys and the certificate of each key",
                        "[--machine]\n\n"
                        "One line per key: container, spec, algorithm, parameter set, password, and\n"
                        "\"certificate\" when one is stored with the key, followed by its subject,\n"
                        "issuer, serial, validity and SHA-1 fingerprint. No password is asked: each\n"
                        "container tells this about itself. A container that cannot be read is listed\n"
                        "as damaged with its status, and the listing goes on.",
                        {"machine"},
                        List});

}  // namespace
