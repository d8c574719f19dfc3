# Sourced: clang_version prints the version of clang this release gives: the
# one the unversioned clang depends on (14 on Debian 12, 19 on Debian 13),
# as installed, else as apt's candidate, else the highest clang-N that apt
# knows; nothing when apt knows no clang. clang, clang-tidy, clang-format and
# libclang-rt-N-dev are taken at that version everywhere, so that one
# release's tools are used together.
clang_version() {
  local depends version
  depends=$(dpkg-query -W -f='${Status} ${Depends}\n' "clang:$(dpkg --print-architecture)" 2>/dev/null |
    sed -nE 's/^(install|hold) ok installed //p')
  [ -n "$depends" ] || depends=$(apt-cache show --no-all-versions clang 2>/dev/null | sed -n 's/^Depends: //p')
  version=$(sed -n 's/.*\bclang-\([0-9][0-9]*\)\b.*/\1/p' <<<"$depends" | head -n1)
  if [ -z "$version" ]; then
    version=$(apt-cache pkgnames clang- 2>/dev/null | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' | sort -n | tail -n1)
  fi
  echo "$version"
}
