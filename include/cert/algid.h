// Algorithm identifiers (ALG_ID) of the GOST provider and of the foreign
// providers the library talks to, with the class and type bits used to tell
// hashes, signatures, ciphers and key exchange apart.
#pragma once

#include "cert/platform.h"

// Class bits (algId & ALG_CLASS_MASK).
constexpr ALG_ID ALG_CLASS_MASK = 0xE000;
constexpr ALG_ID ALG_CLASS_SIGNATURE = 0x2000;
constexpr ALG_ID ALG_CLASS_DATA_ENCRYPT = 0x6000;
constexpr ALG_ID ALG_CLASS_HASH = 0x8000;
constexpr ALG_ID ALG_CLASS_KEY_EXCHANGE = 0xA000;
// Type bits (algId & ALG_TYPE_MASK); GOST signature algorithms carry 0x0E00.
constexpr ALG_ID ALG_TYPE_MASK = 0x1E00;
constexpr ALG_ID ALG_TYPE_GOST_SIGN = 0x0E00;

constexpr ALG_ID GET_ALG_CLASS(ALG_ID a) { return a & ALG_CLASS_MASK; }
constexpr ALG_ID GET_ALG_TYPE(ALG_ID a) { return a & ALG_TYPE_MASK; }

// Hashes and MACs.
constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr ALG_ID CALG_GOST_R3411_94 = 0x801E;        // GOST R 34.11-94
constexpr ALG_ID CALG_GOST_28147_MAC = 0x801F;       // GOST 28147-89 MAC
constexpr ALG_ID CALG_GOST_R3411_2012_256 = 0x8021;  // GOST R 34.11-2012, 256 bits
constexpr ALG_ID CALG_GOST_R3411_2012_512 = 0x8022;  // GOST R 34.11-2012, 512 bits
constexpr ALG_ID CALG_VRK_HASH = 0x8029;             // the product's own hash
constexpr ALG_ID CALG_VRK_MAC_Z = 0x802A;            // the product's MAC over key 0x602D
constexpr ALG_ID CALG_VRK_MAC_A = 0x802B;            // the product's MAC over key 0x602E

// Symmetric keys.
constexpr ALG_ID CALG_3DES = 0x6603;
constexpr ALG_ID CALG_GOST_28147 = 0x661E;  // GOST 28147-89
constexpr ALG_ID CALG_VRK_KEY_Z = 0x602D;   // the product's symmetric key (MAC 0x802A)
constexpr ALG_ID CALG_VRK_KEY_A = 0x602E;   // the product's symmetric key (MAC 0x802B, key wrapping)

// Public-key algorithms: signature keys and key-agreement keys.
constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
constexpr ALG_ID CALG_DSS_SIGN = 0x2200;
constexpr ALG_ID CALG_GOST_R3410_2001 = 0x2E23;
constexpr ALG_ID CALG_GOST_R3410_2001_DH = 0xAA24;
constexpr ALG_ID CALG_GOST_R3410_2001_DH_EPHEM = 0xAA25;
constexpr ALG_ID CALG_GOST_R3410_2012_256 = 0x2E49;
constexpr ALG_ID CALG_GOST_R3410_2012_256_DH = 0xAA46;
constexpr ALG_ID CALG_GOST_R3410_2012_256_DH_EPHEM = 0xAA47;
constexpr ALG_ID CALG_GOST_R3410_2012_512 = 0x2E3D;
constexpr ALG_ID CALG_GOST_R3410_2012_512_DH = 0xAA42;
constexpr ALG_ID CALG_GOST_R3410_2012_512_DH_EPHEM = 0xAA43;
