#include "core/entry_listing.h"

#include <cstdlib>
#include <cstring>

#include "core/trace_log.h"
#include "resources/resource.h"

namespace {

const char kEntryListingType[] = "ENTRYLISTINGS";

// The writable copy of the current listing; the cursor and the entries point
// into it, so it is kept until the next load.
char *g_listingCopy = nullptr;

} // namespace

int LoadEntryListing(ListingCursor *cursor) {
    WriteLogLine("Acquiring Resources\r\n");
    HMODULE module = GetModuleHandleA(NULL);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(IDR_ENTRYLISTINGS), kEntryListingType);
    if (resource == NULL)
        return 0;
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == NULL)
        return 0;
    DWORD size = SizeofResource(module, resource);
    if (size == 0)
        return 0;
    const void *data = LockResource(loaded);
    if (data == NULL)
        return 0;
    char *copy = static_cast<char *>(std::malloc(size + 1));
    if (copy == NULL)
        return 0;
    std::memcpy(copy, data, size);
    copy[size] = '\0';
    std::free(g_listingCopy);
    g_listingCopy = copy;
    cursor->Position = copy;
    return 1;
}

bool OpenSection(ListingCursor *cursor) {
    char *equals = std::strchr(cursor->Position, '=');
    char *lineEnd = equals ? std::strchr(equals + 1, '\n') : NULL;
    if (lineEnd == NULL) {
        cursor->Count = 0;
        cursor->Position += std::strlen(cursor->Position);
        WriteLogLine("ERROR:: Section Not Found\r\nEXITING..\r\n");
        return false;
    }
    // The count as atoi reads it: blanks, a sign, digits; wraps like a DWORD.
    const char *p = equals + 1;
    while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f')
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    DWORD count = 0;
    while (*p >= '0' && *p <= '9')
        count = count * 10 + static_cast<DWORD>(*p++ - '0');
    cursor->Count = negative ? 0u - count : count;
    cursor->Position = lineEnd + 1;
    return true;
}

char *TakeEntry(ListingCursor *cursor) {
    char *entry = cursor->Position;
    char *cr = std::strchr(entry, '\r');
    if (cr == NULL)
        return NULL;
    *cr = '\0';
    // The LF after the CR is skipped unchecked; a CR that ends the text
    // leaves Position on the terminator instead of past it.
    cursor->Position = cr[1] != '\0' ? cr + 2 : cr + 1;
    return entry;
}
