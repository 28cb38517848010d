#pragma once
// The security support provider interface (SSPI) through which integrated
// logins get their authentication tokens. On Windows these are the system's
// own types and the system's security library; elsewhere the same types are
// declared here so that an in-process provider can stand behind them.
#include <cstdint>

#ifdef _WIN32
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
// windows.h first: the SSPI headers build on its types.
#include <security.h>
#include <sspi.h>
#else

// Windows providers use the stdcall convention; ours need none.
#define SEC_ENTRY
typedef int32_t SECURITY_STATUS;
typedef char SEC_CHAR;

struct SecHandle {
    uintptr_t dwLower;
    uintptr_t dwUpper;
};
typedef SecHandle CredHandle;
typedef SecHandle CtxtHandle;
typedef SecHandle* PCredHandle;
typedef SecHandle* PCtxtHandle;

struct TimeStamp {
    uint32_t LowPart;
    int32_t HighPart;
};
typedef TimeStamp* PTimeStamp;

struct SecBuffer {
    unsigned long cbBuffer;
    unsigned long BufferType;
    void* pvBuffer;
};

struct SecBufferDesc {
    unsigned long ulVersion;
    unsigned long cBuffers;
    SecBuffer* pBuffers;
};
typedef SecBufferDesc* PSecBufferDesc;

struct SecPkgInfoA {
    unsigned long fCapabilities;
    unsigned short wVersion;
    unsigned short wRPCID;
    unsigned long cbMaxToken;
    SEC_CHAR* Name;
    SEC_CHAR* Comment;
};
typedef SecPkgInfoA* PSecPkgInfoA;

struct SEC_WINNT_AUTH_IDENTITY_A {
    unsigned char* User;
    unsigned long UserLength;
    unsigned char* Domain;
    unsigned long DomainLength;
    unsigned char* Password;
    unsigned long PasswordLength;
    unsigned long Flags;
};

typedef void* SEC_GET_KEY_FN;
typedef SECURITY_STATUS (*ENUMERATE_SECURITY_PACKAGES_FN_A)(unsigned long*, PSecPkgInfoA*);
typedef SECURITY_STATUS (*ACQUIRE_CREDENTIALS_HANDLE_FN_A)(SEC_CHAR*, SEC_CHAR*, unsigned long,
                                                           void*, void*, SEC_GET_KEY_FN, void*,
                                                           PCredHandle, PTimeStamp);
typedef SECURITY_STATUS (*INITIALIZE_SECURITY_CONTEXT_FN_A)(
    PCredHandle, PCtxtHandle, SEC_CHAR*, unsigned long, unsigned long, unsigned long,
    PSecBufferDesc, unsigned long, PCtxtHandle, PSecBufferDesc, unsigned long*, PTimeStamp);
typedef SECURITY_STATUS (*COMPLETE_AUTH_TOKEN_FN)(PCtxtHandle, PSecBufferDesc);
typedef SECURITY_STATUS (*DELETE_SECURITY_CONTEXT_FN)(PCtxtHandle);
typedef SECURITY_STATUS (*FREE_CREDENTIALS_HANDLE_FN)(PCredHandle);
typedef SECURITY_STATUS (*FREE_CONTEXT_BUFFER_FN)(void*);

#define SEC_E_OK ((SECURITY_STATUS)0x00000000)
#define SEC_I_CONTINUE_NEEDED ((SECURITY_STATUS)0x00090312)
#define SEC_I_COMPLETE_NEEDED ((SECURITY_STATUS)0x00090313)
#define SEC_I_COMPLETE_AND_CONTINUE ((SECURITY_STATUS)0x00090314)
#define SEC_E_INSUFFICIENT_MEMORY ((SECURITY_STATUS)0x80090300)
#define SEC_E_INVALID_HANDLE ((SECURITY_STATUS)0x80090301)
#define SEC_E_UNSUPPORTED_FUNCTION ((SECURITY_STATUS)0x80090302)
#define SEC_E_TARGET_UNKNOWN ((SECURITY_STATUS)0x80090303)
#define SEC_E_INTERNAL_ERROR ((SECURITY_STATUS)0x80090304)
#define SEC_E_SECPKG_NOT_FOUND ((SECURITY_STATUS)0x80090305)
#define SEC_E_NOT_OWNER ((SECURITY_STATUS)0x80090306)
#define SEC_E_INVALID_TOKEN ((SECURITY_STATUS)0x80090308)
#define SEC_E_LOGON_DENIED ((SECURITY_STATUS)0x8009030C)
#define SEC_E_UNKNOWN_CREDENTIALS ((SECURITY_STATUS)0x8009030D)
#define SEC_E_NO_CREDENTIALS ((SECURITY_STATUS)0x8009030E)
#define SEC_E_OUT_OF_SEQUENCE ((SECURITY_STATUS)0x80090310)
#define SEC_E_NO_AUTHENTICATING_AUTHORITY ((SECURITY_STATUS)0x80090311)
#define SEC_E_BUFFER_TOO_SMALL ((SECURITY_STATUS)0x80090321)

#define SECBUFFER_VERSION 0
#define SECBUFFER_TOKEN 2
#define SECPKG_CRED_OUTBOUND 0x00000002
#define SECURITY_NATIVE_DREP 0x00000010
#define ISC_REQ_REPLAY_DETECT 0x00000004
#define SEC_WINNT_AUTH_IDENTITY_ANSI 0x1

#endif

namespace platform {

// The provider operations a login uses, whichever provider supplies them.
struct SecurityFunctions {
    ENUMERATE_SECURITY_PACKAGES_FN_A enumeratePackages = nullptr;
    ACQUIRE_CREDENTIALS_HANDLE_FN_A acquireCredentials = nullptr;
    INITIALIZE_SECURITY_CONTEXT_FN_A initializeContext = nullptr;
    COMPLETE_AUTH_TOKEN_FN completeAuthToken = nullptr;
    DELETE_SECURITY_CONTEXT_FN deleteContext = nullptr;
    FREE_CREDENTIALS_HANDLE_FN freeCredentials = nullptr;
    FREE_CONTEXT_BUFFER_FN freeContextBuffer = nullptr;

    bool complete() const {
        return enumeratePackages && acquireCredentials && initializeContext && completeAuthToken &&
               deleteContext && freeCredentials && freeContextBuffer;
    }
};

// Loads the system's security library ("secur32.dll", else "security.dll")
// and takes the functions from its InitSecurityInterfaceA table. Returns the
// module handle, or null when there is no such library (always on POSIX);
// fns is filled only on success.
void* loadSecurityLibrary(SecurityFunctions& fns);
void freeSecurityLibrary(void* module);

}  // namespace platform
