#!/bin/sh
# Compiles the public plug-in headers, the example plug-in and the test plug-ins as plug-in
# authors are told to: strict ISO C (C99 and C11), no feature-test macro on the command line,
# every warning an error. An undeclared function is made an error as GCC 14 makes it; the last
# compile proves that these flags do refuse one.
# Usage: strict_c_test.sh CC HEADER_DIR SOURCE...
set -eu
cc=$1 include=$2
shift 2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags="-D_FILE_OFFSET_BITS=64 -Wall -Wextra -pedantic -Werror -Werror=implicit-function-declaration -I$include"
# Each header alone, as the first thing a plug-in includes.
for header in websrv_plugin.h websrv_answer.h websrv_words.h; do
    printf '#include "%s"\n' "$header" >"$out/$header.c"
done
failed=0
for std in c99 c11; do
    for source in "$out/websrv_plugin.h.c" "$out/websrv_answer.h.c" "$out/websrv_words.h.c" "$@"; do
        if ! $cc -std=$std $flags -c "$source" -o "$out/object.o" 2>"$out/errors.txt"; then
            echo "-std=$std: $(basename "$source") does not compile:"
            cat "$out/errors.txt"
            failed=1
        fi
    done
done
[ $failed -eq 0 ] || exit 1
echo "the headers and $# plug-in sources compile as C99 and C11"
# gmtime_r is POSIX: strict C11 without a feature-test macro does not declare it.
printf '#include <time.h>\nvoid f(void) { time_t t = 0; struct tm parts; gmtime_r(&t, &parts); }\n' >"$out/posix.c"
if $cc -std=c11 $flags -c "$out/posix.c" -o "$out/posix.o" 2>/dev/null; then
    echo "a call of an undeclared function was not refused"
    exit 1
fi
echo "a call of an undeclared function is refused"
