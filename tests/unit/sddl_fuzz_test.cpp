// Arbitrary text into the SDDL conversion: random strings, strings built from the grammar's
// pieces, and mutations of valid ones, each given both terminated and as an exactly sized buffer
// with no terminator (so that ASan sees any read past the counted characters). Whatever comes
// back is either a valid DACL-only descriptor or a failure with nothing allocated. Deterministic
// (fixed seed) and bounded in time.
#include "driver_fixture.h"

#include <hostkernel/security.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "security/sddl.h"

namespace {

const char16_t* const kPieces[] = {
    u"D:", u"D:P", u"d:", u"P", u"(", u")", u";", u";;", u"A", u"a", u"D", u"A;", u"A;;", u"GA", u"gr", u"GW",
    u"GX", u"RC", u"WD", u"WO", u"SD", u"SY", u"BA", u"BU", u"BG", u"AU", u"AN", u"IU", u"NU", u"LS", u"NS",
    u"XX", u"0x", u"0X", u"0x10000", u"10", u"FF", u"1F", u"4294967295", u"4294967296", u"0xFFFFFFFFF", u" ",
    u"  ", u":", u"S:", u"O:BA", u"CI", u"\u00e9", u"\xffff", u"(A;;GA;;;SY)", u"(A;;;;;BA)",
};
const char16_t kAlphabet[] = u"D:P();AaGRWXSYBUNLCIFO0x19 \u00e9";

std::u16string RandomText(std::mt19937& rng)
{
    std::u16string text;
    size_t length = rng() % 48;
    for (size_t i = 0; i < length; i++) text += kAlphabet[rng() % (sizeof(kAlphabet) / 2 - 1)];
    return text;
}

std::u16string FromPieces(std::mt19937& rng)
{
    std::u16string text = rng() % 8 ? u"D:" : u"";
    size_t count = rng() % 24;
    for (size_t i = 0; i < count; i++) text += kPieces[rng() % (sizeof(kPieces) / sizeof(kPieces[0]))];
    return text;
}

std::u16string Mutated(std::mt19937& rng)
{
    std::u16string text = u"D:P(A;;GA;;;SY)(A;;GRGX;;;BA)(a;;0x10;;;wd)";
    int edits = 1 + rng() % 4;
    for (int e = 0; e < edits && !text.empty(); e++) {
        size_t at = rng() % text.size();
        switch (rng() % 5) {
        case 0: text.erase(at, 1 + rng() % 3); break;
        case 1: text.insert(at, 1, kAlphabet[rng() % (sizeof(kAlphabet) / 2 - 1)]); break;
        case 2: text[at] = kAlphabet[rng() % (sizeof(kAlphabet) / 2 - 1)]; break;
        case 3: text.resize(at); break;
        default: text.insert(at, text.substr(at, rng() % 12)); break;
        }
    }
    return text;
}

// A converted descriptor must be what the driver promises: self-relative, a DACL of
// access-allowed ACEs without flags, nothing else, every offset inside its length.
void CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, const std::u16string& text)
{
    ULONG length = RtlLengthSecurityDescriptor(descriptor);
    ASSERT_TRUE(RtlValidRelativeSecurityDescriptor(descriptor, length, DACL_SECURITY_INFORMATION))
        << std::string(text.begin(), text.end());
    hk::DescriptorView view;
    ASSERT_TRUE(hk::DescribeDescriptor(descriptor, &view));
    EXPECT_TRUE(view.Control & SE_SELF_RELATIVE);
    EXPECT_TRUE(view.DaclPresent);
    EXPECT_FALSE(view.DaclNull);
    EXPECT_TRUE(view.Owner.empty() && view.Group.empty() && !view.SaclPresent);
    for (auto& ace : view.Dacl) {
        EXPECT_EQ(ace.Type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace.Flags, 0);
    }
}

bool ConvertOnce(const std::u16string& text, bool terminated)
{
    size_t chars = text.size();
    std::unique_ptr<WCHAR[]> buffer(new WCHAR[chars + (terminated ? 1 : 0)]);
    for (size_t i = 0; i < chars; i++) buffer[i] = (WCHAR)text[i];
    if (terminated) buffer[chars] = 0;
    USHORT bytes = (USHORT)(chars * sizeof(WCHAR));
    UNICODE_STRING s{bytes, (USHORT)(bytes + (terminated ? sizeof(WCHAR) : 0)), chars || terminated ? buffer.get() : nullptr};
    PSECURITY_DESCRIPTOR descriptor = (PSECURITY_DESCRIPTOR)0x1;
    NTSTATUS status = SddlToSecurityDescriptor(&s, TRUE, &descriptor);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        CheckDescriptor(descriptor, text);
        ExFreePoolWithTag(descriptor, kSddlDescriptorTag);
        return true;
    } else {
        EXPECT_EQ(descriptor, nullptr);
        EXPECT_TRUE(status == STATUS_INVALID_PARAMETER || status == STATUS_NONE_MAPPED ||
                    status == STATUS_INVALID_ACL || status == STATUS_ALLOTTED_SPACE_EXCEEDED)
            << std::hex << status << " for " << std::string(text.begin(), text.end());
    }
    return false;
}

TEST(SddlFuzz, ArbitraryTextGivesAValidDescriptorOrAFailureWithNothingAllocated)
{
    hk::ResetSecurityState();
    size_t baseline = hk::PoolAllocations();
    std::mt19937 rng(20240611);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    size_t runs = 0, accepted = 0;
    for (; runs < 400000 && std::chrono::steady_clock::now() < deadline; runs++) {
        std::u16string text;
        switch (runs % 3) {
        case 0: text = RandomText(rng); break;
        case 1: text = FromPieces(rng); break;
        default: text = Mutated(rng); break;
        }
        if (runs % 97 == 0) hk::SetWdmVersion(rng() % 2 ? 1 : 6, (UCHAR)(rng() % 0x40));
        bool terminated = ConvertOnce(text, true);
        EXPECT_EQ(ConvertOnce(text, false), terminated) << "the buffer's form changes nothing";
        accepted += terminated;
        ASSERT_EQ(hk::PoolAllocations(), baseline) << "leak for " << std::string(text.begin(), text.end());
        if (HasFailure()) break;
    }
    EXPECT_GT(runs, 1000u);
    EXPECT_GT(accepted, runs / 50) << "the inputs reach past the first checks";
    hk::ResetSecurityState();
}

}  // namespace
