# Sourced by the checks that work as on an unpacked tarball of a bare system.
# copy_tree DIR: the tree, less .git and build/, into DIR (made if missing).
# git_out_of_reach DIR: writes DIR/git, a git that always fails, to put first
# on the PATH.
copy_tree() {
  mkdir -p "$1"
  tar --exclude=./.git --exclude=./build -cf - . | tar -xf - -C "$1"
}
git_out_of_reach() {
  mkdir -p "$1"
  printf '#!/bin/sh\necho "git: not available in this check" >&2\nexit 127\n' >"$1/git"
  chmod +x "$1/git"
}
