#pragma once

// Marks what libframeprobe exports; the rest of it is hidden from the programs that link it.
#define FRAMEPROBE_EXPORT __attribute__((visibility("default")))
