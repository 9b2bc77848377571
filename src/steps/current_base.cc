#include "steps/steps.h"

ULONG_PTR CurrentBase = 0x12000000;
