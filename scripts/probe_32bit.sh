#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 programs natively: it runs one and says so in one line.
#
# Exit status 0 and "runs 32-bit programs" when it does, 1 and the reason when it does not.
# Nothing is taken on trust (not the architecture dpkg reports, not the kernel's configuration):
# the script writes a minimal static 32-bit ELF program, whose only instructions end it with
# status 32 through the 32-bit system call gate, and runs it. Only a kernel that executes it
# gives that status. A program that runs only through an emulator registered with binfmt_misc
# (qemu-user) does not count: Wine's 32-bit side is unusable that way.
#
# ZORV_NO_32BIT=1 makes the answer "no" whatever the machine can do, so that the path taken on a
# machine without 32-bit support can be exercised on one that has it. It can only say no.
set -u
cd "$(dirname "$0")/.."

if [ -n "${ZORV_NO_32BIT:-}" ] && [ "${ZORV_NO_32BIT}" != 0 ]; then
  echo "does not run 32-bit programs (so says ZORV_NO_32BIT)"
  exit 1
fi

for handler in /proc/sys/fs/binfmt_misc/*; do
  [ -f "$handler" ] && grep -qx enabled "$handler" 2>/dev/null || continue
  # An ELF of class 32 (01), little-endian, for i386 (03 00) or i486 (06 00).
  if grep -Eq '^magic 7f454c4601010100000000000000000002000(3|6)00' "$handler"; then
    echo "does not run 32-bit programs natively: binfmt_misc hands them to $(sed -n 's/^interpreter //p' "$handler")"
    exit 1
  fi
done

# The ELF header (52 bytes), one loadable segment (32 bytes) holding the whole file at 0x08048000,
# and the code at 0x08048054: mov ebx,32; mov eax,1 (exit); int 0x80.
# A file of its own for every probe: tests probe in parallel, and a program rewritten while
# another copy of the probe starts it would crash. It lies in the build folder, where programs
# run anyway, rather than in a temporary folder that may be mounted noexec.
dir=build/probe-32bit
probe=$(mkdir -p "$dir" && mktemp "$dir/exit32.XXXXXX") || { echo "does not run 32-bit programs: cannot tell, no file can be made in $dir"; exit 1; }
trap 'rm -f "$probe"' EXIT
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0''\2\0\3\0\1\0\0\0''\124\200\4\010''\64\0\0\0''\0\0\0\0''\0\0\0\0''\64\0\40\0\1\0\0\0\0\0\0\0' >"$probe"
printf '\1\0\0\0''\0\0\0\0''\0\200\4\010''\0\200\4\010''\140\0\0\0''\140\0\0\0''\5\0\0\0''\0\020\0\0' >>"$probe"
printf '\273\40\0\0\0''\270\1\0\0\0''\315\200' >>"$probe"
chmod +x "$probe"
output=$("$probe" 2>&1)
status=$?
if [ "$status" -eq 32 ]; then
  echo "runs 32-bit programs"
  exit 0
fi
reason=${output##*: }
echo "does not run 32-bit programs: a minimal 32-bit program fails to start (${reason:-status $status})"
exit 1
