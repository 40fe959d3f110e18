// `ctf unsign`: the content of an attached signed file, byte for byte, and
// optionally the signatures alone as a detached signed data.
#include <cstdio>
#include <string>

#include "cert/verify.h"
#include "cli.h"
#include "io.h"
#include "p7.h"
#include "text.h"

namespace {

int Unsign(ctf::Context& ctx, ctf::Args& args) {
    const std::string out = args.Required("out");
    const auto detachedOut = args.Option("detached-out");
    const std::string in = args.Positional("SIGNED");
    args.Done();
    // The library reads SIGNED as a file of its own.
    if (in == "-") throw ctf::UsageError("SIGNED: name a file; standard input cannot be read as a stream here");
    if (detachedOut && *detachedOut == out) throw ctf::UsageError("-o and --detached-out name the same file");

    // Read in place first: a bad or a detached input is refused before any
    // output is touched.
    const CCTFSignData data = ctf::ReadSignedData(in);
    if (data.IsDetached()) throw ctf::UsageError(in + ": carries no content; it is a detached signature already");
    const std::uint64_t size = data.GetContentSize();
    const std::size_t signers = data.m_signerInfos.size();

    ctf::StagedOutput content(out, "content");
    IdentObj detached;
    int error = 0;
    if (!CTFRemoveSignaturesFromFile(in.c_str(), content.Path().c_str(), detachedOut ? &detached : nullptr, &error)) {
        const int exit = ctf::ExitForStatus(error) == ctf::kUsage ? ctf::kUsage : ctf::kFailure;
        throw ctf::Error(exit, in + ": the content cannot be taken out", error, "CTFRemoveSignaturesFromFile");
    }
    content.Deliver();
    if (detachedOut) ctf::WriteOutputFile(*detachedOut, ctf::Span(detached));

    if (out == "-" || (detachedOut && *detachedOut == "-")) return ctf::kOk;  // the output is the data alone
    if (ctx.json) {
        ctf::JsonObject o;
        o.Add("content", out).Add("size", std::uint64_t(size));
        if (detachedOut)
            o.Add("detached", *detachedOut);
        else
            o.AddJson("detached", "null");
        std::printf("%s\n", o.Add("signers", std::uint64_t(signers)).str().c_str());
    } else {
        std::printf("%s: %llu bytes of content\n", out.c_str(), static_cast<unsigned long long>(size));
        if (detachedOut)
            std::printf("%s: detached signature, %zu signer%s\n", detachedOut->c_str(), signers,
                        signers == 1 ? "" : "s");
    }
    return ctf::kOk;
}

ctf::Registrar reg({"unsign",
                    "take the content out of an attached signed file",
                    "SIGNED -o CONTENT [--detached-out SIG]\n\n"
                    "Writes the content SIGNED carries to CONTENT, byte for byte (SIGNED is read\n"
                    "as a stream, DER or BER). --detached-out SIG also writes the same\n"
                    "signed data without its content: a detached signature of CONTENT, which\n"
                    "`ctf verify SIG --content CONTENT` checks. Nothing is verified here.",
                    {},
                    Unsign});

}  // namespace
