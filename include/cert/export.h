// Marks what libcert.so exports; everything else is hidden.
#pragma once
#if defined(CERT_BUILDING_LIBRARY)
#define CERT_API __attribute__((visibility("default")))
#else
#define CERT_API
#endif
