// Whether a certificate may sign now.
#pragma once

#include "cert/certstore.h"
#include "cert/export.h"
#include "cert/tootime.h"

// True when the certificate may sign at `time` (now when empty): its basic
// constraints and key usage decode, the key usage (when present) allows
// digital signature or non-repudiation, and `time` lies inside both the
// validity and the private-key usage period. False otherwise, with the
// thread's last error 106 (the certificate is not made for signing, or its
// extensions do not decode) or 203 (outside its periods). `flag` is kept
// for callers and changes nothing.
CERT_API bool CTFCanSignByCert(const CCTFCertContext& certificate, bool flag, const CTOOFileTime& time);
