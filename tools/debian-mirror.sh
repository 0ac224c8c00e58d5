#!/bin/sh
# Prints the URI of the Debian archive this machine's apt already uses, so
# that the chroots and the source packages come from the same place as the
# machine's own packages and no mirror is written into the project.
# VIMRA_DEBIAN_MIRROR overrides it.
set -eu
if [ -n "${VIMRA_DEBIAN_MIRROR:-}" ]; then
  echo "$VIMRA_DEBIAN_MIRROR"
  exit 0
fi
# The archive is the first source of a release suite (one without a dash:
# not -security, not -updates), as apt itself reads the sources in either
# format; --no-release-info lists them before any apt-get update.
# shellcheck disable=SC2016
apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
  awk '$2 !~ /-/ { sub("/*$", "", $1); print $1; exit }' | grep . ||
  { echo "$0: no Debian archive in the apt sources" >&2; exit 1; }
