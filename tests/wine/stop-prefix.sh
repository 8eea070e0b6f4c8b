#!/bin/sh
# Stops the wineserver of a test run's prefix.
#   stop-prefix.sh PREFIX
# shellcheck source=scripts/wine-env.sh
. "$(dirname "$0")/../../scripts/wine-env.sh"
qel_wine_env "$1"
qel_wine_stop
exit 0
