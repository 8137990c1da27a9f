# lanes JOBS NAME COMMAND [NAME COMMAND]...: runs the commands (each a line of shell: a function
# or a program with its arguments) JOBS at a time in the order given, each one's output into
# build/logs/NAME.log, shown whole under its name as it ends; fails, once all have ended, if any
# failed, and the last line names each one's status and time. Each runs in a process group of its
# own, so that an interrupt reaches all of it and the others are still shown. Bash; sourced by
# ./run and .ci/run.
lanes() {
  local jobs=$1 logs=build/logs pid status name took joined
  local -a queue=() summary=() failed=()
  local -A names=() started=()
  shift
  queue=("$@")
  mkdir -p "$logs"
  trap 'for pid in "${!names[@]}"; do kill -INT -- "-$pid" 2>/dev/null || true; done; queue=()' INT TERM
  while [ ${#queue[@]} -gt 0 ] || [ ${#names[@]} -gt 0 ]; do
    while [ ${#queue[@]} -gt 0 ] && [ ${#names[@]} -lt "$jobs" ]; do
      set -m
      ( eval "${queue[1]}" ) </dev/null >"$logs/${queue[0]}.log" 2>&1 &
      set +m
      names[$!]=${queue[0]} started[$!]=$SECONDS
      queue=("${queue[@]:2}")
    done
    pid= status=0
    wait -n -p pid "${!names[@]}" || status=$?
    [ -n "$pid" ] || continue  # an interrupt, passed on: the lanes end and are shown
    name=${names[$pid]}
    took="$(( (SECONDS - started[$pid]) / 60 ))m$(( (SECONDS - started[$pid]) % 60 ))s"
    unset "names[$pid]" "started[$pid]"
    if [ "$status" = 0 ]; then summary+=("$name passed in $took"); else
      summary+=("$name FAILED with status $status after $took"); failed+=("$name"); fi
    echo "==== ${summary[-1]} ($logs/$name.log)"
    cat "$logs/$name.log"
  done
  trap - INT TERM
  joined=$(printf '%s; ' "${summary[@]}")
  echo "lanes: ${joined%; }"
  [ ${#failed[@]} -eq 0 ]
}
