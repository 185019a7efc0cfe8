// Helpers shared by the conformance tests of every area.
#include <cstring>

#include "conformance.h"

namespace conformance {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

std::string TempFolder() {
    char buffer[MAX_PATH];
    std::memset(buffer, 0, sizeof buffer);
    GetTempPathA(MAX_PATH, buffer);
    return buffer;
}

std::string Scratch(const char *name) { return TempFolder() + "zrt_conformance_" + name; }

std::string Upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

HANDLE Create(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

std::string ProgramCommand(const std::string &arguments) {
    // Appended part by part: GCC 12 warns falsely (-Wrestrict) on a
    // concatenation that starts with a literal at -O3.
    std::string command(1, '"');
    command += ProgramPath();
    command += "\" ";
    command += arguments;
    return command;
}

} // namespace conformance
