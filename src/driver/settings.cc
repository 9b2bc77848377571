#include "driver/settings.h"

ULONG_PTR CurrentBase = 0x12000000;
bool CheckMode = false;
