// CRLs for the tool, over the library's CRL model: reading one, the forms
// `ctf crl show` prints, serial and reason arguments, and signing a CRL with
// a container's key (`ctf crl new`, `ctf crl revoke`, the demo).
#pragma once

#include <string>
#include <vector>

#include "cert/certstore.h"
#include "cert/crlmodel.h"
#include "cli.h"
#include "keys.h"

namespace ctf {

// One CRL, DER or PEM. Refused (exit 2) with the library's status and place
// when it does not decode.
CCTF_CRL_List ReadCrl(const std::string& path);
// The same of bytes read already.
CCTF_CRL_List DecodeCrl(const std::string& path, const IdentObj& der);
// The CRLs of a CRL file (PKCS #7 signed data, DER or PEM), in order;
// refused (exit 2) when it is no signed data or one of its CRLs does not
// decode. `isFile` answers whether the bytes are signed data at all.
std::vector<CCTF_CRL_List> ReadCrlFile(const std::string& path);
std::vector<CCTF_CRL_List> CrlsOfFile(const std::string& path, const IdentObj& bytes);
bool IsCrlFile(const IdentObj& bytes);
// The failure of an edit of a CRL file: exit 2 for what the user gave (a
// missing file, one that does not decode or is no regular file, a CRL that
// does not decode), else as the status says.
Error CrlFileError(const std::string& file, int status, const CTOOString& place);
// The key id of the CRL's authority key identifier; empty without one.
IdentObj CrlKeyId(const CCTF_CRL_Info& info);
// One certificate as a context, DER or PEM; refused (exit 2) otherwise.
CCTFCertContext ReadCertificateContext(const std::string& path);

// A serial as OpenSSL prints it, into the model's order (least significant
// byte first, a sign byte where the top bit is set); exit 2 otherwise.
IdentObj SerialArgument(const std::string& text, const std::string& option);
// A reason code (0-10) or OpenSSL's name ("keyCompromise"); exit 2 otherwise.
DWORD ReasonArgument(const std::string& text);
// OpenSSL's name of a reason code, or the number.
std::string ReasonName(DWORD code);

// The CRL as `ctf crl show` prints it.
std::string CrlJson(const CCTF_CRL_List& crl, bool entries, const std::string* verified);
std::string CrlText(const CCTF_CRL_List& crl, bool entries, const std::string* verified);

// Signs `crl` with the signature key of the container as `ca`'s issuer and
// checks the result against `ca` (a key that is not the certificate's is
// refused, exit 2); the encoded CRL.
IdentObj SignCrl(CCTF_CRL_List& crl, const KeyOptions& k, const CCTFCertContext& ca);

// `--revoke SERIAL[:REASON]` and `--revoke-cert CERT[:REASON]`, taken
// before Args::Done() and added to `crl` (revoked now) after it.
struct Revocations {
    std::vector<std::string> serials, certificates;
    explicit Revocations(Args& args) : serials(args.Options("revoke")), certificates(args.Options("revoke-cert")) {}
};
void AddRevocations(CCTF_CRL_Info& crl, const Revocations& r);

// What `crl new` and `crl revoke` print of the CRL written to `out`.
void ReportCrl(const Context& ctx, const std::string& out, const CCTF_CRL_List& crl, std::size_t bytes);

}  // namespace ctf
