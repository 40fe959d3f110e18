// Demo step: the library's two logs and a few explanations.
#include <cstdio>
#include <string>

#include "cert/certlog.h"
#include "cert/errtext.h"
#include "cert/frame.h"
#include "cert/logdisp.h"
#include "cert/oid.h"
#include "cert/oids.h"
#include "cli.h"
#include "io.h"

namespace {

std::string Tail(const std::string& path, const std::string& separator) {
    std::string all(ctf::ReadInputFile(path, ctf::kMaxObjectFile).view());
    while (all.size() >= separator.size() &&
           all.compare(all.size() - separator.size(), separator.size(), separator) == 0)
        all.resize(all.size() - separator.size());
    auto p = all.rfind(separator);
    return p == std::string::npos ? all : all.substr(p + separator.size());
}

std::string ReadableTail(const std::string& path, const std::string& separator) {
    try {
        return Tail(path, separator);
    } catch (const ctf::UsageError&) {
        return "(nothing written: the file is missing)";
    }
}

int Run(ctf::Context&) {
    // The dispatcher was placed at load; put it under the demo's home.
    CertDll::ProcessDetach();
    CertDll::ProcessAttach();

    auto& log = CertDll::GetLog();
    log.Write("demo: library loaded from %s", CertDll::LogLevel::Info, "ctf::demo::Frame",
              CertDll::ModulePath().c_str());
    SetLastError(ERROR_FILE_NOT_FOUND);
    log.WriteLastError("while opening %s", CertDll::LogLevel::Warn, "ctf::demo::Frame", "missing.crl");
    std::printf("library log:      %s\n", log.FullPath().c_str());
    std::printf("last record:\n%s\n", ReadableTail(log.FullPath(), "\r\n\r\n").c_str());

    CertPutLogFormatted("demo: a diagnostics line", "CTF", 1);
    CLogDisp* disp = CertDll::GetLogDisp();
    if (disp && disp->Flag()) {
        std::printf("diagnostics log:  %s\n", disp->GetFullPathName().c_str());
        std::printf("last line:        %s\n", ReadableTail(disp->GetFullPathName(), "\n").c_str());
    } else {
        std::printf("diagnostics log:  off (no application-data folder)\n");
    }

    std::printf("\nexplanations:\n");
    for (unsigned long code : {0x80090006ul, 0xFFFFFFFF800B010Cul, 0x800B010Dul})
        std::printf("  0x%016lX  %s\n", code, CTFGetWinErrorExplaination(code).c_str());
    const unsigned long bits = 0x10008;
    std::printf("  bits 0x%05lX   %s (error 0x%08lX)\n", bits, CTFGetCertTotalBitMaskExplaination(bits).c_str(),
                CTFCertFlags2WinErr(bits));

    unsigned alg = 0, extra = 0;
    const std::string sig = cert::oids::kGostR3410_2012_256WithR3411;
    GetAlgIDFromOID(sig.data(), sig.size(), alg, extra);
    std::printf("\noid %s (%s): hash 0x%04X, public key 0x%04X\n", sig.c_str(), CTFGetNameForOID(sig).c_str(), alg,
                extra);
    return ctf::kOk;
}

ctf::DemoRegistrar step({20, "library frame: logs and explanations", Run});

}  // namespace
