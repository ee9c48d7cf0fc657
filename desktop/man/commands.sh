#!/usr/bin/env bash
# Writes the COMMANDS section of tessa-loft-cli's manual page, for help2man's
# --include, from each command's own --help:
#   commands.sh TESSA_LOFT_CLI OUTPUT
set -euo pipefail
cli=$1 out=$2
commands=$("$cli" --help | sed -n '/^Subcommands:/,$p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p')
[ -n "$commands" ] || { echo "$0: $cli --help lists no commands" >&2; exit 1; }
{
  echo "[COMMANDS]"
  for command in $commands; do
    echo ".SS \"$command\""
    echo ".nf"
    # Backslashes, and a dot or quote opening a line, are troff's own.
    "$cli" "$command" --help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
    echo ".fi"
  done
} >"$out"
