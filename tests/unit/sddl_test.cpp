// The SDDL subset: the bytes of the descriptor the ports get, and the cases where a lax or wrong
// reading would hand out access or refuse a valid string.
#include "driver_fixture.h"

#include <hostkernel/security.h>

#include <cstring>
#include <vector>

#include "security/sddl.h"

namespace {

std::string Narrow(PCWSTR text)
{
    std::string out;
    while (*text) out += (char)*text++;
    return out;
}

class SddlTest : public testing::Test {
protected:
    void SetUp() override
    {
        hk::ResetSecurityState();
        baseline_ = hk::PoolAllocations();
    }
    void TearDown() override
    {
        Release();
        EXPECT_EQ(hk::PoolAllocations(), baseline_) << "the conversion leaked pool";
        hk::ResetFaultInjection();
        hk::ResetSecurityState();
    }

    // Converts `text`, given as a counted string whose buffer is terminated right after it.
    NTSTATUS Convert(PCWSTR text, BOOLEAN defaulted = TRUE)
    {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return Convert(&s, defaulted);
    }
    NTSTATUS Convert(PCUNICODE_STRING s, BOOLEAN defaulted = TRUE)
    {
        Release();
        descriptor_ = (PSECURITY_DESCRIPTOR)0x1;  // must come back null on failure
        NTSTATUS status = SddlToSecurityDescriptor(s, defaulted, &descriptor_);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(descriptor_, nullptr);
        }
        return status;
    }
    void Release()
    {
        if (descriptor_ != nullptr && descriptor_ != (PSECURITY_DESCRIPTOR)0x1) {
            ExFreePoolWithTag(descriptor_, kSddlDescriptorTag);
        }
        descriptor_ = nullptr;
    }
    hk::DescriptorView View()
    {
        hk::DescriptorView view;
        EXPECT_TRUE(hk::DescribeDescriptor(descriptor_, &view));
        return view;
    }
    ACCESS_MASK OnlyMask(PCWSTR text)
    {
        EXPECT_EQ(Convert(text), STATUS_SUCCESS) << Narrow(text);
        if (descriptor_ == nullptr) return 0xDEADBEEF;
        auto view = View();
        EXPECT_EQ(view.Dacl.size(), 1u);
        return view.Dacl.empty() ? 0xDEADBEEF : view.Dacl[0].Mask;
    }
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    size_t baseline_ = 0;
};

const UCHAR kPortDescriptor[] = {
    0x01, 0x00, 0x0C, 0x90,  // revision 1; self-relative, protected, defaulted, DACL present
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // no owner, group or SACL
    0x14, 0x00, 0x00, 0x00,  // DACL at 20
    0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00,  // ACL revision 2, 52 bytes, two ACEs
    0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,  // allowed, no flags, 20 bytes, GENERIC_ALL
    0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,  // S-1-5-18
    0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x10,  // allowed, 24 bytes, GENERIC_ALL
    0x01, 0x02, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,  // S-1-5-32-544
};

TEST_F(SddlTest, PortStringGivesTheExactProtectedDefaultedDescriptor)
{
    ASSERT_EQ(Convert(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"), STATUS_SUCCESS);
    ASSERT_EQ(RtlLengthSecurityDescriptor(descriptor_), sizeof(kPortDescriptor));
    EXPECT_EQ(memcmp(descriptor_, kPortDescriptor, sizeof(kPortDescriptor)), 0);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(descriptor_, sizeof(kPortDescriptor), DACL_SECURITY_INFORMATION));
    EXPECT_EQ(hk::PoolAllocations(kSddlDescriptorTag), 1u);
    EXPECT_EQ(hk::PoolAllocations(kSddlAclTag), 0u) << "the ACL is freed once copied";
}

TEST_F(SddlTest, NotDefaultedUnlessAskedAndUnprotectedWithoutP)
{
    ASSERT_EQ(Convert(L"D:(A;;GA;;;SY)", FALSE), STATUS_SUCCESS);
    EXPECT_EQ(View().Control, SE_SELF_RELATIVE | SE_DACL_PRESENT);
}

TEST_F(SddlTest, BareOrSpacedPrefixGivesAnEmptyDaclThatDeniesEveryone)
{
    for (PCWSTR text : {L"D:P", L"D:P   ", L"  D:P", L"D:"}) {
        ASSERT_EQ(Convert(text), STATUS_SUCCESS) << Narrow(text);
        auto view = View();
        EXPECT_TRUE(view.DaclPresent);
        EXPECT_FALSE(view.DaclNull) << "an absent ACL would grant everything";
        EXPECT_EQ(view.AclSize, 8);
        EXPECT_TRUE(view.Dacl.empty());
    }
    EXPECT_EQ(Convert(L"D:Px"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P garbage"), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, TextAfterTheAceListIsRefused)
{
    for (PCWSTR text : {L"D:(A;;GA;;;SY)XYZ", L"D:(A;;GA;;;SY)(", L"D:P(A;;GA;;;SY)(A;;GA;;;BA) x"}) {
        EXPECT_EQ(Convert(text), STATUS_INVALID_PARAMETER) << Narrow(text);
        EXPECT_EQ(descriptor_, nullptr);
    }
    EXPECT_EQ(Convert(L"D:(A;;GA;;;SY)  "), STATUS_SUCCESS) << "trailing spaces are no text";
}

TEST_F(SddlTest, TypeRightsAndAliasesIgnoreCaseButThePrefixDoesNot)
{
    ASSERT_EQ(Convert(L"D:(a;;gr;;;wd)"), STATUS_SUCCESS);
    auto view = View();
    EXPECT_FALSE(view.Control & SE_DACL_PROTECTED);
    ASSERT_EQ(view.Dacl.size(), 1u);
    EXPECT_EQ(view.Dacl[0].Mask, GENERIC_READ);
    EXPECT_EQ(view.Dacl[0].Sid, "S-1-1-0");
    EXPECT_EQ(Convert(L"d:P(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    // Only an upper-case P protects; a lower-case one is read as the start of an ACE.
    EXPECT_EQ(Convert(L"D:p(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, RightsTokensAndNumbersCombineAsTheParserReadsThem)
{
    EXPECT_EQ(OnlyMask(L"D:(A;;GRGX;;;SY)"), GENERIC_READ | GENERIC_EXECUTE);
    EXPECT_EQ(OnlyMask(L"D:(A;;GR GX;;;SY)"), GENERIC_READ | GENERIC_EXECUTE);
    EXPECT_EQ(OnlyMask(L"D:(A;;RCWDWOSD;;;SY)"), READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE);
    EXPECT_EQ(OnlyMask(L"D:(A;;0x10000;;;SY)"), (ACCESS_MASK)DELETE);
    EXPECT_EQ(OnlyMask(L"D:(A;;10;;;SY)"), 10u) << "a leading decimal digit reads decimal";
    EXPECT_EQ(OnlyMask(L"D:(A;;FF;;;SY)"), 0xFFu) << "a leading letter reads hexadecimal";
    EXPECT_EQ(OnlyMask(L"D:(A;;1F;;;SY)"), 0xFu) << "1 as decimal, then F as a second number replacing it";
    EXPECT_EQ(OnlyMask(L"D:(A;;GA0x10;;;SY)"), 0x10u) << "a number replaces the tokens before it";
    EXPECT_EQ(OnlyMask(L"D:(A;;0x10GA;;;SY)"), 0x10u | GENERIC_ALL);
    EXPECT_EQ(OnlyMask(L"D:P(A;;;;;SY)"), 0u);
    EXPECT_EQ(OnlyMask(L"D:(A;;4294967295;;;SY)"), 0xFFFFFFFFu);
    EXPECT_EQ(Convert(L"D:(A;;XY;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:(A;;0x;;;SY)"), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, NumbersThatOverflowThirtyTwoBitsAreRefused)
{
    EXPECT_EQ(Convert(L"D:(A;;4294967296;;;SY)"), STATUS_INVALID_PARAMETER);
    // These two wrap to a value larger than the one before the last digit.
    EXPECT_EQ(Convert(L"D:(A;;0x1FFFFFFFF;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:(A;;8589934591;;;SY)"), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, FlagsDenyAcesObjectTypesAndOtherSectionsAreRefused)
{
    EXPECT_EQ(Convert(L"D:P(A;CI;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P(D;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P(A;;GA;x;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;x;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;SY)"), STATUS_INVALID_PARAMETER) << "four separators";
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;SY)S:(AU;SA;GA;;;WD)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;SY)O:BA"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"O:BAD:P(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L"D::"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert(L""), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, UnknownAliasAndUnclosedAceHaveTheirOwnStatuses)
{
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;XX)"), STATUS_NONE_MAPPED);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;SY)(A;;GA;;;S)"), STATUS_NONE_MAPPED);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;SY"), STATUS_INVALID_ACL);
    EXPECT_EQ(Convert(L"D:P(A;;GA;;;SYX)"), STATUS_INVALID_ACL);
}

TEST_F(SddlTest, EveryAliasNamesItsWellKnownSid)
{
    ASSERT_EQ(Convert(L"D:(A;;1;;;WD)(A;;1;;;BA)(A;;1;;;SY)(A;;1;;;IU)(A;;1;;;RC)(A;;1;;;AU)"
                      L"(A;;1;;;NU)(A;;1;;;AN)(A;;1;;;BG)(A;;1;;;BU)(A;;1;;;LS)(A;;1;;;NS)"),
              STATUS_SUCCESS);
    std::vector<std::string> sids;
    for (auto& ace : View().Dacl) sids.push_back(ace.Sid);
    EXPECT_EQ(sids, (std::vector<std::string>{"S-1-1-0", "S-1-5-32-544", "S-1-5-18", "S-1-5-4", "S-1-5-12",
                                              "S-1-5-11", "S-1-5-2", "S-1-5-7", "S-1-5-32-546", "S-1-5-32-545",
                                              "S-1-5-19", "S-1-5-20"}));
}

TEST_F(SddlTest, ServiceAliasesAddNothingOnKernelsBeforeWdm120)
{
    hk::SetWdmVersion(1, 0x10);
    ASSERT_EQ(Convert(L"D:(A;;GA;;;LS)(A;;GA;;;SY)(A;;GA;;;NS)"), STATUS_SUCCESS);
    auto view = View();
    ASSERT_EQ(view.Dacl.size(), 1u);
    EXPECT_EQ(view.Dacl[0].Sid, "S-1-5-18");
    EXPECT_EQ(view.AclSize, 8 + 20) << "AclSize counts only the ACEs added";
}

TEST_F(SddlTest, OnlyTheCountedCharactersAreRead)
{
    // The buffer holds more than Length says, and no terminator after it.
    WCHAR buffer[] = L"D:P(A;;GA;;;SY)(A;;GA;;;XX)";
    UNICODE_STRING s{(USHORT)(15 * sizeof(WCHAR)), (USHORT)sizeof(buffer), buffer};
    ASSERT_EQ(Convert(&s), STATUS_SUCCESS);
    EXPECT_EQ(View().Dacl.size(), 1u);
    EXPECT_EQ(buffer[15], L'(') << "the caller's buffer is left as it was";

    // Exactly the length, no room for a terminator: converted from a copy.
    WCHAR tight[4] = {L'D', L':', L'P', L'x'};
    UNICODE_STRING t{6, 6, tight};
    EXPECT_EQ(Convert(&t), STATUS_SUCCESS);
}

TEST_F(SddlTest, MalformedCountedStringsAreRefused)
{
    WCHAR buffer[] = L"D:P";
    UNICODE_STRING odd{5, 8, buffer};
    EXPECT_EQ(Convert(&odd), STATUS_INVALID_PARAMETER);
    UNICODE_STRING missing{6, 8, nullptr};
    EXPECT_EQ(Convert(&missing), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Convert((PCUNICODE_STRING) nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, EachAllocationFailureFreesWhatWasTaken)
{
    WCHAR buffer[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    UNICODE_STRING unterminated{(USHORT)(27 * sizeof(WCHAR)), (USHORT)(27 * sizeof(WCHAR)), buffer};
    for (ULONG tag : {kSddlStringTag, kSddlAclTag, kSddlDescriptorTag}) {
        hk::FailNextAllocations(1, tag);
        EXPECT_EQ(Convert(&unterminated), STATUS_INSUFFICIENT_RESOURCES) << hk::TagText(tag);
        hk::ResetFaultInjection();
    }
    hk::FailNextAllocations(1, kSddlAclTag);
    EXPECT_EQ(Convert(L"D:P"), STATUS_INSUFFICIENT_RESOURCES);
}

// The kernel decides how long its SIDs are: one longer than the reserve makes the ACL grow, once,
// by enough for every ACE still to come.
class LongSidTest : public SddlTest {
protected:
    void SetUp() override
    {
        SddlTest::SetUp();
        auto sid = (PISID)longSid_;
        sid->Revision = 1;
        sid->SubAuthorityCount = 15;
        sid->IdentifierAuthority.Value[5] = 5;
        for (ULONG i = 0; i < 15; i++) sid->SubAuthority[i] = 100 + i;
        saved_ = SeExports->SeWorldSid;
        SeExports->SeWorldSid = sid;
    }
    void TearDown() override
    {
        SeExports->SeWorldSid = saved_;
        SddlTest::TearDown();
    }
    ULONG longSid_[17] = {};
    PSID saved_ = nullptr;
};

TEST_F(LongSidTest, AclGrowsForSidsLongerThanTheReserve)
{
    ASSERT_EQ(Convert(L"D:(A;;1;;;WD)(A;;2;;;WD)(A;;3;;;WD)"), STATUS_SUCCESS);
    auto view = View();
    ASSERT_EQ(view.Dacl.size(), 3u);
    EXPECT_EQ(view.AclSize, 8 + 3 * 76);
    EXPECT_EQ(view.Dacl[2].Mask, 3u);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(descriptor_, RtlLengthSecurityDescriptor(descriptor_), 0));

    // The growth itself failing: the first ACL is freed, nothing is returned.
    hk::FailNextAllocations(1, kSddlAclTag, 1);
    EXPECT_EQ(Convert(L"D:(A;;1;;;WD)(A;;2;;;WD)(A;;3;;;WD)"), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(SddlTest, AnAclBeyondSixtyFourKilobytesFailsCleanly)
{
    // 3000 administrators' ACEs need 8 + 3000 × 24 bytes, more than AclSize can hold.
    std::u16string text = u"D:";
    for (int i = 0; i < 3000; i++) text += u"(A;;;;;BA)";
    UNICODE_STRING s{(USHORT)(text.size() * 2), (USHORT)(text.size() * 2), (PWSTR)text.data()};
    EXPECT_EQ(Convert(&s), STATUS_ALLOTTED_SPACE_EXCEEDED);

    // 2700 fit.
    std::u16string fits = u"D:";
    for (int i = 0; i < 2700; i++) fits += u"(A;;;;;BA)";
    UNICODE_STRING f{(USHORT)(fits.size() * 2), (USHORT)(fits.size() * 2), (PWSTR)fits.data()};
    ASSERT_EQ(Convert(&f), STATUS_SUCCESS);
    EXPECT_EQ(View().AclSize, 8 + 2700 * 24);
}

}  // namespace
