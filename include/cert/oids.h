// Object identifiers the library writes, reads or tests for, by name.
// OIDs travel through the library's interfaces as dotted-decimal text, so
// each is a NUL-terminated constant usable wherever a `const char*` is.
// The frame's registry (cert/oid.h) maps the algorithm ones to algorithm
// ids and names; the rest are named here only.
#pragma once

namespace cert::oids {

// ---- GOST algorithms --------------------------------------------------------
inline constexpr char kGostR3411_94[] = "1.2.643.2.2.9";
inline constexpr char kGostR3411_2012_256[] = "1.2.643.7.1.1.2.2";
inline constexpr char kGostR3411_2012_512[] = "1.2.643.7.1.1.2.3";
inline constexpr char kGost28147[] = "1.2.643.2.2.21";
inline constexpr char kGost28147Mac[] = "1.2.643.2.2.22";
inline constexpr char kGostR3410_2001[] = "1.2.643.2.2.19";
inline constexpr char kGostR3410_2001DH[] = "1.2.643.2.2.98";
inline constexpr char kGostR3410_2012_256[] = "1.2.643.7.1.1.1.1";
inline constexpr char kGostR3410_2012_512[] = "1.2.643.7.1.1.1.2";
inline constexpr char kGostR3410_2012_256DH[] = "1.2.643.7.1.1.6.1";
inline constexpr char kGostR3410_2012_512DH[] = "1.2.643.7.1.1.6.2";
inline constexpr char kGostR3411_94WithR3410_2001[] = "1.2.643.2.2.3";
inline constexpr char kGostR3410_2012_256WithR3411[] = "1.2.643.7.1.1.3.2";
inline constexpr char kGostR3410_2012_512WithR3411[] = "1.2.643.7.1.1.3.3";

// ---- GOST parameter sets ----------------------------------------------------
// 34.11-94 hash parameters.
inline constexpr char kHash94ParamSet[] = "1.2.643.2.2.30.1";
// 28147-89 S-boxes: A..D and the TC26 "Z" set.
inline constexpr char kCipherParamSetA[] = "1.2.643.2.2.31.1";
inline constexpr char kCipherParamSetB[] = "1.2.643.2.2.31.2";
inline constexpr char kCipherParamSetC[] = "1.2.643.2.2.31.3";
inline constexpr char kCipherParamSetD[] = "1.2.643.2.2.31.4";
inline constexpr char kCipherParamSetZ[] = "1.2.643.7.1.2.5.1.1";
// 34.10-2001 curves (also the 2012 256-bit ones by these OIDs).
inline constexpr char kSign2001ParamSetTest[] = "1.2.643.2.2.35.0";
inline constexpr char kSign2001ParamSetA[] = "1.2.643.2.2.35.1";
inline constexpr char kSign2001ParamSetB[] = "1.2.643.2.2.35.2";
inline constexpr char kSign2001ParamSetC[] = "1.2.643.2.2.35.3";
inline constexpr char kExchange2001ParamSetA[] = "1.2.643.2.2.36.0";
inline constexpr char kExchange2001ParamSetB[] = "1.2.643.2.2.36.1";
// 34.10-2012 curves.
inline constexpr char kSign2012_256ParamSetA[] = "1.2.643.7.1.2.1.1.1";
inline constexpr char kSign2012_256ParamSetB[] = "1.2.643.7.1.2.1.1.2";
inline constexpr char kSign2012_256ParamSetC[] = "1.2.643.7.1.2.1.1.3";
inline constexpr char kSign2012_256ParamSetD[] = "1.2.643.7.1.2.1.1.4";
inline constexpr char kSign2012_512ParamSetTest[] = "1.2.643.7.1.2.1.2.0";
inline constexpr char kSign2012_512ParamSetA[] = "1.2.643.7.1.2.1.2.1";
inline constexpr char kSign2012_512ParamSetB[] = "1.2.643.7.1.2.1.2.2";
inline constexpr char kSign2012_512ParamSetC[] = "1.2.643.7.1.2.1.2.3";

// ---- The product's own ------------------------------------------------------
inline constexpr char kProductHash[] = "1.3.6.1.4.1.40321.2.1.1.2";  // ALG_ID 0x8029
inline constexpr char kProductMacZ[] = "1.3.6.1.4.1.40321.2.1.1.3";  // ALG_ID 0x802A
inline constexpr char kProductMacA[] = "1.3.6.1.4.1.40321.2.1.1.4";  // ALG_ID 0x802B
inline constexpr char kTrustListContent[] = "1.3.6.1.4.1.40321.2.3.1";

// ---- Foreign algorithms -----------------------------------------------------
inline constexpr char kSha1[] = "1.3.14.3.2.26";
inline constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";
inline constexpr char kSha384[] = "2.16.840.1.101.3.4.2.2";
inline constexpr char kSha512[] = "2.16.840.1.101.3.4.2.3";
inline constexpr char kMd5[] = "1.2.840.113549.2.5";
inline constexpr char kRsa[] = "1.2.840.113549.1.1.1";
inline constexpr char kMd5WithRsa[] = "1.2.840.113549.1.1.4";
inline constexpr char kSha1WithRsa[] = "1.2.840.113549.1.1.5";
inline constexpr char kRsaPss[] = "1.2.840.113549.1.1.10";
inline constexpr char kSha256WithRsa[] = "1.2.840.113549.1.1.11";
inline constexpr char kSha384WithRsa[] = "1.2.840.113549.1.1.12";
inline constexpr char kSha512WithRsa[] = "1.2.840.113549.1.1.13";
inline constexpr char kDsa[] = "1.2.840.10040.4.1";
inline constexpr char kSha1WithDsa[] = "1.2.840.10040.4.3";
inline constexpr char kEcPublicKey[] = "1.2.840.10045.2.1";
inline constexpr char kPrime256v1[] = "1.2.840.10045.3.1.7";
inline constexpr char kSecp384r1[] = "1.3.132.0.34";
inline constexpr char kEcdsaWithSha256[] = "1.2.840.10045.4.3.2";
inline constexpr char kEcdsaWithSha384[] = "1.2.840.10045.4.3.3";
inline constexpr char kTripleDes[] = "1.2.840.113549.3.7";
inline constexpr char kPbes2[] = "1.2.840.113549.1.5.13";
inline constexpr char kPbkdf2[] = "1.2.840.113549.1.5.12";

// ---- PKCS #7 content types and PKCS #9 attributes ---------------------------
inline constexpr char kData[] = "1.2.840.113549.1.7.1";
inline constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
inline constexpr char kEnvelopedData[] = "1.2.840.113549.1.7.3";
inline constexpr char kEncryptedData[] = "1.2.840.113549.1.7.6";
inline constexpr char kEmailAddress[] = "1.2.840.113549.1.9.1";
inline constexpr char kUnstructuredName[] = "1.2.840.113549.1.9.2";
inline constexpr char kContentType[] = "1.2.840.113549.1.9.3";
inline constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";
inline constexpr char kSigningTime[] = "1.2.840.113549.1.9.5";
inline constexpr char kExtensionRequest[] = "1.2.840.113549.1.9.14";
inline constexpr char kSmimeCapabilities[] = "1.2.840.113549.1.9.15";
inline constexpr char kSigningCertificateV2[] = "1.2.840.113549.1.9.16.2.47";

// ---- Name attributes --------------------------------------------------------
inline constexpr char kCommonName[] = "2.5.4.3";
inline constexpr char kSurname[] = "2.5.4.4";
inline constexpr char kSerialNumber[] = "2.5.4.5";
inline constexpr char kCountryName[] = "2.5.4.6";
inline constexpr char kLocalityName[] = "2.5.4.7";
inline constexpr char kStateOrProvinceName[] = "2.5.4.8";
inline constexpr char kStreetAddress[] = "2.5.4.9";
inline constexpr char kOrganizationName[] = "2.5.4.10";
inline constexpr char kOrganizationalUnitName[] = "2.5.4.11";
inline constexpr char kTitle[] = "2.5.4.12";
inline constexpr char kDescription[] = "2.5.4.13";
inline constexpr char kPostalAddress[] = "2.5.4.16";
inline constexpr char kPostalCode[] = "2.5.4.17";
inline constexpr char kPostOfficeBox[] = "2.5.4.18";
inline constexpr char kTelephoneNumber[] = "2.5.4.20";
inline constexpr char kX121Address[] = "2.5.4.24";
inline constexpr char kGivenName[] = "2.5.4.42";
inline constexpr char kInitials[] = "2.5.4.43";
inline constexpr char kDnQualifier[] = "2.5.4.46";
inline constexpr char kPseudonym[] = "2.5.4.65";
inline constexpr char kDomainComponent[] = "0.9.2342.19200300.100.1.25";
inline constexpr char kUnstructuredAddress[] = "1.2.840.113549.1.9.8";
inline constexpr char kDepartment[] = "1.2.840.113556.1.2.141";
inline constexpr char kFssRegistrationNumber[] = "1.2.643.3.141.1.1";
inline constexpr char kFssDivisionCode[] = "1.2.643.3.141.1.2";
inline constexpr char kInn[] = "1.2.643.3.131.1.1";
inline constexpr char kOgrn[] = "1.2.643.100.1";
inline constexpr char kSnils[] = "1.2.643.100.3";
inline constexpr char kInnLe[] = "1.2.643.100.4";
inline constexpr char kOgrnip[] = "1.2.643.100.5";
inline constexpr char kSubjectSignTool[] = "1.2.643.100.111";
inline constexpr char kIssuerSignTool[] = "1.2.643.100.112";
inline constexpr char kUserPrincipalName[] = "1.3.6.1.4.1.311.20.2.3";

// ---- Certificate and CRL extensions -----------------------------------------
inline constexpr char kAuthorityKeyIdentifierOld[] = "2.5.29.1";
inline constexpr char kBasicConstraintsOld[] = "2.5.29.10";
inline constexpr char kSubjectDirectoryAttributes[] = "2.5.29.9";
inline constexpr char kSubjectKeyIdentifier[] = "2.5.29.14";
inline constexpr char kKeyUsage[] = "2.5.29.15";
inline constexpr char kPrivateKeyUsagePeriod[] = "2.5.29.16";
inline constexpr char kSubjectAltName[] = "2.5.29.17";
inline constexpr char kIssuerAltName[] = "2.5.29.18";
inline constexpr char kBasicConstraints[] = "2.5.29.19";
inline constexpr char kCrlNumber[] = "2.5.29.20";
inline constexpr char kCrlReason[] = "2.5.29.21";
inline constexpr char kDeltaCrlIndicator[] = "2.5.29.27";
inline constexpr char kIssuingDistributionPoint[] = "2.5.29.28";
inline constexpr char kCrlDistributionPoints[] = "2.5.29.31";
inline constexpr char kCertificatePolicies[] = "2.5.29.32";
inline constexpr char kPolicyMappings[] = "2.5.29.33";
inline constexpr char kAuthorityKeyIdentifier[] = "2.5.29.35";
inline constexpr char kPolicyConstraints[] = "2.5.29.36";
inline constexpr char kExtKeyUsage[] = "2.5.29.37";
inline constexpr char kFreshestCrl[] = "2.5.29.46";
inline constexpr char kAuthorityInfoAccess[] = "1.3.6.1.5.5.7.1.1";

// ---- Key purposes and access methods ----------------------------------------
inline constexpr char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
inline constexpr char kClientAuth[] = "1.3.6.1.5.5.7.3.2";
inline constexpr char kCodeSigning[] = "1.3.6.1.5.5.7.3.3";
inline constexpr char kEmailProtection[] = "1.3.6.1.5.5.7.3.4";
inline constexpr char kTimeStamping[] = "1.3.6.1.5.5.7.3.8";
inline constexpr char kOcsp[] = "1.3.6.1.5.5.7.48.1";
inline constexpr char kCaIssuers[] = "1.3.6.1.5.5.7.48.2";

}  // namespace cert::oids
