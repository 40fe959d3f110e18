// Distinguished names: CCTFX509Name (the DER of one Name) with its
// attributes (CCTFRDNAttr) and simple RDNs (CCTFSimpleRDN), and the parser
// between names and their text form (namespace X500NameParser).
//
// Text. 8-bit text is UTF-8 and wide text UTF-16 (std::u16string). A name
// is written as elements TYPE=VALUE separated by ',', ';' or line breaks
// (the encoder options below narrow that to one). TYPE is a keyword (CN, O,
// OU, C, L, S, T, E, SERIALNUMBER, INN, ИНН, ...; any case, Cyrillic
// included), a dotted OID, or "OID." and a dotted OID. VALUE is taken as
// written without the blanks around it, or between double quotation marks
// with "" standing for one mark; "$$" stands for a line break (the lines of
// a postal address). The keyword form the decoder writes (mode 3) parses
// back to the same attribute types.
//
// Errors. The parser's methods never throw: they return false for bad
// input and for every other failure (X500NameEncoder::Fill alone throws
// XTOOStatus 16 when out of memory). CCTFX509Name, CCTFRDNAttr and
// CCTFSimpleRDN report by throwing XTOOStatus, never another exception type:
// a name that cannot be encoded is 22 (134 for a list of simple RDNs), a
// name that does not decode 134, both with flag 1; out of memory is 16. The
// inline members (copies, CCTFSimpleRDN's constructors) throw std::bad_alloc
// as CTOOString's do.
//
// Two readers of a name. The name as data (GetNameInfo, the simple RDNs,
// ==, GetSimpleRDN, GetCertNameString) is read by the platform's X509_NAME
// decoder, which keeps every attribute of a multi-valued RDN (the simple
// RDNs and == see the first one). The text decoder, CertNameInfoWrapper and
// hence SetSimpleRDN take single-valued RDNs only and refuse a name with a
// multi-valued one.
//
// Value types are the platform's CERT_RDN_* numbers (cert/capi.h); a value
// as CERT_RDN_ATTR holds it is the content bytes for the 8-bit string types
// and UTF-16 for BMPString and UTF8String.
//
// Thread safety: the keyword table is filled once, under a lock, and only
// read afterwards. A name, an encoder or a decoder object belongs to one
// thread at a time; distinct objects are independent.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cert/capi.h"
#include "cert/export.h"
#include "cert/platform.h"
#include "cert/tools.h"

class CCTFX509Name;

// ---------------------------------------------------------------------------
// One attribute of a relative distinguished name: the type OID, the value
// type and the value as the platform's CERT_RDN_ATTR holds it.
class CERT_API CCTFRDNAttr {
public:
    CCTFRDNAttr() = default;
    CCTFRDNAttr(const CCTFRDNAttr&) = default;
    CCTFRDNAttr(CCTFRDNAttr&&) noexcept = default;
    explicit CCTFRDNAttr(const CERT_RDN_ATTR& attr);
    CCTFRDNAttr(const char* oid, DWORD valueType, const IdentObj& value);
    // The value typed as the encoder types it (CCTFX509Name::MakeRDNAttr).
    CCTFRDNAttr(const char* oid, const char* value);
    virtual ~CCTFRDNAttr();
    CCTFRDNAttr& operator=(const CCTFRDNAttr&) = default;
    CCTFRDNAttr& operator=(CCTFRDNAttr&&) noexcept = default;
    CCTFRDNAttr& operator=(const CERT_RDN_ATTR& attr);

    void SetBy(const CERT_RDN_ATTR& attr);
    void SetBy(const char* oid, const char* value);

    // The value text (CertRDNValueToStrA); `text` is left as it was when
    // the platform gives none.
    void GetValueString(CTOOString& text) const;

    const CTOOString& GetOID() const { return m_oid; }
    DWORD GetValueType() const { return m_valueType; }
    const IdentObj& GetValue() const { return m_value; }
    // A view for platform calls, valid while this object is unchanged.
    CERT_RDN_ATTR GetAttr() const;

    bool operator==(const CCTFRDNAttr& o) const;
    bool operator!=(const CCTFRDNAttr& o) const { return !(*this == o); }

private:
    CTOOString m_oid;
    DWORD m_valueType = 0;
    IdentObj m_value;
};

// ---------------------------------------------------------------------------
// The first attribute of an RDN as text: its type OID and its value text.
class CERT_API CCTFSimpleRDN {
public:
    CCTFSimpleRDN() = default;
    CCTFSimpleRDN(const char* oid, const char* value) : oid(oid), value(value) {}
    CCTFSimpleRDN(CTOOString oid, CTOOString value) : oid(std::move(oid)), value(std::move(value)) {}
    virtual ~CCTFSimpleRDN() = default;
    CCTFSimpleRDN(const CCTFSimpleRDN&) = default;
    CCTFSimpleRDN(CCTFSimpleRDN&&) noexcept = default;
    CCTFSimpleRDN& operator=(const CCTFSimpleRDN&) = default;
    CCTFSimpleRDN& operator=(CCTFSimpleRDN&&) noexcept = default;

    // The order of sets: OID text, then value text, byte by byte.
    static bool CompareSimpleRDN(const CCTFSimpleRDN& a, const CCTFSimpleRDN& b);
    // The display rank of an attribute type: common name and pseudonym 0,
    // title 1, organisational unit 2, organisation 3, e-mail 4, department
    // 5, serial number 6, postal address 7, state 8, locality 9, country 10,
    // unstructured name 11, any other type 99. A lower rank is shown first.
    static int GetDisplayRank(const char* oid);

    bool operator==(const CCTFSimpleRDN& o) const { return oid == o.oid && value == o.value; }
    bool operator!=(const CCTFSimpleRDN& o) const { return !(*this == o); }
    // By display rank only: a < b when a is shown before b.
    bool operator<(const CCTFSimpleRDN& o) const;
    bool operator>(const CCTFSimpleRDN& o) const;

    CTOOString oid;
    CTOOString value;
};

// ---------------------------------------------------------------------------
namespace X500NameParser {

// Decoder modes: the lower 16 bits of a decoder's mode-and-options word.
constexpr DWORD kModeValues = 1;    // the values alone
constexpr DWORD kModeOids = 2;      // dotted OIDs as keys (any mode but 1 and 3)
constexpr DWORD kModeKeywords = 3;  // keywords as keys, dotted OIDs where there is none

// Option bits, of the encoder and of the decoder where said.
constexpr DWORD kCommaOnly = 0x04000000;      // encoder: only ',' delimits elements
constexpr DWORD kSemicolonOnly = 0x40000000;  // only ';' delimits; the decoder joins with ';'
constexpr DWORD kLineBreakOnly = 0x08000000;  // only CR or LF delimits; the decoder joins with CR LF
constexpr DWORD kUtf8NotBmp = 0x00040000;     // encoder: non-printable values as UTF8String, not BMPString
constexpr DWORD kUtf8Always = 0x00100000;  // encoder, with kUtf8NotBmp: every value not bound to a type as UTF8String

class CertNameInfoWrapper;

class CERT_API X500NameEncoder {
public:
    // One element of a name text: the attribute type as a dotted OID and
    // the value.
    struct X500NAME_ELEM {
        std::u16string oid;
        std::u16string value;
    };
    // Token kinds of the tokeniser.
    enum Token : DWORD { kEnd = 0, kType = 1, kValue = 2, kDelimiter = 3, kEquals = 4, kNone = 5 };

    // Options 0; makes sure the keyword table is filled.
    X500NameEncoder();
    virtual ~X500NameEncoder();
    X500NameEncoder(const X500NameEncoder&) = default;
    X500NameEncoder& operator=(const X500NameEncoder&) = default;

    void SetEncoderOptions(DWORD options) { m_options = options; }
    void AddEncoderOption(DWORD option) { m_options |= option; }
    void RemoveEncoderOption(DWORD option) { m_options &= ~option; }
    DWORD GetEncoderOptions(DWORD = 0) const { return m_options; }
    // Where the last Encode or DevideIntoElements of a text stopped: the
    // index (UTF-16 units) in the text after trimming at which the parser
    // failed, or the start of the element that could not be encoded.
    DWORD GetReadPosition() const { return m_pos; }

    // Parses and encodes `text` into `name` (emptied first); `reorder`
    // sorts the elements by display rank, the highest first (country
    // before organisation before common name), keeping the text order
    // among equal ranks. False for an empty or malformed text or a value
    // that cannot be encoded.
    bool Encode(const std::u16string& text, IdentObj& name, bool reorder);
    // Re-encodes a structure, its RDNs and their attributes in order (a
    // multi-valued RDN stays one SET): each value is taken as text
    // (ConvToX500NameElem) and typed again by the rules of the text form.
    bool Encode(const CERT_NAME_INFO& info, IdentObj& name);
    bool Encode(const std::list<std::list<CCTFRDNAttr>>& rdns, IdentObj& name);
    // One single-valued RDN per simple RDN.
    bool Encode(const std::list<CCTFSimpleRDN>& rdns, IdentObj& name, bool reorder);
    // Parses only. An empty (after trimming) text gives true and no element.
    bool DevideIntoElements(const std::u16string& text, std::list<X500NAME_ELEM>& elements);

    // An attribute as an element: numeric, printable and IA5 values as
    // their characters, BMPString and UTF8String values (UTF-16 in the
    // structures) as they are; every other value type is refused.
    static bool ConvToX500NameElem(const CERT_RDN_ATTR& attr, X500NAME_ELEM& elem);
    static bool ConvToX500NameElem(const CCTFRDNAttr& attr, X500NAME_ELEM& elem);
    // The keyword table: upper-case UTF-8 keyword to dotted OID (filling
    // again adds nothing), and a lookup that upper-cases the keyword
    // first, Cyrillic letters included.
    static void Fill(std::map<std::string, std::u16string>& table);
    static bool FindOid(std::string keyword, std::u16string& oid);

private:
    bool Parse(const std::u16string& text);
    bool GetToken();
    bool Parse_NameElems();
    bool Parse_ElemComponents();
    bool Parse_ElemType();
    bool Parse_ElemValue();
    // `failed` receives the index (counting every attribute in order) of
    // the element that could not be encoded.
    bool EncodeElements(const std::vector<std::vector<X500NAME_ELEM>>& rdns, IdentObj& name,
                        std::size_t* failed = nullptr);
    // The string type of an element's value (3, 4, 7, 12 or 13), or 0 when
    // it cannot be encoded.
    DWORD DetermineTargetType(const X500NAME_ELEM& elem) const;
    bool EncodeElemData(const X500NAME_ELEM& elem, IdentObj& value) const;

    DWORD m_options = 0;
    DWORD m_pos = 0;
    std::u16string m_text;
    DWORD m_token = kNone;
    DWORD m_tokenStart = 0;
    std::u16string m_tokenText;
    bool m_tokenQuoted = false;
    X500NAME_ELEM m_elem;
    std::list<X500NAME_ELEM> m_elems;
    std::vector<DWORD> m_elemStarts;  // where each parsed element began
};

class CERT_API X500NameDecoder {
public:
    // Mode 3, options 0.
    X500NameDecoder() = default;
    virtual ~X500NameDecoder();
    X500NameDecoder(const X500NameDecoder&) = default;
    X500NameDecoder& operator=(const X500NameDecoder&) = default;

    // Only the upper 16 bits are kept.
    void SetDecoderOptions(DWORD options) { m_options = options & 0xFFFF0000u; }
    void AddDecoderOption(DWORD option) { m_options |= option & 0xFFFF0000u; }
    void RemoveDecoderOption(DWORD option) { m_options &= ~option; }
    DWORD GetDecoderOptions() const { return m_options; }

    // The text form, RDNs in encoded order; the lower 16 bits of
    // `modeAndOptions` are the mode, the separator comes from the options
    // set before (',' unless kLineBreakOnly or kSemicolonOnly; mode 1
    // always ','). Values that are no text show as the hex of their whole
    // encoding. False for an empty or malformed name or a multi-valued RDN.
    bool Decode(const IdentObj& name, std::u16string& text, DWORD modeAndOptions);
    // One pair per RDN: the key as in the text form of `mode` (empty in
    // mode 1) and the value's lines, unescaped (a SEQUENCE of strings, as a
    // postal address is, gives one line per string).
    bool Decode(const IdentObj& name, std::list<std::pair<std::u16string, std::list<std::u16string>>>& elements,
                DWORD mode);
    // The structure, one single-valued CERT_RDN per RDN in encoded order: a
    // value that is text as value type 12 (UTF-16), any other as type 1
    // with its whole encoding.
    bool Decode(const IdentObj& name, CertNameInfoWrapper& info);

    // Upper-case hex of the bytes, separated by one blank; "\"\"" for none.
    static void BlobToString(const IdentObj& blob, std::u16string& text);
    static std::u16string ToHex(unsigned char byte);

private:
    DWORD m_mode = kModeKeywords;
    DWORD m_options = 0;
};

// Owns a CERT_NAME_INFO made by X500NameDecoder, with every buffer it
// points to. Read-only for its users.
class CERT_API CertNameInfoWrapper {
public:
    CertNameInfoWrapper();
    ~CertNameInfoWrapper();
    CertNameInfoWrapper(const CertNameInfoWrapper&) = delete;
    CertNameInfoWrapper& operator=(const CertNameInfoWrapper&) = delete;

    // Frees everything; the structure becomes empty.
    void Clean();
    const CERT_NAME_INFO& GetNameInfo() const { return m_info; }
    const CERT_NAME_INFO* operator->() const { return &m_info; }

private:
    friend class X500NameDecoder;
    friend class ::CCTFX509Name;
    struct Storage;
    // Adds an RDN of one attribute; returns false when out of memory.
    bool AddRdn(const std::string& oid, DWORD valueType, const void* value, DWORD size);
    // Replaces the value of attribute `attr` of RDN `rdn`.
    bool SetValue(DWORD rdn, DWORD attr, DWORD valueType, const void* value, DWORD size);

    CERT_NAME_INFO m_info{};
    Storage* m_storage = nullptr;
};

}  // namespace X500NameParser

// ---------------------------------------------------------------------------
// A distinguished name: the DER of one Name (SEQUENCE OF RDN), tag and
// length included; the empty blob is the empty name. `<` and `>` are
// IdentObj's, by bytes (for maps); == and != compare as sets of simple RDNs.
class CERT_API CCTFX509Name : public IdentObj {
public:
    CCTFX509Name() = default;
    CCTFX509Name(const CCTFX509Name&) = default;
    CCTFX509Name(CCTFX509Name&&) noexcept = default;
    // Takes the bytes as they are (no check).
    explicit CCTFX509Name(const IdentObj& der) : IdentObj(der) {}
    explicit CCTFX509Name(const CRYPTOAPI_BLOB& der) : IdentObj(der) {}
    // Encoded by the parser (throw 22, or 134 for simple RDNs; flag 1).
    // The structures and lists are encoded as SetBy(..., utf8) does.
    explicit CCTFX509Name(const CERT_NAME_INFO& info, bool utf8 = true);
    explicit CCTFX509Name(const std::list<std::list<CCTFRDNAttr>>& rdns, bool utf8 = true);
    explicit CCTFX509Name(const std::list<CCTFSimpleRDN>& rdns, bool utf8 = true, bool reorder = false);
    explicit CCTFX509Name(const char* text, DWORD options = 0, bool reorder = false);
    explicit CCTFX509Name(const std::u16string& text, DWORD options = 0, bool reorder = false);
    ~CCTFX509Name() override;

    CCTFX509Name& operator=(const CCTFX509Name&) = default;
    CCTFX509Name& operator=(CCTFX509Name&&) noexcept = default;
    CCTFX509Name& operator=(const IdentObj& der);
    CCTFX509Name& operator=(const CRYPTOAPI_BLOB& der);
    CCTFX509Name& operator=(const CERT_NAME_INFO& info);
    CCTFX509Name& operator=(const std::list<std::list<CCTFRDNAttr>>& rdns);
    CCTFX509Name& operator=(const std::list<CCTFSimpleRDN>& rdns);
    // A name text, options 0, in text order.
    CCTFX509Name& operator=(const char* text);
    CCTFX509Name& operator=(const std::u16string& text);

    // Encoder options kUtf8NotBmp | kUtf8Always when `utf8`, else 0. A
    // failure throws 22 (134 for simple RDNs) and leaves the name as it was.
    void SetBy(const CERT_NAME_INFO& info, bool utf8);
    void SetBy(const std::list<std::list<CCTFRDNAttr>>& rdns, bool utf8);
    void SetBy(const std::list<CCTFSimpleRDN>& rdns, bool utf8, bool reorder);
    // A name text. With kUtf8NotBmp in `options` the encoder is given only
    // `options & kUtf8Always` (so text alone never reaches UTF8String unless
    // both bits are set); otherwise `options` as they are. Throws 22.
    void SetBy(const char* text, DWORD options, bool reorder);
    void SetBy(const std::u16string& text, DWORD options, bool reorder);

    // Equal when both names hold the same simple RDNs (first attribute of
    // each RDN: type OID and value text), whatever their order and string
    // types; value texts compare exactly. Throws 134 when a name does not
    // decode.
    bool operator==(const CCTFX509Name& o) const;
    bool operator!=(const CCTFX509Name& o) const { return !(*this == o); }

    // One list per RDN in encoded order, each with its attributes in order;
    // the empty name gives none. Throws 134 when the name does not decode.
    void GetNameInfo(std::list<std::list<CCTFRDNAttr>>& rdns) const;
    // One simple RDN per RDN with at least one attribute, made of its first
    // attribute. `byDisplayRank` false keeps the encoded order; true sorts
    // the list by display rank (common name first, country last), keeping
    // the encoded order among equal ranks. Throws 134.
    void GetSimpleRDNList(std::list<CCTFSimpleRDN>& rdns, bool byDisplayRank) const;
    void GetSimpleRDNVector(std::vector<CCTFSimpleRDN>& rdns) const;
    // The value text of the first RDN whose first attribute has exactly
    // this OID; false and an empty value when there is none. Throws 134.
    bool GetSimpleRDN(const char* oid, CTOOString& value) const;
    bool GetSimpleRDN(const char* oid, std::u16string& value) const;
    // Replaces the value of the first RDN whose first attribute has this
    // OID, typed as the encoder types it, and re-encodes the whole name in
    // its order with SetBy(structure, true). False when the name does not
    // decode (to the text decoder) or no RDN has the OID; throws as
    // MakeRDNAttr and SetBy do, leaving the name as it was.
    bool SetSimpleRDN(const char* oid, const char* value);
    bool SetSimpleRDN(const CCTFSimpleRDN& rdn);

    // The first element of `target` and of `source` with this OID (no
    // case): removed from `target` when `source` has none, given the
    // source's value when both have one, appended to `target` when only
    // `source` has one.
    static void MergeRDNAtributes(std::list<CCTFSimpleRDN>& target, const std::list<CCTFSimpleRDN>& source,
                                  const char* oid);
    // One attribute typed as the encoder types it: `oid`="value" encoded
    // as a name with options 2 and read back. Throws 22 when it cannot be
    // encoded, 134 when it does not decode back, 36 when it decodes empty.
    static void MakeRDNAttr(const char* oid, const char* value, CCTFRDNAttr& out);
    // `oid`, '=' and the value quoted by QuoteString.
    static void FormatRDNAttr(const char* oid, const char* value, CTOOString& out);
    // Double quotation marks around the text, every mark inside doubled.
    static void QuoteString(const char* in, CTOOString& out);
    static void QuoteString(CTOOString& text);
    // Drops every single quotation mark; a doubled one becomes one.
    static void UnquoteString(const char* in, CTOOString& out);
    static void UnquoteString(CTOOString& text);
    // The value text (CertRDNValueToStrA / W); `text` is left as it was
    // when the platform gives none.
    static void GetRDNAttrValueString(const CERT_RDN_ATTR& attr, CTOOString& text);
    static void GetRDNAttrValueString(const CERT_RDN_ATTR& attr, std::u16string& text);
    static void GetRDNAttrValueString(const CCTFRDNAttr& attr, CTOOString& text);

    // The text form (X500NameDecoder::Decode): decoder options and mode
    // both from `modeAndOptions`; an empty name gives an empty text. Throws
    // 134 when the name does not decode to text.
    void GetX500String(CTOOString& text, DWORD modeAndOptions) const;
    void GetX500String(std::string& text, DWORD modeAndOptions) const;
    void GetX500String(std::u16string& text, DWORD modeAndOptions) const;
    // The display name: a pseudonym, else the last common name, else the
    // last organisation, else the first RDN's value (first attributes
    // only). False only for a name without RDNs. Throws 134.
    bool GetCertNameString(std::string& text) const;
};
