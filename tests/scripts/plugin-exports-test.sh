#!/usr/bin/env bash
# Fails when libbackup.so exports anything of ours beyond its eight entry
# points. Template code of the libraries it uses (std, Poco, boost) may appear
# as weak symbols; anything naming our namespace or any other strong symbol
# may not.
set -euo pipefail
nm=$1 library=$2
allowed=" GetPluginName GetPluginType GetPluginDescription GetPluginURL GetPluginVersion \
pocoBuildManifest pocoInitializeLibrary pocoUninitializeLibrary "

symbols=$("$nm" -D --defined-only "$library")
bad=0 found=0
while read -r _ type name; do
  [ -n "${name:-}" ] || continue
  if [[ "$allowed" == *" $name "* ]]; then
    found=$((found + 1))
    [ "$type" = T ] || { echo "entry point $name has type $type, not T"; bad=1; }
    continue
  fi
  demangled=$(echo "$name" | c++filt)
  if [[ "$demangled" == *Orvana* ]] || [[ "$type" != [WVuw] ]]; then
    echo "unexpected export: $type $demangled"
    bad=1
  fi
done <<< "$symbols"
[ "$found" = 8 ] || { echo "found $found of the 8 entry points"; bad=1; }
exit $bad
