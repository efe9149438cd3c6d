#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# A small tmpfs for the full-disk test of id3lib's rewrite (tests/id3lib_patches_test.cpp).
#   small_disk.sh mount FOLDER SIZE | unmount FOLDER
# Mounting needs root; without it the folder stays an ordinary one without the file
# "mounted", and the test skips itself. Never fails the run.
set -u
action=$1
folder=$2

case "$action" in
mount)
  mkdir -p "$folder"
  if ! mountpoint -q "$folder"; then
    rm -f "$folder/mounted"
    if ! mount -t tmpfs -o "size=$3" tmpfs "$folder" 2>&1; then
      echo "small_disk: could not mount a $3 tmpfs at $folder; the full-disk test will skip"
      exit 0
    fi
  fi
  rm -rf "${folder:?}"/*
  touch "$folder/mounted"
  echo "small_disk: $3 tmpfs at $folder"
  ;;
unmount)
  if mountpoint -q "$folder"; then umount "$folder"; fi
  rmdir "$folder" 2>/dev/null
  exit 0
  ;;
*)
  echo "usage: $0 mount FOLDER SIZE | unmount FOLDER" >&2
  exit 2
  ;;
esac
