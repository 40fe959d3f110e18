// The CRL model's side of bench_crl, apart from OpenSSL's headers (both
// declare X509_NAME).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace benchcrl {

using Bytes = std::vector<unsigned char>;

// A CRL of `entries` 16-byte serials, a reason on every fourth, built and
// encoded by the model; the serials as DER INTEGER contents.
struct Made {
    Bytes der;
    std::vector<Bytes> serials;
};
Made MakeCrl(int entries);

// DecodeObject of the whole CRL: the entries it holds.
std::size_t Decode(const Bytes& der);

// A decoded CRL and serials to look up, in the model's order.
class Lookup {
public:
    Lookup(const Bytes& der, const std::vector<Bytes>& serials);
    ~Lookup();
    // The first lookup, which builds the index: seconds.
    double BuildIndex();
    bool Find(std::size_t i) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace benchcrl
