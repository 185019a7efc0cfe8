// The shell's and kernel's string helpers, ANSI, as the program uses them.
#include <cstring>

#include "sim/internal.h"

namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

LPSTR StrChrA(LPCSTR s, WORD c) {
    if (s == nullptr)
        return nullptr;
    for (; *s; ++s)
        if (static_cast<unsigned char>(*s) == c)
            return const_cast<LPSTR>(s);
    return nullptr;
}

LPSTR StrStrA(LPCSTR haystack, LPCSTR needle) {
    if (haystack == nullptr || needle == nullptr)
        return nullptr;
    return const_cast<LPSTR>(std::strstr(haystack, needle));
}

int StrCmpNIA(LPCSTR a, LPCSTR b, int n) {
    for (int i = 0; i < n; ++i) {
        char x = Fold(a[i]), y = Fold(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == '\0')
            return 0;
    }
    return 0;
}

int lstrcmpA(LPCSTR a, LPCSTR b) {
    int r = std::strcmp(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int lstrlenA(LPCSTR s) { return s ? static_cast<int>(std::strlen(s)) : 0; }
