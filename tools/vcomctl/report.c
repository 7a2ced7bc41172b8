/* One-line error reports naming the Win32 error, so that a script's log says what went wrong. */
#include <stdarg.h>
#include <stdio.h>

#include "vcomctl.h"

/* Where reports go while a restore collects them: the first one only, for the item at hand. */
static char* Captured;
static size_t CapturedSize;

void CaptureReports(char* buffer, size_t size)
{
    Captured = buffer;
    CapturedSize = size;
    if (buffer != NULL && size > 0)
        buffer[0] = '\0';
}

void ClearCapturedReport(void)
{
    if (Captured != NULL && CapturedSize > 0)
        Captured[0] = '\0';
}

/* Whether the report went into the capture buffer instead of stderr. */
static int Capture(const char* line)
{
    if (Captured == NULL)
        return 0;
    if (Captured[0] == '\0')
        snprintf(Captured, CapturedSize, "%s", line);
    return 1;
}

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
    char line[2048];
    int at = error & 0x20000000 ? snprintf(line, sizeof(line), "%s: error 0x%08lX", what, (unsigned long)error)
                                : snprintf(line, sizeof(line), "%s: error %lu", what, (unsigned long)error);
    if (length > 0 && at > 0 && (size_t)at < sizeof(line))
        snprintf(line + at, sizeof(line) - (size_t)at, " (%s)", text);
    if (!Capture(line))
        fprintf(stderr, "vcomctl: %s\n", line);
    return VcomctlFailed;
}

int ReportFailure(const char* format, ...)
{
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    if (!Capture(line))
        fprintf(stderr, "vcomctl: %s\n", line);
    return VcomctlFailed;
}
