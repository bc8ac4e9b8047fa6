#!/bin/sh
# Runs busrelay from its own directory (/gateway/modbus on the gateway) and
# starts it again whenever it ends: the commissioning tool restarts the
# service by killing it. The service logs to /tmp/mb.log itself; its console
# output is dropped so that it never floods the shell that started us.
DIR=$(cd "$(dirname "$0")" && pwd) || exit 1
cd "$DIR" || exit 1
while :; do
    ./busrelay >/dev/null 2>&1 </dev/null
    # A pause, so that a binary that cannot start does not spin the CPU.
    sleep 1
done
