// The record classes and ASNT* functions: thin status-reporting layers over
// asn::Reader and asn::Writer.
#include "cert/asn.h"
#include "cert/toofile.h"

using asn::Bytes;
using asn::View;

namespace {

[[noreturn]] void ThrowStatus(int code, const char* why) { throw XTOOStatus(code, why); }

DWORD Size32(std::size_t n) {
    if (n > 0xFFFFFFFFu) ThrowStatus(TOOERR_DER_LIMIT, "element larger than 4 GiB");
    return static_cast<DWORD>(n);
}

IdentObj Blob(Bytes b) { return IdentObj(b.data(), Size32(b.size())); }

// The WriteData rule: the encoding is appended, its size returned.
DWORD AppendTo(IdentObj& out, const asn::Writer& w) {
    DWORD n = Size32(w.bytes().size());
    out.AddData(w.bytes().data(), n);
    return n;
}

// Exactly one well-formed element.
void CheckOneElement(Bytes b) {
    asn::Reader r(b);
    r.Next();
    r.Finish();
}

// Arc-by-arc order of two OID contents (bytewise order is not numeric
// order once arcs take different numbers of octets).
int CompareOidContent(const IdentObj& a, const IdentObj& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        std::size_t ei = i, ej = j;
        while (ei < a.size() && (a.data()[ei] & 0x80)) ++ei;
        while (ej < b.size() && (b.data()[ej] & 0x80)) ++ej;
        if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
        for (; i <= ei && i < a.size(); ++i, ++j)
            if (a.data()[i] != b.data()[j]) return a.data()[i] < b.data()[j] ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CASNTBaseRecord

CASNTBaseRecord::CASNTBaseRecord(DWORD tag, const void* content, DWORD size, BYTE cls, bool constructed)
    : m_tag(tag), m_class(cls & 0xC0), m_constructed(constructed), m_entry(content, size) {}

bool CASNTBaseRecord::SetEncodedEntry(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNTBaseRecord::SetEncodedEntry", pStatus, false, [&] {
        asn::Reader r(View(data, size));
        while (!r.AtEnd()) r.Next();
        m_entry.Assign(data, size);
        m_constructed = true;
        return true;
    });
}

bool CASNTBaseRecord::SetOID(const char* dotted, int* pStatus) try {
    std::vector<std::uint8_t> c;
    if (!dotted || !asn::EncodeOid(dotted, c))
        return TOOReport(TOOERR_BADARG, "CASNTBaseRecord::SetOID: not an OID", pStatus), false;
    m_tag = asn::kOid;
    m_class = ASNT_CLASS_UNIVERSAL;
    m_constructed = false;
    m_entry.Assign(c.data(), Size32(c.size()));
    return true;
} catch (...) {
    TOOReportCurrentException("CASNTBaseRecord::SetOID", pStatus);
    return false;
}

CTOOString CASNTBaseRecord::GetOID(int* pStatus) const {
    return TOOGuarded("CASNTBaseRecord::GetOID", pStatus, CTOOString(), [&] {
        if (m_tag != asn::kOid || m_class != ASNT_CLASS_UNIVERSAL || m_constructed)
            ThrowStatus(TOOERR_DER_FORMAT, "not an OBJECT IDENTIFIER");
        return CTOOString(asn::DecodeOid(View(m_entry)));
    });
}

void CASNTBaseRecord::SetInteger(std::int64_t v) try {
    asn::Writer w;
    w.Integer(v);
    asn::Reader r(w.view());
    m_tag = asn::kInteger;
    m_class = ASNT_CLASS_UNIVERSAL;
    m_constructed = false;
    m_entry = Blob(r.Next().content);
} catch (...) {
    TOORethrowAsStatus("CASNTBaseRecord::SetInteger");
}

std::int64_t CASNTBaseRecord::GetInteger(int* pStatus) const {
    return TOOGuarded("CASNTBaseRecord::GetInteger", pStatus, std::int64_t(0), [&] {
        if ((m_tag != asn::kInteger && m_tag != asn::kEnumerated) || m_class != ASNT_CLASS_UNIVERSAL || m_constructed)
            ThrowStatus(TOOERR_DER_FORMAT, "not an INTEGER");
        return asn::DecodeInteger(View(m_entry));
    });
}

CTOOString CASNTBaseRecord::GetString(int* pStatus) const {
    return TOOGuarded("CASNTBaseRecord::GetString", pStatus, CTOOString(), [&] {
        if (m_class != ASNT_CLASS_UNIVERSAL || m_constructed || !asn::IsStringTag(m_tag))
            ThrowStatus(TOOERR_DER_FORMAT, "not a character string");
        return CTOOString(asn::DecodeString(m_tag, View(m_entry)));
    });
}

DWORD CASNTBaseRecord::WriteData(IdentObj& out, int* pStatus) const {
    return TOOGuarded("CASNTBaseRecord::WriteData", pStatus, DWORD(0), [&] {
        if (m_tag > asn::kMaxTag) ThrowStatus(TOOERR_DER_LIMIT, "tag number too large");
        std::vector<std::uint8_t> hdr;
        asn::EncodeHeader(hdr, m_class, m_constructed, m_tag, m_entry.size());
        Size32(std::size_t(out.size()) + hdr.size() + m_entry.size());
        out.AddData(hdr.data(), static_cast<DWORD>(hdr.size()));
        out.AddData(m_entry);
        return static_cast<DWORD>(hdr.size() + m_entry.size());
    });
}

IdentObj CASNTBaseRecord::GetEncodedRecord(int* pStatus) const {
    IdentObj out;
    WriteData(out, pStatus);
    return out;
}

DWORD CASNTBaseRecord::GetEncodedSize() const try {
    std::vector<std::uint8_t> hdr;
    asn::EncodeHeader(hdr, m_class, m_constructed, m_tag, m_entry.size());
    return static_cast<DWORD>(hdr.size() + m_entry.size());
} catch (...) {
    TOORethrowAsStatus("CASNTBaseRecord::GetEncodedSize");
}

DWORD CASNTBaseRecord::ReadData(const void* data, DWORD size, int* pStatus, bool ber) {
    return TOOGuarded("CASNTBaseRecord::ReadData", pStatus, DWORD(0), [&] {
        asn::Options opt;
        opt.ber = ber;
        asn::Reader r(View(data, size), opt);
        asn::Element e = r.Next();
        m_tag = e.tag;
        m_class = e.cls;
        m_constructed = e.constructed;
        m_entry = Blob(e.content);
        m_specSize = static_cast<DWORD>(e.content.size());
        m_headerSize = static_cast<DWORD>(e.headerLen);
        return static_cast<DWORD>(e.encoded.size());
    });
}

DWORD CASNTBaseRecord::ReadASNInfo(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNTBaseRecord::ReadASNInfo", pStatus, DWORD(0), [&] {
        asn::Header h = asn::DecodeHeader(View(data, size));
        m_tag = h.tag;
        m_class = h.cls;
        m_constructed = h.constructed;
        m_entry.Empty();
        m_specSize = static_cast<DWORD>(h.length);
        m_headerSize = static_cast<DWORD>(h.headerLen);
        return m_headerSize;
    });
}

// ---------------------------------------------------------------------------
// CASNTUnit

DWORD CASNTUnit::WriteData(IdentObj& out, int* pStatus) const try {
    DWORD before = out.size();
    for (const auto& r : m_items) {
        int st = 0;
        r.WriteData(out, &st);
        if (st) return TOOReport(st, "CASNTUnit::WriteData", pStatus), 0;
    }
    return out.size() - before;
} catch (...) {
    TOOReportCurrentException("CASNTUnit::WriteData", pStatus);
    return 0;
}

IdentObj CASNTUnit::WriteSequence(int* pStatus, DWORD tag, BYTE cls) const try {
    IdentObj content;
    int st = 0;
    WriteData(content, &st);
    if (st) return TOOReport(st, "CASNTUnit::WriteSequence", pStatus), IdentObj();
    return TOOGuarded("CASNTUnit::WriteSequence", pStatus, IdentObj(),
                      [&] { return asn::Encode(cls, true, tag, View(content)); });
} catch (...) {
    TOOReportCurrentException("CASNTUnit::WriteSequence", pStatus);
    return IdentObj();
}

namespace {
std::vector<CASNTBaseRecord> ReadRecords(asn::Reader& r) {
    std::vector<CASNTBaseRecord> out;
    while (!r.AtEnd()) {
        asn::Element e = r.Next();
        out.emplace_back(e.tag, e.content.data(), static_cast<DWORD>(e.content.size()), e.cls, e.constructed);
    }
    return out;
}
}  // namespace

DWORD CASNTUnit::ReadData(const void* data, DWORD size, int* pStatus, bool ber) {
    m_items.clear();
    return TOOGuarded("CASNTUnit::ReadData", pStatus, DWORD(0), [&] {
        asn::Options opt;
        opt.ber = ber;
        asn::Reader r(View(data, size), opt);
        m_items = ReadRecords(r);
        return GetEntryListSize();
    });
}

DWORD CASNTUnit::ReadSequence(const void* data, DWORD size, int* pStatus, bool ber) {
    m_items.clear();
    return TOOGuarded("CASNTUnit::ReadSequence", pStatus, DWORD(0), [&] {
        asn::Options opt;
        opt.ber = ber;
        asn::Reader outer(View(data, size), opt);
        asn::Reader r = outer.Enter(outer.Next());
        m_items = ReadRecords(r);
        return GetEntryListSize();
    });
}

// ---------------------------------------------------------------------------
// CASNTIdData

CASNTIdData::CASNTIdData(const char* dotted, const IdentObj& parameters, int* pStatus) {
    SetOID(dotted, pStatus);
    SetParameters(parameters);
}

bool CASNTIdData::SetOID(const char* dotted, int* pStatus) try {
    std::vector<std::uint8_t> c;
    if (!dotted || !asn::EncodeOid(dotted, c))
        return TOOReport(TOOERR_BADARG, "CASNTIdData::SetOID: not an OID", pStatus), false;
    m_oidContent.Assign(c.data(), static_cast<DWORD>(c.size()));
    m_oid = dotted;
    return true;
} catch (...) {
    TOOReportCurrentException("CASNTIdData::SetOID", pStatus);
    return false;
}

bool CASNTIdData::SetEncodedOID(const void* content, DWORD size, int* pStatus) {
    return TOOGuarded("CASNTIdData::SetEncodedOID", pStatus, false, [&] {
        m_oid = asn::DecodeOid(View(content, size));
        m_oidContent.Assign(content, size);
        return true;
    });
}

DWORD CASNTIdData::ReadData(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNTIdData::ReadData", pStatus, DWORD(0), [&] {
        asn::Reader r(View(data, size));
        asn::Element e = r.Next();
        asn::Element oid;
        IdentObj params;
        bool seq;
        if (e.IsUniversal(asn::kOid)) {
            oid = e;
            seq = false;
        } else if (e.IsUniversal(asn::kSequence)) {
            asn::Reader c = r.Enter(e);
            oid = c.Expect(asn::kOid);
            if (!c.AtEnd()) params = Blob(c.Next().encoded);
            c.Finish();
            seq = true;
        } else {
            r.ThrowAt(e.offset, "expected OBJECT IDENTIFIER or SEQUENCE");
        }
        std::string text = asn::DecodeOid(oid.content, oid.ContentOffset());
        m_oid = text;
        m_oidContent = Blob(oid.content);
        m_params = std::move(params);
        m_sequence = seq;
        return static_cast<DWORD>(e.encoded.size());
    });
}

DWORD CASNTIdData::WriteData(IdentObj& out, int* pStatus) const {
    return TOOGuarded("CASNTIdData::WriteData", pStatus, DWORD(0), [&] {
        if (m_oidContent.IsEmpty()) ThrowStatus(TOOERR_BADARG, "no OBJECT IDENTIFIER set");
        asn::Writer w;
        if (m_sequence) {
            auto m = w.BeginSequence();
            w.Primitive(asn::kOid, View(m_oidContent));
            if (HasParameters()) {
                CheckOneElement(View(m_params));
                w.Raw(m_params);
            }
            w.End(m);
        } else {
            w.Primitive(asn::kOid, View(m_oidContent));
        }
        return AppendTo(out, w);
    });
}

IdentObj CASNTIdData::GetEncoded(int* pStatus) const {
    IdentObj out;
    WriteData(out, pStatus);
    return out;
}

int CASNTIdData::Compare(const CASNTIdData& o) const {
    int c = CompareOidContent(m_oidContent, o.m_oidContent);
    return c ? c : m_params.Compare(o.m_params);
}

DWORD ASNAlgorithmIdentifier::ReadData(const void* data, DWORD size, int* pStatus) {
    if (size == 0 || static_cast<const BYTE*>(data)[0] != 0x30)
        return TOOReport(TOOERR_DER_FORMAT, "ASNAlgorithmIdentifier::ReadData: offset 0: expected SEQUENCE", pStatus),
               0;
    return CASNTIdData::ReadData(data, size, pStatus);
}

// ---------------------------------------------------------------------------
// Named structures.

CASNAlgAddInfo::CASNAlgAddInfo(const char* signOid, const char* hashOid, const char* encryptOid)
    : m_sign(signOid), m_hash(hashOid), m_encrypt(encryptOid) {}

DWORD CASNAlgAddInfo::ReadData(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNAlgAddInfo::ReadData", pStatus, DWORD(0), [&] {
        asn::Reader outer(View(data, size));
        asn::Element e = outer.Expect(asn::kSequence);
        asn::Reader r = outer.Enter(e);
        std::string sign = r.ReadOid(), hash, enc;
        if (!r.AtEnd()) hash = r.ReadOid();
        if (!r.AtEnd()) enc = r.ReadOid();
        r.Finish();
        m_sign = sign;
        m_hash = hash;
        m_encrypt = enc;
        return static_cast<DWORD>(e.encoded.size());
    });
}

DWORD CASNAlgAddInfo::WriteData(IdentObj& out, int* pStatus) const {
    return TOOGuarded("CASNAlgAddInfo::WriteData", pStatus, DWORD(0), [&] {
        if (m_sign.IsEmpty()) ThrowStatus(TOOERR_BADARG, "no public-key parameter set");
        if (m_hash.IsEmpty() && !m_encrypt.IsEmpty()) ThrowStatus(TOOERR_BADARG, "encryption set without digest set");
        asn::Writer w;
        auto m = w.BeginSequence();
        w.Oid(m_sign.str());
        if (!m_hash.IsEmpty()) w.Oid(m_hash.str());
        if (!m_encrypt.IsEmpty()) w.Oid(m_encrypt.str());
        w.End(m);
        return AppendTo(out, w);
    });
}

DWORD CASNValid::ReadData(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("CASNValid::ReadData", pStatus, DWORD(0), [&] {
        asn::Reader outer(View(data, size));
        asn::Element e = outer.Expect(asn::kSequence);
        asn::Reader r = outer.Enter(e);
        FILETIME a = r.ReadTime();
        FILETIME b = r.ReadTime();
        r.Finish();
        m_start = a;
        m_end = b;
        return static_cast<DWORD>(e.encoded.size());
    });
}

DWORD CASNValid::WriteData(IdentObj& out, int* pStatus) const {
    return TOOGuarded("CASNValid::WriteData", pStatus, DWORD(0), [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        w.Time(m_start).Time(m_end).End(m);
        return AppendTo(out, w);
    });
}

DWORD AsnKeyUsagePeriod::ReadData(const void* data, DWORD size, int* pStatus) {
    return TOOGuarded("AsnKeyUsagePeriod::ReadData", pStatus, DWORD(0), [&] {
        asn::Reader outer(View(data, size));
        asn::Element e = outer.Expect(asn::kSequence);
        asn::Reader r = outer.Enter(e);
        AsnKeyUsagePeriod p;
        for (std::uint32_t n = 0; n < 2; ++n) {
            auto t = r.Optional(n, asn::kContext);
            if (!t) continue;
            if (t->constructed) r.ThrowAt(t->offset, "constructed time");
            FILETIME ft = asn::DecodeTime(asn::kGeneralizedTime, t->content, r.options(), t->ContentOffset());
            n == 0 ? p.SetNotBefore(ft) : p.SetNotAfter(ft);
        }
        r.Finish();
        *this = p;
        return static_cast<DWORD>(e.encoded.size());
    });
}

DWORD AsnKeyUsagePeriod::WriteData(IdentObj& out, int* pStatus) const {
    return TOOGuarded("AsnKeyUsagePeriod::WriteData", pStatus, DWORD(0), [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        if (m_hasStart) {
            std::string s = asn::TimeText(asn::kGeneralizedTime, m_start);
            w.Element(asn::kContext, false, 0, View(s.data(), s.size()));
        }
        if (m_hasEnd) {
            std::string s = asn::TimeText(asn::kGeneralizedTime, m_end);
            w.Element(asn::kContext, false, 1, View(s.data(), s.size()));
        }
        w.End(m);
        return AppendTo(out, w);
    });
}

// ---------------------------------------------------------------------------
// DerHelper

namespace {
IdentObj EncodeText(std::uint32_t tag, const char* text, const char* place, int* pStatus) {
    return TOOGuarded(place, pStatus, IdentObj(), [&] {
        asn::Writer w;
        w.String(tag, text ? text : "");
        return w.Take();
    });
}
}  // namespace

IdentObj DerHelper::EncodeStringAsUtf8(const char* utf8, int* pStatus) {
    return EncodeText(asn::kUtf8String, utf8, "DerHelper::EncodeStringAsUtf8", pStatus);
}

IdentObj DerHelper::EncodeStringAsBmp(const char* utf8, int* pStatus) {
    return EncodeText(asn::kBmpString, utf8, "DerHelper::EncodeStringAsBmp", pStatus);
}

namespace {
CTOOString DecodeOne(const void* data, DWORD size, std::uint32_t want, const char* place, int* pStatus, DWORD* pTag) {
    return TOOGuarded(place, pStatus, CTOOString(), [&] {
        asn::Reader r(View(data, size));
        if (want) {
            asn::Element e = r.Expect(want);
            r.Finish();
            return CTOOString(asn::DecodeString(want, e.content, e.ContentOffset()));
        }
        std::uint32_t tag = 0;
        std::string s = r.ReadString(&tag);
        r.Finish();
        if (pTag) *pTag = tag;
        return CTOOString(std::move(s));
    });
}
}  // namespace

CTOOString DerHelper::DecodeUtf8String(const void* data, DWORD size, int* pStatus) {
    return DecodeOne(data, size, asn::kUtf8String, "DerHelper::DecodeUtf8String", pStatus, nullptr);
}

CTOOString DerHelper::DecodeBmpString(const void* data, DWORD size, int* pStatus) {
    return DecodeOne(data, size, asn::kBmpString, "DerHelper::DecodeBmpString", pStatus, nullptr);
}

CTOOString DerHelper::DecodeString(const void* data, DWORD size, int* pStatus, DWORD* pTag) {
    return DecodeOne(data, size, 0, "DerHelper::DecodeString", pStatus, pTag);
}

bool DerHelper::IsPrintableString(std::string_view text) try {
    try {
        asn::DecodeString(asn::kPrintableString, View(text.data(), text.size()));
        return true;
    } catch (const asn::Error&) {
        return false;
    }
} catch (...) {
    TOORethrowAsStatus("DerHelper::IsPrintableString");
}

bool DerHelper::IsValidUtf8(std::string_view text) try {
    try {
        asn::DecodeString(asn::kUtf8String, View(text.data(), text.size()));
        return true;
    } catch (const asn::Error&) {
        return false;
    }
} catch (...) {
    TOORethrowAsStatus("DerHelper::IsValidUtf8");
}

// ---------------------------------------------------------------------------
// ASNT* functions

int ASNTGetSequence(const void* data, DWORD size, std::vector<IdentObj>& items, int* pStatus, DWORD* pUsed,
                    BYTE tagByte) {
    items.clear();
    return TOOGuarded("ASNTGetSequence", pStatus, 0, [&] {
        asn::Reader outer(View(data, size));
        asn::Element e = outer.Next();
        if (e.encoded[0] != tagByte) outer.ThrowAt(e.offset, "expected identifier octet " + TOOBin2HexStr(&tagByte, 1));
        asn::Reader r = outer.Enter(e);
        std::vector<IdentObj> out;
        while (!r.AtEnd()) out.push_back(Blob(r.Next().encoded));
        items = std::move(out);
        if (pUsed) *pUsed = static_cast<DWORD>(e.encoded.size());
        return static_cast<int>(items.size());
    });
}

int ASNTGetSequence(const IdentObj& data, std::vector<IdentObj>& items, int* pStatus, DWORD* pUsed, BYTE tagByte) {
    return ASNTGetSequence(data.data(), data.size(), items, pStatus, pUsed, tagByte);
}

int ASNTGetSequence(const CTOOFile& file, std::vector<IdentObj>& items, int* pStatus) try {
    items.clear();
    std::string place = std::string("ASNTGetSequence ") + file.FileName();
    LONGLONG start = file.CurPos();
    if (start < 0) return TOOReport(file.GetStatus() ? file.GetStatus() : TOOERR_IO, place.c_str(), pStatus), 0;
    // The first pass checks the header against the file and learns the size;
    // the second takes the bytes as they stand (BER forms inside included).
    int st = 0;
    CASNTBaseRecord probe;
    DWORD size = probe.ReadData(file, &st);
    if (!size) return TOOReport(st, (place + ": " + std::to_string(start)).c_str(), pStatus), 0;
    IdentObj bytes;
    bytes.Alloc(size);
    if (!file.Seek(start) || !file.ReadExact(bytes.data(), size))
        return TOOReport(file.GetStatus() ? file.GetStatus() : TOOERR_IO, place.c_str(), pStatus), 0;
    int n = ASNTGetSequence(bytes, items, &st);
    if (st) return TOOReport(st, place.c_str(), pStatus), 0;
    return n;
} catch (...) {
    TOOReportCurrentException("ASNTGetSequence", pStatus);
    return 0;
}

int ASNTGetSequence(const char* fileName, std::vector<IdentObj>& items, int* pStatus) try {
    items.clear();
    CTOOFile file;
    std::string place = std::string("ASNTGetSequence ") + (fileName ? fileName : "");
    if (!file.Open(fileName, "rb")) return TOOReport(file.GetStatus(), place.c_str(), pStatus), 0;
    int st = 0;
    int n = ASNTGetSequence(file, items, &st);
    if (st) return TOOReport(st, place.c_str(), pStatus), 0;
    LONGLONG used = file.CurPos();
    if (used != file.Length()) {
        items.clear();
        std::string why = place + ": offset " + std::to_string(used) + ": bytes after the SEQUENCE";
        return TOOReport(TOOERR_DER_FORMAT, why.c_str(), pStatus), 0;
    }
    return n;
} catch (...) {
    TOOReportCurrentException("ASNTGetSequence", pStatus);
    return 0;
}

DWORD ASNTPutSequence(const std::vector<IdentObj>& items, CTOOFile& file, int* pStatus) try {
    IdentObj out;
    int st = 0;
    if (!ASNTPutSequence(items, out, &st)) return TOOReport(st, "ASNTPutSequence", pStatus), 0;
    if (!file.Write(out)) {
        std::string place = std::string("ASNTPutSequence ") + file.FileName();
        return TOOReport(file.GetStatus() ? file.GetStatus() : TOOERR_WRITE, place.c_str(), pStatus), 0;
    }
    return out.size();
} catch (...) {
    TOOReportCurrentException("ASNTPutSequence", pStatus);
    return 0;
}

DWORD ASNTPutSequence(const std::vector<IdentObj>& items, IdentObj& out, int* pStatus) {
    return TOOGuarded("ASNTPutSequence", pStatus, DWORD(0), [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        for (const auto& it : items) {
            CheckOneElement(View(it));
            w.Raw(it);
        }
        w.End(m);
        out = w.Take();
        return out.size();
    });
}

DWORD ASNTPutSequence(const std::vector<std::int64_t>& numbers, IdentObj& out, int* pStatus) {
    return TOOGuarded("ASNTPutSequence", pStatus, DWORD(0), [&] {
        asn::Writer w;
        auto m = w.BeginSequence();
        for (auto v : numbers) w.Integer(v);
        w.End(m);
        out = w.Take();
        return out.size();
    });
}

DWORD ASNTGetAsnInfo(const void* data, DWORD size, ASNTInfo* info, int* pStatus) {
    return TOOGuarded("ASNTGetAsnInfo", pStatus, DWORD(0), [&] {
        asn::Header h = asn::DecodeHeader(View(data, size));
        if (h.length > size - h.headerLen)
            throw asn::Error(TOOERR_DER_FORMAT, 0, "length " + std::to_string(h.length) + " exceeds the input");
        if (info) {
            info->cls = h.cls;
            info->constructed = h.constructed;
            info->tag = h.tag;
            info->headerSize = static_cast<DWORD>(h.headerLen);
            info->contentSize = static_cast<DWORD>(h.length);
            info->totalSize = static_cast<DWORD>(h.headerLen + h.length);
        }
        return static_cast<DWORD>(h.headerLen);
    });
}

DWORD ASNTLowEncodeData(BYTE cls, bool constructed, DWORD tag, DWORD length, BYTE* out, DWORD outSize,
                        int* pStatus) try {
    if (tag > asn::kMaxTag) return TOOReport(TOOERR_DER_LIMIT, "ASNTLowEncodeData: tag number too large", pStatus), 0;
    std::vector<std::uint8_t> hdr;
    asn::EncodeHeader(hdr, cls, constructed, tag, length);
    if (!out || hdr.size() > outSize) return TOOReport(TOOERR_BADARG, "ASNTLowEncodeData: no room", pStatus), 0;
    std::copy(hdr.begin(), hdr.end(), out);
    return static_cast<DWORD>(hdr.size());
} catch (...) {
    TOOReportCurrentException("ASNTLowEncodeData", pStatus);
    return 0;
}

DWORD ASNTLowDecodeData(const void* data, DWORD size, BYTE* cls, bool* constructed, DWORD* tag, DWORD* length,
                        int* pStatus) {
    return TOOGuarded("ASNTLowDecodeData", pStatus, DWORD(0), [&] {
        asn::Header h = asn::DecodeHeader(View(data, size));
        if (cls) *cls = h.cls;
        if (constructed) *constructed = h.constructed;
        if (tag) *tag = h.tag;
        if (length) *length = static_cast<DWORD>(h.length);
        return static_cast<DWORD>(h.headerLen);
    });
}
