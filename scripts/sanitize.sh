#!/usr/bin/env bash
# Sanitizer gates, each in a build folder of its own (RelWithDebInfo):
#   scripts/sanitize.sh address   build-asan: the whole test suite under
#                                 AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh thread    build-tsan: the concurrency tests under ThreadSanitizer
# BUILD_DIR overrides the folder, JOBS the build parallelism. Extra arguments go to ctest.
# Windows and dialogs need a display: everything runs under xvfb-run.
# Suppressions of third-party reports, each with its reason: tests/{asan,lsan,ubsan,tsan}.supp.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

kind="${1:-}"
shift || true
case "$kind" in
  address) dir=build-asan ;;
  thread) dir=build-tsan ;;
  *) echo "usage: $0 address|thread [ctest arguments]" >&2; exit 2 ;;
esac
BUILD_DIR="${BUILD_DIR:-$dir}"
JOBS="${JOBS:-$(nproc)}"

# Tests that run the audio thread against the message thread.
concurrency_tests=(test_slot_concurrency test_parameter_stress test_crash test_realtime test_bridge_handover test_threads test_chaos_host)

started=$(date +%s)
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLIT_SANITIZE="$kind" >/dev/null
if [ "$kind" = address ]; then
  cmake --build "$BUILD_DIR" -j"$JOBS"
else
  targets=()
  for t in "${concurrency_tests[@]}"; do
    [ -f "tests/unit/$t.cpp" ] && targets+=("$t")
  done
  cmake --build "$BUILD_DIR" -j"$JOBS" --target "${targets[@]}"
fi
built=$(date +%s)
echo "build: $((built - started)) s"

# The suite crashes plug-ins and scanners on purpose and checks that they die by
# SIGSEGV: the signal keeps its default action (a real crash still fails its test).
# The Debian plug-ins (anything under /usr/lib, and copies of /usr/lib/vst
# files made by the tests) stay mapped until exit: their dlclose does nothing,
# so a leak inside one is reported against its module instead of
# "<unknown module>" and can be told apart from ours. The project's own
# libraries unload as usual: tests rely on a library going when its last
# instance does.
keep_mapped="$(cd "$BUILD_DIR" && pwd)/keep-system-plugins-mapped.so"
if [ "$kind" = address ]; then
  cc -shared -fPIC -x c -o "$keep_mapped" - -ldl <<'SHIM'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
static int isSystemPlugin (const char* path)
{
    if (strncmp (path, "/usr/lib/", 9) == 0)
        return 1;
    const char* name = strrchr (path, '/');
    char original[4096];
    snprintf (original, sizeof original, "/usr/lib/vst/%s", name != NULL ? name + 1 : path);
    return access (original, F_OK) == 0;
}
int dlclose (void* handle)
{
    struct link_map* map = NULL;
    if (dlinfo (handle, RTLD_DI_LINKMAP, &map) == 0 && map != NULL && map->l_name != NULL && isSystemPlugin (map->l_name))
        return 0;
    int (*next) (void*) = (int (*) (void*)) dlsym (RTLD_NEXT, "dlclose");
    return next (handle);
}
SHIM
  export LD_PRELOAD="$keep_mapped"
fi
export ASAN_OPTIONS="suppressions=$root/tests/asan.supp:detect_leaks=1:halt_on_error=1:handle_segv=0:verify_asan_link_order=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="suppressions=$root/tests/ubsan.supp:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:second_deadlock_stack=1:history_size=4"

status=0
cd "$BUILD_DIR"
if [ "$kind" = address ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j1 "$@" || status=$?
else
  regex=$(IFS='|'; echo "^(${targets[*]})\$")
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j1 -R "$regex" "$@" || status=$?
fi
echo "tests: $(( $(date +%s) - built )) s, total $(( $(date +%s) - started )) s"
exit $status
