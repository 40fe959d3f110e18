// Certificate chains as the tool prints them: one chain per certificate
// (`ctf verify-cert`) or per signer (`ctf verify`), each element with its
// subject, serial, validity, trust bits explained one by one and the CRL
// that decided its revocation; the chain with its error code and that
// code's text. The same chain always prints the same way, in text and in
// JSON, whichever command built it.
#pragma once

#include <string>

#include "cert/chain.h"

namespace ctf {

// The names of the trust error bits set in `bits`, one per bit, joined by
// "; " ("none" for 0); a bit the library has no text for is named by its
// hex value.
std::string TrustBitsText(DWORD bits);

// One chain whose verdict is `bits` (the chain's own status, or the status
// an exported check gave for it), judged at `at` (empty: now), which tells
// whether a CRL was out of date. `title` heads the text form; `file` names
// the input in the JSON form.
std::string ChainText(const std::string& title, const CCTFCertificateChain& chain, DWORD bits,
                      const CTOOFileTime& at = {});
// {"file","error","code","text","elements":[{"subject","issuer","serial",
// "notBefore","notAfter","error","bits","crl"}]}: `issuer` is the name the
// certificate gives, `crl` null or {"issuer","thisUpdate","nextUpdate",
// "outOfDate"}.
std::string ChainJson(const std::string& file, const CCTFCertificateChain& chain, DWORD bits,
                      const CTOOFileTime& at = {});

}  // namespace ctf
