// CTFSignFile: a file signed detached, or carried in the signature.
#include <sys/stat.h>

#include "messages/file_ranges.h"
#include "messages/signing_internal.h"
#include "platform/files.h"

using namespace cert::signing;

namespace {

// Whether two names reach the same file: by device and inode, so links,
// "./" and case all count.
bool SameFile(const char* a, const char* b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void Check(DWORD e, const char* name) {
    if (e) throw XTOOStatus(WinErr2ToolsErr(e), name);
}

// What a file read as a signed data gives: not one at all (the file is the
// data), or one with the ranges of the content it carries.
bool ReadSigned(const char* fileName, CCTFSignData& data, std::vector<cert::ByteRange>& content) {
    cert::SignedDataReader reader;
    cert::SignedDataParts parts;
    int st = 0;
    if (!reader.ReadFile(fileName, 0, parts, &st)) {
        if (st == 205 || st == TOOERR_DER_FORMAT || st == TOOERR_DER_DEPTH || st == TOOERR_DER_LIMIT) return false;
        throw XTOOStatus(st, fileName);
    }
    CTOOFile file(fileName, "rb");
    CCTFSignData d;
    if (!d.ReadObject(file, 0, &st)) throw XTOOStatus(st, fileName);
    data = d;
    content = parts.content;
    return true;
}

// Streams the signed data into `name` through a work copy renamed into
// place, so the old file (perhaps the input itself) stays whole until the
// new one is complete.
void WriteStreamed(CCTFSignData& data, const char* name) {
    cert::platform::OutputFile out;
    Check(out.Open(name, cert::platform::kModeAsBefore), name);
    data.WriteTo([&](const std::uint8_t* p, std::size_t n) { Check(out.Write(p, n), name); });
    Check(out.Commit(), name);
}

}  // namespace

bool CTFSignFile(const CCTFUser& user, const CCTFCertContext& signer, const char* fileName, const char* outputName,
                 IdentObj* signature, unsigned long flags, const CTOOString* hashOid, int* error) {
    static const char kPlace[] = "CTFSignFile";
    return Reported(kPlace, error, [&] {
        if (!signer.IsInitialized() || !fileName || (!outputName && !signature))
            throw XTOOStatus(TOOERR_BADARG, kPlace);
        const bool attach = (flags & kSignPreviousContent) != 0;
        // A detached signature written over its own data would destroy it.
        if (!attach && outputName && SameFile(fileName, outputName)) throw XTOOStatus(TOOERR_BADARG, kPlace);

        CCTFSignData sd;
        std::vector<cert::ByteRange> content;
        if (!attach || !ReadSigned(fileName, sd, content)) {
            if (signature && !signature->IsEmpty()) sd.ReadObject(signature->data(), signature->size(), nullptr);
            content = FileRange(fileName, 0, 0xFFFFFFFFu);
            if (attach) {
                WhatToSignStruct whole;
                whole.flags = kWhatToSignFile;
                whole.data = fileName;
                whole.end = 0xFFFFFFFFu;
                sd.AttachData(whole, nullptr);
            }
        }
        if ((flags & kSignCheckPrevious) && HasSigner(sd, signer)) throw XTOOStatus(TOOERR_EXISTS, kPlace);
        // Content read for the hash, and again when it is copied into the output.
        cert::messages::ProgressScope progress(Total(content) * (attach && outputName ? 2 : 1));

        SignRequest request;
        request.user = &user;
        request.signer = &signer;
        request.options = static_cast<DWORD>(flags);
        request.hashOid = hashOid;
        request.order = AttributeOrder::TimeFirst;
        request.place = "CTFSignFile::VRKCreateHash";
        AddSignature(sd, request, [&](HCRYPTHASH h) { HashFileRanges(h, fileName, content, "VRKHashData ()"); });

        if (attach && outputName) {
            WriteStreamed(sd, outputName);
        } else {
            IdentObj out = sd.WriteObject(nullptr);
            if (outputName) Check(cert::platform::WriteFileAtomic(outputName, out.data(), out.size()), outputName);
            if (signature) *signature = std::move(out);
        }
    });
}
