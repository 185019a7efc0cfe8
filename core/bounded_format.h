// The bounded formatter and the bounded append: the only code that formats
// or copies text into a fixed-size buffer.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "win32.h"

// Statuses, as the Windows SDK's safe-string functions define them.
constexpr HRESULT kFormatOk = 0;
constexpr HRESULT kFormatInvalidParameter = static_cast<HRESULT>(0x80070057L);
constexpr HRESULT kFormatInsufficientBuffer = static_cast<HRESULT>(0x8007007AL);
constexpr size_t kFormatMaxCapacity = 2147483647u;

// printf-style formatting of %d (32-bit signed), %s (text) and %% into
// `dest`, which holds `capacity` characters, terminator included. A capacity
// of 0 or above kFormatMaxCapacity leaves `dest` untouched and returns
// kFormatInvalidParameter. A text that does not fit is cut to capacity - 1
// characters and kFormatInsufficientBuffer is returned.
// Each %d takes a 32-bit value (a DWORD error code prints signed, as Windows
// prints it); no printf attribute, since Windows' DWORD is unsigned long.
HRESULT FormatBounded(char *dest, size_t capacity, const char *format, ...);

// The same, with the values in a va_list.
HRESULT FormatBoundedV(char *dest, size_t capacity, const char *format, va_list args);

// Appends `src` to the text in `dest`. The existing text must end within the
// first `capacity` characters (else kFormatInvalidParameter, `dest`
// untouched); a result that does not fit is cut to capacity - 1 characters
// and kFormatInsufficientBuffer is returned.
HRESULT AppendBounded(char *dest, size_t capacity, const char *src);

// Copies `src` into `dest`, with the same cutting and statuses.
HRESULT CopyBounded(char *dest, size_t capacity, const char *src);
