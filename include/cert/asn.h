// The ASN.1 codec of the foundation library.
//
// Two layers share one decoder:
//  * namespace asn — the reader and writer the parsers are written on:
//    asn::Reader walks DER (or, when asked, BER) over a byte span without
//    copying, keeps the absolute offset of every element and throws
//    asn::Error (an XTOOStatus carrying the offset) on malformed input;
//    asn::Writer produces DER.
//  * the record classes (CASNTBaseRecord, CASNTUnit, CASNTIdData, ASNT*
//    functions and the named structures) keep the status-pointer convention
//    of the rest of the library: a failure stores a non-zero status in
//    *pStatus when a pointer is given and throws XTOOStatus otherwise
//    (TOOReport); the return value then is 0 / false / empty.
//
// Limits, in every mode: nesting depth 64 (asn::kMaxDepth), tag numbers below
// 2^28, lengths that fit in 32 bits, and no length is believed before it is
// checked against the bytes that remain, so no allocation is ever sized by
// an unchecked length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cert/export.h"
#include "cert/platform.h"
#include "cert/secret.h"
#include "cert/tools.h"

namespace asn {

using Bytes = std::span<const std::uint8_t>;

// Universal tag numbers.
enum Tag : std::uint32_t {
    kEoc = 0,
    kBoolean = 1,
    kInteger = 2,
    kBitString = 3,
    kOctetString = 4,
    kNull = 5,
    kOid = 6,
    kObjectDescriptor = 7,
    kExternal = 8,
    kReal = 9,
    kEnumerated = 10,
    kEmbeddedPdv = 11,
    kUtf8String = 12,
    kRelativeOid = 13,
    kSequence = 16,
    kSet = 17,
    kNumericString = 18,
    kPrintableString = 19,
    kT61String = 20,
    kVideotexString = 21,
    kIA5String = 22,
    kUtcTime = 23,
    kGeneralizedTime = 24,
    kGraphicString = 25,
    kVisibleString = 26,
    kGeneralString = 27,
    kUniversalString = 28,
    kCharacterString = 29,
    kBmpString = 30,
};

// Tag classes as they stand in the top two bits of the identifier octet.
enum Class : std::uint8_t {
    kUniversal = 0x00,
    kApplication = 0x40,
    kContext = 0x80,
    kPrivate = 0xC0,
};

constexpr int kMaxDepth = 64;
constexpr std::uint32_t kMaxTag = (1u << 28) - 1;

struct Options {
    // BER as far as certificates met in the field need it: indefinite
    // lengths, non-minimal lengths, constructed strings (reassembled),
    // booleans other than 0x00/0xFF, unused bits not zero, times without
    // seconds or with a zone offset, PrintableStrings with any visible
    // ASCII. Everything else stays strict.
    bool ber = false;
    int maxDepth = kMaxDepth;
};

// Malformed input: status TOOERR_DER_FORMAT / _DEPTH / _LIMIT, the absolute
// byte offset where the fault was seen, and a short reason. Place() reads
// "offset N: reason".
class CERT_API Error : public XTOOStatus {
public:
    Error(int code, std::size_t offset, const std::string& reason);
    std::size_t Offset() const { return m_offset; }
    const std::string& Reason() const { return m_reason; }

private:
    std::size_t m_offset;
    std::string m_reason;
};

// One decoded element. The spans point into the reader's input (content
// excludes the end-of-contents octets of an indefinite length).
struct Element {
    std::size_t offset = 0;     // absolute offset of the identifier octet
    std::size_t headerLen = 0;  // identifier + length octets
    std::uint8_t cls = kUniversal;
    bool constructed = false;
    bool indefinite = false;
    std::uint32_t tag = 0;
    Bytes content;
    Bytes encoded;  // the whole element as it stands in the input

    bool Is(std::uint8_t c, std::uint32_t t) const { return cls == c && tag == t; }
    bool IsUniversal(std::uint32_t t) const { return Is(kUniversal, t); }
    bool IsContext(std::uint32_t n) const { return Is(kContext, n); }
    std::size_t ContentOffset() const { return offset + headerLen; }
    std::size_t End() const { return offset + encoded.size(); }
};

struct BitString {
    Bytes bytes;  // content after the unused-bits octet
    unsigned unusedBits = 0;
};

// Raw identifier + length. Returns the header size; `length` is the content
// length (0 with `indefinite` set for 0x80). Throws Error on a malformed
// header, or when the header does not fit in `in`; does not check that the
// content fits. `offset` is added to reported offsets.
struct Header {
    std::uint8_t cls = kUniversal;
    bool constructed = false;
    bool indefinite = false;
    std::uint32_t tag = 0;
    std::size_t headerLen = 0;
    std::size_t length = 0;
};
CERT_API Header DecodeHeader(Bytes in, const Options& opt = {}, std::size_t offset = 0);
// The identifier and length octets for the given element; appended to out.
CERT_API void EncodeHeader(std::vector<std::uint8_t>& out, std::uint8_t cls, bool constructed, std::uint32_t tag,
                           std::size_t length);

// Value decoders for primitive contents (strict DER unless `opt.ber`);
// `offset` is the absolute offset of the content, used in errors.
CERT_API bool DecodeBoolean(Bytes content, const Options& opt = {}, std::size_t offset = 0);
// Checks minimal two's complement; returns the content unchanged.
CERT_API Bytes DecodeIntegerBytes(Bytes content, std::size_t offset = 0);
// INTEGER that must fit in int64.
CERT_API std::int64_t DecodeInteger(Bytes content, std::size_t offset = 0);
// Dotted text of an OBJECT IDENTIFIER content; arcs up to 64 bits, minimal.
CERT_API std::string DecodeOid(Bytes content, std::size_t offset = 0);
CERT_API BitString DecodeBitString(Bytes content, const Options& opt = {}, std::size_t offset = 0);
// UTCTime (tag 23) or GeneralizedTime (24) to FILETIME (UTC). Strict DER
// also refuses fractions finer than 100 ns, which FILETIME cannot carry.
CERT_API FILETIME DecodeTime(std::uint32_t tag, Bytes content, const Options& opt = {}, std::size_t offset = 0);
// Any string type as UTF-8 (BMPString and UniversalString converted; the
// restricted alphabets checked: Numeric, Printable, IA5, Visible; UTF8String
// validated; T61/Teletex taken as Latin-1). Throws Error on a bad value.
// With `opt.ber` a PrintableString may hold any visible ASCII character
// ('*', '@', '&' are met in the field).
CERT_API std::string DecodeString(std::uint32_t tag, Bytes content, std::size_t offset = 0, const Options& opt = {});
CERT_API bool IsStringTag(std::uint32_t tag);

// Dotted text to OBJECT IDENTIFIER content. False on text that is not an
// OID (fewer than two arcs, first arc above 2, second above 39 under 0 or 1,
// leading zeros, an arc above 64 bits, anything but digits and dots).
CERT_API bool EncodeOid(std::string_view dotted, std::vector<std::uint8_t>& content);

class CERT_API Reader {
public:
    explicit Reader(Bytes in, const Options& opt = {}, std::size_t baseOffset = 0, int depth = 0);
    Reader(const void* data, std::size_t size, const Options& opt = {})
        : Reader(Bytes(static_cast<const std::uint8_t*>(data), size), opt) {}

    bool AtEnd() const { return m_pos >= m_in.size(); }
    std::size_t Offset() const { return m_base + m_pos; }  // absolute
    std::size_t Remaining() const { return m_in.size() - m_pos; }
    const Options& options() const { return m_opt; }
    int Depth() const { return m_depth; }

    // The next element (consumed); throws Error at the end of input.
    Element Next();
    // The next element without consuming it; nullopt at the end.
    std::optional<Element> Peek();
    bool NextIs(std::uint8_t cls, std::uint32_t tag);
    // Next element, which must have this tag (universal unless `cls`).
    Element Expect(std::uint32_t tag, std::uint8_t cls = kUniversal);
    // The next element when it has this tag, else nothing is consumed.
    std::optional<Element> Optional(std::uint32_t tag, std::uint8_t cls = kUniversal);
    // A reader over the content of a constructed element, one level deeper.
    Reader Enter(const Element& e) const;
    Reader EnterSequence() { return Enter(Expect(kSequence)); }
    Reader EnterSet() { return Enter(Expect(kSet)); }
    // Throws when bytes remain.
    void Finish() const;

    bool ReadBoolean();
    void ReadNull();
    std::int64_t ReadInteger();
    Bytes ReadIntegerBytes();
    std::string ReadOid();
    BitString ReadBitString();
    // OCTET STRING content; constructed forms (BER only) are reassembled.
    IdentObj ReadOctetString();
    FILETIME ReadTime();
    // Any string type as UTF-8; `tag` receives the type.
    std::string ReadString(std::uint32_t* tag = nullptr);

    // The content of a string-like element (OCTET/BIT/character strings)
    // with constructed BER forms reassembled, as a copy.
    IdentObj StringContent(const Element& e) const;

    // Throws Error at `absOffset`: for a fault that the parser using the
    // reader finds in what it read.
    [[noreturn]] void ThrowAt(std::size_t absOffset, const std::string& reason, int code = TOOERR_DER_FORMAT) const;

private:
    Element Parse(std::size_t pos) const;
    std::size_t FindEoc(std::size_t pos, int depth) const;
    void Gather(const Element& e, IdentObj& out, int depth) const;

    Bytes m_in;
    Options m_opt;
    std::size_t m_base = 0;
    std::size_t m_pos = 0;
    int m_depth = 0;
};

// Walks every element of `in` (all of it, depth first) and checks each
// primitive value of a known universal type; throws Error on the first
// fault. Used to validate whole structures before keeping them.
CERT_API void Validate(Bytes in, const Options& opt = {});

// DER writer. Constructed elements are opened with Begin and closed with
// End; the length is filled in at End, in minimal form. The output buffer
// wipes itself whenever it grows or goes, so an encoding that holds a
// private key can be built here and taken with TakeSecret.
class CERT_API Writer {
public:
    Writer& Raw(Bytes encoded);
    Writer& Raw(const IdentObj& encoded) { return Raw(Bytes(encoded.data(), encoded.size())); }
    Writer& Element(std::uint8_t cls, bool constructed, std::uint32_t tag, Bytes content);
    Writer& Primitive(std::uint32_t tag, Bytes content) { return Element(kUniversal, false, tag, content); }
    Writer& Boolean(bool v);
    Writer& Null();
    Writer& Integer(std::int64_t v);
    // Two's complement bytes, big-endian; redundant leading octets dropped.
    Writer& IntegerBytes(Bytes twosComplement);
    // An unsigned big-endian magnitude (a 0x00 is put in front when needed).
    Writer& UnsignedInteger(Bytes magnitude);
    Writer& Enumerated(std::int64_t v);
    // Throws Error (offset 0) on text that is not an OID.
    Writer& Oid(std::string_view dotted);
    Writer& BitString(Bytes bytes, unsigned unusedBits = 0);
    Writer& OctetString(Bytes bytes);
    Writer& OctetString(const IdentObj& b) { return OctetString(Bytes(b.data(), b.size())); }
    // UTF-8 text as the given string type (BMP/Universal converted, the
    // restricted alphabets checked); throws Error when it does not fit.
    Writer& String(std::uint32_t tag, std::string_view utf8);
    Writer& UtcTime(const FILETIME& t);
    Writer& GeneralizedTime(const FILETIME& t);
    // UTCTime for 1950..2049, GeneralizedTime outside (the certificate rule).
    Writer& Time(const FILETIME& t);

    // Returns a mark for End. `sortedSet` sorts the children at End (SET OF).
    std::size_t Begin(std::uint8_t cls, bool constructed, std::uint32_t tag, bool sortedSet = false);
    std::size_t BeginSequence() { return Begin(kUniversal, true, kSequence); }
    std::size_t BeginSet(bool sorted = true) { return Begin(kUniversal, true, kSet, sorted); }
    std::size_t BeginContext(std::uint32_t n, bool constructed = true) { return Begin(kContext, constructed, n); }
    Writer& End(std::size_t mark);

    using Buffer = std::vector<std::uint8_t, cert::WipingAllocator<std::uint8_t>>;
    const Buffer& bytes() const { return m_out; }
    Bytes view() const { return Bytes(m_out.data(), m_out.size()); }
    IdentObj Take();
    cert::Secret TakeSecret();
    void Clear() {
        m_out.clear();
        m_open.clear();
    }

private:
    struct Open {
        std::size_t start;
        std::uint8_t cls;
        bool constructed;
        std::uint32_t tag;
        bool sorted;
    };
    Buffer m_out;
    std::vector<Open> m_open;
};

// A whole element with the given content, as a blob.
CERT_API IdentObj Encode(std::uint8_t cls, bool constructed, std::uint32_t tag, Bytes content);

inline Bytes View(const IdentObj& b) { return Bytes(b.data(), b.size()); }
inline Bytes View(const void* p, std::size_t n) { return Bytes(static_cast<const std::uint8_t*>(p), n); }

// Civil time helpers shared by the decoders and the tools.
CERT_API FILETIME MakeFileTime(int year, int month, int day, int hour, int minute, int second, int hundredNanos = 0);
// year, month, day, hour, minute, second, 100ns fraction.
struct CivilTime {
    int year, month, day, hour, minute, second, fraction;
};
CERT_API CivilTime SplitFileTime(const FILETIME& t);
// "YYYY-MM-DD hh:mm:ss[.fffffff]Z"
CERT_API std::string FormatTime(const FILETIME& t);
// The DER content of a UTCTime (tag 23) or GeneralizedTime (24) value;
// throws Error (TOOERR_BADARG) when the year does not fit the type.
CERT_API std::string TimeText(std::uint32_t tag, const FILETIME& t);

}  // namespace asn

// ===========================================================================
// Record classes.

// Class values of GetClass/SetClass are the identifier-octet bits.
constexpr BYTE ASNT_CLASS_UNIVERSAL = 0x00;
constexpr BYTE ASNT_CLASS_APPLICATION = 0x40;
constexpr BYTE ASNT_CLASS_CONTEXT = 0x80;
constexpr BYTE ASNT_CLASS_PRIVATE = 0xC0;

// Header of an element as ASNTGetAsnInfo / ReadASNInfo see it.
struct ASNTInfo {
    BYTE cls = 0;
    bool constructed = false;
    DWORD tag = 0;
    DWORD headerSize = 0;   // identifier + length octets
    DWORD contentSize = 0;  // the announced content length
    DWORD totalSize = 0;    // headerSize + contentSize
};

// One DER element: class, tag, constructed flag and content bytes.
class CERT_API CASNTBaseRecord {
public:
    CASNTBaseRecord() = default;
    CASNTBaseRecord(DWORD tag, const void* content, DWORD size, BYTE cls = ASNT_CLASS_UNIVERSAL,
                    bool constructed = false);
    virtual ~CASNTBaseRecord() = default;
    CASNTBaseRecord(const CASNTBaseRecord&) = default;
    CASNTBaseRecord& operator=(const CASNTBaseRecord&) = default;

    void SetTag(DWORD tag) { m_tag = tag; }
    DWORD GetDataTag() const { return m_tag; }
    void SetClass(BYTE cls) { m_class = cls & 0xC0; }
    BYTE GetClass() const { return m_class; }
    void SetIsConstraction(bool constructed) { m_constructed = constructed; }
    bool GetIsConstraction() const { return m_constructed; }

    // The content bytes, as they are.
    void SetEntry(const void* data, DWORD size) { m_entry.Assign(data, size); }
    void SetEntry(const IdentObj& content) { m_entry = content; }
    // The content as already-encoded elements (one or several, checked to be
    // well-formed DER); the record becomes constructed. For explicit tags.
    bool SetEncodedEntry(const void* data, DWORD size, int* pStatus = nullptr);
    bool SetEncodedEntry(const IdentObj& encoded, int* pStatus = nullptr) {
        return SetEncodedEntry(encoded.data(), encoded.size(), pStatus);
    }
    DWORD GetEntrySize() const { return m_entry.size(); }
    // The content bytes (the record's value).
    const IdentObj& GetRecord() const { return m_entry; }

    // Convenience for OBJECT IDENTIFIER and INTEGER records: dotted text and
    // small numbers in and out (the tag is set by the setters).
    bool SetOID(const char* dotted, int* pStatus = nullptr);
    CTOOString GetOID(int* pStatus = nullptr) const;
    void SetInteger(std::int64_t v);
    std::int64_t GetInteger(int* pStatus = nullptr) const;
    // A string-type record's value as UTF-8 (empty with a status on error).
    CTOOString GetString(int* pStatus = nullptr) const;

    // Appends the encoded element to `out`; returns the bytes written.
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;
    IdentObj GetEncodedRecord(int* pStatus = nullptr) const;
    DWORD GetEncodedSize() const;

    // Reads one element from the start of `data` (bytes after it are left);
    // returns the bytes it takes, 0 on error. `ber` accepts BER forms.
    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr, bool ber = false);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr, bool ber = false) {
        return ReadData(data.data(), data.size(), pStatus, ber);
    }
    // Reads one element from the current position of a file object with
    // `Read(void*, n)` returning the bytes read (CTOOFile). The header is
    // read first, the content only after its length has been checked against
    // `maxSize`. On success the file stands after the element.
    template <class File>
    requires requires(File& f, BYTE* p) { f.Read(p, DWORD(1)); }
    DWORD ReadData(File& file, int* pStatus = nullptr, DWORD maxSize = 64u << 20);

    // Reads only the identifier and length: fills tag, class, constructed
    // flag and the announced content size; returns the header size (0 on
    // error). The content need not be present in `data`.
    DWORD ReadASNInfo(const void* data, DWORD size, int* pStatus = nullptr);
    // The content size announced by the last ReadASNInfo / ReadData.
    DWORD GetContecstSpecSize() const { return m_specSize; }
    DWORD GetHeaderSize() const { return m_headerSize; }

    bool operator==(const CASNTBaseRecord& o) const {
        return m_tag == o.m_tag && m_class == o.m_class && m_constructed == o.m_constructed && m_entry == o.m_entry;
    }
    bool operator!=(const CASNTBaseRecord& o) const { return !(*this == o); }

protected:
    DWORD m_tag = 0;
    BYTE m_class = ASNT_CLASS_UNIVERSAL;
    bool m_constructed = false;
    IdentObj m_entry;
    DWORD m_specSize = 0;
    DWORD m_headerSize = 0;
};

// An ordered list of records.
class CERT_API CASNTUnit {
public:
    virtual ~CASNTUnit() = default;
    void Push_Back(const CASNTBaseRecord& r) { m_items.push_back(r); }
    // Null when `i` is out of range.
    CASNTBaseRecord* GetItem(DWORD i) { return i < m_items.size() ? &m_items[i] : nullptr; }
    const CASNTBaseRecord* GetItem(DWORD i) const { return i < m_items.size() ? &m_items[i] : nullptr; }
    DWORD GetEntryListSize() const { return static_cast<DWORD>(m_items.size()); }
    void Clear() { m_items.clear(); }

    // Appends the records' encodings one after another; returns bytes written.
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;
    // The records wrapped in one constructed element (a SEQUENCE by default).
    IdentObj WriteSequence(int* pStatus = nullptr, DWORD tag = asn::kSequence, BYTE cls = ASNT_CLASS_UNIVERSAL) const;
    // Replaces the list with the consecutive elements filling all of `data`;
    // returns the number read (0 with a status on error, list left empty).
    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr, bool ber = false);
    // The elements inside one constructed element at the start of `data`.
    DWORD ReadSequence(const void* data, DWORD size, int* pStatus = nullptr, bool ber = false);

private:
    std::vector<CASNTBaseRecord> m_items;
};

// An OBJECT IDENTIFIER, optionally followed by the encoded element that goes
// with it (the parameters of an algorithm identifier, the content of a
// ContentInfo). Compared by OID arcs, then by the following bytes.
class CERT_API CASNTIdData {
public:
    CASNTIdData() = default;
    explicit CASNTIdData(const char* dotted, int* pStatus = nullptr) { SetOID(dotted, pStatus); }
    CASNTIdData(const char* dotted, const IdentObj& parameters, int* pStatus = nullptr);
    virtual ~CASNTIdData() = default;
    CASNTIdData(const CASNTIdData&) = default;
    CASNTIdData& operator=(const CASNTIdData&) = default;

    bool SetOID(const char* dotted, int* pStatus = nullptr);
    const CTOOString& GetOID() const { return m_oid; }
    // The OID content octets (without tag and length).
    const IdentObj& GetEncodedOID() const { return m_oidContent; }
    bool SetEncodedOID(const void* content, DWORD size, int* pStatus = nullptr);
    bool IsEmpty() const { return m_oidContent.IsEmpty(); }

    // The encoded element after the OID (empty when absent).
    void SetParameters(const IdentObj& encoded) {
        m_params = encoded;
        m_sequence = true;
    }
    const IdentObj& GetParameters() const { return m_params; }
    bool HasParameters() const { return !m_params.IsEmpty(); }
    // Whether the OID travels inside a SEQUENCE (an algorithm identifier);
    // ReadData sets it from the input, SetParameters sets it.
    void SetSequenceForm(bool seq) { m_sequence = seq; }
    bool IsSequenceForm() const { return m_sequence; }

    // Reads an OBJECT IDENTIFIER element, or a SEQUENCE { OID, [element] }.
    // Returns the bytes taken, 0 on error.
    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr) { return ReadData(data.data(), data.size(), pStatus); }
    // Writes the form it was read in: the OID element, or SEQUENCE { OID,
    // parameters when present }. Appends; returns bytes written.
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;
    IdentObj GetEncoded(int* pStatus = nullptr) const;

    int Compare(const CASNTIdData& o) const;
    bool operator==(const CASNTIdData& o) const { return Compare(o) == 0; }
    bool operator!=(const CASNTIdData& o) const { return Compare(o) != 0; }
    bool operator<(const CASNTIdData& o) const { return Compare(o) < 0; }
    bool operator>(const CASNTIdData& o) const { return Compare(o) > 0; }
    // Compares the OID alone with dotted text.
    bool operator==(const char* dotted) const { return m_oid == dotted; }
    bool operator!=(const char* dotted) const { return !(m_oid == dotted); }

protected:
    CTOOString m_oid;
    IdentObj m_oidContent;
    IdentObj m_params;
    bool m_sequence = false;
};

// AlgorithmIdentifier ::= SEQUENCE { algorithm OID, parameters ANY OPTIONAL }:
// always read and written in the SEQUENCE form.
class CERT_API ASNAlgorithmIdentifier : public CASNTIdData {
public:
    ASNAlgorithmIdentifier() { m_sequence = true; }
    explicit ASNAlgorithmIdentifier(const char* dotted, int* pStatus = nullptr) : CASNTIdData(dotted, pStatus) {
        m_sequence = true;
    }
    ASNAlgorithmIdentifier(const char* dotted, const IdentObj& parameters, int* pStatus = nullptr)
        : CASNTIdData(dotted, parameters, pStatus) {}
    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr) { return ReadData(data.data(), data.size(), pStatus); }
};

// The GOST public-key parameters: SEQUENCE { publicKeyParamSet OID,
// digestParamSet OID OPTIONAL, encryptionParamSet OID OPTIONAL }.
class CERT_API CASNAlgAddInfo {
public:
    CASNAlgAddInfo() = default;
    CASNAlgAddInfo(const char* signOid, const char* hashOid, const char* encryptOid = nullptr);
    virtual ~CASNAlgAddInfo() = default;

    const CTOOString& GetSignOID() const { return m_sign; }
    const CTOOString& GetHashOID() const { return m_hash; }
    const CTOOString& GetEncryptOID() const { return m_encrypt; }
    void SetSignOID(const char* oid) { m_sign = oid; }
    void SetHashOID(const char* oid) { m_hash = oid; }
    void SetEncryptOID(const char* oid) { m_encrypt = oid; }

    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr) { return ReadData(data.data(), data.size(), pStatus); }
    // Needs the sign OID; the others are written when not empty.
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;

private:
    CTOOString m_sign, m_hash, m_encrypt;
};

// Validity ::= SEQUENCE { notBefore Time, notAfter Time }, Time being
// UTCTime or GeneralizedTime.
class CERT_API CASNValid {
public:
    CASNValid() = default;
    CASNValid(const FILETIME& notBefore, const FILETIME& notAfter) : m_start(notBefore), m_end(notAfter) {}
    virtual ~CASNValid() = default;

    // The start for false, the end for true.
    FILETIME GetTime(bool end) const { return end ? m_end : m_start; }
    void SetTime(bool end, const FILETIME& t) { (end ? m_end : m_start) = t; }

    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr) { return ReadData(data.data(), data.size(), pStatus); }
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;

private:
    FILETIME m_start{0, 0}, m_end{0, 0};
};

// PrivateKeyUsagePeriod ::= SEQUENCE { notBefore [0] GeneralizedTime
// OPTIONAL, notAfter [1] GeneralizedTime OPTIONAL } (implicit tags).
class CERT_API AsnKeyUsagePeriod {
public:
    virtual ~AsnKeyUsagePeriod() = default;
    bool HasNotBefore() const { return m_hasStart; }
    bool HasNotAfter() const { return m_hasEnd; }
    FILETIME GetNotBefore() const { return m_start; }
    FILETIME GetNotAfter() const { return m_end; }
    void SetNotBefore(const FILETIME& t) { m_start = t, m_hasStart = true; }
    void SetNotAfter(const FILETIME& t) { m_end = t, m_hasEnd = true; }
    void Clear() { *this = AsnKeyUsagePeriod(); }

    DWORD ReadData(const void* data, DWORD size, int* pStatus = nullptr);
    DWORD ReadData(const IdentObj& data, int* pStatus = nullptr) { return ReadData(data.data(), data.size(), pStatus); }
    DWORD WriteData(IdentObj& out, int* pStatus = nullptr) const;

private:
    FILETIME m_start{0, 0}, m_end{0, 0};
    bool m_hasStart = false, m_hasEnd = false;
};

// String values in DER.
struct CERT_API DerHelper {
    // UTF8String element of UTF-8 text (checked to be valid UTF-8).
    static IdentObj EncodeStringAsUtf8(const char* utf8, int* pStatus = nullptr);
    // The text of a UTF8String element (the whole element is given).
    static CTOOString DecodeUtf8String(const void* data, DWORD size, int* pStatus = nullptr);
    static CTOOString DecodeUtf8String(const IdentObj& e, int* pStatus = nullptr) {
        return DecodeUtf8String(e.data(), e.size(), pStatus);
    }
    // BMPString element of UTF-8 text and back (characters beyond the BMP
    // are refused).
    static IdentObj EncodeStringAsBmp(const char* utf8, int* pStatus = nullptr);
    static CTOOString DecodeBmpString(const void* data, DWORD size, int* pStatus = nullptr);
    // Any string element to UTF-8.
    static CTOOString DecodeString(const void* data, DWORD size, int* pStatus = nullptr, DWORD* pTag = nullptr);
    // PrintableString alphabet: letters, digits, space and '()+,-./:=?.
    static bool IsPrintableString(std::string_view text);
    static bool IsValidUtf8(std::string_view text);
};

// ===========================================================================
// Functions on encoded elements.

// Splits the constructed element at the start of `data` (a SEQUENCE unless
// `tagByte` says otherwise) into the encodings of its elements. Returns the
// element count, 0 with a status on error (`items` is then empty). Bytes
// after the element are allowed; *pUsed receives the bytes it takes.
CERT_API int ASNTGetSequence(const void* data, DWORD size, std::vector<IdentObj>& items, int* pStatus = nullptr,
                             DWORD* pUsed = nullptr, BYTE tagByte = 0x30);
CERT_API int ASNTGetSequence(const IdentObj& data, std::vector<IdentObj>& items, int* pStatus = nullptr,
                             DWORD* pUsed = nullptr, BYTE tagByte = 0x30);
// The same from the current position of a file object, which then stands
// after the element; a header that the file cannot back is refused before
// anything is allocated for the content.
CERT_API int ASNTGetSequence(const CTOOFile& file, std::vector<IdentObj>& items, int* pStatus = nullptr);
// The same from a file holding one element (nothing may follow it).
CERT_API int ASNTGetSequence(const char* fileName, std::vector<IdentObj>& items, int* pStatus = nullptr);

// SEQUENCE of the given encoded elements (each checked to be one element),
// or of INTEGERs. Returns the bytes of `out` (replaced), 0 on error.
CERT_API DWORD ASNTPutSequence(const std::vector<IdentObj>& items, IdentObj& out, int* pStatus = nullptr);
CERT_API DWORD ASNTPutSequence(const std::vector<std::int64_t>& numbers, IdentObj& out, int* pStatus = nullptr);
// The SEQUENCE of encoded elements written at the file's current position;
// returns the bytes written, 0 on error.
CERT_API DWORD ASNTPutSequence(const std::vector<IdentObj>& items, CTOOFile& file, int* pStatus = nullptr);

// The header of the element at the start of `data`, checked to fit in
// `size` with its content. Returns the header size, 0 on error.
CERT_API DWORD ASNTGetAsnInfo(const void* data, DWORD size, ASNTInfo* info, int* pStatus = nullptr);
// Raw identifier and length octets: encode into `out` (room `outSize`,
// at most 11 bytes are needed) / decode from `data`. Both return the header
// size, 0 on error; the decoder does not look at the content.
CERT_API DWORD ASNTLowEncodeData(BYTE cls, bool constructed, DWORD tag, DWORD length, BYTE* out, DWORD outSize,
                                 int* pStatus = nullptr);
CERT_API DWORD ASNTLowDecodeData(const void* data, DWORD size, BYTE* cls, bool* constructed, DWORD* tag, DWORD* length,
                                 int* pStatus = nullptr);

// ---------------------------------------------------------------------------
template <class File>
requires requires(File& f, BYTE* p) { f.Read(p, DWORD(1)); }
DWORD CASNTBaseRecord::ReadData(File& file, int* pStatus, DWORD maxSize) {
    // Identifier + length: at most 1 + 5 + 1 + 5 bytes are read (more is
    // malformed anyway), one by one so that the file stands right after the
    // header.
    BYTE head[16];
    DWORD n = 0;
    auto readByte = [&]() -> bool {
        if (n >= sizeof head) return false;
        return static_cast<std::size_t>(file.Read(head + n, 1)) == 1 ? (++n, true) : false;
    };
    if (!readByte()) return TOOReport(TOOERR_DER_FORMAT, "CASNTBaseRecord::ReadData: end of file", pStatus), 0;
    if ((head[0] & 0x1F) == 0x1F) {
        do {
            if (!readByte())
                return TOOReport(TOOERR_DER_FORMAT, "CASNTBaseRecord::ReadData: truncated tag", pStatus), 0;
        } while ((head[n - 1] & 0x80) && n < 6);
    }
    if (!readByte()) return TOOReport(TOOERR_DER_FORMAT, "CASNTBaseRecord::ReadData: truncated length", pStatus), 0;
    BYTE first = head[n - 1];
    if (first & 0x80) {
        DWORD k = first & 0x7F;
        for (DWORD i = 0; i < k && i < 5; ++i)
            if (!readByte())
                return TOOReport(TOOERR_DER_FORMAT, "CASNTBaseRecord::ReadData: truncated length", pStatus), 0;
    }
    int st = 0;
    CASNTBaseRecord hdr;
    if (!hdr.ReadASNInfo(head, n, &st)) return TOOReport(st, "CASNTBaseRecord::ReadData", pStatus), 0;
    if (hdr.m_specSize > maxSize)
        return TOOReport(TOOERR_DER_LIMIT, "CASNTBaseRecord::ReadData: element too large", pStatus), 0;
    // The content is read in pieces, so a length that the file cannot back
    // never becomes one large allocation.
    IdentObj whole(head, n);
    BYTE chunk[4096];
    for (DWORD left = hdr.m_specSize; left > 0;) {
        DWORD want = left < sizeof chunk ? left : DWORD(sizeof chunk);
        if (static_cast<std::size_t>(file.Read(chunk, want)) != want)
            return TOOReport(TOOERR_DER_FORMAT, "CASNTBaseRecord::ReadData: truncated content", pStatus), 0;
        whole.AddData(chunk, want);
        left -= want;
    }
    return ReadData(whole.data(), whole.size(), pStatus);
}
