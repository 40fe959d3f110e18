#include "cert/tools.h"

#include <new>

XTOOStatus::XTOOStatus(int code, const char* place, int flag) : m_code(code), m_flag(flag), m_place(place) {}

XTOOStatus::XTOOStatus(int code, int flag) : m_code(code), m_flag(flag) {}

void TOOReport(int status, const char* place, int* pStatus, CTOOString* pPlace) {
    if (pStatus) {
        *pStatus = status;
        if (pPlace) *pPlace = place;
        return;
    }
    if (status != 0) throw XTOOStatus(status, place);
}

int TOOStatusOfCurrentException(CTOOString* innerPlace) noexcept {
    try {
        throw;
    } catch (const XTOOStatus& e) {
        try {
            if (innerPlace) *innerPlace = e.Place();
        } catch (...) {
        }
        return e.Status() ? e.Status() : TOOERR_FAIL;
    } catch (const std::bad_alloc&) {
        return TOOERR_NOMEM;
    } catch (...) {
        const DWORD e = cert::platform::WinErrorOfCurrentException();
        return e == ERROR_INTERNAL_ERROR ? TOOERR_EXCEPTION : WinErr2ToolsErr(e);
    }
}

void TOOReportCurrentException(const char* place, int* pStatus, CTOOString* pPlace) {
    CTOOString inner;
    const int status = TOOStatusOfCurrentException(&inner);
    std::string where;
    try {
        where = place ? place : "";
        // A status this function reported itself already names it.
        if (inner.str().rfind(where, 0) == 0)
            where = inner.str();
        else if (!inner.IsEmpty())
            where += std::string(": ") + inner.c_str();
    } catch (const std::bad_alloc&) {
        // The place of the inner failure is lost, the status is not.
        where.clear();
    }
    TOOReport(status, where.empty() ? place : where.c_str(), pStatus, pPlace);
}

void TOORethrowAsStatus(const char* place) {
    try {
        throw;
    } catch (const XTOOStatus&) {
        throw;
    } catch (...) {
    }
    throw XTOOStatus(TOOStatusOfCurrentException(), place);
}

int WinErr2ToolsErr(DWORD e) {
    switch (e) {
        case ERROR_SUCCESS:
            return TOO_OK;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return TOOERR_NOFILE;
        case ERROR_ACCESS_DENIED:
        case E_ACCESSDENIED:
            return TOOERR_ACCESS;
        case ERROR_WRITE_PROTECT:
            return TOOERR_READONLY;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return TOOERR_EXISTS;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case E_OUTOFMEMORY:
            return TOOERR_NOMEM;
        case ERROR_DISK_FULL:
            return TOOERR_DISKFULL;
        case ERROR_INVALID_PARAMETER:
        case E_INVALIDARG:
            return TOOERR_BADARG;
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
            return TOOERR_IO;
        case ERROR_NOT_SUPPORTED:
            return TOOERR_NOTSUPPORTED;
        case ERROR_LOCK_VIOLATION:
        case ERROR_SHARING_VIOLATION:
            return TOOERR_LOCKED;
        default:
            break;
    }
    if (e & 0x80000000u) return static_cast<int>(e);
    return TOO_WIN32_FACILITY | static_cast<int>(e & 0x3FFFFFFFu);
}

DWORD ToolsErr2WinErr(int status) {
    if (status < 0) return static_cast<DWORD>(status);
    if (status & TOO_WIN32_FACILITY) return static_cast<DWORD>(status & ~TOO_WIN32_FACILITY);
    return 0;
}

const char* TOOStatusText(int status) {
    switch (status) {
        case TOO_OK:
            return "success";
        case TOOERR_FAIL:
            return "operation failed";
        case TOOERR_NOFILE:
            return "file or folder not found";
        case TOOERR_READ:
            return "read fewer bytes than asked";
        case TOOERR_WRITE:
            return "write did not complete";
        case TOOERR_BADSIGN:
            return "signature does not verify";
        case TOOERR_OPEN:
            return "cannot open";
        case TOOERR_NOUNIQUE:
            return "no unused file name";
        case TOOERR_NOKEY_FOR_CERT:
            return "no key matches the certificate";
        case TOOERR_KEYPAIR_CHECK:
            return "the key does not belong to the certificate (signature check failed)";
        case TOOERR_NOT_NEWER:
            return "the same or a newer object is already there";
        case TOOERR_NO_CONTAINER_INFO:
            return "key container not available";
        case TOOERR_NO_CERTIFICATE:
            return "no certificate found";
        case TOOERR_NOLENGTH:
            return "file length unknown";
        case TOOERR_MKDIR:
            return "cannot create folder";
        case TOOERR_LISTFORMAT:
            return "list file in a wrong format";
        case TOOERR_ACCESS:
            return "access denied";
        case TOOERR_EXISTS:
            return "already exists";
        case TOOERR_IO:
            return "read or write error";
        case TOOERR_NOMEM:
            return "out of memory";
        case TOOERR_DISKFULL:
            return "disk full";
        case TOOERR_BADNAME:
            return "name cannot be encoded";
        case TOOERR_BADARG:
            return "bad arguments";
        case TOOERR_NOTSUPPORTED:
            return "not supported";
        case TOOERR_EXCEPTION:
            return "unexpected exception";
        case TOOERR_SHORTREAD:
            return "file shorter than expected";
        case TOOERR_BADFORMAT:
            return "file contents in a wrong format";
        case TOOERR_NOTFOUND:
            return "not found";
        case TOOERR_LOCKED:
            return "lock not obtained";
        case TOOERR_UNKNOWN_ALG:
            return "unknown algorithm";
        case TOOERR_READONLY:
            return "write to a read-only file";
        case TOOERR_BADENCODING:
            return "bad text encoding";
        case TOOERR_DER_FORMAT:
            return "malformed ASN.1 data";
        case TOOERR_DER_DEPTH:
            return "ASN.1 data nested too deep";
        case TOOERR_DER_LIMIT:
            return "ASN.1 element too large";
        default:
            return nullptr;
    }
}
