// Signed data for the tool, over the library's SignedData model: reading one
// from a file without loading its content, and the forms `ctf p7 show`
// prints (also after `ctf sign` and in the demo).
#pragma once

#include <string>

#include "cert/signeddata.h"
#include "cli.h"

namespace ctf {

// One SignedData, DER or BER (read in place: the content stays in the file)
// or PEM ("-" and PEM are read whole, up to the object limit). Refused (exit
// 2) with the library's status and place when it does not decode.
CCTFSignData ReadSignedData(const std::string& path);

// The signed data as `ctf p7 show` prints it: content size or detached, the
// digest algorithms, the certificates and CRLs carried and every signer.
// Throws ctf::Error (exit 2) when a signer info or a carried certificate
// does not decode.
std::string SignedDataJson(const CCTFSignData& data);
std::string SignedDataText(const CCTFSignData& data);

}  // namespace ctf
