#!/usr/bin/env bash
# Runs a test program with a /temp of its own, so that the tests of the
# capture file (/temp/cgienv.env, a path the program fixes) never touch the
# machine's: in a private mount namespace, a new root on a tmpfs holds each
# top-level folder of the machine's root, bind-mounted, and an empty /temp;
# the program runs there, in the same working folder, with
# SWATCH_PRIVATE_TEMP=1 set. Without root (or unshare) it runs as it is, and
# the capture-file tests skip themselves.
#
#   private_temp.sh PROGRAM [ARGS...]
set -euo pipefail
if [ "${SWATCH_PRIVATE_TEMP:-}" = 1 ] || [ "$(id -u)" -ne 0 ] || [ ! -d /mnt ] ||
   ! command -v unshare >/dev/null; then
  exec "$@"
fi
exec unshare --mount --propagation private bash -euo pipefail -c '
  # The new root is mounted over /mnt, in this namespace only.
  root=/mnt
  mount -t tmpfs -o size=1m,mode=755 swatch-root "$root"
  for entry in /*; do
    name=${entry#/}
    if [ -L "$entry" ]; then
      cp -P "$entry" "$root/$name"
    elif [ "$name" = mnt ]; then
      mkdir "$root/mnt"
    elif [ -d "$entry" ] && [ "$name" != temp ]; then
      mkdir "$root/$name"
      mount --rbind "$entry" "$root/$name"
    fi
  done
  mkdir "$root/temp"
  mount -t tmpfs -o size=64m,mode=755 swatch-temp "$root/temp"
  exec chroot "$root" /usr/bin/env SWATCH_PRIVATE_TEMP=1 /bin/sh -c "cd \"\$1\" && shift && exec \"\$@\"" \
    sh "$PWD" "$@"
' private-temp "$@"
