#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the product at
# work inside a private sandbox (nothing on the host's /etc, /sys or /dev is
# touched).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TOLVANE_DEMO_INSIDE:-}" ]; then
  bash scripts/setup.sh
  bash scripts/build.sh plain >/dev/null
  userns=()
  [ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
  exec env TOLVANE_DEMO_INSIDE=1 unshare --mount --propagation private "${userns[@]}" bash "$0" "$@"
fi

# Inside the private mount namespace from here on.
scratch=$(mktemp -d /tmp/tolvane-demo.XXXXXX)
trap 'umount -l /etc 2>/dev/null || true; rm -rf "$scratch"' EXIT
mkdir -p "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/upper,workdir=$scratch/work" /etc
mkdir -p /etc/tolvane.d
mkprofile=build/plain/profile_generator/tv-mkprofile

show() { printf '\n$ %s\n' "$*"; "$@" && rc=0 || rc=$?; printf '(exit status %d)\n' "$rc"; }

echo "== tv-mkprofile in a private /etc/tolvane.d"
show "$mkprofile" /opt/editor/bin/editor
profile=$(ls /etc/tolvane.d)
printf '\n$ cat /etc/tolvane.d/%s\n' "$profile"
cat "/etc/tolvane.d/$profile"
show "$mkprofile" /opt/editor/bin/editor
show "$mkprofile" relative/path
show "$mkprofile" --help
if grep -Eq '^ *0 +0 +4294967295' /proc/self/uid_map; then
  echo; echo "== the same as an ordinary user"
  show setpriv --reuid=65534 --regid=65534 --clear-groups "$mkprofile" /usr/bin/other
fi

if [ -x scripts/demo_notify.sh ] || [ -f scripts/demo_notify.sh ]; then
  bash scripts/demo_notify.sh
fi
