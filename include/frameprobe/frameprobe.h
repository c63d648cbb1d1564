#pragma once

// Everything of the library: the camera, its images, the driver's counters and the protocol's
// figures.

#include "frameprobe/Camera.h"
#include "frameprobe/Counters.h"
#include "frameprobe/Protocol.h"
#include "frameprobe/Version.h"
