#!/usr/bin/env bash
# What a person sees on a terminal: lorimex.exe runs in tmux, and the error
# line for a source key it may not open (a Cyrillic name) must show as
# written, whatever code page the console uses.
#   console.sh WINDOWS_BUILD
set -u
windows=$1 here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
key=Настройки session=lorimex-console-$$
allow() { wine_run "$windows/reglink.exe" allow "$key" </dev/null >/dev/null 2>&1; }
trap 'tmux -L "$session" kill-server 2>/dev/null; allow' EXIT

wine_run "$windows/regload.exe" "Z:$here/../e2e/cases/example/input.reg" </dev/null >/dev/null 2>&1 &&
  wine_run "$windows/reglink.exe" deny "$key" </dev/null || { echo "setting up the key failed"; exit 1; }
# A tmux server of its own, started with this environment (Wine prefix).
LC_ALL=C.UTF-8 tmux -L "$session" -u new-session -d -s "$session" -x 120 -y 40 \
  "wine $(printf %q "$windows/lorimex.exe"); echo finished; sleep 60"
for ((i = 0; i < 300; ++i)); do
  tmux -L "$session" capture-pane -p -t "$session" >"/tmp/$session.screen" 2>/dev/null
  grep -q '^finished' "/tmp/$session.screen" && break
  sleep 0.2
done
screen=$(cat "/tmp/$session.screen"); rm -f "/tmp/$session.screen"
grep -qx "Error opening source key $key" <<<"$screen" && grep -qx 'lorimex completed with errors' <<<"$screen" && exit 0
echo "the terminal shows:"; echo "$screen"; exit 1
