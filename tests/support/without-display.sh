#!/bin/sh
# Runs a test program with no display in its environment, as cron would.
unset DISPLAY WAYLAND_DISPLAY
exec "$@"
