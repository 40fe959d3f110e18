// Certificates for the tool, over the library's certificate model: every
// certificate of an input file, one certificate in the text and JSON forms
// `ctf cert show` prints, and a self-signed certificate made with a
// container's signature key (`ctf cert new`, the demo).
#pragma once

#include <string>
#include <vector>

#include "cert/certmodel.h"
#include "cert/tootime.h"
#include "cli.h"

namespace ctf {

// The certificates of a file: the blocks of a PEM file, or DER certificates
// one after another ("-" is standard input). Refused (exit 2): an empty
// file, one that is neither DER nor PEM, malformed DER (with its offset) or
// PEM.
std::vector<IdentObj> ReadCertificates(const std::string& path);

// Decodes one of them; refused (exit 2) with the decoder's reason and
// offset. `what` names it in the message ("cert.pem: certificate 2").
CCTFX509Certificate DecodeCertificate(const IdentObj& der, const std::string& what);

// A decoded certificate as `ctf cert show` prints it; `der` is the input,
// against which the re-encoding is compared.
std::string CertificateJson(const CCTFX509Certificate& cert, const IdentObj& der);
std::string CertificateText(const CCTFX509Certificate& cert, const IdentObj& der);

// A serial held least significant byte first, as OpenSSL prints it.
std::string ModelSerial(const IdentObj& leastSignificantFirst);
// A name as keyword text, or "#" and its hex when it does not read as one.
std::string NameText(const CERT_NAME_BLOB& name);
// A name as keyword text, or its hex in parentheses.
std::string NameOrHex(const CCTFX509Name& name);

// What a self-signed certificate is made of.
struct NewCertificate {
    CCTFX509Name subject;
    WORD months = 12;
    bool ca = false;
    DWORD extendedUsage = 0;
    std::string keyIdText;  // empty: none
    std::vector<std::string> crlUrls, caIssuerUrls, ocspUrls;
    // Validity set by hand (both, or neither: then from now for `months`),
    // for certificates that must already have expired.
    CTOOFileTime notBefore, notAfter;
};

// The certificate, built by the model (CreateCertReq, the distribution
// points and authority information access, an authority key identifier of
// its own key identifier, subject and serial) and signed with the
// signature key of `prov` (opened, its password given). Throws ctf::Error.
CCTFX509Certificate MakeSelfSigned(HCRYPTPROV prov, const NewCertificate& what);
// The same for `subjectKey`, issued by `issuer` and signed with the
// signature key of `issuerProv` (the issuer's key).
CCTFX509Certificate MakeIssued(HCRYPTPROV issuerProv, const CCTFX509Certificate& issuer,
                               const CCTFCertPublicKeyInfo& subjectKey, const NewCertificate& what);

}  // namespace ctf
