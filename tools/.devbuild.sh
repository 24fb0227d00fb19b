#!/bin/bash
# dev build inside chroot: module + core, no tests
set -e
cd /project
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DDORVANE_TESTS=OFF -DDORVANE_BENCH=OFF -DDORVANE_WERROR=ON -DPython_EXECUTABLE=$(command -v python3.14) >/dev/null
cmake --build build/dev 2>&1 | grep -E "error|warning|FAILED" | head -40
cmake --build build/dev | tail -1
