#pragma once
#include "base.h"
#include "ke.h"
#include "ob.h"
