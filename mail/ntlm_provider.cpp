#include "mail/ntlm_provider.h"

#ifndef _WIN32
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "diag/log_base.h"
#include "mail/cls_ntlm.h"
#include "platform/identity.h"

namespace ntlm {
namespace {

// Handles carry a pointer to a live object; the registry tells a stale or
// forged handle from a real one, so neither is ever dereferenced.
constexpr uintptr_t kCredentialsTag = 0x43524544;  // "CRED"
constexpr uintptr_t kContextTag = 0x43545854;      // "CTXT"

struct Credentials {
    XString username;
    XString password;
};

struct Context {
    ClsNtlm ntlm;
    int step = 0;  // 1 after TYPE1, 2 after TYPE3
};

std::mutex g_lock;
std::set<const void*> g_live;

template <typename T>
T* lookup(const SecHandle* handle, uintptr_t tag) {
    if (!handle || handle->dwUpper != tag) return nullptr;
    T* object = reinterpret_cast<T*>(handle->dwLower);
    std::lock_guard<std::mutex> guard(g_lock);
    return g_live.count(object) ? object : nullptr;
}

template <typename T>
void track(T* object, SecHandle* handle, uintptr_t tag) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_live.insert(object);
    }
    handle->dwLower = reinterpret_cast<uintptr_t>(object);
    handle->dwUpper = tag;
}

template <typename T>
bool untrack(SecHandle* handle, uintptr_t tag) {
    T* object = lookup<T>(handle, tag);
    if (!object) return false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_live.erase(object);
    }
    delete object;
    handle->dwLower = handle->dwUpper = 0;
    return true;
}

SECURITY_STATUS enumeratePackages(unsigned long* count, PSecPkgInfoA* info) {
    if (!count || !info) return SEC_E_INTERNAL_ERROR;
    static const char kName[] = "NTLM";
    static const char kComment[] = "NTLM Security Package";
    // One block, freed with freeContextBuffer, as callers of SSPI expect.
    char* block =
        static_cast<char*>(std::calloc(1, sizeof(SecPkgInfoA) + sizeof kName + sizeof kComment));
    if (!block) return SEC_E_INSUFFICIENT_MEMORY;
    auto* pkg = reinterpret_cast<SecPkgInfoA*>(block);
    pkg->Name = block + sizeof(SecPkgInfoA);
    pkg->Comment = pkg->Name + sizeof kName;
    std::memcpy(pkg->Name, kName, sizeof kName);
    std::memcpy(pkg->Comment, kComment, sizeof kComment);
    pkg->fCapabilities = 0;
    pkg->wVersion = 1;
    pkg->wRPCID = 10;  // RPC_C_AUTHN_WINNT
    pkg->cbMaxToken = kProviderMaxToken;
    *count = 1;
    *info = pkg;
    return SEC_E_OK;
}

SECURITY_STATUS acquireCredentials(SEC_CHAR*, SEC_CHAR* package, unsigned long use, void*,
                                   void* authData, SEC_GET_KEY_FN, void*, PCredHandle credentials,
                                   PTimeStamp expiry) {
    if (!credentials) return SEC_E_INTERNAL_ERROR;
    if (!package || strcasecmp(package, "NTLM") != 0) return SEC_E_SECPKG_NOT_FOUND;
    if (!(use & SECPKG_CRED_OUTBOUND)) return SEC_E_UNSUPPORTED_FUNCTION;
    if (!authData) return SEC_E_NO_CREDENTIALS;
    const auto* identity = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
    if (identity->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI || !identity->User || !identity->Password)
        return SEC_E_UNKNOWN_CREDENTIALS;
    auto created = std::make_unique<Credentials>();
    std::string user(reinterpret_cast<const char*>(identity->User), identity->UserLength);
    std::string password(reinterpret_cast<const char*>(identity->Password),
                         identity->PasswordLength);
    created->username.setFromAnsi(user.c_str());
    created->password.setFromAnsi(password.c_str());
    if (expiry) *expiry = TimeStamp{0xFFFFFFFFu, 0x7FFFFFFF};
    track(created.release(), credentials, kCredentialsTag);
    return SEC_E_OK;
}

SecBuffer* tokenBuffer(PSecBufferDesc desc) {
    if (!desc || !desc->pBuffers) return nullptr;
    for (unsigned long i = 0; i < desc->cBuffers; ++i)
        if ((desc->pBuffers[i].BufferType & 0xFFF) == SECBUFFER_TOKEN) return &desc->pBuffers[i];
    return nullptr;
}

SECURITY_STATUS writeToken(const DataBuffer& token, PSecBufferDesc output) {
    SecBuffer* out = tokenBuffer(output);
    if (!out || !out->pvBuffer) return SEC_E_INTERNAL_ERROR;
    if (out->cbBuffer < token.size()) return SEC_E_BUFFER_TOO_SMALL;
    std::memcpy(out->pvBuffer, token.data(), token.size());
    out->cbBuffer = token.size();
    return SEC_E_OK;
}

SECURITY_STATUS initializeContext(PCredHandle credentials, PCtxtHandle context, SEC_CHAR*,
                                  unsigned long, unsigned long, unsigned long, PSecBufferDesc input,
                                  unsigned long, PCtxtHandle newContext, PSecBufferDesc output,
                                  unsigned long* attributes, PTimeStamp) {
    Credentials* creds = lookup<Credentials>(credentials, kCredentialsTag);
    if (!creds) return SEC_E_INVALID_HANDLE;
    if (attributes) *attributes = 0;
    LogNull quiet;
    DataBuffer token;
    if (!context) {
        if (!newContext) return SEC_E_INTERNAL_ERROR;
        auto created = std::make_unique<Context>();
        created->ntlm.setUsername(creds->username);
        created->ntlm.setPassword(creds->password);
        std::string computer;
        if (platform::computerName(computer)) {
            XString workstation;
            workstation.setFromAnsi(computer.c_str());
            created->ntlm.setWorkstation(workstation);
        }
        created->ntlm.buildType1(token, quiet);
        SECURITY_STATUS written = writeToken(token, output);
        if (written != SEC_E_OK) return written;
        created->step = 1;
        track(created.release(), newContext, kContextTag);
        return SEC_I_CONTINUE_NEEDED;
    }
    Context* ctx = lookup<Context>(context, kContextTag);
    if (!ctx) return SEC_E_INVALID_HANDLE;
    if (ctx->step != 1) return SEC_E_OUT_OF_SEQUENCE;
    SecBuffer* in = tokenBuffer(input);
    if (!in || !in->pvBuffer || in->cbBuffer == 0) return SEC_E_INVALID_TOKEN;
    if (!ctx->ntlm.buildType3(static_cast<const unsigned char*>(in->pvBuffer), in->cbBuffer, token,
                              quiet))
        return SEC_E_INVALID_TOKEN;
    SECURITY_STATUS written = writeToken(token, output);
    if (written != SEC_E_OK) return written;
    ctx->step = 2;
    if (newContext && newContext != context) *newContext = *context;
    return SEC_E_OK;
}

SECURITY_STATUS completeAuthToken(PCtxtHandle context, PSecBufferDesc) {
    return lookup<Context>(context, kContextTag) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS deleteContext(PCtxtHandle context) {
    return untrack<Context>(context, kContextTag) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS freeCredentials(PCredHandle credentials) {
    return untrack<Credentials>(credentials, kCredentialsTag) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS freeContextBuffer(void* buffer) {
    std::free(buffer);
    return SEC_E_OK;
}

}  // namespace

const platform::SecurityFunctions& inProcessProvider() {
    static const platform::SecurityFunctions functions = [] {
        platform::SecurityFunctions f;
        f.enumeratePackages = enumeratePackages;
        f.acquireCredentials = acquireCredentials;
        f.initializeContext = initializeContext;
        f.completeAuthToken = completeAuthToken;
        f.deleteContext = deleteContext;
        f.freeCredentials = freeCredentials;
        f.freeContextBuffer = freeContextBuffer;
        return f;
    }();
    return functions;
}

}  // namespace ntlm
#endif
