#pragma once

// Everything of the library: the camera, its images and the protocol's figures.

#include "frameprobe/Camera.h"
#include "frameprobe/Protocol.h"
#include "frameprobe/Version.h"
