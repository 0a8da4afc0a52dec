#!/usr/bin/env bash
# deep_fixture.sh LEVELS: prints a registry file whose product subtree is a
# chain of LEVELS keys (the product key being level 1), each with a value.
set -eu
levels=$1
path='HKEY_USERS\.DEFAULT\Software\Norvane\Kelvaro'
printf 'REGEDIT4\n\n'
for ((depth = 1; depth <= levels; ++depth)); do
  [ "$depth" -eq 1 ] || path="$path\\L$depth"
  printf '[%s]\n"depth"=dword:%08x\n\n' "$path" "$depth"
done
printf '[HKEY_CURRENT_USER\\Software]\n'
