// The bounded formatter: the contract of the safe-string printf of the
// Windows SDK, in its earlier form, for the conversions the program uses.
#include "core/bounded_format.h"

#include <cstdarg>
#include <cstdint>

namespace {

// Writes into dest[0 .. room) and counts every character of the full text,
// so the caller learns whether it fitted.
struct Sink {
    char *dest;
    size_t room;
    size_t length = 0;

    void Put(char c) {
        if (length < room)
            dest[length] = c;
        ++length;
    }
    void Put(const char *s) {
        while (*s)
            Put(*s++);
    }
};

void PutDecimal(Sink &sink, int32_t value) {
    char digits[12];
    int n = 0;
    // Work on the unsigned magnitude so that INT32_MIN needs no special case.
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        sink.Put('-');
    while (n > 0)
        sink.Put(digits[--n]);
}

// False when the format holds a conversion this formatter does not know.
bool Format(Sink &sink, const char *format, va_list args) {
    for (const char *p = format; *p; ++p) {
        if (*p != '%') {
            sink.Put(*p);
            continue;
        }
        switch (*++p) {
        case 'd':
            PutDecimal(sink, va_arg(args, int32_t));
            break;
        case 's': {
            const char *s = va_arg(args, const char *);
            sink.Put(s ? s : "(null)");
            break;
        }
        case '%':
            sink.Put('%');
            break;
        default:
            return false;
        }
    }
    return true;
}

HRESULT Finish(char *dest, size_t capacity, size_t length, bool formatted) {
    size_t room = capacity - 1;
    if (!formatted || length > room) {
        dest[room] = '\0';
        return kFormatInsufficientBuffer;
    }
    dest[length] = '\0';
    return kFormatOk;
}

bool ValidCapacity(size_t capacity) { return capacity != 0 && capacity <= kFormatMaxCapacity; }

} // namespace

HRESULT FormatBounded(char *dest, size_t capacity, const char *format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT status = FormatBoundedV(dest, capacity, format, args);
    va_end(args);
    return status;
}

HRESULT FormatBoundedV(char *dest, size_t capacity, const char *format, va_list args) {
    if (!ValidCapacity(capacity))
        return kFormatInvalidParameter;
    Sink sink{dest, capacity - 1};
    bool formatted = Format(sink, format, args);
    return Finish(dest, capacity, sink.length, formatted);
}

HRESULT AppendBounded(char *dest, size_t capacity, const char *src) {
    if (!ValidCapacity(capacity))
        return kFormatInvalidParameter;
    size_t used = 0;
    while (used < capacity && dest[used] != '\0')
        ++used;
    if (used == capacity)
        return kFormatInvalidParameter;
    Sink sink{dest + used, capacity - 1 - used};
    sink.Put(src);
    return Finish(dest + used, capacity - used, sink.length, true);
}

HRESULT CopyBounded(char *dest, size_t capacity, const char *src) {
    if (!ValidCapacity(capacity))
        return kFormatInvalidParameter;
    Sink sink{dest, capacity - 1};
    sink.Put(src);
    return Finish(dest, capacity, sink.length, true);
}
