#!/usr/bin/env bash
# Checks that the user's guide keeps its promises.
#
#   check_docs.sh javadoc  <javadoc> <output dir> <java sources...>
#       The Javadoc of the Java classes builds with every doclint check and no warning.
#   check_docs.sh examples <javac> <jar> <work dir> <docs/*.md...>
#       Every ```java block of the pages given is a complete class that compiles against the jar.
#       Every class page (a file name that starts with a capital, README.md aside) has at least one.
#   check_docs.sh messages <Registry.md> <Registry.java> <registry sources...>
#       The RegistryException messages that the guide lists are the ones the Javadoc names
#       and the ones the library raises, character for character.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }

mode=${1:-}
shift || true

case "$mode" in
javadoc)
    javadoc=$1 out=$2
    shift 2
    rm -rf "$out"
    mkdir -p "$out"
    # -Werror turns every doclint finding into a failure; the log is kept for reading.
    if ! "$javadoc" --release 8 -Xdoclint:all -Werror -quiet -encoding UTF-8 -d "$out" "$@" >"$out.log" 2>&1; then
        cat "$out.log" >&2
        fail "javadoc reported problems"
    fi
    [ -f "$out/com/zarn/kelda/dravik/common/win32/Registry.html" ] || fail "javadoc wrote no page for Registry"
    echo "javadoc: clean over $# sources"
    ;;

examples)
    javac=$1 jar=$2 work=$3
    shift 3
    [ -f "$jar" ] || fail "no jar at $jar (build the target 'java' first)"
    rm -rf "$work"
    mkdir -p "$work/src" "$work/classes"
    map="$work/sources.txt"
    : >"$map"
    total=0
    for md in "$@"; do
        page=$(basename "$md")
        # One file per block: block<N>.java, its first line number in the page in a side file.
        rm -f "$work"/block*.java "$work"/block*.line
        awk -v dir="$work" -v page="$page" '
            /^```java[[:space:]]*$/ { if (inside) { print page ":" NR ": block opened inside a block" > "/dev/stderr"; exit 2 }
                                      inside = 1; n++; file = dir "/block" n ".java"; printf "" > file
                                      print NR + 1 > (dir "/block" n ".line"); next }
            /^```[[:space:]]*$/     { if (inside) { inside = 0; close(file) } ; next }
            inside                  { print > file }
            END                     { if (inside) { print page ": java block never closed" > "/dev/stderr"; exit 2 } }
        ' "$md" || fail "$page: malformed java block"
        count=0
        for block in "$work"/block*.java; do
            [ -e "$block" ] || continue
            count=$((count + 1))
            line=$(cat "${block%.java}.line")
            class=$(sed -nE 's/^public[[:space:]]+(final[[:space:]]+|abstract[[:space:]]+)*(class|interface|enum)[[:space:]]+([A-Za-z_][A-Za-z0-9_]*).*/\3/p' "$block" | head -n1)
            [ -n "$class" ] || fail "$page line $line: the example is not a complete public class"
            if grep -q "^$class.java " "$map"; then
                fail "$page line $line: class $class is already an example in $(grep "^$class.java " "$map" | cut -d' ' -f3-)"
            fi
            cp "$block" "$work/src/$class.java"
            echo "$class.java <- $page line $line" >>"$map"
        done
        case "$page" in
        README.md | PERFORMANCE.md) ;;  # not class pages
        [A-Z]*) [ "$count" -gt 0 ] || fail "$page: a class page without a Java example" ;;
        esac
        total=$((total + count))
    done
    rm -f "$work"/block*.java "$work"/block*.line
    [ "$total" -gt 0 ] || fail "no java blocks found in $*"
    if ! "$javac" --release 8 -Xlint:all -Werror -encoding UTF-8 -cp "$jar" -d "$work/classes" "$work"/src/*.java; then
        echo "Where the examples come from:" >&2
        cat "$map" >&2
        fail "an example does not compile against $(basename "$jar")"
    fi
    echo "examples: $total compiled"
    cat "$map"
    ;;

messages)
    guide=$1 javadoc_source=$2
    shift 2
    [ "$#" -gt 0 ] || fail "no registry sources given"
    # The guide's table of messages: first cells of the rows of the RegistryException section
    # that hold a quoted text.
    mapfile -t listed < <(awk '
        /^## RegistryException/ { inside = 1; next }
        /^## / { inside = 0 }
        inside && /^\| "/ { split($0, cell, "|"); text = cell[2]; sub(/^ *"/, "", text); sub(/" *$/, "", text); print text }
    ' "$guide")
    [ "${#listed[@]}" -ge 10 ] || fail "found only ${#listed[@]} messages in the guide's table"
    for message in "${listed[@]}"; do
        grep -qF "\"$message\"" "$@" || fail "the guide lists \"$message\", which no registry source raises"
        grep -qF "\"$message\"" "$javadoc_source" || fail "the guide lists \"$message\", which the Javadoc of Registry does not name"
    done
    # Every quoted message in the Javadoc of Registry is in the guide's table.
    mapfile -t named < <(grep -oE '"(Error|Attempted|Could|Unsupported|Incompatible|Not implemented)[^"]*"' "$javadoc_source" \
                         | sed 's/^"//; s/"$//' | sort -u)
    for message in "${named[@]}"; do
        printf '%s\n' "${listed[@]}" | grep -xF "$message" >/dev/null || fail "the Javadoc names \"$message\", which the guide does not list"
    done
    # Every message the library raises with a literal text is in the guide's table.
    mapfile -t raised < <(grep -ohE 'throwRegistryException\([^;]*' "$@" | grep -oE '"[^"]*"' | sed 's/^"//; s/"$//' | sort -u)
    for message in "${raised[@]}"; do
        [ -n "$message" ] || continue
        printf '%s\n' "${listed[@]}" | grep -xF "$message" >/dev/null || fail "the library raises \"$message\", which the guide does not list"
    done
    echo "messages: ${#listed[@]} in the guide, ${#named[@]} in the Javadoc, ${#raised[@]} raised by literal text"
    ;;

*)
    fail "usage: $0 javadoc|examples|messages ..."
    ;;
esac
