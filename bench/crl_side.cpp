// The CRL model's side of bench_crl.
#include "crl_side.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "cert/crlmodel.h"

namespace benchcrl {

Made MakeCrl(int entries) {
    Made m;
    std::mt19937_64 rng(1);
    CCTF_CRL_List crl;
    crl.m_info.m_issuer = CCTFX509Name("CN=Bench CA, O=Bench, C=RU", 0, false);
    crl.m_info.m_thisUpdate = FILETIME{0, 0x01DD0000};
    crl.m_info.m_nextUpdate = FILETIME{0, 0x01DE0000};
    crl.m_signatureAlgorithm = CCTFAlgorithmIdentifier("1.2.643.7.1.1.3.2");
    crl.m_info.m_signatureAlgorithm = crl.m_signatureAlgorithm;
    const Bytes signature(64, 0x5A);
    crl.m_signature = CTOOCryptBitBlob(signature.data(), DWORD(signature.size()));
    m.serials.reserve(std::size_t(entries));
    const FILETIME when{0, 0x01DC8000};
    for (int i = 0; i < entries; ++i) {
        Bytes be(16);
        for (int j = 0; j < 16; j += 8) {
            const std::uint64_t r = rng();
            for (int k = 0; k < 8; ++k) be[std::size_t(j + k)] = static_cast<unsigned char>(r >> (8 * k));
        }
        be[0] = static_cast<unsigned char>((be[0] & 0x7F) | 0x01);  // positive, minimal
        m.serials.push_back(be);
        crl.m_info.m_entries.emplace_back();
        CCTF_CRL_Entry& e = crl.m_info.m_entries.back();
        e.m_serialNumber = IdentObj(be.data(), DWORD(be.size()));
        std::reverse(e.m_serialNumber.data(), e.m_serialNumber.data() + e.m_serialNumber.size());
        e.m_revocationDate = when;
        if (i % 4 == 0) e.m_extensions.emplace_back("2.5.29.21", FALSE, IdentObj("\x0a\x01\x01", 3));
    }
    crl.SetSerial(reinterpret_cast<const unsigned char*>("\x01\x02"), 2);
    const IdentObj der = crl.GetEncodetObject();
    m.der.assign(der.begin(), der.end());
    return m;
}

std::size_t Decode(const Bytes& der) {
    CCTF_CRL_List crl;
    crl.DecodeObject(IdentObj(der.data(), DWORD(der.size())));
    return crl.m_info.m_entries.size();
}

struct Lookup::Impl {
    CCTF_CRL_List crl;
    std::vector<IdentObj> serials;
};

Lookup::Lookup(const Bytes& der, const std::vector<Bytes>& serials) : impl_(std::make_unique<Impl>()) {
    impl_->crl.DecodeObject(IdentObj(der.data(), DWORD(der.size())));
    for (const Bytes& s : serials) {
        IdentObj mine(s.data(), DWORD(s.size()));
        std::reverse(mine.data(), mine.data() + mine.size());
        impl_->serials.push_back(std::move(mine));
    }
}

Lookup::~Lookup() = default;

double Lookup::BuildIndex() {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    impl_->crl.m_info.m_entries.Find(impl_->serials.front());
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    return double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) * 1e-9;
}

bool Lookup::Find(std::size_t i) const { return impl_->crl.m_info.m_entries.Find(impl_->serials[i]) != nullptr; }

}  // namespace benchcrl
