// Text between the viewer's UTF-8 and Windows's UTF-16, and Windows's own
// words for an error code.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace q7win {

inline std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

inline std::string narrow(const std::wstring& s) {
    if (s.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Windows's words for an error code or HRESULT ("%1 is not a valid Win32
// application."), empty when it has none.
inline std::string windows_words(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n == 0) n = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring words = n && text ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ')) {
        words.pop_back();
    }
    return narrow(words);
}

// "LoadLibrary error 193: %1 is not a valid Win32 application."
inline std::string windows_error(const char* function, DWORD code) {
    const std::string words = windows_words(code);
    return std::string(function) + " error " + std::to_string(code) + (words.empty() ? "" : ": " + words);
}

// "CreateEncoder failed with 0x88982F50: ..."
inline std::string hresult_error(const char* function, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    const std::string words = windows_words(static_cast<DWORD>(hr));
    return std::string(function) + " failed with " + code + (words.empty() ? "" : ": " + words);
}

}  // namespace q7win
