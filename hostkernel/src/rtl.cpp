// Run-time library: counted strings, the wide C routines ntoskrnl exports, DbgPrint.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace hk {

std::string WideToUtf8(PCWSTR text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; i++) {
        unsigned c = (USHORT)text[i];
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string WideToUtf8(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) return {};
    return WideToUtf8(text->Buffer, text->Length / sizeof(WCHAR));
}

}  // namespace hk

namespace {

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0) n++;
    return n;
}

WCHAR Upcase(WCHAR c) { return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c; }

// Formats into `out` the subset of printf conversions drivers use with wide output.
void FormatWide(std::u16string& out, PCWSTR format, va_list args)
{
    for (PCWSTR p = format; *p != 0; p++) {
        if (*p != L'%') {
            out += (char16_t)*p;
            continue;
        }
        p++;
        bool leftAlign = false, zeroPad = false;
        for (;; p++) {
            if (*p == L'-') leftAlign = true;
            else if (*p == L'0') zeroPad = true;
            else break;
        }
        int width = 0;
        if (*p == L'*') {
            width = va_arg(args, int);
            p++;
        }
        while (*p >= L'0' && *p <= L'9') width = width * 10 + (*p++ - L'0');
        int precision = -1;
        if (*p == L'.') {
            p++;
            precision = 0;
            while (*p >= L'0' && *p <= L'9') precision = precision * 10 + (*p++ - L'0');
        }
        int longs = 0;
        bool wideArg = false;
        for (;; p++) {
            if (*p == L'l') longs++;
            else if (*p == L'h') {}
            else if (*p == L'w') wideArg = true;
            else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { longs = 2; p += 2; }
            else break;
        }
        std::u16string piece;
        char buffer[64];
        switch (*p) {
        case L'd':
        case L'i': {
            long long v = longs >= 2 ? va_arg(args, long long) : va_arg(args, int);
            snprintf(buffer, sizeof buffer, "%lld", v);
            for (char* c = buffer; *c; c++) piece += (char16_t)*c;
            break;
        }
        case L'u':
        case L'x':
        case L'X': {
            unsigned long long v = longs >= 2 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
            snprintf(buffer, sizeof buffer, *p == L'u' ? "%llu" : *p == L'x' ? "%llx" : "%llX", v);
            for (char* c = buffer; *c; c++) piece += (char16_t)*c;
            break;
        }
        case L'p':
            snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            for (char* c = buffer; *c; c++) piece += (char16_t)*c;
            break;
        case L'c':
            piece += (char16_t)va_arg(args, int);
            break;
        case L's':
        case L'S': {
            // In the wide functions %s is wide, %S narrow; %ws is wide everywhere.
            if (wideArg || *p == L's') {
                PCWSTR s = va_arg(args, PCWSTR);
                if (s == nullptr) s = L"(null)";
                for (size_t i = 0; s[i] && (precision < 0 || (int)i < precision); i++) piece += (char16_t)s[i];
            } else {
                const char* s = va_arg(args, const char*);
                if (s == nullptr) s = "(null)";
                for (size_t i = 0; s[i] && (precision < 0 || (int)i < precision); i++) piece += (char16_t)(unsigned char)s[i];
            }
            break;
        }
        case L'%':
            piece += u'%';
            break;
        default:
            piece += u'%';
            piece += (char16_t)*p;
            break;
        }
        if ((int)piece.size() < width) {
            size_t pad = width - piece.size();
            if (leftAlign) piece.append(pad, u' ');
            else if (zeroPad && *p != L's' && *p != L'S' && *p != L'c') {
                size_t at = (!piece.empty() && piece[0] == u'-') ? 1 : 0;
                piece.insert(at, pad, u'0');
            } else piece.insert(0, pad, u' ');
        }
        out += piece;
        if (*p == 0) break;
    }
}

}  // namespace

using namespace hk;

extern "C" {

SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length)
{
    auto x = (const UCHAR*)a;
    auto y = (const UCHAR*)b;
    SIZE_T i = 0;
    while (i < length && x[i] == y[i]) i++;
    return i;
}

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    destination->Buffer = (PWSTR)source;
    if (source != nullptr) {
        size_t length = WideLength(source) * sizeof(WCHAR);
        destination->Length = (USHORT)length;
        destination->MaximumLength = (USHORT)(length + sizeof(WCHAR));
    } else {
        destination->Length = destination->MaximumLength = 0;
    }
}

void RtlInitAnsiString(PANSI_STRING destination, PCSTR source)
{
    destination->Buffer = (PCHAR)source;
    destination->Length = source ? (USHORT)strlen(source) : 0;
    destination->MaximumLength = source ? (USHORT)(destination->Length + 1) : 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (source == nullptr) {
        destination->Length = 0;
        return;
    }
    USHORT n = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    memmove(destination->Buffer, source->Buffer, n);
    destination->Length = n;
    if (n + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (source->Length == 0) return STATUS_SUCCESS;
    if ((ULONG)destination->Length + source->Length > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove((char*)destination->Buffer + destination->Length, source->Buffer, source->Length);
    destination->Length += source->Length;
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    size_t n = (a->Length < b->Length ? a->Length : b->Length) / sizeof(WCHAR);
    for (size_t i = 0; i < n; i++) {
        WCHAR x = caseInsensitive ? Upcase(a->Buffer[i]) : a->Buffer[i];
        WCHAR y = caseInsensitive ? Upcase(b->Buffer[i]) : b->Buffer[i];
        if (x != y) return (LONG)x - (LONG)y;
    }
    return (LONG)a->Length - (LONG)b->Length;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return Upcase(c); }

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate)
{
    ULONG bytes = source->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    if (allocate) {
        destination->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), Tag("Strg"));
        if (destination->Buffer == nullptr) return STATUS_NO_MEMORY;
        destination->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    } else if (bytes > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < source->Length; i++) destination->Buffer[i] = (WCHAR)(UCHAR)source->Buffer[i];
    destination->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[source->Length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate)
{
    USHORT chars = source->Length / sizeof(WCHAR);
    if (allocate) {
        destination->Buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, chars + 1u, Tag("Strg"));
        if (destination->Buffer == nullptr) return STATUS_NO_MEMORY;
        destination->MaximumLength = (USHORT)(chars + 1);
    } else if (chars > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < chars; i++) {
        WCHAR c = source->Buffer[i];
        destination->Buffer[i] = c < 0x100 ? (CHAR)c : '?';
    }
    destination->Length = chars;
    if (chars < destination->MaximumLength) destination->Buffer[chars] = 0;
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, Tag("Strg"));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING s)
{
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, Tag("Strg"));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING s)
{
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = (WCHAR)(d < 10 ? L'0' + d : L'A' + d - 10);
        value /= base;
    } while (value != 0);
    if ((ULONG)n * sizeof(WCHAR) > s->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; i++) s->Buffer[i] = digits[n - 1 - i];
    s->Length = (USHORT)(n * sizeof(WCHAR));
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(const GUID* guid, PUNICODE_STRING s)
{
    const size_t chars = 38;
    s->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, (chars + 1) * sizeof(WCHAR), Tag("Strg"));
    if (s->Buffer == nullptr) return STATUS_NO_MEMORY;
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1,
             guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3],
             guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
    for (size_t i = 0; i <= chars; i++) s->Buffer[i] = (WCHAR)text[i];
    s->Length = (USHORT)(chars * sizeof(WCHAR));
    s->MaximumLength = (USHORT)((chars + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

int _wcsnicmp(PCWSTR a, PCWSTR b, SIZE_T count)
{
    for (SIZE_T i = 0; i < count; i++) {
        WCHAR x = Upcase(a[i]), y = Upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

int _wcsicmp(PCWSTR a, PCWSTR b) { return _wcsnicmp(a, b, (SIZE_T)-1); }

int _vsnwprintf(PWSTR buffer, SIZE_T count, PCWSTR format, va_list args)
{
    std::u16string out;
    FormatWide(out, format, args);
    // Microsoft's contract: -1 and no terminator when the text does not fit.
    if (out.size() > count) {
        memcpy(buffer, out.data(), count * sizeof(WCHAR));
        return -1;
    }
    memcpy(buffer, out.data(), out.size() * sizeof(WCHAR));
    if (out.size() < count) buffer[out.size()] = 0;
    return (int)out.size();
}

int _snwprintf(PWSTR buffer, SIZE_T count, PCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

ULONG DbgPrint(PCSTR format, ...)
{
    static const bool enabled = getenv("HK_DBGPRINT") != nullptr;
    if (enabled) {
        va_list args;
        va_start(args, format);
        vfprintf(stderr, format, args);
        va_end(args);
    }
    return 0;
}

}  // extern "C"
