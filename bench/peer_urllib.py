#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Peer for the benchmark: the download written the plain Python way, with
urllib.request and a cookie jar, links found with re, pages joined with the
qpdf command line (BENCH_MERGE=pdftk: with pdftk).

    peer_urllib.py BASE_URL OUT_DIR NUMBER...
"""
import http.cookiejar
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

ROOT = "/DPMApublikationen"
HEADERS = {
    "User-Agent": "Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)",
    "Accept-Language": "en-us,en;q=0.5",
}
QUERY = ("sent=1&type=OS&type=PS&type=GBM&type=EP&type=WO&type=ZE&type=TO&type=DD&type=UB"
         "&selectstatus=1&query=pn={}&cols=pn&cols=ti&cols=nr&sf=sort_standard&so=asc&rpp=250")
HIT = re.compile(r'"(/DPMApublikationen/pdf_any_pgd.*?)"', re.I)
PDF = re.compile(r'"(/DPMApublikationen/schriften/.*?)"', re.I)
NAV = re.compile(r'"(/DPMApublikationen/pdm_any_pgd.*?)"', re.I)
NEXT = re.compile(r'Next\s*page"\s*href="(/DPMApublikationen/pdf_any_pgd.*?)"', re.I)


def main():
    base, out, numbers = sys.argv[1], sys.argv[2], sys.argv[3:]
    opener = urllib.request.build_opener(
        urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))

    def open_url(path, data=None):
        request = urllib.request.Request(base + path.replace("&amp;", "&"), data=data,
                                         headers=HEADERS)
        return opener.open(request)

    def text(path, data=None):
        with open_url(path, data) as response:
            return response.read().decode("utf-8", "replace")

    def link(pattern, page, what):
        match = pattern.search(page)
        if not match:
            sys.exit(f"no {what} link")
        return match.group(1)

    text(ROOT + "/start.do")
    with tempfile.TemporaryDirectory(dir=out) as work:
        for number in numbers:
            hits = text(ROOT + "/lst_pat_xpt.do?" + QUERY.format(number), data=b"")
            viewer = text(link(HIT, hits, "hit"))
            files = []
            while True:
                path = os.path.join(work, f"{number}_{len(files) + 1}.pdf")
                with open_url(link(PDF, viewer, "page PDF")) as response, open(path, "wb") as f:
                    shutil.copyfileobj(response, f)
                files.append(path)
                navigation = text(link(NAV, viewer, "navigation"))
                following = NEXT.search(navigation)
                if not following:
                    break
                viewer = text(following.group(1))
            merged = os.path.join(out, number + ".pdf")
            if os.environ.get("BENCH_MERGE", "qpdf") == "pdftk":
                subprocess.run(["pdftk", *files, "cat", "output", merged, "dont_ask"], check=True)
            else:
                subprocess.run(["qpdf", "--empty", "--pages", *files, "--", merged], check=True)


if __name__ == "__main__":
    main()
