// hostkernel's DEFINE_GUID always defines (weakly), so there is nothing to switch on here.
#pragma once
#include "wdm.h"
