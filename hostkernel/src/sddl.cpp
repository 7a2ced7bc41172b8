// hostkernel's own reading of SDDL for device objects, used by its IoCreateDeviceSecure: a DACL
// section only ("D:" with the P, AI and AR flags), access-allowed ACEs without flags or object
// types, rights as two-letter tokens or a number, and SIDs as aliases or "S-1-..." strings.
#include "internal.h"

#include <cstring>

namespace hk {
namespace {

struct Token {
    const char* text;
    ACCESS_MASK mask;
};
const Token kRights[] = {
    {"GA", GENERIC_ALL},       {"GR", GENERIC_READ},      {"GW", GENERIC_WRITE},       {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},      {"SD", DELETE},            {"WD", WRITE_DAC},           {"WO", WRITE_OWNER},
    {"FA", FILE_ALL_ACCESS},   {"FR", FILE_GENERIC_READ}, {"FW", FILE_GENERIC_WRITE},  {"FX", FILE_GENERIC_EXECUTE},
    {"KA", KEY_ALL_ACCESS},    {"KR", KEY_READ},          {"KW", KEY_WRITE},           {"KX", KEY_EXECUTE},
};

struct Alias {
    const char* text;
    PSID SE_EXPORTS::*member;
};
const Alias kAliases[] = {
    {"WD", &SE_EXPORTS::SeWorldSid},         {"BA", &SE_EXPORTS::SeAliasAdminsSid},
    {"SY", &SE_EXPORTS::SeLocalSystemSid},   {"IU", &SE_EXPORTS::SeInteractiveSid},
    {"RC", &SE_EXPORTS::SeRestrictedSid},    {"AU", &SE_EXPORTS::SeAuthenticatedUsersSid},
    {"NU", &SE_EXPORTS::SeNetworkSid},       {"AN", &SE_EXPORTS::SeAnonymousLogonSid},
    {"BG", &SE_EXPORTS::SeAliasGuestsSid},   {"BU", &SE_EXPORTS::SeAliasUsersSid},
    {"LS", &SE_EXPORTS::SeLocalServiceSid},  {"NS", &SE_EXPORTS::SeNetworkServiceSid},
    {"PU", &SE_EXPORTS::SeAliasPowerUsersSid}, {"AO", &SE_EXPORTS::SeAliasAccountOpsSid},
    {"SO", &SE_EXPORTS::SeAliasSystemOpsSid}, {"PO", &SE_EXPORTS::SeAliasPrintOpsSid},
    {"BO", &SE_EXPORTS::SeAliasBackupOpsSid}, {"CO", &SE_EXPORTS::SeCreatorOwnerSid},
    {"CG", &SE_EXPORTS::SeCreatorGroupSid},  {"OW", &SE_EXPORTS::SeOwnerRightsSid},
};

class Reader {
public:
    explicit Reader(const std::u16string& text) : text_(text) {}
    char16_t Peek() const { return at_ < text_.size() ? text_[at_] : 0; }
    void SkipSpaces()
    {
        while (Peek() == u' ') at_++;
    }
    bool Take(char16_t c)
    {
        SkipSpaces();
        if (Peek() != c) return false;
        at_++;
        return true;
    }
    // A case-insensitive two-letter token.
    bool TakeToken(const char* token)
    {
        SkipSpaces();
        if (at_ + 2 > text_.size()) return false;
        for (int i = 0; i < 2; i++) {
            char16_t c = text_[at_ + i];
            if (c >= u'a' && c <= u'z') c = (char16_t)(c - u'a' + u'A');
            if (c != (char16_t)token[i]) return false;
        }
        at_ += 2;
        return true;
    }
    bool TakeNumber(ULONGLONG limit, ULONGLONG* value)
    {
        SkipSpaces();
        ULONG base = 10;
        size_t start = at_;
        if (Peek() == u'0' && at_ + 1 < text_.size() && (text_[at_ + 1] == u'x' || text_[at_ + 1] == u'X')) {
            base = 16;
            at_ += 2;
        }
        ULONGLONG v = 0;
        size_t digits = 0;
        for (;; at_++, digits++) {
            char16_t c = Peek();
            ULONG d;
            if (c >= u'0' && c <= u'9') d = c - u'0';
            else if (base == 16 && c >= u'a' && c <= u'f') d = c - u'a' + 10;
            else if (base == 16 && c >= u'A' && c <= u'F') d = c - u'A' + 10;
            else break;
            v = v * base + d;
            if (v > limit) return false;
        }
        if (digits == 0) {
            at_ = start;
            return false;
        }
        *value = v;
        return true;
    }
    bool AtEnd()
    {
        SkipSpaces();
        return at_ == text_.size();
    }

private:
    const std::u16string& text_;
    size_t at_ = 0;
};

// "S-1-<authority>-<sub>..." into `sid`.
bool ReadSidString(Reader& in, std::vector<UCHAR>* sid)
{
    if (!in.Take(u'S') && !in.Take(u's')) return false;
    ULONGLONG revision, authority;
    if (!in.Take(u'-') || !in.TakeNumber(0xFF, &revision) || revision != SID_REVISION) return false;
    if (!in.Take(u'-') || !in.TakeNumber(0xFFFFFFFFFFFFull, &authority)) return false;
    std::vector<ULONG> subs;
    while (in.Take(u'-')) {
        ULONGLONG sub;
        if (!in.TakeNumber(0xFFFFFFFFull, &sub) || subs.size() == SID_MAX_SUB_AUTHORITIES) return false;
        subs.push_back((ULONG)sub);
    }
    sid->assign(8 + 4 * subs.size(), 0);
    auto s = (PISID)sid->data();
    s->Revision = SID_REVISION;
    s->SubAuthorityCount = (UCHAR)subs.size();
    for (int i = 0; i < 6; i++) s->IdentifierAuthority.Value[5 - i] = (UCHAR)(authority >> (8 * i));
    memcpy(s->SubAuthority, subs.data(), 4 * subs.size());
    return true;
}

}  // namespace

NTSTATUS SddlToSelfRelative(const std::u16string& sddl, std::vector<UCHAR>* descriptor)
{
    Reader in(sddl);
    if (!in.Take(u'D') || !in.Take(u':')) return STATUS_INVALID_PARAMETER;
    USHORT control = SE_DACL_PRESENT;
    for (;;) {
        if (in.TakeToken("AI")) control |= SE_DACL_AUTO_INHERITED;
        else if (in.TakeToken("AR")) control |= SE_DACL_AUTO_INHERIT_REQ;
        else if (in.Take(u'P')) control |= SE_DACL_PROTECTED;
        else break;
    }
    std::vector<UCHAR> aclBytes(0x10000);
    auto acl = (PACL)aclBytes.data();
    RtlCreateAcl(acl, 0xFFFF, ACL_REVISION);
    while (in.Take(u'(')) {
        if (!in.Take(u'A') && !in.Take(u'a')) return STATUS_INVALID_PARAMETER;  // allow ACEs only
        if (!in.Take(u';') || !in.Take(u';')) return STATUS_INVALID_PARAMETER;   // no ACE flags
        ACCESS_MASK mask = 0;
        while (!in.Take(u';')) {
            bool found = false;
            for (const Token& t : kRights) {
                if (in.TakeToken(t.text)) {
                    mask |= t.mask;
                    found = true;
                    break;
                }
            }
            ULONGLONG number;
            if (!found) {
                if (!in.TakeNumber(0xFFFFFFFFull, &number)) return STATUS_INVALID_PARAMETER;
                mask |= (ACCESS_MASK)number;
            }
        }
        if (!in.Take(u';') || !in.Take(u';')) return STATUS_INVALID_PARAMETER;  // no object types
        std::vector<UCHAR> literal;
        PSID sid = nullptr;
        for (const Alias& a : kAliases) {
            if (in.TakeToken(a.text)) {
                sid = SeExports->*a.member;
                break;
            }
        }
        if (sid == nullptr) {
            if (!ReadSidString(in, &literal)) return STATUS_INVALID_PARAMETER;
            sid = literal.data();
        }
        if (!in.Take(u')')) return STATUS_INVALID_PARAMETER;
        NTSTATUS status = RtlAddAccessAllowedAce(acl, ACL_REVISION, mask, sid);
        if (!NT_SUCCESS(status)) return status;
    }
    if (!in.AtEnd()) return STATUS_INVALID_PARAMETER;
    // Trim the ACL to its ACEs.
    auto end = (PUCHAR)(acl + 1);
    for (USHORT i = 0; i < acl->AceCount; i++) end += ((PACE_HEADER)end)->AceSize;
    acl->AclSize = (USHORT)(end - (PUCHAR)acl);
    DescriptorParts parts;
    parts.control = control;
    parts.daclPresent = true;
    parts.dacl = acl;
    *descriptor = SelfRelativeFromParts(parts);
    return STATUS_SUCCESS;
}

}  // namespace hk
