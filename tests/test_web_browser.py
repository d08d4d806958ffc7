"""The page in a real browser: Playwright driving Debian's chromium (never a
downloaded one), headless, against a bench file's emulated chain served by
the real server."""

import os
import re
import shutil
import time

import pytest

pytest.importorskip("fastapi")
sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed")

import orvaklab  # noqa: E402
from orvaklab.web import WebServer  # noqa: E402
from test_web import ADDRESS, LONG_ASPIRATE, bench_file, wire  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
pytestmark = pytest.mark.skipif(
    not os.access(CHROMIUM, os.X_OK),
    reason="Debian's chromium is not installed (apt-get install chromium); the browser tests "
           "never download one")
SCREENSHOT = "/tmp/orvaklab-web.png"


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield launched
        launched.close()


@pytest.fixture
def bench(tmp_path):
    # Real time at a fifth: the valve's home (6 s) takes 1.2 s, long enough to watch.
    with orvaklab.open_bench(bench_file(tmp_path, scale=0.2)) as opened:
        yield opened


@pytest.fixture
def page(browser, bench):
    with WebServer(bench, port=0) as web:
        context = browser.new_context(viewport={"width": 1400, "height": 1000})
        opened = context.new_page()
        problems = []
        opened.on("pageerror", lambda error: problems.append(str(error)))
        opened.on("requestfailed", lambda request: problems.append(request.url))
        opened.goto(web.url + "&every=0.25")
        opened.wait_for_selector("body[data-ready]")
        opened.web = web
        yield opened
        context.close()
        assert problems == []


def card(page, name):
    return page.get_by_role("region", name=name, exact=True)


def test_a_card_per_module_and_stop_all_always_in_sight(page, bench):
    assert [region.get_attribute("aria-label") for region in
            page.locator("main [role=region]").all()] == list(ADDRESS)
    pump = card(page, "pump")
    sync_api.expect(pump).to_contain_text("Orvak Piston 1 ml · address 2")
    for operation in ("home", "aspirate", "dispense", "stop"):
        sync_api.expect(pump.get_by_role("button", name=operation, exact=True)).to_be_visible()
    sync_api.expect(card(page, "valve").locator("datalist option")).to_have_count(2)
    page.mouse.wheel(0, 5000)
    stop = page.get_by_role("button", name="Stop all")
    sync_api.expect(stop).to_be_in_viewport()
    sync_api.expect(page.get_by_role("status", name="Connection")).to_have_text("connected")


def test_a_reading_changes_on_screen(page, bench):
    probes = bench.emulator.modules[ADDRESS["probes"] - 1]
    probes.set("probe_1", "242428-4313")
    probes.set("reading_1", [6.5, 30.0, 25.0])
    cell = card(page, "probes").locator('[data-reading="pH1"]')
    sync_api.expect(cell).to_have_text("6.5")
    probes.set("reading_1", [4.25, 160.0, 25.0])
    sync_api.expect(cell).to_have_text("4.25")


def test_home_from_a_card_shows_progress_and_completes(page, bench):
    valve = card(page, "valve")
    valve.get_by_role("button", name="home", exact=True).click()
    run = valve.locator('[data-role="run-text"]')
    sync_api.expect(run).to_have_text(re.compile(r"home: \d+\.\d s left"))
    sync_api.expect(valve.locator('[data-role="state"]')).to_have_text("moving")
    page.wait_for_function("() => { const bar = document.querySelector("
                           "'[data-module=valve] progress'); return bar.value > 0.1 && "
                           "bar.value < 1; }")
    sync_api.expect(run).to_have_text("home: succeeded", timeout=5000)
    sync_api.expect(valve.locator('[data-role="state"]')).to_have_text("idle")
    sync_api.expect(valve.locator('[data-role="position"]')).to_contain_text("port 1 (waste)")
    page.screenshot(path=SCREENSHOT, full_page=True)


def test_stop_all_during_a_motion_reaches_the_wire_at_once(page, bench):
    bench.pump.stop()
    stop_line = wire(bench, "pump")[-1]  # what a stop sends, learnt from the idle pump
    bench.pump.home()
    pump = card(page, "pump")
    form = pump.locator('form[data-operation="aspirate"]')
    form.get_by_label("speed").fill(str(LONG_ASPIRATE["speed"]))
    form.get_by_label("volume").fill(str(LONG_ASPIRATE["volume"]))
    form.get_by_role("button", name="aspirate").click()
    sync_api.expect(pump.locator('[data-role="state"]')).to_have_text("moving")
    stop = page.get_by_role("button", name="Stop all")
    sync_api.expect(stop).to_be_enabled()
    sent = len(wire(bench, "pump"))
    began = time.monotonic()
    stop.click(force=True)  # checked above: no actionability waits in the timing
    while len(wire(bench, "pump")) == sent and time.monotonic() - began < 2.0:
        time.sleep(0.001)
    elapsed = time.monotonic() - began
    assert wire(bench, "pump")[sent] == stop_line
    # The aspirate runs for 6 s: a stop behind it would take that long. (The
    # click-to-wire time itself, well under 200 ms, is not a test's to time
    # on a loaded machine.)
    assert elapsed < 1.0
    sync_api.expect(pump.locator('[data-role="state"]')).to_have_text("stopped")
    sync_api.expect(pump.locator('[data-role="message"]')).to_contain_text("was stopped")


@pytest.mark.parametrize("module, operation, values, message", [
    ("pump", "aspirate", {"speed": "500", "volume": "2000"},
     "pump (Orvak Piston 1 ml): aspirate() volume must be 0 to 1000 µl (got 2000.0)"),
    ("pump", "aspirate", {"speed": "fast", "volume": "20"},
     "aspirate() speed must be a number, not text 'fast'"),
    ("gas", "set_setpoint", {"channel": "1", "value": "3"},
     "Orvak Mass Flow Controller: channel 1 setpoint 3.0 is outside [0, 1.0] SLPM"),
    ("valve", "select_port", {"port_number": "13"}, "select_port() port_number must be 1 to 12"),
])
def test_a_bad_value_shows_the_librarys_message(page, bench, module, operation, values,
                                                message):
    time.sleep(0.6)  # the page's reads have begun: what they send is known
    sent = {name: wire(bench, name) for name in ADDRESS}
    form = card(page, module).locator(f'form[data-operation="{operation}"]')
    for name, value in values.items():
        form.get_by_label(name, exact=False).first.fill(value)
    form.get_by_role("button", name=operation.replace("_", " ")).click()
    shown = card(page, module).locator('[data-role="message"]')
    sync_api.expect(shown).to_contain_text(message)
    assert "error" in (shown.get_attribute("class") or "")
    for name in ADDRESS:  # the page's reads go on; nothing else was sent
        assert set(wire(bench, name)[len(sent[name]):]) <= set(sent[name])


def test_the_openapi_page_renders_from_shipped_assets_and_calls_the_api(browser, page, bench):
    docs = page.context.new_page()
    failed = []
    docs.on("requestfailed", lambda request: failed.append(request.url))
    docs.goto(f"{page.web.base_url}/docs?token={page.web.token}")
    operation = docs.locator("#operations-pump-pump__check_position_ul")
    operation.locator(".opblock-summary").click()
    operation.get_by_role("button", name="Try it out").click()
    operation.get_by_role("button", name="Execute").click()
    sync_api.expect(operation.locator(".live-responses-table tbody .response-col_status")
                    ).to_contain_text("200")
    sync_api.expect(operation.locator(".live-responses-table tbody")).to_contain_text(
        '"result": 0')
    assert failed == [] and all(url.startswith(page.web.base_url) for url in docs_urls(docs))
    docs.close()


def docs_urls(page):
    return page.evaluate("() => performance.getEntriesByType('resource').map(e => e.name)")


def test_without_the_token_the_page_is_refused(browser, page):
    context = browser.new_context()
    stranger = context.new_page()
    response = stranger.goto(page.web.base_url + "/")
    assert response.status == 401
    assert "token is needed" in stranger.content()
    context.close()
