// The library's side of bench_keys, kept apart: the library's certificate
// headers and OpenSSL's name the same types, so no file includes both.
#pragma once

namespace benchkeys {

// A home of the benchmark's own, made once.
void UseOwnHome();

// A user with a signature key of the key OID and a certificate of it.
struct Proof;
Proof* MakeProof(const char* keyOid);
bool Prove(Proof* p);  // CheckSignKeys
void FreeProof(Proof* p);

// A user whose cache holds `n` keys, each found once through its
// certificate.
struct Cache;
Cache* MakeCache(int n);
bool FindNext(Cache* c);  // GetUserKey with the next certificate in turn
void FreeCache(Cache* c);

}  // namespace benchkeys
