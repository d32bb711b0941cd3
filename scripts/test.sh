#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under a
# private X display and sound server; builds, checks, installs and tries the
# Debian package; then the whole suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, and the threaded parts under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
./scripts/headless.sh ctest --test-dir build --output-on-failure --timeout 300
# The Debian package of that build: checked, installed, and the installed
# programs run end to end; removed again afterwards.
./packaging/check-package.sh build

# Address and undefined behaviour: every test, leaks included. The codec
# libraries (loaded by name, let go again) and the software OpenGL driver
# (loaded and unloaded by libGL) leave allocations behind when unloaded, which
# can then no longer be told apart; so the tests run with both loaded from the
# start (ahead of the sanitizer's runtime, which is harmless: it is not
# replaced, only listed later). The suppressions name third-party libraries only.
preload="libavcodec.so.59 /usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_SANITIZE=address \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=env;LD_PRELOAD=$preload"
cmake --build build-asan --target lumen_sanitized_tests
asan=(ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:verify_asan_link_order=0"
      LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
unload=CAvCodec.BindsTheInstalledLibrariesAndReleasesThemAfterwards
env "${asan[@]}" ./scripts/headless.sh ctest --test-dir build-asan --output-on-failure --timeout 600 \
  -E "^$unload\$"
# The one test that checks the libraries really go away runs without them held;
# what they leave behind when unloaded is theirs, so leaks are not looked for.
env "${asan[@]}" ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=1" \
  ./scripts/headless.sh build-asan/tests/CAvCodecTest --gtest_filter="$unload"

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_SANITIZE=thread
cmake --build build-tsan --target lumen_sanitized_tests
# The capture device's property dialog is left out: it is a Qt dialog, and Qt's
# own threads (its D-Bus connection) are not built with the sanitizer.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ./scripts/headless.sh ctest --test-dir build-tsan --output-on-failure --timeout 300 -E PropertyDialog
