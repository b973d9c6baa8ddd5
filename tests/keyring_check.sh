#!/bin/sh
# Runs COMMAND with a real Secret Service of its own: a private session bus
# (dbus-run-session) with gnome-keyring-daemon on it, its login keyring made and unlocked
# with a password from standard input, in a fresh home. Both end with COMMAND.
#   tests/keyring_check.sh COMMAND [ARG...]
set -eu
home=$(mktemp -d "${TMPDIR:-/tmp}/klv-keyring.XXXXXX")
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/run"
dbus-run-session -- sh -c 'printf keyring-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null && "$@"' sh "$@"
