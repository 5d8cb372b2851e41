// The capture helpers are header-only; this unit keeps the support library non-empty.
#include "support/capture.h"
