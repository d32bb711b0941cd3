#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under a
# private X display and sound server; then the threaded parts again under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
./scripts/headless.sh ctest --test-dir build --output-on-failure --timeout 300

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_SANITIZE=thread
cmake --build build-tsan --target lumen_sanitized_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ./scripts/headless.sh ctest --test-dir build-tsan --output-on-failure --timeout 300
