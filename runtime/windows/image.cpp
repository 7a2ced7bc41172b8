// Image-wide details of the Windows build that no driver routine owns.
#include "kernel.h"

// The kernel never loads a driver at its preferred base, and an image without a relocation
// table may be refused outright. The linker omits the table when nothing needs rebasing, so one
// absolute pointer keeps it present whatever the rest of the driver looks like.
extern "C" __attribute__((used)) const void* const VcbRelocationAnchor = &VcbRelocationAnchor;
