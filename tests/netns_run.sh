#!/bin/sh
# Runs a test program in a network namespace of its own with loopback up:
# the unit tests that run side by side then never meet on a port, a
# multicast group or an abstract socket name. Where namespaces are not
# allowed (an unprivileged build) the program runs as it is.
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
