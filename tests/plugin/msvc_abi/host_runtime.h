#pragma once
// What a host built for the Visual C++ ABI needs without any C run-time:
// a handful of kernel32 calls, text output, and a stack check around calls
// into the module. Compiled with clang -target i686-pc-windows-msvc.
#include "plugin/email_interface.h"

extern "C" {
__declspec(dllimport) void* __stdcall LoadLibraryW(const wchar_t* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableW(const wchar_t* name,
                                                                      wchar_t* out,
                                                                      unsigned long size);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);
}

namespace host {

inline void write(const char* text) {
    unsigned long n = 0, written = 0;
    while (text[n]) ++n;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, n, &written, nullptr);
}

// Wide text as ASCII, anything else as '?': enough to show codes and names.
inline void writeWide(const wchar_t* text) {
    char buf[2] = {0, 0};
    for (; text && *text; ++text) {
        buf[0] = *text < 0x80 ? static_cast<char>(*text) : '?';
        write(buf);
    }
}

inline bool same(const wchar_t* a, const wchar_t* b) {
    if (!a || !b) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

inline bool same(const char* a, const char* b) {
    if (!a || !b) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// An environment variable, or the empty string.
inline const wchar_t* env(const wchar_t* name, wchar_t* buf, unsigned long size) {
    unsigned long n = GetEnvironmentVariableW(name, buf, size);
    if (n == 0 || n >= size) buf[0] = 0;
    return buf;
}

inline unsigned int failures = 0;

inline void check(bool ok, const char* what) {
    write(ok ? "ok      " : "FAILED  ");
    write(what);
    write("\n");
    if (!ok) ++failures;
}

inline unsigned stackPointer() {
    unsigned sp;
    __asm__ volatile("movl %%esp, %0" : "=r"(sp));
    return sp;
}

// Loads the module ABI_HOST_DLL names and finds its factory; the process
// ends when either fails.
inline Createsmtp_plugin_fn loadFactory(void*& module) {
    wchar_t dll[400];
    env(L"ABI_HOST_DLL", dll, 400);
    module = LoadLibraryW(dll);
    check(module != nullptr, "LoadLibraryW of the module");
    if (!module) ExitProcess(1);
    auto create =
        reinterpret_cast<Createsmtp_plugin_fn>(GetProcAddress(module, "Createsmtp_plugin"));
    check(create != nullptr, "GetProcAddress of Createsmtp_plugin");
    if (!create) ExitProcess(1);
    return create;
}

}  // namespace host

// Runs one call into the module and checks that the stack pointer is where
// it was: a slot that did not pop its own arguments (not __thiscall) or
// popped too many shows here, not later as a crash somewhere else.
#define HOST_CALL(expr)                                                      \
    [&] {                                                                    \
        const unsigned spBefore = host::stackPointer();                      \
        auto result = (expr);                                                \
        host::check(host::stackPointer() == spBefore, "stack kept: " #expr); \
        return result;                                                       \
    }()

#define HOST_CALL_VOID(expr)                                                 \
    do {                                                                     \
        const unsigned spBefore = host::stackPointer();                      \
        expr;                                                                \
        host::check(host::stackPointer() == spBefore, "stack kept: " #expr); \
    } while (0)
