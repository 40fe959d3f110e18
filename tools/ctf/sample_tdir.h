// A sample transport directory, made entirely by our own code: the demo
// walks it, the tests verify against it, and the build makes one beside
// the tool (the program in gen/). Nothing of it is kept in the source tree.
//
//   d_station/0001_trl.p7s   node 0001's signed list: its root CA and CRL
//                            (which revokes "Revoked user")
//   d_station/0002_trl.p7s   node 0002's signed list: its CA and CRL
//   d_station/0000_trl.p7s   the common list: both CAs
//   d_station/Abn_0001/0001_ownu.cer   own users: good, revoked, expired
//   d_station/e_users/0002_extu.cer    external users: one of node 0002,
//                                      one issued by a CA nobody knows
//   files/*.cer, files/*.crl  the same certificates and CRLs as DER files
//                             (root, ca0002, good, revoked, expired,
//                             unknown, external; root.crl, ca0002.crl)
//   files/letter.txt and files/{good,revoked,expired}.p7s: a document and
//                             its attached signature by each of those
//                             users (the expired one's made 100 days ago)
#pragma once

#include <string>
#include <vector>

#include "cli.h"

namespace ctf {

// Writes the sample into `dir` (made when missing). The keys live in
// containers of the current home for the time it takes and are deleted
// after. Throws ctf::Error.
void MakeSampleTransportDir(const std::string& dir);

// The sample the build made, when it is there; else empty.
std::string BuiltSampleTransportDir();

// For the demo: the sample the build made, or (when there is none, or one
// from before the signed letters) one made now in the home, said so.
std::string DemoSampleTransportDir();

// Runs `ctf --transport-dir DIR NAME ARGS...` in this process, the command
// line shown first; its exit code.
int RunInTransportDir(const Context& ctx, const std::string& dir, const std::string& name,
                      const std::vector<std::string>& argv);

}  // namespace ctf
