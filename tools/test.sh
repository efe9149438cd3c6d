#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs what is missing, builds the plugin and its tests, and runs every test
# under Wine (headless). Extra arguments go to ctest, e.g. -R Lifecycle.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
