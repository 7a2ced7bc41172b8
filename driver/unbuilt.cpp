// Handlers whose components are not built yet. Each refuses what it is given and goes away when
// its component lands.
#include "driver/handlers.h"
#include "routing/injection.h"

// Hub ports' bytes for the real port are lost until the tap can carry them.
_Use_decl_annotations_ VCB_PAGED NTSTATUS InjectWrite(PDEVICE_OBJECT, const UCHAR*, ULONG)
{
    PAGED_CODE();
    return STATUS_NOT_SUPPORTED;
}
