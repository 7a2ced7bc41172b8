// hostkernel's wdm.h: the kernel interfaces the driver uses, implemented in user mode.
#pragma once
#include "hk/base.h"
#include "hk/ke.h"
#include "hk/timer.h"
#include "hk/ex.h"
#include "hk/ob.h"
#include "hk/po.h"
#include "hk/io.h"
#include "hk/ps.h"
#include "hk/se.h"
#include "hk/reg.h"
