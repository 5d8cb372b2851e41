// VOB and M2P conversions.
#include "mpeg/mpeg.h"

int repack = 0;
