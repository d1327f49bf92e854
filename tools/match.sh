#!/usr/bin/env bash
# A match of two engines with fastchess on the UHO book, both colours of each opening.
# usage: tools/match.sh NEW OLD ROUNDS LIMIT NAME [CONCURRENCY]
#   LIMIT is a fastchess time or node limit, e.g. tc=8+0.08 or nodes=20000.
#   NAME.pgn and NAME.log are written in the current folder; the log ends with the Elo.
set -euo pipefail
if [ $# -lt 5 ]; then
    sed -n '3,5p' "$0"
    exit 2
fi
new=$1 old=$2 rounds=$3 limit=$4 name=$5 concurrency=${6:-7}
shared=$(cd "$(dirname "$0")/../../shared" && pwd)
old_name=old
case $old in
    *glaurung*) old_name=glaurung ;;
esac
"$shared/tools/fastchess/fastchess" \
    -engine cmd="$new" name=new \
    -engine cmd="$old" name="$old_name" \
    -each $limit option.Hash=16 option.Threads=1 \
    -openings file="$shared/books/UHO_4060_v4_4000.epd" format=epd order=random \
    -rounds "$rounds" -repeat -concurrency "$concurrency" \
    -pgnout file="$name.pgn" > "$name.log" 2>&1
grep -E 'Elo:|Games:|Ptnml' "$name.log" | tail -3
grep -o 'Termination "[^"]*"' "$name.pgn" | sort | uniq -c
