#!/bin/sh
# The help text of a program and of its commands, as help2man reads it:
#   help_text.sh PROGRAM [COMMAND...] --help
# prints `PROGRAM --help`, then `PROGRAM COMMAND --help` for each command as
# a section of its own ("*PROGRAM COMMAND*"). The words stay the program's;
# only their layout changes where help2man would misread it: the program's
# usage lines become the synopsis ("or:" lines), a command's usage line
# loses its "Usage:", and the examples, marked as commands ("$ "), come
# last, in EXAMPLES.
set -eu
program=$1
shift
{
  "$program" --help
  for command in "$@"; do
    [ "$command" != --help ] || continue
    printf '\n*%s %s*\n\n' "$(basename "$program")" "$command"
    "$program" "$command" --help
  done
} | awk '
  function flush() { if (pending != "") print pending; pending = "" }
  /^\*[^*]+\*$/ { command = 1; print; next }
  /^Usage: / && !command { pending = $0; synopsis = 1; next }
  /^Usage: / { sub(/^Usage: /, ""); print; print ""; next }
  synopsis && /^       [^ ]/ { flush(); sub(/^ +/, ""); pending = "  or:  " $0; next }
  synopsis && /^        +[^ ]/ { sub(/^ +/, " "); pending = pending $0; next }
  synopsis { flush(); synopsis = 0 }
  /^Examples?( \(.*\))?:$/ {
    example = 1
    if (examples != "") examples = examples "\n"
    if (match($0, /\(.*\)/))
      examples = examples toupper(substr($0, RSTART + 1, 1)) substr($0, RSTART + 2, RLENGTH - 3) ":\n\n"
    next
  }
  example && /^$/ { example = 0 }
  example && /^  [a-z]/ { sub(/^  /, "  $ "); examples = examples $0 "\n"; next }
  example { examples = examples $0 "\n"; next }
  { print }
  END { flush(); if (examples != "") printf "\nExamples:\n%s", examples }
'
