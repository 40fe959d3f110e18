// Names as data: CCTFX509Name, CCTFRDNAttr, CCTFSimpleRDN. The name is read
// by the platform's X509_NAME decoder and written by the parser's encoder.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "cert/oids.h"
#include "model/name_internal.h"

using namespace cert::names;
using X500NameParser::CertNameInfoWrapper;
using X500NameParser::X500NameDecoder;
using X500NameParser::X500NameEncoder;

namespace {

// Every way of giving a whole structure to the encoder: the options of the
// `utf8` flag and the encoding into a local blob, so that a failure leaves
// the name as it was.
template <class Source, class... Extra>
IdentObj EncodedBy(const Source& source, bool utf8, int failure, Extra... extra) {
    X500NameEncoder encoder;
    encoder.SetEncoderOptions(utf8 ? X500NameParser::kUtf8NotBmp | X500NameParser::kUtf8Always : 0);
    IdentObj out;
    if (!encoder.Encode(source, out, extra...)) ThrowNameStatus(failure, "CCTFX509Name::SetBy");
    return out;
}

IdentObj EncodedText(const std::u16string& text, DWORD options, bool reorder) {
    X500NameEncoder encoder;
    encoder.SetEncoderOptions((options & X500NameParser::kUtf8NotBmp) ? options & X500NameParser::kUtf8Always
                                                                      : options);
    IdentObj out;
    if (!encoder.Encode(text, out, reorder)) ThrowNameStatus(TOOERR_BADNAME, "CCTFX509Name::SetBy");
    return out;
}

DecodedName Decoded(const IdentObj& name, const char* place) {
    DecodedName d;
    if (!d.Decode(name)) ThrowNameStatus(TOOERR_BADENCODING, place);
    return d;
}

// The first RDN whose first attribute has exactly this OID, or null.
const CERT_RDN_ATTR* FirstWithOid(const CERT_NAME_INFO& info, const char* oid) {
    if (!oid) return nullptr;
    for (DWORD i = 0; i < info.cRDN; ++i) {
        const CERT_RDN& rdn = info.rgRDN[i];
        if (rdn.cRDNAttr && rdn.rgRDNAttr[0].pszObjId && std::strcmp(rdn.rgRDNAttr[0].pszObjId, oid) == 0)
            return &rdn.rgRDNAttr[0];
    }
    return nullptr;
}

// The text CertRDNValueToStrA/W gives, or false when it gives none.
template <class C, class F>
bool ValueText(const CERT_RDN_ATTR& attr, std::basic_string<C>& text, F toStr) {
    const DWORD need = toStr(attr.dwValueType, &attr.Value, nullptr, 0);
    if (need <= 1) return false;
    std::basic_string<C> buffer(need, C(0));
    const DWORD got = toStr(attr.dwValueType, &attr.Value, buffer.data(), need);
    if (got <= 1) return false;
    buffer.resize(got - 1);
    text = std::move(buffer);
    return true;
}

std::list<CCTFSimpleRDN>::iterator FindNoCase(std::list<CCTFSimpleRDN>& l, const char* oid) {
    return std::find_if(l.begin(), l.end(), [&](const CCTFSimpleRDN& r) { return r.oid.CompareNoCase(oid) == 0; });
}

}  // namespace

// ---------------------------------------------------------------------------
// CCTFRDNAttr

CCTFRDNAttr::CCTFRDNAttr(const CERT_RDN_ATTR& attr) { SetBy(attr); }

CCTFRDNAttr::CCTFRDNAttr(const char* oid, DWORD valueType, const IdentObj& value)
    : m_oid(oid), m_valueType(valueType), m_value(value) {}

CCTFRDNAttr::CCTFRDNAttr(const char* oid, const char* value) { SetBy(oid, value); }

CCTFRDNAttr::~CCTFRDNAttr() = default;

CCTFRDNAttr& CCTFRDNAttr::operator=(const CERT_RDN_ATTR& attr) {
    SetBy(attr);
    return *this;
}

void CCTFRDNAttr::SetBy(const CERT_RDN_ATTR& attr) {
    Reporting("CCTFRDNAttr::SetBy", [&] {
        IdentObj value;
        if (attr.Value.pbData) value.Assign(attr.Value.pbData, attr.Value.cbData);
        m_oid = attr.pszObjId;
        m_valueType = attr.dwValueType;
        m_value = std::move(value);
    });
}

void CCTFRDNAttr::SetBy(const char* oid, const char* value) { CCTFX509Name::MakeRDNAttr(oid, value, *this); }

void CCTFRDNAttr::GetValueString(CTOOString& text) const { CCTFX509Name::GetRDNAttrValueString(*this, text); }

CERT_RDN_ATTR CCTFRDNAttr::GetAttr() const {
    return CERT_RDN_ATTR{const_cast<char*>(m_oid.c_str()), m_valueType, m_value.blob()};
}

bool CCTFRDNAttr::operator==(const CCTFRDNAttr& o) const {
    return m_oid == o.m_oid && m_valueType == o.m_valueType && m_value == o.m_value;
}

// ---------------------------------------------------------------------------
// CCTFSimpleRDN

bool CCTFSimpleRDN::CompareSimpleRDN(const CCTFSimpleRDN& a, const CCTFSimpleRDN& b) {
    const int byOid = a.oid.str().compare(b.oid.str());
    return byOid < 0 || (byOid == 0 && a.value.str() < b.value.str());
}

int CCTFSimpleRDN::GetDisplayRank(const char* oid) {
    using namespace cert::oids;
    static const struct {
        const char* oid;
        int rank;
    } kRanks[] = {
        {kCommonName, 0},        {kPseudonym, 0},           {kTitle, 1},        {kOrganizationalUnitName, 2},
        {kOrganizationName, 3},  {kEmailAddress, 4},        {kDepartment, 5},   {kSerialNumber, 6},
        {kPostalAddress, 7},     {kStateOrProvinceName, 8}, {kLocalityName, 9}, {kCountryName, 10},
        {kUnstructuredName, 11},
    };
    if (oid)
        for (const auto& r : kRanks)
            if (std::strcmp(r.oid, oid) == 0) return r.rank;
    return 99;
}

bool CCTFSimpleRDN::operator<(const CCTFSimpleRDN& o) const { return GetDisplayRank(oid) < GetDisplayRank(o.oid); }

bool CCTFSimpleRDN::operator>(const CCTFSimpleRDN& o) const { return GetDisplayRank(oid) > GetDisplayRank(o.oid); }

// ---------------------------------------------------------------------------
// CCTFX509Name: construction and encoding

CCTFX509Name::CCTFX509Name(const CERT_NAME_INFO& info, bool utf8) { SetBy(info, utf8); }
CCTFX509Name::CCTFX509Name(const std::list<std::list<CCTFRDNAttr>>& rdns, bool utf8) { SetBy(rdns, utf8); }
CCTFX509Name::CCTFX509Name(const std::list<CCTFSimpleRDN>& rdns, bool utf8, bool reorder) {
    SetBy(rdns, utf8, reorder);
}
CCTFX509Name::CCTFX509Name(const char* text, DWORD options, bool reorder) { SetBy(text, options, reorder); }
CCTFX509Name::CCTFX509Name(const std::u16string& text, DWORD options, bool reorder) { SetBy(text, options, reorder); }
CCTFX509Name::~CCTFX509Name() = default;

CCTFX509Name& CCTFX509Name::operator=(const IdentObj& der) {
    Reporting("CCTFX509Name::operator=", [&] { IdentObj::operator=(der); });
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const CRYPTOAPI_BLOB& der) {
    Reporting("CCTFX509Name::operator=", [&] { IdentObj::operator=(der); });
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const CERT_NAME_INFO& info) {
    SetBy(info, true);
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const std::list<std::list<CCTFRDNAttr>>& rdns) {
    SetBy(rdns, true);
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const std::list<CCTFSimpleRDN>& rdns) {
    SetBy(rdns, true, false);
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const char* text) {
    SetBy(text, 0, false);
    return *this;
}

CCTFX509Name& CCTFX509Name::operator=(const std::u16string& text) {
    SetBy(text, 0, false);
    return *this;
}

void CCTFX509Name::SetBy(const CERT_NAME_INFO& info, bool utf8) {
    Reporting("CCTFX509Name::SetBy", [&] { IdentObj::operator=(EncodedBy(info, utf8, TOOERR_BADNAME)); });
}

void CCTFX509Name::SetBy(const std::list<std::list<CCTFRDNAttr>>& rdns, bool utf8) {
    Reporting("CCTFX509Name::SetBy", [&] { IdentObj::operator=(EncodedBy(rdns, utf8, TOOERR_BADNAME)); });
}

void CCTFX509Name::SetBy(const std::list<CCTFSimpleRDN>& rdns, bool utf8, bool reorder) {
    Reporting("CCTFX509Name::SetBy", [&] { IdentObj::operator=(EncodedBy(rdns, utf8, TOOERR_BADENCODING, reorder)); });
}

void CCTFX509Name::SetBy(const char* text, DWORD options, bool reorder) {
    Reporting("CCTFX509Name::SetBy", [&] {
        std::u16string wide;
        if (!ToUtf16(text ? text : "", wide)) ThrowNameStatus(TOOERR_BADNAME, "CCTFX509Name::SetBy");
        IdentObj::operator=(EncodedText(wide, options, reorder));
    });
}

void CCTFX509Name::SetBy(const std::u16string& text, DWORD options, bool reorder) {
    Reporting("CCTFX509Name::SetBy", [&] { IdentObj::operator=(EncodedText(text, options, reorder)); });
}

// ---------------------------------------------------------------------------
// CCTFX509Name: the name as data

bool CCTFX509Name::operator==(const CCTFX509Name& o) const {
    return Reporting("CCTFX509Name::operator==", [&] {
        std::vector<CCTFSimpleRDN> a, b;
        GetSimpleRDNVector(a);
        o.GetSimpleRDNVector(b);
        std::sort(a.begin(), a.end(), CCTFSimpleRDN::CompareSimpleRDN);
        std::sort(b.begin(), b.end(), CCTFSimpleRDN::CompareSimpleRDN);
        std::vector<CCTFSimpleRDN> onlyA, onlyB;
        std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA),
                            CCTFSimpleRDN::CompareSimpleRDN);
        std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB),
                            CCTFSimpleRDN::CompareSimpleRDN);
        return onlyA.empty() && onlyB.empty();
    });
}

void CCTFX509Name::GetNameInfo(std::list<std::list<CCTFRDNAttr>>& rdns) const {
    Reporting("CCTFX509Name::GetNameInfo", [&] {
        const DecodedName d = Decoded(*this, "CCTFX509Name::GetNameInfo");
        std::list<std::list<CCTFRDNAttr>> out;
        for (DWORD i = 0; i < d.Info().cRDN; ++i) {
            const CERT_RDN& rdn = d.Info().rgRDN[i];
            auto& attrs = out.emplace_back();
            for (DWORD j = 0; j < rdn.cRDNAttr; ++j) attrs.emplace_back(rdn.rgRDNAttr[j]);
        }
        rdns = std::move(out);
    });
}

void CCTFX509Name::GetSimpleRDNList(std::list<CCTFSimpleRDN>& rdns, bool byDisplayRank) const {
    Reporting("CCTFX509Name::GetSimpleRDNList", [&] {
        const DecodedName d = Decoded(*this, "CCTFX509Name::GetSimpleRDNList");
        std::list<CCTFSimpleRDN> out;
        for (DWORD i = 0; i < d.Info().cRDN; ++i)
            if (d.Info().rgRDN[i].cRDNAttr) out.push_back(SimpleRdnOf(d.Info().rgRDN[i].rgRDNAttr[0]));
        // std::list::sort is stable: equal ranks keep their encoded order.
        if (byDisplayRank) out.sort();
        rdns = std::move(out);
    });
}

void CCTFX509Name::GetSimpleRDNVector(std::vector<CCTFSimpleRDN>& rdns) const {
    Reporting("CCTFX509Name::GetSimpleRDNVector", [&] {
        std::list<CCTFSimpleRDN> l;
        GetSimpleRDNList(l, false);
        rdns.assign(l.begin(), l.end());
    });
}

namespace {
// GetSimpleRDN for either text width.
template <class Text>
bool SimpleRdnValue(const CCTFX509Name& name, const char* oid, Text& value) {
    constexpr const char* kPlace = "CCTFX509Name::GetSimpleRDN";
    return Reporting(kPlace, [&] {
        value = Text();
        const DecodedName d = Decoded(name, kPlace);
        const CERT_RDN_ATTR* attr = FirstWithOid(d.Info(), oid);
        if (attr) CCTFX509Name::GetRDNAttrValueString(*attr, value);
        return attr != nullptr;
    });
}
}  // namespace

bool CCTFX509Name::GetSimpleRDN(const char* oid, CTOOString& value) const { return SimpleRdnValue(*this, oid, value); }

bool CCTFX509Name::GetSimpleRDN(const char* oid, std::u16string& value) const {
    return SimpleRdnValue(*this, oid, value);
}

bool CCTFX509Name::SetSimpleRDN(const char* oid, const char* value) {
    return Reporting("CCTFX509Name::SetSimpleRDN", [&] {
        CertNameInfoWrapper info;
        X500NameDecoder decoder;
        if (!oid || !decoder.Decode(*this, info)) return false;
        const CERT_NAME_INFO& ni = info.GetNameInfo();
        for (DWORD i = 0; i < ni.cRDN; ++i) {
            const CERT_RDN& rdn = ni.rgRDN[i];
            if (!rdn.cRDNAttr || std::strcmp(rdn.rgRDNAttr[0].pszObjId, oid) != 0) continue;
            CCTFRDNAttr attr;
            MakeRDNAttr(oid, value, attr);
            if (!info.SetValue(i, 0, attr.GetValueType(), attr.GetValue().data(), attr.GetValue().size()))
                throw XTOOStatus(TOOERR_NOMEM, "CCTFX509Name::SetSimpleRDN");
            // The structure keeps the RDN order; re-encoding types every
            // value again, the new one among them.
            SetBy(ni, true);
            return true;
        }
        return false;
    });
}

bool CCTFX509Name::SetSimpleRDN(const CCTFSimpleRDN& rdn) { return SetSimpleRDN(rdn.oid, rdn.value); }

void CCTFX509Name::MergeRDNAtributes(std::list<CCTFSimpleRDN>& target, const std::list<CCTFSimpleRDN>& source,
                                     const char* oid) {
    Reporting("CCTFX509Name::MergeRDNAtributes", [&] {
        if (!oid) return;
        auto t = FindNoCase(target, oid);
        auto s = std::find_if(source.begin(), source.end(),
                              [&](const CCTFSimpleRDN& r) { return r.oid.CompareNoCase(oid) == 0; });
        if (t != target.end() && s == source.end())
            target.erase(t);
        else if (t != target.end())
            t->value = s->value;
        else if (s != source.end())
            target.push_back(*s);
    });
}

void CCTFX509Name::MakeRDNAttr(const char* oid, const char* value, CCTFRDNAttr& out) {
    Reporting("CCTFX509Name::MakeRDNAttr", [&] {
        CTOOString text;
        FormatRDNAttr(oid, value, text);
        CCTFX509Name name;
        name.SetBy(text.c_str(), 2, false);
        std::list<std::list<CCTFRDNAttr>> rdns;
        name.GetNameInfo(rdns);
        if (rdns.empty() || rdns.front().empty()) throw XTOOStatus(TOOERR_EXCEPTION, "CCTFX509Name::MakeRDNAttr", 1);
        out = rdns.front().front();
    });
}

void CCTFX509Name::FormatRDNAttr(const char* oid, const char* value, CTOOString& out) {
    Reporting("CCTFX509Name::FormatRDNAttr", [&] {
        CTOOString quoted;
        QuoteString(value, quoted);
        out = CTOOString(oid) + "=" + quoted;
    });
}

void CCTFX509Name::QuoteString(const char* in, CTOOString& out) {
    Reporting("CCTFX509Name::QuoteString", [&] {
        std::string s = "\"";
        for (const char* p = in ? in : ""; *p; ++p) {
            if (*p == '"') s += '"';
            s += *p;
        }
        out = s + '"';
    });
}

void CCTFX509Name::QuoteString(CTOOString& text) {
    const CTOOString in = text;
    QuoteString(in.c_str(), text);
}

void CCTFX509Name::UnquoteString(const char* in, CTOOString& out) {
    Reporting("CCTFX509Name::UnquoteString", [&] {
        std::string s;
        for (const char* p = in ? in : ""; *p; ++p) {
            if (*p != '"') {
                s += *p;
            } else if (p[1] == '"') {
                s += '"';
                ++p;
            }
        }
        out = s;
    });
}

void CCTFX509Name::UnquoteString(CTOOString& text) {
    const CTOOString in = text;
    UnquoteString(in.c_str(), text);
}

void CCTFX509Name::GetRDNAttrValueString(const CERT_RDN_ATTR& attr, CTOOString& text) {
    Reporting("CCTFX509Name::GetRDNAttrValueString", [&] {
        std::string s;
        if (ValueText(attr, s, CertRDNValueToStrA)) text = s;
    });
}

void CCTFX509Name::GetRDNAttrValueString(const CERT_RDN_ATTR& attr, std::u16string& text) {
    Reporting("CCTFX509Name::GetRDNAttrValueString", [&] { ValueText(attr, text, CertRDNValueToStrW); });
}

void CCTFX509Name::GetRDNAttrValueString(const CCTFRDNAttr& attr, CTOOString& text) {
    GetRDNAttrValueString(attr.GetAttr(), text);
}

// ---------------------------------------------------------------------------
// CCTFX509Name: text

void CCTFX509Name::GetX500String(std::u16string& text, DWORD modeAndOptions) const {
    Reporting("CCTFX509Name::GetX500String", [&] {
        std::u16string out;
        if (!IsEmpty()) {
            X500NameDecoder decoder;
            decoder.SetDecoderOptions(modeAndOptions);
            if (!decoder.Decode(*this, out, modeAndOptions))
                ThrowNameStatus(TOOERR_BADENCODING, "CCTFX509Name::GetX500String");
        }
        text = std::move(out);
    });
}

void CCTFX509Name::GetX500String(std::string& text, DWORD modeAndOptions) const {
    Reporting("CCTFX509Name::GetX500String", [&] {
        std::u16string wide;
        GetX500String(wide, modeAndOptions);
        std::string out;
        if (!ToUtf8(wide, out)) ThrowNameStatus(TOOERR_BADENCODING, "CCTFX509Name::GetX500String");
        text = std::move(out);
    });
}

void CCTFX509Name::GetX500String(CTOOString& text, DWORD modeAndOptions) const {
    GetX500String(text.str(), modeAndOptions);
}

bool CCTFX509Name::GetCertNameString(std::string& text) const {
    return Reporting("CCTFX509Name::GetCertNameString", [&] {
        std::list<CCTFSimpleRDN> rdns;
        GetSimpleRDNList(rdns, false);
        text.clear();
        if (rdns.empty()) return false;
        std::string commonName, organisation;
        for (const auto& r : rdns) {
            if (r.oid == cert::oids::kPseudonym) {
                text = r.value.str();
                return true;
            }
            if (r.oid == cert::oids::kCommonName) commonName = r.value.str();
            if (r.oid == cert::oids::kOrganizationName) organisation = r.value.str();
        }
        text = !commonName.empty() ? commonName : !organisation.empty() ? organisation : rdns.front().value.str();
        return true;
    });
}
