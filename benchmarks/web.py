"""The web page and API on loopback: the page's load time in Debian's
chromium, and GET /api/modules/{name}/readings round trips against the
same reads made locally.

    python3 benchmarks/web.py                      # 1000 reads, 10 page loads
    python3 benchmarks/web.py --calls 3000 --loads 20 --json /tmp/web.json

Needs the extra orvaklab[web], httpx, and for the page playwright with
/usr/bin/chromium (the page's part is skipped without them). The server runs
in this process on its own thread, as under ``orvaklab serve --web``; the
chain is the emulator with one module of each kind the page plots (a valve,
a piston pump, a flow controller, a probe reader), answering at once.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

from timing import percentiles, timed  # beside this file

sys.path = [p for p in sys.path if not p.endswith("benchmarks")]  # the installed package

CHROMIUM = "/usr/bin/chromium"


def page_loads(url: str, loads: int) -> dict[str, dict[str, float]]:
    """From navigation to the cards built (modules fetched), and to the
    first readings on screen (the stream's first sample), each in a fresh
    browser context (nothing cached)."""
    from playwright.sync_api import sync_playwright

    built, first = [], []
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
        for _ in range(loads + 1):  # the first is a warm-up
            context = browser.new_context(viewport={"width": 1400, "height": 1000})
            page = context.new_page()
            began = time.perf_counter()
            page.goto(url)
            page.wait_for_selector("body[data-ready]")
            built.append(time.perf_counter() - began)
            page.wait_for_function("() => document.querySelector("
                                   "'[data-reading=\"flow1\"]').textContent !== '–'")
            first.append(time.perf_counter() - began)
            context.close()
        browser.close()
    return {"page: cards built": percentiles(built[1:]),
            "page: first readings shown": percentiles(first[1:])}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--loads", type=int, default=10)
    parser.add_argument("--json", metavar="PATH", help="also write the results there")
    args = parser.parse_args()

    import httpx

    from orvaklab.discovery import OrvakInterface
    from orvaklab.web import WebServer
    from orvaklab.web.station import module_name

    with OrvakInterface(emulate=[2, 4, 14, 13]) as chain:
        group = chain.add_group([2, 4, 14, 13])
        valve, _, gas, _ = group.inst
        valve.home()
        with WebServer(chain, port=0) as web, httpx.Client(
                base_url=web.base_url, headers={"Authorization": f"token {web.token}"}) as api:
            results = {}
            for driver, read in ((valve, valve.check_position),
                                 (gas, lambda: gas.read_channel(1))):
                path = f"/api/modules/{module_name(driver)}/readings"
                assert api.get(path).json()["fresh"]
                results[f"local {driver.name} read"] = percentiles(timed(read, args.calls))
                results[f"GET {path}"] = percentiles(timed(lambda: api.get(path), args.calls))
            if os.access(CHROMIUM, os.X_OK):
                try:
                    results.update(page_loads(web.url + "&every=0.25", args.loads))
                except ImportError as missing:
                    print(f"(page loads skipped: {missing})")
            else:
                print(f"(page loads skipped: no {CHROMIUM})")
    width = max(map(len, results)) + 2
    print(f"{'':<{width}}{'p50 ms':>10}{'p99 ms':>10}{'mean ms':>10}   "
          f"({args.calls} calls, {args.loads} page loads)")
    for name, row in results.items():
        print(f"{name:<{width}}{row['p50_ms']:>10.3f}{row['p99_ms']:>10.3f}"
              f"{row['mean_ms']:>10.3f}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"calls": args.calls, "loads": args.loads, **results}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
