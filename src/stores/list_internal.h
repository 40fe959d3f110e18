// Helpers shared by the list classes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cert/certlist.h"

namespace cert::lists {

// The largest list file read whole.
constexpr std::size_t kMaxListFile = std::size_t(1) << 30;

// A record found by search: where its code starts, and where its 32-bit
// value (the length, or the count) and what follows it start.
struct Record {
    std::uint64_t at = 0;
    std::uint32_t value = 0;
    std::uint64_t after = 0;  // just past the value field
};

// Finds the first `code` in data[from, size); false when absent. With
// `withValue` the 4 bytes after the code must be there too (else 74 is
// thrown as XTOOStatus).
bool FindRecord(const unsigned char* data, std::uint64_t size, std::uint64_t from, const char (&code)[5],
                bool withValue, Record& out);

// Reads the file whole: 0, 4 (missing), 51 (too large to take), 17.
int ReadListFile(const std::string& path, std::string& out);
// Writes through a synced work copy renamed over `path`: 0, 17 or 6.
int WriteListFile(const std::string& path, const std::string& bytes);

// The DER of every certificate / CRL of the store, in enumeration order.
std::vector<IdentObj> StoreCertificates(const CCTFCertStorage& s);
std::vector<IdentObj> StoreCrls(const CCTFCertStorage& s);
// Opens `s` anew as an empty memory store.
bool ResetStore(CCTFCertStorage& s);
// The status for the thread's last error (36 when there is none).
int LastErrorStatus();

// The certificates of `storage` that may have issued the CRL, in store
// order, by its authority key identifier ("2.5.29.35", else "2.5.29.1"):
// by issuer serial when it names one, else (or when that finds none) by
// key identifier, else by the CRL's issuer name. Whether one signed it is
// the caller's check.
std::vector<CCTFCertContext> CrlIssuerCandidates(const CCTF_CRL_Info& crl, const CCTFCertStorage& storage);

// The verifier this layer gives signed trust lists (storage list,
// signed-data verification, chain engine): the one in use until a host
// registers another. Defined beside the upper parts it calls, and taken by
// the lists' own file so that a static link keeps it.
CertDll::TrustListVerifier* LayerTrustListVerifier();

}  // namespace cert::lists
