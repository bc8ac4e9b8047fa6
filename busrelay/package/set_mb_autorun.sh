#!/bin/sh
# Registers relay_start.sh (beside this script) to run at boot through
# /etc/rc.local. Running it again changes nothing. RC_LOCAL names another
# file (for tests).
RC=${RC_LOCAL:-/etc/rc.local}
DIR=$(cd "$(dirname "$0")" && pwd) || exit 1
LINE="$DIR/relay_start.sh &"

if [ -f "$RC" ] && grep -qxF "$LINE" "$RC"; then
    exit 0
fi
if [ ! -f "$RC" ]; then
    printf '#!/bin/sh\n%s\nexit 0\n' "$LINE" >"$RC" || exit 1
elif grep -q '^[[:space:]]*exit 0[[:space:]]*$' "$RC"; then
    # Before the script's final "exit 0", or the line would never run.
    tmp="$RC.tmp.$$"
    awk -v line="$LINE" '
        { lines[NR] = $0; if ($0 ~ /^[ \t]*exit 0[ \t]*$/) last = NR }
        END { for (i = 1; i <= NR; i++) { if (i == last) print line; print lines[i] } }
    ' "$RC" >"$tmp" && cat "$tmp" >"$RC"
    rc=$?
    rm -f "$tmp"
    [ $rc = 0 ] || exit 1
else
    printf '%s\n' "$LINE" >>"$RC" || exit 1
fi
chmod +x "$RC"
exit 0
