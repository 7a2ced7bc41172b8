#include "driver_fixture.h"
#include "runtime.h"

#include <climits>

namespace {

constexpr WCHAR kCanary = 0xAAAA;

struct Formatted {
    NTSTATUS Status;
    std::u16string Text;
};

// Formats into a canary-filled buffer of `size` characters (plus spare room that must stay
// untouched) and returns the status and the terminated text.
Formatted FormatSized(SIZE_T size, PCWSTR format, ...)
{
    WCHAR buffer[96];
    for (WCHAR& ch : buffer) {
        ch = kCanary;
    }
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtFormatWideV(buffer, size, format, args);
    va_end(args);
    for (SIZE_T i = size < 96 ? size : 96; i < 96; i++) {
        EXPECT_EQ(buffer[i], kCanary) << "written past the end at " << i;
    }
    return {status, Wide(buffer)};
}

template <typename... Args>
std::u16string Format(PCWSTR format, Args... args)
{
    Formatted result = FormatSized(64, format, args...);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    return result.Text;
}

}  // namespace

TEST(RtFormatWide, RefusesZeroAndOversizedBuffers)
{
    WCHAR buffer[4] = {L'x', L'y', L'z', 0};
    EXPECT_EQ(RtFormatWide(buffer, 0, L"abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], L'x') << "a zero-sized buffer is not written";

    EXPECT_EQ(RtFormatWide(buffer, (SIZE_T)0x80000000, L"abc"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], 0) << "an oversized buffer is left empty";

    EXPECT_EQ(RtFormatWide(buffer, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtFormatWide(nullptr, 4, L"abc"), STATUS_INVALID_PARAMETER);

    // The largest size the contract allows is accepted.
    EXPECT_EQ(RtFormatWide(buffer, 0x7FFFFFFF, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(Wide(buffer), u"ab");
}

TEST(RtFormatWide, CutsAtSizeMinusOneAndAlwaysTerminates)
{
    Formatted exact = FormatSized(4, L"abc");
    EXPECT_EQ(exact.Status, STATUS_SUCCESS);
    EXPECT_EQ(exact.Text, u"abc");

    Formatted cut = FormatSized(4, L"abcd");
    EXPECT_EQ(cut.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(cut.Text, u"abc");

    Formatted onlyTerminator = FormatSized(1, L"%d", 7);
    EXPECT_EQ(onlyTerminator.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(onlyTerminator.Text, u"");

    Formatted emptyFits = FormatSized(1, L"%ws", L"");
    EXPECT_EQ(emptyFits.Status, STATUS_SUCCESS);

    // Cuts inside a conversion, inside padding and inside a string argument.
    EXPECT_EQ(FormatSized(3, L"%d", 12345).Text, u"12");
    EXPECT_EQ(FormatSized(3, L"%8d", 1).Text, u"  ");
    EXPECT_EQ(FormatSized(5, L"%ws%ws", L"NUVA_", L"x").Text, u"NUVA");
    EXPECT_EQ(FormatSized(5, L"%ws%ws", L"NUVA_", L"x").Status, STATUS_BUFFER_OVERFLOW);
}

TEST(RtFormatWide, PortIdentityFormats)
{
    EXPECT_EQ(Format(L"%02d", 9), u"09");
    EXPECT_EQ(Format(L"%02d", 123), u"123");
    EXPECT_EQ(Format(L"%02d", (int)0xFFFFFFFF), u"-1");
    EXPECT_EQ(Format(L"%ws%ws%02d", L"NUVA_", L"Kadrix_", 9), u"NUVA_Kadrix_09");

    // The instance identifier's buffer of 11 characters holds every 32-bit value.
    Formatted widest = FormatSized(11, L"%02d", INT_MIN);
    EXPECT_EQ(widest.Status, STATUS_BUFFER_OVERFLOW) << "11 characters of text need 12";
    EXPECT_EQ(FormatSized(11, L"%02d", INT_MAX).Status, STATUS_SUCCESS);

    GUID guid = {0x3A9B85F5, 0x2569, 0x4653, {0xB5, 0x6D, 0xC8, 0x31, 0x63, 0x38, 0x6F, 0xB6}};
    EXPECT_EQ(Format(L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]),
        u"{3A9B85F5-2569-4653-B56D-C83163386FB6}");
}

TEST(RtFormatWide, IntegersBySizeAndBase)
{
    EXPECT_EQ(Format(L"%d %i", INT_MIN, INT_MAX), u"-2147483648 2147483647");
    EXPECT_EQ(Format(L"%u", 0xFFFFFFFFu), u"4294967295");
    EXPECT_EQ(Format(L"%x %X %o", 0xBEEFu, 0xBEEFu, 8u), u"beef BEEF 10");
    EXPECT_EQ(Format(L"%ld %lu", (LONG)-1, (ULONG)0xFFFFFFFF), u"-1 4294967295")
        << "l is 32 bits, as LONG";
    EXPECT_EQ(Format(L"%I64d %lld", (LONG64)LLONG_MIN, (LONG64)-2), u"-9223372036854775808 -2");
    EXPECT_EQ(Format(L"%I64x %llu", (ULONG64)0x123456789ABCDEF0ull, (ULONG64)ULLONG_MAX),
        u"123456789abcdef0 18446744073709551615");
    EXPECT_EQ(Format(L"%I32d %Iu", -3, (SIZE_T)1 << 40), u"-3 1099511627776");
    EXPECT_EQ(Format(L"%hd %hu %hhu", 0x12345, 0x1FFFF, 0x1FF), u"9029 65535 255");
    EXPECT_EQ(Format(L"%p", (void*)0x1234), u"0000000000001234");
}

TEST(RtFormatWide, FlagsWidthAndPrecision)
{
    EXPECT_EQ(Format(L"[%5d][%-5d][%05d]", 42, 42, -42), u"[   42][42   ][-0042]");
    EXPECT_EQ(Format(L"[%+d][% d][%+d]", 5, 5, -5), u"[+5][ 5][-5]");
    EXPECT_EQ(Format(L"[%#x][%#X][%#o][%#x]", 255u, 255u, 8u, 0u), u"[0xff][0XFF][010][0]");
    EXPECT_EQ(Format(L"[%.3d][%.0d][%5.3d][%05.3d]", 7, 0, -7, 7), u"[007][][ -007][  007]");
    EXPECT_EQ(Format(L"[%-05d]", 3), u"[3    ]") << "- overrides 0";
    EXPECT_EQ(Format(L"[%*d][%-*d][%*d]", 4, 1, 3, 2, -3, 3), u"[   1][2  ][3  ]");
    EXPECT_EQ(Format(L"[%.*d][%.*d]", 3, 5, -1, 5), u"[005][5]");
}

TEST(RtFormatWide, TextAndCharacters)
{
    // Wide printf of the platform: %s is wide, %S narrow; h and l/w force the width.
    EXPECT_EQ(Format(L"%s|%ws|%ls|%S|%hs", L"w1", L"w2", L"w3", "n1", "n2"), u"w1|w2|w3|n1|n2");
    EXPECT_EQ(Format(L"%ws|%hs", (PCWSTR) nullptr, (const char*)nullptr), u"(null)|(null)");
    EXPECT_EQ(Format(L"[%6ws][%-6hs][%.2ws]", L"abc", "abc", L"abc"), u"[   abc][abc   ][ab]");
    EXPECT_EQ(Format(L"%hs", "\xE9"), u"\u00E9") << "narrow bytes widen one to one";
    EXPECT_EQ(Format(L"%c%C%hc%wc", L'\u0416', 'b', 'c', L'\u0436'), u"\u0416bc\u0436");
    EXPECT_EQ(Format(L"[%3c]", L'x'), u"[  x]");

    WCHAR unterminated[] = {L'a', L'b', L'c', L'd'};
    UNICODE_STRING counted = {4, 8, unterminated};
    char narrowText[] = {'x', 'y', 'z'};
    ANSI_STRING narrowCounted = {2, 3, narrowText};
    EXPECT_EQ(Format(L"%wZ|%Z|%.1wZ", &counted, &narrowCounted, &counted), u"ab|xy|a");
    EXPECT_EQ(Format(L"%wZ", (PCUNICODE_STRING) nullptr), u"(null)");
}

TEST(RtFormatWide, PercentAndMalformedConversions)
{
    EXPECT_EQ(Format(L"100%%"), u"100%");
    EXPECT_EQ(Format(L"%q%d", 1), u"q1") << "an unknown conversion prints its character";
    EXPECT_EQ(Format(L"end%"), u"end") << "a lone trailing % prints nothing";
    EXPECT_EQ(Format(L"%-"), u"");
}
