#!/usr/bin/env bash
# The short form of scripts/grab-soak.sh: framegrab for 24 s in the network lab through one
# 2-second link cut and one camsim restart; each must be one outage, its duration within 0.5 s
# of the time the camera was away, and the run must go on to its end. Exits 77 (skipped) where
# the lab cannot be made.
#
#   grab_outage_test.sh GRAB_SOAK BUILD_DIR
exec "$1" --duration 24 --cuts 2 --build "$2"
