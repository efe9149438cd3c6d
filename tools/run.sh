#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds the plugin, and runs it in the stand-in player
# so that a person can see its tray icon. With an X display it runs there until
# the player window is closed; without one it starts Xvfb with Wine's desktop
# shell (which has a notification area) and leaves screenshots in build/run/.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target vimbrel_host gen_id3vimbrel
exec /usr/bin/python3 tools/watched_run.py build "$@"
