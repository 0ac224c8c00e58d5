#!/bin/sh
# Prints the URI of the Debian archive this machine's apt already uses, so
# that the chroots and the source packages come from the same place as the
# machine's own packages and no mirror is written into the project; with
# --suites, each Debian suite it uses (URI SUITE), security's too.
# VIMRA_DEBIAN_MIRROR stands for the archive's URI.
set -eu
# A source is Debian's by the Origin of its Release file once apt has one,
# and before any apt-get update by a Debian suite's name with main, which an
# archive named like Debian's has too. The archive is the first release suite
# (no dash: not -security, not -updates).
# shellcheck disable=SC2016
{ apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 'Identifier: Packages'; echo
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages'; } |
  awk -v suites="${1:-}" -v mirror="${VIMRA_DEBIAN_MIRROR:-}" '
  !listed { if (NF) origin[$1 " " $2] = NF == 3 ? $3 : "?"; else listed = 1; next }
  ($1 " " $2) in origin ? origin[$1 " " $2] == "Debian" : $3 == "main" &&
    $2 ~ /^(bullseye|bookworm|trixie|forky|duke|sid|(old)*stable|testing|unstable)(-updates|-security|-backports)?$/ {
    sub("/*$", "", $1)
    if (archive == "" && $2 !~ /-/) archive = $1
    if (!seen[$1 " " $2]++) list = list ($1 == archive && mirror != "" ? mirror : $1) " " $2 "\n" }
  END { if (archive == "" && (suites || mirror == "")) exit 1
    printf "%s", suites ? list : (mirror != "" ? mirror : archive) "\n" }' ||
  { echo "$0: no Debian archive in the apt sources" >&2; exit 1; }
