// The ANSI code page of the simulated machine: Windows-1252 after a reset,
// or the Japanese double-byte page 932, reduced to the characters the tests
// use. Wide names convert to ANSI with Windows' best-fit replacements: a
// fullwidth form (U+FF01 to U+FF5E) becomes its ASCII letter on 1252, so a
// fullwidth backslash turns into a real one.
#include <cstring>

#include "sim/control.h"
#include "sim/files.h"

namespace sim::detail {

namespace {

UINT &CodePage() {
    static UINT page = 1252;
    return page;
}

// Page 932: the double-byte characters the tests use. U+30BD (katakana SO)
// has the trail byte 0x5C, the backslash's code.
struct DoubleByte {
    char16_t wide;
    unsigned char lead, trail;
};
const DoubleByte k932[] = {{u'\u30BD', 0x83, 0x5C}, {u'\uFF3C', 0x81, 0x5F}, {u'\uFF36', 0x82, 0x75}};

bool IsLead932(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

std::string AnsiChar(char16_t c) {
    if (c < 0x80)
        return std::string(1, static_cast<char>(c));
    if (CodePage() == 932) {
        for (const DoubleByte &d : k932)
            if (d.wide == c)
                return {static_cast<char>(d.lead), static_cast<char>(d.trail)};
        return "?";
    }
    if (c >= 0xA0 && c <= 0xFF)
        return std::string(1, static_cast<char>(c));
    if (c >= 0xFF01 && c <= 0xFF5E)
        return std::string(1, static_cast<char>(c - 0xFEE0));
    return "?";
}

// One ANSI character at `ansi` (one or two bytes) as a wide one.
char16_t WideChar(const unsigned char *ansi, size_t left, size_t *used) {
    *used = 1;
    if (ansi[0] < 0x80)
        return ansi[0];
    if (CodePage() == 932) {
        if (IsLead932(ansi[0]) && left >= 2) {
            *used = 2;
            for (const DoubleByte &d : k932)
                if (d.lead == ansi[0] && d.trail == ansi[1])
                    return d.wide;
        }
        return u'?';
    }
    return ansi[0] >= 0xA0 ? ansi[0] : u'?';
}

} // namespace

std::u16string Utf16(const std::string &utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        char32_t point = c;
        size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra > 0)
            point = c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < utf8.size(); ++k)
            point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += extra + 1;
        if (point >= 0x10000) {
            point -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (point >> 10));
            out += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
        } else {
            out += static_cast<char16_t>(point);
        }
    }
    return out;
}

std::string Utf8(const std::u16string &utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t point = utf16[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < utf16.size())
            point = 0x10000 + ((point - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xC0 | (point >> 6));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            out += static_cast<char>(0xE0 | (point >> 12));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (point >> 18));
            out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return out;
}

std::string AnsiForm(const std::string &utf8) {
    std::string out;
    for (char16_t c : Utf16(utf8))
        out += AnsiChar(c);
    return out;
}

std::string FromAnsi(const char *ansi) {
    std::u16string wide;
    const size_t length = ansi != nullptr ? std::strlen(ansi) : 0;
    for (size_t i = 0; i < length;) {
        size_t used = 1;
        wide += WideChar(reinterpret_cast<const unsigned char *>(ansi) + i, length - i, &used);
        i += used;
    }
    return Utf8(wide);
}

void ResetCodePage() { CodePage() = 1252; }

} // namespace sim::detail

using namespace sim::detail;

// "WideCharToMultiByte function", "MultiByteToWideChar function": a length
// is -1 (up to the terminator, which is converted too) or positive, and the
// function fails on 0; flags other than the WC_ ones fail with
// ERROR_INVALID_FLAGS.
int WideCharToMultiByte(UINT, DWORD flags, const WCHAR *wide, int wideLength, LPSTR ansi, int ansiSize, LPCSTR,
                        PBOOL usedDefault) {
    SIM_LOCK();
    if (usedDefault)
        *usedDefault = FALSE;
    if (wide == nullptr || ansiSize < 0 || wideLength == 0 || wideLength < -1)
        return Fail(ERROR_INVALID_PARAMETER, 0);
    if (flags & ~0x6F0u)
        return Fail(ERROR_INVALID_FLAGS, 0);
    size_t count = 0;
    if (wideLength < 0)
        while (wide[count] != 0)
            ++count;
    std::string out;
    for (size_t i = 0; i < (wideLength < 0 ? count + 1 : static_cast<size_t>(wideLength)); ++i)
        out += wide[i] == 0 ? std::string(1, '\0') : AnsiChar(wide[i]);
    if (ansiSize == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(ansiSize))
        return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(ansi, out.data(), out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR ansi, int ansiLength, WCHAR *wide, int wideSize) {
    SIM_LOCK();
    if (ansi == nullptr || wideSize < 0 || ansiLength == 0 || ansiLength < -1)
        return Fail(ERROR_INVALID_PARAMETER, 0);
    size_t length = ansiLength < 0 ? std::strlen(ansi) + 1 : static_cast<size_t>(ansiLength);
    std::u16string out;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(ansi);
    for (size_t i = 0; i < length;) {
        size_t used = 1;
        out += bytes[i] == 0 ? u'\0' : WideChar(bytes + i, length - i, &used);
        i += used;
    }
    if (wideSize == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wideSize))
        return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

BOOL IsDBCSLeadByte(BYTE byte) {
    SIM_LOCK();
    return CodePage() == 932 && IsLead932(byte);
}

namespace sim {

void SetAnsiCodePage(UINT page) {
    SIM_LOCK();
    CodePage() = page;
}

} // namespace sim
