// The command-line driver.
#include "disk/qvdisk.h"
