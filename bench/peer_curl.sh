#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Peer for the benchmark: the download as a user would script it by hand, one
# curl process per request with a cookie jar, links cut out with grep and sed,
# pages joined with the qpdf command line (BENCH_MERGE=pdftk: with pdftk).
#   peer_curl.sh BASE_URL OUT_DIR NUMBER...
set -euo pipefail
base=$1
out=$2
shift 2

work=$(mktemp -d "$out/curl-peer.XXXXXX")
trap 'rm -rf "$work"' EXIT
jar=$work/cookies
root=/DPMApublikationen

fetch() {
    curl -sS -A 'Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)' \
        -H 'Accept-Language: en-us,en;q=0.5' -b "$jar" -c "$jar" "$@"
}

# First quoted link that starts with $1, with &amp; undone.
link() {
    grep -o -i -m1 "\"$1[^\"]*\"" | sed -n '1{s/"//g;s/&amp;/\&/g;p}'
}

fetch "$base$root/start.do" >/dev/null

for number in "$@"; do
    query="sent=1&type=OS&type=PS&type=GBM&type=EP&type=WO&type=ZE&type=TO&type=DD&type=UB"
    query+="&selectstatus=1&query=pn=$number&cols=pn&cols=ti&cols=nr&sf=sort_standard&so=asc&rpp=250"
    hit=$(fetch --data '' "$base$root/lst_pat_xpt.do?$query" | link "$root/pdf_any_pgd" || true)
    [ -n "$hit" ] || { echo "no hit for $number" >&2; exit 1; }
    viewer=$(fetch "$base$hit")
    page=1
    files=()
    while :; do
        pdf=$(link "$root/schriften/" <<<"$viewer" || true)
        nav=$(link "$root/pdm_any_pgd" <<<"$viewer" || true)
        if [ -z "$pdf" ] || [ -z "$nav" ]; then echo "broken viewer page for $number" >&2; exit 1; fi
        file=$work/${number}_$page.pdf
        fetch -o "$file" "$base$pdf"
        files+=("$file")
        navigation=$(fetch "$base$nav")
        next=$(grep -o -i -P -m1 'Next\s*page"\s*href="\K/DPMApublikationen/pdf_any_pgd[^"]*' \
            <<<"$navigation" | sed -n '1{s/&amp;/\&/g;p}' || true)
        [ -n "$next" ] || break
        viewer=$(fetch "$base$next")
        page=$((page + 1))
    done
    if [ "${BENCH_MERGE:-qpdf}" = pdftk ]; then
        pdftk "${files[@]}" cat output "$out/$number.pdf" dont_ask
    else
        qpdf --empty --pages "${files[@]}" -- "$out/$number.pdf"
    fi
done
