#!/bin/sh
# A small file system that the file-output tests fill up.
#
#   fullfs.sh mount DIR SIZE   mounts a tmpfs of SIZE (e.g. 1m) on DIR
#   fullfs.sh umount DIR       unmounts it again
#
# A file named "mounted" inside the new file system tells the tests that it is
# there. Mounting needs root; when it is impossible the script says why and
# still succeeds, and the tests that need the file system skip.
action=$1
dir=$2
size=$3

case $action in
mount)
  mkdir -p "$dir" || exit 0
  umount "$dir" 2>/dev/null
  rm -f "$dir/mounted"
  if mount -t tmpfs -o "size=$size,mode=0777" kvfullfs "$dir"; then
    echo "tmpfs of $size on $dir" >"$dir/mounted"
    echo "fullfs: mounted a tmpfs of $size on $dir"
  else
    echo "fullfs: cannot mount a tmpfs on $dir; the disk-full tests will skip"
  fi
  ;;
umount)
  umount "$dir" 2>/dev/null
  rm -f "$dir/mounted"
  ;;
esac
exit 0
