// What the chain engine, the exported checks and the system-store functions
// share.
#pragma once

#include "cert/chain.h"

namespace cert::stores {

// The longest chain built. Real chains are a few certificates long; past
// this a chain is reported partial (0x10000) rather than followed further.
constexpr std::size_t kMaxChainLength = 128;

// The platform store provider number and flags of the user's "Root" and
// "CA" system stores, and the storage types they get.
constexpr unsigned long kSystemStoreFlags = CERT_SYSTEM_STORE_CURRENT_USER | 0xC000;
constexpr unsigned long kSystemRootType = 0x10000001;
constexpr unsigned long kSystemCaType = 0x10000002;

// Opens a system store ("Root", "CA", ...) of the user (or the machine).
CCTFCertStorage OpenSystemStore(const char* name, unsigned long flags, unsigned long type);

// The trust-status bits of a chain element from the check bits left after
// its issuer search.
DWORD ElementBits(unsigned long checks, unsigned long applicationFlag);

// The certificate is self-issued and its own key verifies its signature.
bool IsSelfSignedRoot(const CCTFCertContext& cert);

// The CRL is the issuer's: its name, its authority key identifier when it
// has one, and a signature the issuer's key verifies.
bool IsCrlOfIssuer(const CCTFCRLContext& crl, const CCTFCertContext& issuer);

// The path rules of every certificate above the first: 0x400 into the
// failing elements' bits and the chain's; false when one fails.
bool CheckBasicConstraints(CCTFCertificateChain& chain);

}  // namespace cert::stores
