// Inside the keys layer: the key lock, the walk that copies a container's
// keys, and the reporting helpers the user's methods share. Not exported.
#pragma once

#include <string>

#include "cert/ctfuser.h"
#include "cert/ipc.h"
#include "cert/vrkscapi.h"

namespace cert::keys {

// The inter-process lock every walk of the containers holds.
constexpr const char* kUserKeyLockName = "CCTFUser_GetUserKey()";
IPC::CReadWriteLock& UserKeyLock();

// A text parameter of the provider without its terminating zero.
std::string ParamText(const IdentObj& value);

// The platform's last error as a status (NTE_FAIL when there is none).
int LastStatus();
// Throws XTOOStatus(status, place).
[[noreturn]] void Fail(int status, const char* place);
[[noreturn]] void FailLast(const char* place);

// Runs `body` under the reporting rule of the user's methods: an
// XTOOStatus keeps its own place (the step that failed), anything else is
// reported at `place`.
template <class R, class F>
R Reported(const char* place, int* error, CTOOString* outPlace, R failed, F&& body) {
    try {
        R result = body();
        if (error) *error = 0;
        return result;
    } catch (const XTOOStatus& st) {
        TOOReport(st.Status(), st.Place(), error, outPlace);
    } catch (...) {
        const int status = TOOStatusOfCurrentException();
        TOOReport(status, place, error, outPlace);
    }
    return failed;
}

// Ends a running enumeration of containers (parameter 2), so that the key
// calls of the context address its own container again.
void EndEnumeration(HCRYPTPROV prov);

// The key-provider property of a certificate stored with a key of ours.
bool SetKeyProvider(CCTFCertContext& certificate, const std::string& container, DWORD keySpec);

// Copies every key of the container `from` addresses (both kinds), each
// with the certificate stored with it, into the container of `to`, the
// private keys wrapped in transit with `wrap`. Returns how many keys it
// copied; throws XTOOStatus with the last error and `place`.
int CopyContainerKeys(HCRYPTPROV from, HCRYPTPROV to, HCRYPTKEY wrap, const char* place);

}  // namespace cert::keys
