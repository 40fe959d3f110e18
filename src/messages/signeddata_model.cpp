// The signed data model: attributes, signer infos and CCTFSignData.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "cert/certstore.h"
#include "cert/platform.h"
#include "cert/signeddata.h"
#include "messages/file_ranges.h"
#include "platform/files.h"

namespace {

asn::Options Ber() {
    asn::Options o;
    o.ber = true;
    return o;
}

IdentObj Blob(asn::Bytes b) { return IdentObj(b.data(), static_cast<DWORD>(b.size())); }

[[noreturn]] void Format(const char* place) { throw XTOOStatus(TOOERR_DER_FORMAT, place, 1); }

// Bytes consumed of a read that the body does; 0 with the failure reported.
template <class F>
unsigned long Consumed(const char* place, int* error, F&& body) {
    return TOOGuarded(place, error, 0ul, [&] { return static_cast<unsigned long>(body()); });
}

}  // namespace

// ---------------------------------------------------------------------------
// Attributes.

unsigned long CCTFAttribute::ReadData(const unsigned char* data, unsigned long size, int* error) {
    return Consumed("CCTFAttribute::ReadData", error, [&] {
        asn::Reader top(asn::View(data, size), Ber());
        const asn::Element e = top.Next();
        if (!e.IsUniversal(asn::kSequence)) Format("CCTFAttribute::ReadData");
        asn::Reader in = top.Enter(e);
        if (!in.NextIs(asn::kUniversal, asn::kOid)) Format("CCTFAttribute::ReadData");
        CTOOString type = in.ReadOid();
        const asn::Element values = in.Next();
        in.Finish();
        m_type = type;
        m_values = Blob(values.encoded);
        return e.encoded.size();
    });
}

IdentObj CCTFAttribute::WriteData(int* error) const {
    IdentObj out;
    TOOGuarded("CCTFAttribute::WriteData", error, [&] {
        asn::Writer w;
        const auto m = w.BeginSequence();
        w.Oid(m_type.c_str()).Raw(m_values);
        w.End(m);
        out = w.Take();
    });
    return out;
}

unsigned long CCTFAttributesSet::ReadData(const unsigned char* data, unsigned long size, int* error) {
    return Consumed("CCTFAttributesSet::ReadObject", error, [&] {
        CCTFAttribute a;
        const unsigned long used = a.ReadData(data, size, nullptr);
        asn::Reader top(asn::View(a.m_values), Ber());
        const asn::Element set = top.Next();
        if (!set.IsUniversal(asn::kSet)) Format("CCTFAttributesSet::ReadObject");
        std::list<IdentObj> values;
        for (asn::Reader in = top.Enter(set); !in.AtEnd();) values.push_back(Blob(in.Next().encoded));
        m_type = a.m_type;
        m_values = std::move(values);
        return used;
    });
}

IdentObj CCTFAttributesSet::WriteData(int* error) const {
    IdentObj out;
    TOOGuarded("CCTFAttributes::WriteData", error, [&] {
        asn::Writer w;
        const auto set = w.BeginSet(false);
        if (m_values.size() > 1) {
            const auto seq = w.BeginSequence();
            for (const auto& v : m_values) w.Raw(v);
            w.End(seq);
        } else if (m_values.size() == 1) {
            w.Raw(m_values.front());
        }
        w.End(set);
        CCTFAttribute a;
        a.m_type = m_type;
        a.m_values = w.Take();
        out = a.WriteData(nullptr);
    });
    return out;
}

unsigned long CCTFAttributesList::ReadData(const unsigned char* data, unsigned long size, int* error) {
    return Consumed("CCTFAttributesList::ReadData", error, [&] {
        asn::Reader top(asn::View(data, size), Ber());
        const asn::Element e = top.Next();
        if (!e.constructed) Format("CCTFAttributesList::ReadData");
        std::list<CCTFAttributesSet> sets;
        for (asn::Reader in = top.Enter(e); !in.AtEnd();) {
            const asn::Element item = in.Next();
            CCTFAttributesSet s;
            s.ReadData(item.encoded.data(), static_cast<unsigned long>(item.encoded.size()), nullptr);
            sets.push_back(std::move(s));
        }
        m_sets = sets;
        m_read = std::move(sets);
        m_tag = m_readTag = e.tag;
        m_universal = m_readUniversal = e.cls == asn::kUniversal;
        m_encoded = Blob(e.encoded);
        return e.encoded.size();
    });
}

IdentObj CCTFAttributesList::WriteData(int* error) const {
    IdentObj out;
    TOOGuarded("CCTFAttributesList::WriteData", error, [&] {
        // What was read goes back as read: a foreign signer's attributes are
        // hashed as they stand.
        if (!m_encoded.IsEmpty() && m_sets == m_read && m_tag == m_readTag && m_universal == m_readUniversal) {
            out = m_encoded;
            return;
        }
        asn::Writer w;
        const auto m = w.Begin(m_universal ? asn::kUniversal : asn::kContext, true, m_tag);
        for (const auto& s : m_sets) w.Raw(s.WriteData(nullptr));
        w.End(m);
        out = w.Take();
    });
    return out;
}

// ---------------------------------------------------------------------------
// Signer infos.

CCTFMessageSignerInfo::~CCTFMessageSignerInfo() = default;

unsigned long CCTFMessageSignerInfo::ReadData(const void* data, unsigned long size, int* error) {
    static const char kPlace[] = "MessageSignerInfo";
    return Consumed(kPlace, error, [&] {
        asn::Reader top(asn::View(data, size), Ber());
        const asn::Element e = top.Next();
        if (!e.IsUniversal(asn::kSequence)) Format(kPlace);
        asn::Reader in = top.Enter(e);
        CCTFMessageSignerInfo r;
        r.m_signerUniqueId = m_signerUniqueId;
        if (!in.NextIs(asn::kUniversal, asn::kInteger)) Format(kPlace);
        const std::int64_t version = in.ReadInteger();
        if (version < 0 || version > 0xFFFFFFFF) Format(kPlace);
        r.m_version = static_cast<DWORD>(version);
        auto sid = in.Peek();
        if (!sid) Format(kPlace);
        if (sid->IsContext(0)) {
            in.Next();
            if (sid->constructed) {
                asn::Reader k = in.Enter(*sid);
                r.m_keyId = in.StringContent(k.Next());
            } else {
                r.m_keyId = Blob(sid->content);
            }
            if (r.m_keyId.IsEmpty()) Format(kPlace);
        } else if (sid->IsUniversal(asn::kSequence)) {
            asn::Reader ias = in.EnterSequence();
            const asn::Element name = ias.Expect(asn::kSequence);
            r.m_issuer = Blob(name.encoded);
            r.m_serialNumber = Blob(ias.ReadIntegerBytes());
            ias.Finish();
        } else {
            Format(kPlace);
        }
        const asn::Element dig = in.Expect(asn::kSequence);
        if (!r.m_digestAlgorithm.ReadData(dig.encoded.data(), static_cast<DWORD>(dig.encoded.size()), nullptr))
            Format(kPlace);
        if (auto sa = in.Optional(0, asn::kContext)) {
            r.m_signedAttributes.ReadData(sa->encoded.data(), static_cast<unsigned long>(sa->encoded.size()), nullptr);
        }
        const asn::Element sig = in.Expect(asn::kSequence);
        if (!r.m_signatureAlgorithm.ReadData(sig.encoded.data(), static_cast<DWORD>(sig.encoded.size()), nullptr))
            Format(kPlace);
        if (!in.NextIs(asn::kUniversal, asn::kOctetString)) Format(kPlace);
        IdentObj value = in.ReadOctetString();
        if (value.IsEmpty()) Format(kPlace);
        std::reverse(value.data(), value.data() + value.size());
        r.m_signature = std::move(value);
        if (auto ua = in.Optional(1, asn::kContext)) {
            r.m_unsignedAttributes.ReadData(ua->encoded.data(), static_cast<unsigned long>(ua->encoded.size()),
                                            nullptr);
        }
        in.Finish();
        *this = std::move(r);
        return e.encoded.size();
    });
}

IdentObj CCTFMessageSignerInfo::WriteData(int* error) const {
    IdentObj out;
    TOOGuarded("MessageSignerInfo", error, [&] {
        asn::Writer w;
        const auto m = w.BeginSequence();
        const bool byKey = !m_keyId.IsEmpty();
        w.Integer(byKey ? 3 : 1);
        if (byKey) {
            w.Element(asn::kContext, false, 0, asn::View(m_keyId));
        } else {
            const auto ias = w.BeginSequence();
            w.Raw(m_issuer).IntegerBytes(asn::View(m_serialNumber));
            w.End(ias);
        }
        w.Raw(m_digestAlgorithm.GetEncoded(nullptr));
        if (!m_signedAttributes.IsEmpty()) {
            CCTFAttributesList l = m_signedAttributes;
            if (l.GetEncoded().IsEmpty()) {
                l.m_tag = 0;
                l.m_universal = false;
            }
            w.Raw(l.WriteData(nullptr));
        }
        w.Raw(m_signatureAlgorithm.GetEncoded(nullptr));
        IdentObj sig = m_signature;
        std::reverse(sig.data(), sig.data() + sig.size());
        w.OctetString(sig);
        if (!m_unsignedAttributes.IsEmpty()) {
            CCTFAttributesList l = m_unsignedAttributes;
            if (l.GetEncoded().IsEmpty()) {
                l.m_tag = 1;
                l.m_universal = false;
            }
            w.Raw(l.WriteData(nullptr));
        }
        w.End(m);
        out = w.Take();
    });
    return out;
}

FILETIME CCTFMessageSignerInfo::GetSigningDate(int* error) const {
    FILETIME t{0, 0};
    TOOGuarded("MessageSignerInfo::GetSigningDate", error, [&] {
        for (const auto& s : m_signedAttributes.m_sets) {
            if (!(s.m_type == kOidSigningTimeAttr) || s.m_values.size() != 1) continue;
            asn::Reader r(asn::View(s.m_values.front()), Ber());
            t = r.ReadTime();
            return;
        }
        throw XTOOStatus(TOOERR_DER_FORMAT, "MessageSignerInfo::GetSigningDate");
    });
    return t;
}

int CCTFMessageSignerInfo::Compare(const CCTFMessageSignerInfo& o) const {
    return WriteData(nullptr).Compare(o.WriteData(nullptr));
}

// ---------------------------------------------------------------------------
// CCTFSignData.

CCTFSignData::CCTFSignData() { Clear(); }

CCTFSignData::CCTFSignData(const CCTFSignData& o)
    : m_version(o.m_version),
      m_digestAlgorithms(o.m_digestAlgorithms),
      m_content(o.m_content),
      m_certificates(o.m_certificates),
      m_crls(o.m_crls),
      m_signerInfos(o.m_signerInfos),
      m_contentInfoType(o.m_contentInfoType),
      m_dataInfo(o.m_dataInfo),
      m_fileName(o.m_fileName),
      m_fileRanges(o.m_fileRanges) {
    FixName();
}

CCTFSignData& CCTFSignData::operator=(const CCTFSignData& o) {
    if (this != &o) {
        CCTFSignData copy(o);
        m_version = copy.m_version;
        m_digestAlgorithms = std::move(copy.m_digestAlgorithms);
        m_content = std::move(copy.m_content);
        m_certificates = std::move(copy.m_certificates);
        m_crls = std::move(copy.m_crls);
        m_signerInfos = std::move(copy.m_signerInfos);
        m_contentInfoType = std::move(copy.m_contentInfoType);
        m_dataInfo = copy.m_dataInfo;
        m_fileName = std::move(copy.m_fileName);
        m_fileRanges = std::move(copy.m_fileRanges);
        FixName();
    }
    return *this;
}

CCTFSignData::~CCTFSignData() = default;

void CCTFSignData::Clear() {
    m_version = 1;
    m_digestAlgorithms.clear();
    m_content = CASNTIdData(cert::kOidData);
    m_certificates.clear();
    m_crls.clear();
    m_signerInfos.clear();
    m_contentInfoType = CASNTIdData(cert::kOidSignedData).GetEncodedOID();
    m_dataInfo = WhatToSignStruct{};
    m_fileName = "";
    m_fileRanges.clear();
}

// The descriptor names the file through the object's own copy of the name.
void CCTFSignData::FixName() {
    if (m_dataInfo.flags & kWhatToSignFile) m_dataInfo.data = m_fileName.c_str();
}

namespace {

// Turns a read into the object's fields; the content stays in the input.
void Fill(const cert::SignedDataParts& p, CCTFSignData& d) {
    std::list<CCTFAlgorithmIdentifier> algs;
    for (const auto& a : p.digestAlgorithms) {
        CCTFAlgorithmIdentifier alg;
        int st = 0;
        if (!alg.ReadData(a, &st)) throw XTOOStatus(st ? st : TOOERR_DER_FORMAT, "CCTFSignData::ReadObject", 1);
        algs.push_back(std::move(alg));
    }
    d.m_version = static_cast<DWORD>(p.version);
    d.m_digestAlgorithms = std::move(algs);
    d.m_content = CASNTIdData(p.contentType.c_str());
    d.m_certificates.assign(p.certificates.begin(), p.certificates.end());
    d.m_crls.assign(p.crls.begin(), p.crls.end());
    d.m_signerInfos.assign(p.signerInfos.begin(), p.signerInfos.end());
}

}  // namespace

bool CCTFSignData::ReadObject(const unsigned char* data, unsigned long size, int* error) {
    return TOOGuarded("CCTFSignData::ReadObject", error, [&] {
        cert::SignedDataReader reader;
        cert::SignedDataParts p;
        reader.ReadMemory(data, size, p, nullptr);
        IdentObj content;
        for (const auto& r : p.content) content.AddData(data + r.offset, static_cast<DWORD>(r.length));
        CCTFSignData d;
        Fill(p, d);
        if (!content.IsEmpty()) d.m_content.SetParameters(content);
        *this = d;
    });
}

unsigned long CCTFSignData::ReadObject(const CTOOFile& file, unsigned long offset, int* error) {
    return Consumed("CCTFSignData::ReadObject", error, [&] {
        cert::SignedDataReader reader;
        reader.SetWholeInput(false);
        cert::SignedDataParts p;
        const std::string name = file.FileName();
        reader.ReadFile(name, offset, p, nullptr);
        CCTFSignData d;
        Fill(p, d);
        if (!p.content.empty()) {
            d.m_fileName = name.c_str();
            d.m_fileRanges = p.content;
            if (p.content.size() == 1 && p.content[0].offset + p.content[0].length < 0xFFFFFFFFull) {
                d.m_dataInfo.flags = kWhatToSignFile;
                d.m_dataInfo.start = static_cast<DWORD>(p.content[0].offset);
                d.m_dataInfo.end = static_cast<DWORD>(p.content[0].offset + p.content[0].length);
            }
        }
        *this = d;
        return p.end - p.start;
    });
}

bool CCTFSignData::AttachData(const WhatToSignStruct& data, int* error) {
    return TOOGuarded("CCTFSignData::AttachData", error, [&] {
        if (!data.data) throw XTOOStatus(TOOERR_BADARG, "CCTFSignData::AttachData");
        if (data.flags & kWhatToSignFile) {
            if (!CTOOFile::IsExists(data.data)) throw XTOOStatus(TOOERR_NOFILE, "CCTFSignData::AttachData");
            m_content = CASNTIdData(cert::kOidData);
            m_fileName = data.data;
            m_fileRanges.clear();
            m_dataInfo = data;
            FixName();
        } else {
            if (data.end < data.start) throw XTOOStatus(TOOERR_BADARG, "CCTFSignData::AttachData");
            CASNTIdData c(cert::kOidData);
            c.SetParameters(IdentObj(data.data + data.start, data.end - data.start));
            m_content = c;
            m_dataInfo = WhatToSignStruct{};
            m_fileName = "";
            m_fileRanges.clear();
        }
    });
}

std::vector<cert::ByteRange> CCTFSignData::FileRanges() const {
    if (!m_fileRanges.empty()) return m_fileRanges;
    if (!(m_dataInfo.flags & kWhatToSignFile)) return {};
    const LONGLONG len = CTOOFile::Length(m_fileName.c_str());
    if (len < 0) throw XTOOStatus(TOOERR_NOFILE, m_fileName.c_str());
    const std::uint64_t end = m_dataInfo.end == 0xFFFFFFFF ? static_cast<std::uint64_t>(len) : m_dataInfo.end;
    if (end < m_dataInfo.start || end > static_cast<std::uint64_t>(len))
        throw XTOOStatus(TOOERR_SHORTREAD, m_fileName.c_str());
    if (end == m_dataInfo.start) return {};
    return {cert::ByteRange{m_dataInfo.start, end - m_dataInfo.start}};
}

std::uint64_t CCTFSignData::GetContentSize() const {
    std::uint64_t n = m_content.GetParameters().size();
    for (const auto& r : FileRanges()) n += r.length;
    return n;
}

void CCTFSignData::Frame(std::uint64_t size, IdentObj& before, IdentObj& after) const {
    if (size > 0xFFFFFFFFull - 64) throw XTOOStatus(TOOERR_DER_LIMIT, "CCTFSignData::WriteObject");
    auto header = [](std::vector<std::uint8_t>& out, std::uint8_t cls, bool cons, std::uint32_t tag,
                     std::uint64_t len) {
        if (len > 0xFFFFFFFFull) throw XTOOStatus(TOOERR_DER_LIMIT, "CCTFSignData::WriteObject");
        asn::EncodeHeader(out, cls, cons, tag, static_cast<std::size_t>(len));
    };
    asn::Writer head;  // version and digest algorithms
    head.Integer(m_version);
    const auto set = head.BeginSet(false);
    for (const auto& a : m_digestAlgorithms) head.Raw(a.GetEncoded(nullptr));
    head.End(set);
    asn::Writer tail;  // certificates, CRLs, signer infos
    if (!m_certificates.empty()) {
        const auto m = tail.BeginContext(0);
        for (const auto& c : m_certificates) tail.Raw(c);
        tail.End(m);
    }
    if (!m_crls.empty()) {
        const auto m = tail.BeginContext(1);
        for (const auto& c : m_crls) tail.Raw(c);
        tail.End(m);
    }
    const auto si = tail.BeginSet(false);
    for (const auto& s : m_signerInfos) tail.Raw(s);
    tail.End(si);

    asn::Writer oid;
    oid.Oid(m_content.GetOID().c_str());
    std::vector<std::uint8_t> os, ex, eci;
    std::uint64_t eciLen = oid.view().size();
    if (size) {
        header(os, asn::kUniversal, false, asn::kOctetString, size);
        header(ex, asn::kContext, true, 0, os.size() + size);
        eciLen += ex.size() + os.size() + size;
    }
    header(eci, asn::kUniversal, true, asn::kSequence, eciLen);
    const std::uint64_t sdLen = head.view().size() + eci.size() + eciLen + tail.view().size();
    std::vector<std::uint8_t> sd, outer, ci;
    header(sd, asn::kUniversal, true, asn::kSequence, sdLen);
    header(outer, asn::kContext, true, 0, sd.size() + sdLen);
    std::vector<std::uint8_t> typeOid;
    asn::EncodeHeader(typeOid, asn::kUniversal, false, asn::kOid, m_contentInfoType.size());
    typeOid.insert(typeOid.end(), m_contentInfoType.begin(), m_contentInfoType.end());
    header(ci, asn::kUniversal, true, asn::kSequence, typeOid.size() + outer.size() + sd.size() + sdLen);

    IdentObj b;
    for (const auto* part : {&ci, &typeOid, &outer, &sd}) b.AddData(part->data(), static_cast<DWORD>(part->size()));
    b.AddData(head.view().data(), static_cast<DWORD>(head.view().size()));
    b.AddData(eci.data(), static_cast<DWORD>(eci.size()));
    b.AddData(oid.view().data(), static_cast<DWORD>(oid.view().size()));
    b.AddData(ex.data(), static_cast<DWORD>(ex.size()));
    b.AddData(os.data(), static_cast<DWORD>(os.size()));
    before = std::move(b);
    after = Blob(tail.view());
}

IdentObj CCTFSignData::WriteObject(int* error) {
    IdentObj out;
    TOOGuarded("CCTFSignData::WriteObject", error, [&] {
        const std::vector<cert::ByteRange> ranges = FileRanges();
        IdentObj before, after;
        Frame(GetContentSize(), before, after);
        IdentObj b = before;
        b.AddData(m_content.GetParameters());
        if (!ranges.empty()) {
            cert::messages::ReadFileRanges(m_fileName.c_str(), ranges, [&](const std::uint8_t* p, std::size_t n) {
                b.AddData(p, static_cast<DWORD>(n));
            });
        }
        b.AddData(after);
        out = std::move(b);
    });
    return out;
}

unsigned long CCTFSignData::WriteObject(CTOOFile& file, unsigned long offset) {
    try {
        const std::vector<cert::ByteRange> ranges = FileRanges();
        IdentObj before, after;
        Frame(GetContentSize(), before, after);
        if (!file.Seek(static_cast<LONGLONG>(offset))) throw XTOOStatus(file.GetStatus(), file.FileName());
        std::uint64_t written = 0;
        auto put = [&](const std::uint8_t* p, std::size_t n) {
            if (n && file.Write(p, static_cast<DWORD>(n)) != n) throw XTOOStatus(file.GetStatus(), file.FileName());
            written += n;
        };
        put(before.data(), before.size());
        put(m_content.GetParameters().data(), m_content.GetParameters().size());
        if (!ranges.empty()) cert::messages::ReadFileRanges(m_fileName.c_str(), ranges, put);
        put(after.data(), after.size());
        return static_cast<unsigned long>(written);
    } catch (...) {
        TOORethrowAsStatus("CCTFSignData::WriteObject");
    }
}

bool CCTFSignData::DetachData(WhatToSignStruct& target, int* error) {
    static const char kPlace[] = "CCTFSignData::DetachData";
    return TOOGuarded(kPlace, error, [&] {
        const std::vector<cert::ByteRange> ranges = FileRanges();
        const IdentObj& held = m_content.GetParameters();
        const std::uint64_t size = GetContentSize();
        WhatToSignStruct out = target;
        if (target.flags & kWhatToSignFile) {
            if (!target.data) throw XTOOStatus(TOOERR_BADARG, kPlace);
            const std::string name = target.data;
            cert::platform::OutputFile file;
            DWORD e = file.Open(name, cert::platform::kModeAsBefore);
            if (e) throw XTOOStatus(WinErr2ToolsErr(e), name.c_str());
            auto put = [&](const std::uint8_t* p, std::size_t n) {
                if (const DWORD we = file.Write(p, n)) throw XTOOStatus(WinErr2ToolsErr(we), name.c_str());
            };
            put(held.data(), held.size());
            if (!ranges.empty()) cert::messages::ReadFileRanges(m_fileName.c_str(), ranges, put);
            if ((e = file.Commit())) throw XTOOStatus(WinErr2ToolsErr(e), name.c_str());
            out.start = 0;
            out.end = size < 0xFFFFFFFFull ? static_cast<DWORD>(size) : 0xFFFFFFFFu;
        } else {
            // A buffer is described by 32-bit offsets: a larger content cannot
            // be handed over in memory at all.
            if (size >= 0xFFFFFFFFull) throw XTOOStatus(TOOERR_NOMEM, kPlace);
            std::unique_ptr<char[]> buf(new (std::nothrow) char[size ? size : 1]);
            if (!buf) throw XTOOStatus(TOOERR_NOMEM, kPlace);
            if (!held.IsEmpty()) std::memcpy(buf.get(), held.data(), held.size());
            std::size_t at = held.size();
            if (!ranges.empty()) {
                cert::messages::ReadFileRanges(m_fileName.c_str(), ranges, [&](const std::uint8_t* p, std::size_t n) {
                    std::memcpy(buf.get() + at, p, n);
                    at += n;
                });
            }
            out.data = buf.release();
            out.start = 0;
            out.end = static_cast<DWORD>(size);
        }
        m_content = CASNTIdData(m_content.GetOID().c_str());
        m_dataInfo = WhatToSignStruct{};
        m_fileName = "";
        m_fileRanges.clear();
        target = out;
    });
}

unsigned long CCTFSignData::GetDataSize() const {
    asn::Writer oid;
    oid.Oid(m_content.GetOID().c_str());
    return static_cast<unsigned long>(4 + oid.view().size() + GetContentSize());
}

unsigned long CCTFSignData::GetObjectSize() const {
    std::uint64_t n = 12 + GetDataSize() + 4 + 4;
    for (const auto& a : m_digestAlgorithms) n += a.GetEncoded(nullptr).size();
    for (const auto* list : {&m_certificates, &m_crls, &m_signerInfos})
        for (const auto& o : *list) n += o.size();
    return static_cast<unsigned long>(n);
}

std::uint64_t CCTFSignData::WriteTo(const std::function<void(const std::uint8_t*, std::size_t)>& sink) {
    try {
        const std::vector<cert::ByteRange> ranges = FileRanges();
        IdentObj before, after;
        Frame(GetContentSize(), before, after);
        std::uint64_t written = 0;
        auto put = [&](const std::uint8_t* p, std::size_t n) {
            if (n) sink(p, n);
            written += n;
        };
        put(before.data(), before.size());
        put(m_content.GetParameters().data(), m_content.GetParameters().size());
        if (!ranges.empty()) cert::messages::ReadFileRanges(m_fileName.c_str(), ranges, put);
        put(after.data(), after.size());
        return written;
    } catch (...) {
        TOORethrowAsStatus("CCTFSignData::WriteObject");
    }
}

namespace {

// Whether `cert` is the certificate `si` names.
bool Names(const CCTFMessageSignerInfo& si, const CCTFX509Certificate& cert) {
    if (!si.m_keyId.IsEmpty()) {
        CCTFCertExtension ski;
        if (cert.m_info.m_extensions.FindExtension("2.5.29.14", ski)) {
            try {
                asn::Reader r(asn::View(ski.m_value));
                return r.ReadOctetString() == si.m_keyId;
            } catch (const asn::Error&) {
                return false;
            }
        }
        return cert.m_info.m_publicKey.GetKeyID() == si.m_keyId;
    }
    IdentObj serial = si.m_serialNumber;  // big-endian as encoded; the model keeps it reversed
    std::reverse(serial.data(), serial.data() + serial.size());
    return serial == cert.m_info.m_serialNumber && si.m_issuer == cert.m_info.m_issuer;
}

}  // namespace

std::list<CCTFWholeSignature> CCTFSignData::GetSigersInfo(int* error) const {
    std::list<CCTFWholeSignature> out;
    TOOGuarded("CCTFSignData::GetSigersInfo", error, [&] {
        std::list<IdentObj> left = m_certificates;
        std::list<CCTFWholeSignature> result;
        for (const auto& raw : m_signerInfos) {
            CCTFWholeSignature w;
            w.m_signerInfo.ReadData(raw.data(), raw.size(), nullptr);
            for (auto it = left.begin(); it != left.end();) {
                if (it->IsEmpty()) {
                    it = left.erase(it);
                    continue;
                }
                // The platform's own decoder judges the blob, as every later
                // user of the certificate will.
                CCTFCertContext context;
                if (!context.CreateContext(*it)) {
                    const DWORD e = GetLastError();
                    throw XTOOStatus(e ? WinErr2ToolsErr(e) : TOOERR_DER_FORMAT, "CCTFSignData::GetSigersInfo");
                }
                CCTFX509Certificate cert;
                if (!cert.DecodeCert(*it)) throw XTOOStatus(TOOERR_DER_FORMAT, "CCTFSignData::GetSigersInfo");
                if (Names(w.m_signerInfo, cert)) {
                    w.m_certificate = *it;
                    left.erase(it);
                    break;
                }
                ++it;
            }
            result.push_back(std::move(w));
        }
        out = std::move(result);
    });
    return out;
}
