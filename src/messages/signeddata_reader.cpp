// The streaming reader of signed data.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "cert/platform.h"
#include "cert/signeddata.h"

namespace cert {

namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();
// Identifier (up to 5 tag octets) plus length (up to 9 octets).
constexpr std::size_t kMaxHeader = 16;
constexpr std::size_t kWindow = 64 * 1024;
// The small values read whole: the version, OIDs.
constexpr std::uint64_t kMaxSmall = 256;

[[noreturn]] void Fault(std::uint64_t offset, const std::string& reason, int code = TOOERR_DER_FORMAT) {
    throw asn::Error(code, static_cast<std::size_t>(offset), reason);
}

// Universal types that are constructed by nature; the string types may be
// either (segmented in BER); the rest are primitive.
bool MayBeConstructed(std::uint32_t tag) {
    return tag == asn::kSequence || tag == asn::kSet || tag == asn::kExternal || tag == asn::kEmbeddedPdv ||
           tag == asn::kCharacterString;
}

// Where the bytes come from: a buffer or a file read in order.
class Source {
public:
    virtual ~Source() = default;
    // Up to n bytes into buf; 0 only at the end.
    virtual std::size_t Read(std::uint8_t* buf, std::size_t n) = 0;
    // Passes over n bytes; returns how many there were.
    virtual std::uint64_t Skip(std::uint64_t n) = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : m_data(data), m_left(size) {}
    std::size_t Read(std::uint8_t* buf, std::size_t n) override {
        n = std::min(n, m_left);
        if (n) std::memcpy(buf, m_data, n);
        m_data += n;
        m_left -= n;
        return n;
    }
    std::uint64_t Skip(std::uint64_t n) override {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, m_left));
        m_data += k;
        m_left -= k;
        return k;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_left;
};

class FileSource final : public Source {
public:
    FileSource(platform::FileReader& file, std::string path) : m_file(file), m_path(std::move(path)) {}
    std::size_t Read(std::uint8_t* buf, std::size_t n) override {
        std::size_t got = 0;
        const DWORD e = m_file.Read(buf, n, got);
        if (e) throw XTOOStatus(WinErr2ToolsErr(e), m_path.c_str());
        return got;
    }
    std::uint64_t Skip(std::uint64_t n) override {
        if (!m_scratch) m_scratch = std::make_unique<std::uint8_t[]>(kWindow);
        std::uint64_t done = 0;
        while (done < n) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, kWindow));
            const std::size_t got = Read(m_scratch.get(), want);
            if (got == 0) break;
            done += got;
        }
        return done;
    }

private:
    platform::FileReader& m_file;
    std::string m_path;
    std::unique_ptr<std::uint8_t[]> m_scratch;
};

// A decoded header (length 0 when indefinite) with its absolute offset.
struct Hdr : asn::Header {
    std::uint64_t offset = 0;

    bool Is(std::uint8_t c, std::uint32_t t) const { return cls == c && tag == t; }
    std::uint64_t ContentOffset() const { return offset + headerLen; }
};

// A constructed element being walked: its end is known (definite) or is
// its end-of-contents octets, which must come before `limit`.
struct Frame {
    bool indefinite = false;
    std::uint64_t end = kUnbounded;  // definite: the end; indefinite: the limit
};

class Walker {
public:
    Walker(Source& src, std::uint64_t start, std::uint64_t total, int maxDepth, std::uint64_t maxKept)
        : m_src(src), m_pos(start), m_total(total), m_maxDepth(maxDepth), m_maxKept(maxKept) {
        m_buf.resize(kWindow);
    }

    std::uint64_t Pos() const { return m_pos; }

    // True when the frame is done (its end-of-contents consumed).
    bool AtEnd(const Frame& f) {
        if (!f.indefinite) return m_pos >= f.end;
        const std::size_t have = Fill(2);
        if (have >= 1 && m_buf[m_head] == 0x00) {
            if (have < 2) Fault(m_pos, "truncated end-of-contents");
            if (m_buf[m_head + 1] != 0x00) Fault(m_pos, "malformed end-of-contents");
            Consume(2);
            return true;
        }
        return false;
    }

    // The next header inside `f`; its bytes are appended to `keep` when given.
    Hdr Header(const Frame& f, IdentObj* keep = nullptr, std::uint64_t* kept = nullptr) {
        const std::uint64_t limit = std::min(f.end, m_total);
        if (m_pos >= limit) {
            if (m_pos >= m_total) Fault(m_pos, "truncated");
            Fault(m_pos, f.indefinite ? "end-of-contents missing" : "element missing");
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kMaxHeader, limit - m_pos));
        const std::size_t have = std::min(Fill(want), want);
        asn::Options opt;
        opt.ber = true;
        const asn::Header h =
            asn::DecodeHeader(asn::Bytes(m_buf.data() + m_head, have), opt, static_cast<std::size_t>(m_pos));
        Hdr r;
        static_cast<asn::Header&>(r) = h;
        r.offset = m_pos;
        if (r.Is(asn::kUniversal, asn::kEoc)) Fault(m_pos, "unexpected end-of-contents");
        if (r.cls == asn::kUniversal && r.constructed != MayBeConstructed(r.tag) && !asn::IsStringTag(r.tag) &&
            r.tag != asn::kBitString && r.tag != asn::kOctetString)
            Fault(m_pos, r.constructed ? "constructed form of a primitive type" : "primitive SEQUENCE or SET");
        if (keep) Keep(*keep, *kept, m_buf.data() + m_head, h.headerLen, r.offset);
        Consume(h.headerLen);
        if (!r.indefinite && r.length > limit - m_pos) Fault(r.offset, "length beyond the bytes left");
        return r;
    }

    // The frame for the content of a constructed element.
    Frame Enter(const Hdr& h, const Frame& outer, int depth) const {
        if (!h.constructed) Fault(h.offset, "constructed element expected");
        if (depth > m_maxDepth) Fault(h.offset, "nesting too deep", TOOERR_DER_DEPTH);
        Frame f;
        f.indefinite = h.indefinite;
        f.end = h.indefinite ? std::min(outer.end, m_total) : h.ContentOffset() + h.length;
        return f;
    }

    // A frame must be done here.
    void Close(const Frame& f, const char* what) {
        if (!AtEnd(f)) Fault(m_pos, std::string("unexpected element at the end of ") + what);
    }

    // The content of a small primitive element.
    std::vector<std::uint8_t> Small(const Hdr& h) {
        if (h.constructed) Fault(h.offset, "primitive element expected");
        if (h.length > kMaxSmall) Fault(h.offset, "value too long", TOOERR_DER_LIMIT);
        std::vector<std::uint8_t> v(static_cast<std::size_t>(h.length));
        const std::size_t have = Fill(v.size());
        if (have < v.size()) Fault(m_pos + have, "truncated");
        if (!v.empty()) std::memcpy(v.data(), m_buf.data() + m_head, v.size());
        Consume(v.size());
        return v;
    }

    // The rest of an element whose header was read: its content is passed
    // over, or appended to `keep`. An indefinite length is walked to its
    // end-of-contents, so its inner structure is checked on the way.
    void Pass(const Hdr& h, const Frame& outer, int depth, IdentObj* keep = nullptr, std::uint64_t* kept = nullptr) {
        if (!h.indefinite) {
            Bytes(h.length, keep, kept);
            return;
        }
        const Frame f = Enter(h, outer, depth + 1);
        while (!AtEnd(f)) {
            const Hdr c = Header(f, keep, kept);
            Pass(c, f, depth + 1, keep, kept);
        }
        if (keep) {
            static const std::uint8_t eoc[2] = {0, 0};
            Keep(*keep, *kept, eoc, 2, m_pos - 2);
        }
    }

    // One whole element inside `f`, as its bytes.
    IdentObj Element(const Frame& f, int depth) {
        IdentObj out;
        std::uint64_t kept = 0;
        const Hdr h = Header(f, &out, &kept);
        Pass(h, f, depth, &out, &kept);
        return out;
    }

    // Whether the input has bytes beyond the current position.
    bool HasMore() { return Fill(1) > 0; }

    // Passes over n content bytes, or appends them to `keep`.
    void Bytes(std::uint64_t n, IdentObj* keep, std::uint64_t* kept) {
        const std::uint64_t at = m_pos;
        if (keep && n > m_maxKept - std::min(*kept, m_maxKept))
            Fault(at, "element too large to keep", TOOERR_DER_LIMIT);
        while (n) {
            std::size_t avail = m_tail - m_head;
            if (avail == 0) {
                if (!keep && n > kWindow) {
                    const std::uint64_t got = m_src.Skip(n);
                    m_pos += got;
                    n -= got;
                    if (n) Fault(m_pos, "truncated");
                    return;
                }
                avail = Fill(static_cast<std::size_t>(std::min<std::uint64_t>(n, kWindow)));
                if (avail == 0) Fault(m_pos, "truncated");
            }
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, avail));
            if (keep) Keep(*keep, *kept, m_buf.data() + m_head, k, m_pos);
            Consume(k);
            n -= k;
        }
    }

private:
    void Keep(IdentObj& out, std::uint64_t& kept, const std::uint8_t* p, std::size_t n, std::uint64_t at) {
        if (n > m_maxKept || kept > m_maxKept - n) Fault(at, "element too large to keep", TOOERR_DER_LIMIT);
        out.AddData(p, static_cast<DWORD>(n));
        kept += n;
    }

    // Makes at least min(n, what the input still has) bytes available from
    // m_head on; returns how many are.
    std::size_t Fill(std::size_t n) {
        if (m_tail - m_head >= n) return m_tail - m_head;
        if (m_head) {
            std::memmove(m_buf.data(), m_buf.data() + m_head, m_tail - m_head);
            m_tail -= m_head;
            m_head = 0;
        }
        while (m_tail < n && !m_eof) {
            const std::size_t got = m_src.Read(m_buf.data() + m_tail, m_buf.size() - m_tail);
            if (got == 0) m_eof = true;
            m_tail += got;
        }
        return m_tail - m_head;
    }
    void Consume(std::size_t n) {
        m_head += n;
        m_pos += n;
    }

    Source& m_src;
    std::vector<std::uint8_t> m_buf;
    std::size_t m_head = 0, m_tail = 0;
    bool m_eof = false;
    std::uint64_t m_pos;
    std::uint64_t m_total;
    int m_maxDepth;
    std::uint64_t m_maxKept;
};

// The chunks of the content OCTET STRING, primitive or constructed.
void ContentRanges(Walker& w, const Hdr& h, const Frame& outer, int depth, SignedDataParts& p) {
    if (!h.constructed) {
        if (h.length) {
            if (p.contentSize > kUnbounded - h.length) Fault(h.offset, "content too large", TOOERR_DER_LIMIT);
            p.content.push_back(ByteRange{h.ContentOffset(), h.length});
            p.contentSize += h.length;
        }
        w.Bytes(h.length, nullptr, nullptr);
        return;
    }
    const Frame f = w.Enter(h, outer, depth + 1);
    while (!w.AtEnd(f)) {
        const Hdr c = w.Header(f);
        if (!c.Is(asn::kUniversal, asn::kOctetString)) Fault(c.offset, "chunk of the content is not an OCTET STRING");
        ContentRanges(w, c, f, depth + 1, p);
    }
}

void Walk(Walker& w, std::uint64_t total, SignedDataParts& p) {
    const Frame top{false, total};
    p.start = w.Pos();

    const Hdr ci = w.Header(top);
    if (!ci.Is(asn::kUniversal, asn::kSequence)) Fault(ci.offset, "ContentInfo is not a SEQUENCE");
    const Frame fci = w.Enter(ci, top, 1);
    const Hdr typeH = w.Header(fci);
    if (!typeH.Is(asn::kUniversal, asn::kOid)) Fault(typeH.offset, "content type is not an OBJECT IDENTIFIER");
    const auto type = w.Small(typeH);
    if (asn::DecodeOid(asn::Bytes(type.data(), type.size()), static_cast<std::size_t>(typeH.ContentOffset())) !=
        kOidSignedData)
        Fault(typeH.offset, "content is not signed data");
    const Hdr expl = w.Header(fci);
    if (!expl.Is(asn::kContext, 0)) Fault(expl.offset, "signed data is not in [0]");
    const Frame fex = w.Enter(expl, fci, 2);

    const Hdr sd = w.Header(fex);
    if (!sd.Is(asn::kUniversal, asn::kSequence)) Fault(sd.offset, "SignedData is not a SEQUENCE");
    const Frame fsd = w.Enter(sd, fex, 3);

    const Hdr verH = w.Header(fsd);
    if (!verH.Is(asn::kUniversal, asn::kInteger)) Fault(verH.offset, "version is not an INTEGER");
    if (verH.length > 4) Fault(verH.offset, "version too long");
    const auto ver = w.Small(verH);
    const std::int64_t version =
        asn::DecodeInteger(asn::Bytes(ver.data(), ver.size()), static_cast<std::size_t>(verH.ContentOffset()));
    if (version != 1 && version != 3)
        Fault(verH.offset, "SignedData version " + std::to_string(version), kStatusBadSignedDataVersion);
    p.version = static_cast<int>(version);

    const Hdr digH = w.Header(fsd);
    if (!digH.Is(asn::kUniversal, asn::kSet)) Fault(digH.offset, "digest algorithms are not a SET");
    const Frame fdig = w.Enter(digH, fsd, 4);
    while (!w.AtEnd(fdig)) {
        const std::uint64_t at = w.Pos();
        IdentObj alg = w.Element(fdig, 5);
        if (alg.size() < 1 || alg.data()[0] != 0x30) Fault(at, "digest algorithm is not a SEQUENCE");
        p.digestAlgorithms.push_back(std::move(alg));
    }

    const Hdr eci = w.Header(fsd);
    if (!eci.Is(asn::kUniversal, asn::kSequence)) Fault(eci.offset, "encapsulated content is not a SEQUENCE");
    const Frame feci = w.Enter(eci, fsd, 4);
    if (w.AtEnd(feci)) Fault(eci.offset, "encapsulated content is empty");
    const Hdr ctH = w.Header(feci);
    if (!ctH.Is(asn::kUniversal, asn::kOid)) Fault(ctH.offset, "content type is not an OBJECT IDENTIFIER");
    const auto ct = w.Small(ctH);
    p.contentType = asn::DecodeOid(asn::Bytes(ct.data(), ct.size()), static_cast<std::size_t>(ctH.ContentOffset()));
    if (!w.AtEnd(feci)) {
        const Hdr c = w.Header(feci);
        if (c.Is(asn::kUniversal, asn::kOctetString)) {
            p.detached = false;
            ContentRanges(w, c, feci, 5, p);
        } else if (c.Is(asn::kContext, 0)) {
            const Frame f0 = w.Enter(c, feci, 5);
            if (w.AtEnd(f0)) Fault(c.offset, "content [0] is empty");
            const Hdr os = w.Header(f0);
            if (os.Is(asn::kUniversal, asn::kOctetString)) {
                p.detached = false;
                ContentRanges(w, os, f0, 6, p);
            } else {
                // Content of another form is not ours to give.
                w.Pass(os, f0, 6);
            }
            w.Close(f0, "the content");
        } else {
            w.Pass(c, feci, 5);
        }
        w.Close(feci, "the encapsulated content");
    }

    bool signers = false, certs = false, crls = false;
    for (;;) {
        const std::uint64_t at = w.Pos();
        if (w.AtEnd(fsd)) {
            if (!signers) Fault(at, "signer infos missing");
            break;
        }
        if (signers) Fault(at, "element after the signer infos");
        const Hdr h = w.Header(fsd);
        std::vector<IdentObj>* into = nullptr;
        if (h.Is(asn::kContext, 0)) {
            if (certs || crls) Fault(h.offset, "certificates out of place");
            certs = true;
            into = &p.certificates;
        } else if (h.Is(asn::kContext, 1)) {
            if (crls) Fault(h.offset, "CRLs repeated");
            crls = true;
            into = &p.crls;
        } else if (h.Is(asn::kUniversal, asn::kSet)) {
            into = &p.signerInfos;
            signers = true;
        } else {
            Fault(h.offset, "unexpected element in SignedData");
        }
        const Frame f = w.Enter(h, fsd, 4);
        while (!w.AtEnd(f)) {
            const std::uint64_t at = w.Pos();
            IdentObj item = w.Element(f, 5);
            if (signers && item.data()[0] != 0x30) Fault(at, "signer info is not a SEQUENCE");
            into->push_back(std::move(item));
        }
    }
    w.Close(fex, "[0] of the ContentInfo");
    w.Close(fci, "the ContentInfo");
    p.end = w.Pos();
}

template <class Body>
bool Report(const char* place, const std::string& where, std::uint64_t& errorOffset, int* error, CTOOString* pPlace,
            Body&& body) {
    try {
        body();
        if (error) *error = TOO_OK;
        return true;
    } catch (const asn::Error& e) {
        errorOffset = e.Offset();
        if (!error) throw;
        *error = e.Status();
        if (pPlace) *pPlace = (where + ": " + e.Place()).c_str();
        return false;
    } catch (...) {
        TOOReportCurrentException(place, error);
        if (pPlace) *pPlace = where.c_str();
        return false;
    }
}

}  // namespace

bool SignedDataReader::ReadMemory(const void* data, std::size_t size, SignedDataParts& parts, int* error,
                                  CTOOString* place) {
    return Report("SignedDataReader", "signed data", m_errorOffset, error, place, [&] {
        if (!data && size) throw XTOOStatus(TOOERR_BADARG, "SignedDataReader");
        MemorySource src(static_cast<const std::uint8_t*>(data), size);
        Walker w(src, 0, size, m_maxDepth, m_maxKept);
        SignedDataParts p;
        Walk(w, size, p);
        if (m_whole && p.end != size) Fault(p.end, "bytes after the signed data");
        parts = std::move(p);
    });
}

bool SignedDataReader::ReadFile(const std::string& path, std::uint64_t offset, SignedDataParts& parts, int* error,
                                CTOOString* place) {
    return Report("SignedDataReader", path, m_errorOffset, error, place, [&] {
        platform::FileReader file;
        const DWORD e = file.Open(path);
        if (e) throw XTOOStatus(WinErr2ToolsErr(e), path.c_str());
        FileSource src(file, path);
        std::uint64_t total = kUnbounded;
        if (file.Size() != platform::FileReader::kUnknownSize) total = file.Size();
        if (offset > total) throw XTOOStatus(TOOERR_SHORTREAD, path.c_str());
        if (src.Skip(offset) != offset) throw XTOOStatus(TOOERR_SHORTREAD, path.c_str());
        Walker w(src, offset, total, m_maxDepth, m_maxKept);
        SignedDataParts p;
        Walk(w, total, p);
        if (m_whole) {
            if (w.HasMore()) Fault(p.end, "bytes after the signed data");
        }
        parts = std::move(p);
    });
}

}  // namespace cert
