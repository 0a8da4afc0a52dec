#!/usr/bin/env bash
# What a person sees on a terminal: lorimex.exe runs in tmux, and the error
# lines for source keys it may not open must show as written, whatever code
# page the console uses: a Cyrillic name as it is, and a name holding a
# terminal's escape sequences (clear the screen, red) escaped, so that the
# screen keeps the lines before it.
# PROGRAM is lorimex (default) or lorimex-9x, which writes through the
# 8-bit console call in the console's code page (437 here), so its KEY must
# be a name that code page holds.
#   console.sh WINDOWS_BUILD [PROGRAM KEY]
set -u
windows=$1 program=${2:-lorimex} key=${3:-Настройки} here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_env.sh"
escapes=$'esc\e[2J\e[31mred' session=lorimex-console-$$
allow() {
  wine_run "$windows/reglink.exe" allow "$key" </dev/null >/dev/null 2>&1
  wine_run "$windows/reglink.exe" allow "$escapes" </dev/null >/dev/null 2>&1
}
trap 'tmux -L "$session" kill-server 2>/dev/null; allow' EXIT

wine_run "$windows/regload.exe" "Z:$here/../e2e/cases/example/input.reg" </dev/null >/dev/null 2>&1 &&
  wine_run "$windows/reglink.exe" deny "$key" </dev/null && wine_run "$windows/reglink.exe" deny "$escapes" </dev/null ||
  { echo "setting up the keys failed"; exit 1; }
# A tmux server of its own, started with this environment (Wine prefix).
LC_ALL=C.UTF-8 tmux -L "$session" -u new-session -d -s "$session" -x 120 -y 40 \
  "wine $(printf %q "$windows/$program.exe"); echo finished; sleep 60"
for ((i = 0; i < 300; ++i)); do
  tmux -L "$session" capture-pane -p -t "$session" >"/tmp/$session.screen" 2>/dev/null
  grep -q '^finished' "/tmp/$session.screen" && break
  sleep 0.2
done
screen=$(cat "/tmp/$session.screen"); rm -f "/tmp/$session.screen"
grep -qx "Error opening source key $key" <<<"$screen" && grep -qx 'lorimex completed with errors' <<<"$screen" &&
  grep -qx 'Error opening source key esc<001B>\[2J<001B>\[31mred' <<<"$screen" &&
  grep -qx 'Updating roaming user.' <<<"$screen" && exit 0
echo "the terminal shows:"; echo "$screen"; exit 1
