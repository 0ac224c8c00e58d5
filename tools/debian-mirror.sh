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
# The archive is the entry that serves the main component of a release
# suite (not -security, not a third-party repository): the first URI of a
# deb822 stanza or a one-line entry whose suites include one without a dash.
{
  for f in /etc/apt/sources.list.d/*.sources; do [ -r "$f" ] && cat "$f" && echo; done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/URIs: \2\nSuites: \3\n/p' "$f"
  done
} | awk '
  /^[[:space:]]*$/ { if (uri != "" && release) { print uri; found = 1; exit } uri = ""; release = 0; next }
  /^URIs:/ { uri = $2 }
  /^Suites:/ { for (i = 2; i <= NF; i++) if ($i !~ /-/) release = 1 }
  END { if (!found && uri != "" && release) print uri }
' | sed -n '1{s,/*$,,;p}' | grep . || { echo "$0: no Debian archive in the apt sources" >&2; exit 1; }
