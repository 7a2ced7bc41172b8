// Bounded wide-character formatting: the image may not rely on the kernel's printf family being
// present and safe at every IRQL, so the driver formats its identifiers and texts here.
#include "runtime.h"

namespace {

constexpr SIZE_T MaxFormatChars = 0x7FFFFFFF;

// Output cursor that never writes past the last character before the terminator and remembers
// whether anything was dropped.
struct WideSink {
    PWCHAR Buffer;
    SIZE_T Capacity;  // characters available for text (size - 1)
    SIZE_T Length;
    bool Truncated;
};

void SinkPut(WideSink& sink, WCHAR ch)
{
    if (sink.Length < sink.Capacity) {
        sink.Buffer[sink.Length++] = ch;
    } else {
        sink.Truncated = true;
    }
}

void SinkRepeat(WideSink& sink, WCHAR ch, SIZE_T count)
{
    for (SIZE_T i = 0; i < count && !sink.Truncated; i++) {
        SinkPut(sink, ch);
    }
}

enum FormatFlag : ULONG {
    FormatFlagLeft = 0x01,
    FormatFlagZero = 0x02,
    FormatFlagPlus = 0x04,
    FormatFlagSpace = 0x08,
    FormatFlagAlternate = 0x10,
};

enum ArgumentSize {
    ArgumentSizeDefault,
    ArgumentSizeShort,
    ArgumentSizeChar,
    ArgumentSize32,
    ArgumentSize64,
    ArgumentSizeWide,  // w: wide text for s, c and Z
};

struct FieldSpec {
    ULONG Flags;
    SIZE_T Width;
    SIZE_T Precision;
    bool HasPrecision;
};

// Pads a field of `length` characters to its width; `body` writes the characters themselves.
template <typename WriteBody>
void EmitPadded(WideSink& sink, const FieldSpec& field, SIZE_T length, WriteBody body)
{
    SIZE_T padding = field.Width > length ? field.Width - length : 0;
    if (!(field.Flags & FormatFlagLeft)) {
        SinkRepeat(sink, L' ', padding);
    }
    body();
    if (field.Flags & FormatFlagLeft) {
        SinkRepeat(sink, L' ', padding);
    }
}

void EmitNumber(WideSink& sink, const FieldSpec& field, ULONG64 magnitude, bool negative,
    ULONG base, bool upper, bool isSigned)
{
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR digits[24];
    SIZE_T digitCount = 0;
    while (magnitude != 0) {
        digits[digitCount++] = (WCHAR)digitSet[magnitude % base];
        magnitude /= base;
    }
    // Precision is the minimum digit count; an explicit zero precision prints nothing for 0.
    SIZE_T minimumDigits = field.HasPrecision ? field.Precision : 1;

    WCHAR prefix[2];
    SIZE_T prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = L'-';
    } else if (isSigned && (field.Flags & FormatFlagPlus)) {
        prefix[prefixLength++] = L'+';
    } else if (isSigned && (field.Flags & FormatFlagSpace)) {
        prefix[prefixLength++] = L' ';
    } else if ((field.Flags & FormatFlagAlternate) && digitCount != 0) {
        if (base == 16) {
            prefix[prefixLength++] = L'0';
            prefix[prefixLength++] = upper ? L'X' : L'x';
        } else if (base == 8 && digitCount >= minimumDigits) {
            prefix[prefixLength++] = L'0';
        }
    }

    SIZE_T zeros = minimumDigits > digitCount ? minimumDigits - digitCount : 0;
    SIZE_T length = prefixLength + zeros + digitCount;
    if ((field.Flags & FormatFlagZero) && !(field.Flags & FormatFlagLeft) && !field.HasPrecision &&
        field.Width > length) {
        zeros += field.Width - length;
        length = field.Width;
    }
    EmitPadded(sink, field, length, [&] {
        for (SIZE_T i = 0; i < prefixLength; i++) {
            SinkPut(sink, prefix[i]);
        }
        SinkRepeat(sink, L'0', zeros);
        while (digitCount != 0 && !sink.Truncated) {
            SinkPut(sink, digits[--digitCount]);
        }
    });
}

void EmitWideText(WideSink& sink, const FieldSpec& field, PCWCH text, SIZE_T maxLength)
{
    SIZE_T length = 0;
    while (length < maxLength && text[length] != 0) {
        length++;
    }
    EmitPadded(sink, field, length, [&] {
        for (SIZE_T i = 0; i < length && !sink.Truncated; i++) {
            SinkPut(sink, text[i]);
        }
    });
}

void EmitNarrowText(WideSink& sink, const FieldSpec& field, const char* text, SIZE_T maxLength)
{
    SIZE_T length = 0;
    while (length < maxLength && text[length] != 0) {
        length++;
    }
    EmitPadded(sink, field, length, [&] {
        for (SIZE_T i = 0; i < length && !sink.Truncated; i++) {
            SinkPut(sink, (WCHAR)(UCHAR)text[i]);
        }
    });
}

bool IsDigit(WCHAR ch)
{
    return ch >= L'0' && ch <= L'9';
}

}  // namespace

NTSTATUS RtFormatWideV(PWCHAR buffer, SIZE_T sizeInChars, PCWSTR format, va_list args)
{
    if (sizeInChars == 0 || sizeInChars > MaxFormatChars || buffer == nullptr || format == nullptr) {
        if (sizeInChars != 0 && buffer != nullptr) {
            buffer[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }

    WideSink sink = {buffer, sizeInChars - 1, 0, false};
    va_list ap;
    __builtin_va_copy(ap, args);

    PCWSTR p = format;
    while (*p != 0 && !sink.Truncated) {
        if (*p != L'%') {
            SinkPut(sink, *p++);
            continue;
        }
        p++;

        FieldSpec field = {0, 0, 0, false};
        for (;; p++) {
            if (*p == L'-') {
                field.Flags |= FormatFlagLeft;
            } else if (*p == L'0') {
                field.Flags |= FormatFlagZero;
            } else if (*p == L'+') {
                field.Flags |= FormatFlagPlus;
            } else if (*p == L' ') {
                field.Flags |= FormatFlagSpace;
            } else if (*p == L'#') {
                field.Flags |= FormatFlagAlternate;
            } else {
                break;
            }
        }

        if (*p == L'*') {
            int width = __builtin_va_arg(ap, int);
            if (width < 0) {
                field.Flags |= FormatFlagLeft;
                width = width == (int)0x80000000 ? 0x7FFFFFFF : -width;
            }
            field.Width = (SIZE_T)width;
            p++;
        } else {
            // Widths beyond any buffer this can fill are clamped rather than overflowing.
            while (IsDigit(*p)) {
                if (field.Width < MaxFormatChars) {
                    field.Width = field.Width * 10 + (SIZE_T)(*p - L'0');
                }
                p++;
            }
        }

        if (*p == L'.') {
            p++;
            field.HasPrecision = true;
            if (*p == L'*') {
                int precision = __builtin_va_arg(ap, int);
                field.HasPrecision = precision >= 0;
                field.Precision = precision >= 0 ? (SIZE_T)precision : 0;
                p++;
            } else {
                while (IsDigit(*p)) {
                    if (field.Precision < MaxFormatChars) {
                        field.Precision = field.Precision * 10 + (SIZE_T)(*p - L'0');
                    }
                    p++;
                }
            }
        }

        ArgumentSize size = ArgumentSizeDefault;
        if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            size = ArgumentSize64;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            size = ArgumentSize32;
            p += 3;
        } else if (p[0] == L'I') {
            size = sizeof(void*) == 8 ? ArgumentSize64 : ArgumentSize32;
            p++;
        } else if (p[0] == L'l' && p[1] == L'l') {
            size = ArgumentSize64;
            p += 2;
        } else if (p[0] == L'h' && p[1] == L'h') {
            size = ArgumentSizeChar;
            p += 2;
        } else if (p[0] == L'h') {
            size = ArgumentSizeShort;
            p++;
        } else if (p[0] == L'l' || p[0] == L'w') {
            // long is 32 bits on the platform, so %ld takes a LONG on both builds.
            size = p[0] == L'w' ? ArgumentSizeWide : ArgumentSize32;
            p++;
        }

        WCHAR conversion = *p;
        if (conversion == 0) {
            break;
        }
        p++;

        switch (conversion) {
        case L'd':
        case L'i': {
            LONG64 value;
            if (size == ArgumentSize64) {
                value = __builtin_va_arg(ap, LONG64);
            } else if (size == ArgumentSizeShort) {
                value = (SHORT)__builtin_va_arg(ap, int);
            } else if (size == ArgumentSizeChar) {
                value = (signed char)__builtin_va_arg(ap, int);
            } else {
                value = (LONG)__builtin_va_arg(ap, int);
            }
            ULONG64 magnitude = value < 0 ? 0 - (ULONG64)value : (ULONG64)value;
            EmitNumber(sink, field, magnitude, value < 0, 10, false, true);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            ULONG64 value;
            if (size == ArgumentSize64) {
                value = __builtin_va_arg(ap, ULONG64);
            } else if (size == ArgumentSizeShort) {
                value = (USHORT)__builtin_va_arg(ap, unsigned int);
            } else if (size == ArgumentSizeChar) {
                value = (UCHAR)__builtin_va_arg(ap, unsigned int);
            } else {
                value = (ULONG)__builtin_va_arg(ap, unsigned int);
            }
            ULONG base = conversion == L'u' ? 10 : conversion == L'o' ? 8 : 16;
            EmitNumber(sink, field, value, false, base, conversion == L'X', false);
            break;
        }
        case L'p': {
            // The platform prints a pointer as all its hexadecimal digits, upper case.
            FieldSpec pointerSpec = field;
            pointerSpec.HasPrecision = true;
            pointerSpec.Precision = sizeof(void*) * 2;
            EmitNumber(sink, pointerSpec, (ULONG64)(ULONG_PTR)__builtin_va_arg(ap, void*), false, 16,
                true, false);
            break;
        }
        case L'c':
        case L'C': {
            bool narrow = size == ArgumentSizeShort || (conversion == L'C' && size != ArgumentSizeWide &&
                                                           size != ArgumentSize32);
            int value = __builtin_va_arg(ap, int);
            WCHAR ch = narrow ? (WCHAR)(UCHAR)value : (WCHAR)value;
            EmitPadded(sink, field, 1, [&] { SinkPut(sink, ch); });
            break;
        }
        case L's':
        case L'S': {
            // In the platform's wide printf %s is wide and %S narrow; h and l/w force the width.
            bool narrow = size == ArgumentSizeShort || (conversion == L'S' && size != ArgumentSizeWide &&
                                                           size != ArgumentSize32);
            SIZE_T maxLength = field.HasPrecision ? field.Precision : (SIZE_T)-1;
            if (narrow) {
                const char* text = __builtin_va_arg(ap, const char*);
                EmitNarrowText(sink, field, text != nullptr ? text : "(null)", maxLength);
            } else {
                PCWCH text = __builtin_va_arg(ap, PCWCH);
                EmitWideText(sink, field, text != nullptr ? text : L"(null)", maxLength);
            }
            break;
        }
        case L'Z': {
            // %wZ takes a counted wide string, %Z a counted narrow one; neither needs a NUL.
            const void* counted = __builtin_va_arg(ap, const void*);
            const UNICODE_STRING* wide = (const UNICODE_STRING*)counted;
            const ANSI_STRING* narrow = (const ANSI_STRING*)counted;
            bool isWide = size == ArgumentSizeWide || size == ArgumentSize32;
            if (counted == nullptr || (isWide ? wide->Buffer == nullptr : narrow->Buffer == nullptr)) {
                EmitWideText(sink, field, L"(null)", (SIZE_T)-1);
                break;
            }
            SIZE_T length = isWide ? wide->Length / sizeof(WCHAR) : narrow->Length;
            if (field.HasPrecision && field.Precision < length) {
                length = field.Precision;
            }
            EmitPadded(sink, field, length, [&] {
                for (SIZE_T i = 0; i < length && !sink.Truncated; i++) {
                    SinkPut(sink, isWide ? wide->Buffer[i] : (WCHAR)(UCHAR)narrow->Buffer[i]);
                }
            });
            break;
        }
        default:
            // %% and anything unknown print the character itself.
            SinkPut(sink, conversion);
            break;
        }
    }
    __builtin_va_end(ap);

    buffer[sink.Length] = 0;
    return sink.Truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtFormatWide(PWCHAR buffer, SIZE_T sizeInChars, PCWSTR format, ...)
{
    va_list args;
    __builtin_va_start(args, format);
    NTSTATUS status = RtFormatWideV(buffer, sizeInChars, format, args);
    __builtin_va_end(args);
    return status;
}
