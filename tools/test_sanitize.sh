#!/bin/sh
# The test suite (or the tests given) against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer: the first error ends the run. The interpreter itself is not
# instrumented; its allocations go through malloc (PYTHONMALLOC=malloc) so that ASan sees every
# Python object too. Leak detection is off because the interpreter keeps memory until exit;
# the tests check that the module's own allocations are given back through ASan's count of
# allocated bytes instead. libstdc++ is preloaded too, so that ASan's interception of C++
# exceptions finds the real one (other extensions, matplotlib's among them, throw).
set -eu
build=$(tools/build_variant.sh sanitize)
if [ $# -eq 0 ]; then set -- tests; fi
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
VS30AMP_BUILD=$build exec tools/python.sh -m pytest -q -p no:cacheprovider "$@"
