// The disk-image builder lives in tools/; this name stays until every test includes it from there.
#pragma once
#include "tools/image_builder.h"
