// libFuzzer target for the SDDL conversion: each input byte is one character (so the corpus and
// dictionary read as text); the first byte picks the options. Any crash, sanitizer report,
// invalid result or leaked pool block is a finding.
#include <hostkernel/security.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "security/sddl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        hk::SetViolationHandler([](const std::string& message) {
            fprintf(stderr, "%s\n", message.c_str());
            abort();
        });
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;
    const uint8_t options = data[0];
    data++;
    size--;
    size_t chars = size < 0x7FFF ? size : 0x7FFF;
    bool terminated = options & 1;
    // Exactly sized, so that a read past the counted characters is out of bounds.
    std::unique_ptr<WCHAR[]> buffer(new WCHAR[chars + (terminated ? 1 : 0)]);
    for (size_t i = 0; i < chars; i++) buffer[i] = data[i];
    if (terminated) buffer[chars] = 0;
    USHORT bytes = (USHORT)(chars * sizeof(WCHAR));
    UNICODE_STRING text{bytes, (USHORT)(bytes + (terminated ? sizeof(WCHAR) : 0)), buffer.get()};
    hk::SetWdmVersion((options & 2) ? 6 : 1, 0x10);

    size_t before = hk::PoolAllocations();
    PSECURITY_DESCRIPTOR descriptor = (PSECURITY_DESCRIPTOR)1;
    NTSTATUS status = SddlToSecurityDescriptor(&text, (options & 4) != 0, &descriptor);
    if (NT_SUCCESS(status)) {
        ULONG length = RtlLengthSecurityDescriptor(descriptor);
        hk::DescriptorView view;
        if (!RtlValidRelativeSecurityDescriptor(descriptor, length, DACL_SECURITY_INFORMATION) ||
            !hk::DescribeDescriptor(descriptor, &view) || !view.Owner.empty() || !view.Group.empty() ||
            view.SaclPresent || view.DaclNull) {
            fprintf(stderr, "accepted input gave a descriptor the driver doesn't promise\n");
            abort();
        }
        for (auto& ace : view.Dacl) {
            if (ace.Type != ACCESS_ALLOWED_ACE_TYPE || ace.Flags != 0) abort();
        }
        ExFreePoolWithTag(descriptor, kSddlDescriptorTag);
    } else if (descriptor != nullptr) {
        fprintf(stderr, "failure 0x%08x left a descriptor behind\n", (unsigned)status);
        abort();
    }
    if (hk::PoolAllocations() != before) {
        fprintf(stderr, "pool leaked\n");
        abort();
    }
    return 0;
}
