# Sourced by scripts/cross.sh and scripts/setup.sh: the architectures the
# cross builds cover, each with the Debian release it builds with (its cross
# compiler, its libraries and the emulator all come from that one release,
# as a toolchain of one release cannot link against another's libraries),
# its GNU triplet (which is also Debian's multiarch directory and the name
# of its toolchain file in cmake/) and whether its suites compare the digest
# with OpenSSL's.
cross_machines=(
  # Debian 13's release architectures, with Debian 13's tools.
  "arm64 trixie aarch64-linux-gnu OFF"
  # Debian 12's archive has no riscv64.
  "riscv64 trixie riscv64-linux-gnu OFF"
  # Release architectures of both; Debian 12's tools, as the mirror lacks
  # part of Debian 13's packages for these two (its C library among them).
  "ppc64el bookworm powerpc64le-linux-gnu OFF"
  # Big-endian, where the digest's byte order is most likely to go wrong: the
  # comparison with OpenSSL, slow under the emulator, runs here alone.
  "s390x bookworm s390x-linux-gnu ON"
  # Debian 12's release architecture, which Debian 13 no longer has.
  "mips64el bookworm mips64el-linux-gnuabi64 OFF"
)

# cross_machine ARCH: sets machine_release, machine_triplet and
# machine_oracle for ARCH; fails for an architecture not in the table.
cross_machine() {
  local row name
  for row in "${cross_machines[@]}"; do
    read -r name machine_release machine_triplet machine_oracle <<<"$row"
    [ "$name" = "$1" ] && return 0
  done
  echo "no cross build for '$1' (known: $(cross_arches | tr '\n' ' '))" >&2
  return 1
}

# cross_arches: every architecture of the table, one a line.
cross_arches() { local row; for row in "${cross_machines[@]}"; do echo "${row%% *}"; done; }

# cross_compilers RELEASE: the cross compilers' packages of the architectures
# that build with RELEASE, one a line.
cross_compilers() {
  local row name release triplet oracle
  for row in "${cross_machines[@]}"; do
    read -r name release triplet oracle <<<"$row"
    [ "$release" != "$1" ] || echo "g++-$triplet"
  done
}
