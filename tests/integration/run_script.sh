#!/bin/bash
# Runs one integration script and fails it when bash itself reported an error
# in a script while it ran: a check whose arithmetic cannot be parsed, a test
# of a value that is not a number or a variable never set is a false
# condition to bash, so "(( $(word) & 1 )) && fail" would pass on it. The
# script's standard error still reaches the caller as it comes.
script=$1
shift
copy=$(mktemp /tmp/m7391-it-stderr-XXXXXX)
{ bash "$script" "$@" 2>&1 1>&3 3>&- | tee "$copy" >&2; } 3>&1
rc=${PIPESTATUS[0]}
# bash's own complaints are "<file>.sh: line <n>: <what>"; a command of the
# script may say "<file>.sh: line <n>: <command>: ..." about a process that
# is gone, which is no fault of the check.
errors=$(grep -E '\.sh: line [0-9]+: ' "$copy" |
  grep -E 'syntax error|integer expression expected|integer expected|unbound variable|bad substitution|invalid arithmetic operator|value too great for base|division by 0|ambiguous redirect|numeric argument required|command not found|invalid number' || true)
rm -f "$copy"
if [ -n "$errors" ]; then
  echo "FAIL: the script itself failed, so its checks cannot be trusted:" >&2
  echo "$errors" >&2
  [ "$rc" = 0 ] && rc=1
fi
exit "$rc"
