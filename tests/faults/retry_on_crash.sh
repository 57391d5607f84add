#!/bin/sh
# Compiler launcher: runs the compile again when the compiler crashes (dies
# of a signal), up to five times; a compile error fails at once. Clang 14
# crashes now and then (about one compile in ten) on the scalar source built
# without SSE2.
for attempt in 1 2 3 4 5; do
  "$@"
  status=$?
  [ "$status" -le 128 ] && exit "$status"
  echo "retry_on_crash: the compiler died (status $status); compiling again" >&2
done
exit "$status"
