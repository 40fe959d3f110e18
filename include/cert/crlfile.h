// CRL files: PKCS #7 signed data whose CRL set carries the CRLs of the
// transport directory, one per issuer and authority key.
//
// Every edit is a read-modify-write of the whole file under an
// inter-process lock named after the file's absolute path, so that
// processes adding CRLs to one file at once lose none. The new content goes
// to a synced work copy in the same folder that is renamed over the file:
// the file is never truncated in place, and a reader sees the old file or
// the new one, whole. Only a regular file is ever replaced: a symbolic
// link, FIFO, device or folder where the file should be fails the edit. A
// failure at any step (the file does not decode, a CRL to add does not
// decode, no CRL to delete matches, the lock cannot be taken) leaves the
// file byte for byte as it was.
//
// Errors. CTFUpdateCRLInFile and the first CTFDeleteCrlFromFile
// keep the interface the CRL updater and the transport directory call:
// they answer 0 on failure, write the status and place to the diagnostics
// dispatcher and leave the status as the thread's last error (the Windows
// code a status carries, else the status itself). The forms with
// `int* error, CTOOString* place` follow the library's reporting rule.
#pragma once

#include <list>
#include <string>

#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/tools.h"
#include "cert/x500name.h"

// No CRL of the file matches the one to delete (the number is shared with
// another meaning elsewhere; callers of these functions see only this one).
constexpr int CTFERR_CRL_NOT_IN_FILE = 194;

// Puts `newCrl` (DER; empty: add none) into the CRL file: the first CRL of
// the same issuer (names compared as CCTFX509Name does) and the same
// authority key identifier value (bytes; both absent is the same) is
// replaced. Then, when `matchNumber` is set and the new CRL has a number,
// every other CRL whose number is longer than 4 bytes and shares its third
// and fourth bytes (the upper half of the library's list identifier) is
// dropped, and so is every CRL of an issuer in `issuersToDrop`; a dropped
// CRL goes to `storage` first when one is given. The new CRL is appended.
// The file must exist (4). Non-zero on success.
CERT_API int CTFUpdateCRLInFile(const CTOOString& fileName, const IdentObj& newCrl, bool matchNumber,
                                const std::list<CCTFX509Name>& issuersToDrop, CCTFCertStorage* storage);

// The same for several CRLs in one rewrite, in order, under the reporting
// rule. With `createMissing` a missing file starts as an empty signed data
// (no content, no signers), created under the same lock so that processes
// creating one file at once all add to it.
CERT_API bool CTFUpdateCRLsInFile(const std::string& fileName, const std::list<IdentObj>& newCrls, bool matchNumber,
                                  const std::list<CCTFX509Name>& issuersToDrop, CCTFCertStorage* storage,
                                  bool createMissing, int* error, CTOOString* place = nullptr);

// Removes the first CRL of `issuer` whose number (byNumber: the INTEGER
// content in encoded order) or authority key identifier's key id equals
// `id`. 1 when one was removed and the file rewritten, 0 otherwise (a
// missing file 4, no match CTFERR_CRL_NOT_IN_FILE).
CERT_API int CTFDeleteCrlFromFile(bool byNumber, CCTFX509Name issuer, const IdentObj& id, const char* fileName);
// The same under the reporting rule: true when one was removed.
CERT_API bool CTFDeleteCrlFromFile(bool byNumber, const CCTFX509Name& issuer, const IdentObj& id,
                                   const std::string& fileName, int* error, CTOOString* place = nullptr);
