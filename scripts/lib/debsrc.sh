# Sourced by scripts that need Debian source packages. The machine's apt
# sources carry no deb-src lines, so a private sources list (derived from the
# machine's deb lines, one- and deb822-style) and a private list directory
# under $1 are used; the system's apt configuration is left as it is.
# debsrc_prepare DIR: writes DIR/sources.list, runs apt-get update on it and
# sets DEBSRC_OPTS (the apt-get options that use it). Returns 1 with a message
# on standard error when there is nothing to derive or the update fails.
debsrc_prepare() {
  local dir=$1 f i
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  : >"$dir/sources.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$dir/sources.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS=""} /Types:[^\n]*deb/ && /URIs:[^\n]*debian/ {
           uri=""; suites=""; comps=""; key="";
           n=split($0, L, "\n");
           for (i=1;i<=n;i++) {
             if (L[i] ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", L[i]); uri=L[i] }
             else if (L[i] ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", L[i]); suites=L[i] }
             else if (L[i] ~ /^Components:/) { sub(/^Components:[ \t]*/, "", L[i]); comps=L[i] }
             else if (L[i] ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", L[i]); key=L[i] }
           }
           ns=split(suites, S, " ");
           for (j=1;j<=ns;j++) printf "deb-src %s%s %s %s\n", (key!="" ? "[signed-by=" key "] " : ""), uri, S[j], comps
         }' "$f" >>"$dir/sources.list"
  done
  if [ ! -s "$dir/sources.list" ]; then
    echo "no Debian apt sources found to derive deb-src lines from" >&2
    return 1
  fi
  DEBSRC_OPTS=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache"
               -o APT::Get::List-Cleanup=0 -o Debug::NoLocking=1)
  for i in 1 2 3 4 5; do
    if apt-get "${DEBSRC_OPTS[@]}" update -q >"$dir/update.log" 2>&1; then return 0; fi
    [ "$i" = 5 ] || sleep 5
  done
  cat "$dir/update.log" >&2
  echo "apt-get update (private deb-src list) failed" >&2
  return 1
}
