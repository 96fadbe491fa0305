#!/bin/sh
# A small tmpfs for the free-space tests: "mount DIR" or "unmount DIR". Mounting needs
# root; without it the directory stays without the "mounted" marker and the tests skip.
set -u
dir=$2
case $1 in
mount)
  mkdir -p "$dir"
  mountpoint -q "$dir" && umount "$dir" 2>/dev/null
  if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=256m tarsin-small "$dir" 2>/dev/null; then
    touch "$dir/mounted"
  fi
  exit 0 ;;
unmount)
  if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || umount -l "$dir"; fi
  exit 0 ;;
esac
exit 2
