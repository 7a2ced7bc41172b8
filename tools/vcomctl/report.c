/* One-line error reports naming the Win32 error, so that a script's log says what went wrong. */
#include <stdarg.h>
#include <stdio.h>

#include "vcomctl.h"

int ReportError(DWORD error, const char* format, ...)
{
    char what[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(what, sizeof(what), format, arguments);
    va_end(arguments);

    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                  sizeof(text), NULL);
    /* The system's texts end with a line break; the report is one line. */
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        text[--length] = '\0';
    /* Setup errors carry the customer bit and read better in hexadecimal, as documented. */
    if (error & 0x20000000)
        fprintf(stderr, "vcomctl: %s: error 0x%08lX", what, (unsigned long)error);
    else
        fprintf(stderr, "vcomctl: %s: error %lu", what, (unsigned long)error);
    if (length > 0)
        fprintf(stderr, " (%s)", text);
    fputc('\n', stderr);
    return VcomctlFailed;
}

int ReportFailure(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fputs("vcomctl: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    return VcomctlFailed;
}
