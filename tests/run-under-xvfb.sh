#!/usr/bin/env bash
# Runs a command with a private X display (GUI tests need one) and the test environment:
# a UTF-8 locale and the simulated camera only, so nothing broadcasts on the host's network.
set -euo pipefail
export LC_ALL=C.UTF-8 LANG=C.UTF-8
export QUILLMAR_CAMERAS=simulated
export NO_AT_BRIDGE=1 GTK_A11Y=none
if [ -n "${DISPLAY:-}" ] && [ "${QUILLMAR_USE_DISPLAY:-0}" = 1 ]; then
  exec "$@"
fi
exec xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "$@"
