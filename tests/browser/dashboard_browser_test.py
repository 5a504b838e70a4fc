#!/usr/bin/python3
"""The triage dashboard in headless Chromium: log in, filter, search, read a report and each kind
of attachment, triage, export; hostile reports run no script; forms without their token and
repeated wrong passwords are refused.

usage: dashboard_browser_test.py SERVICE CONFIG SCREENSHOT_DIR
"""
import base64, io, json, os, re, shutil, subprocess, sys, tempfile, time, urllib.error
import urllib.parse, urllib.request, uuid, zipfile

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVICE, CONFIG, SHOTS = sys.argv[1:4]
PASSWORD = "correct horse battery"
SUMMARY = ("\n\nOperating System: Version 14.2 (Build 23C64)\nApplication Version: {v} ({b})\n"
           "Hardware: Mac14,2\nThermal State: Nominal\nUptime: 2d 3h\nProcessor Count: 8\n"
           "Memory: 16 GB\nScreens: Built-in Retina Display 1512x982 (2x)\nLocale: en_US\n\n?")
HOSTILE = '<img src=x onerror="alert(1)"><script>alert(2)</script>'
PNG = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAEUlEQVR4nGNQSDiAFTEMLQkAGplQAT43V5gAAAAASUVORK5CYII=")  # 8 x 8


def archive():
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as z:
        z.writestr("app.log", "started\n<script>alert(3)</script>\nstopped\n")
        z.writestr("[weird]*name.log", "escaped name\n")
    return data.getvalue()


def crash_reports():
    return json.dumps([{"name": name, "payload": base64.b64encode(text).decode()} for name, text in
                       [("Pairloom_2024-01-01.ips", b"Crashed Thread: 0\nEXC_BAD_ACCESS\n"),
                        ("Pairloom_2023-12-31.ips", b"second report\n")]]).encode()


def start_service(data):
    """The service on free ports: its process, public base URL and dashboard origin."""
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([SERVICE, "--port", "0", "--admin-port", "0", "--data", data,
                             "--config", CONFIG], stdout=subprocess.PIPE, stderr=log, text=True)
    ports, deadline = {}, time.monotonic() + 30
    while len(ports) < 2 and time.monotonic() < deadline:
        match = re.match(r"(dashboard on|listening on) (\d+)", proc.stdout.readline() or "end")
        if match:
            ports[match.group(1)] = int(match.group(2))
    assert len(ports) == 2, "the service did not start"
    proc.log = log
    return (proc, "http://127.0.0.1:%d/v1" % ports["listening on"],
            "http://127.0.0.1:%d" % ports["dashboard on"])


def post(url, body, content_type="application/octet-stream"):
    request = urllib.request.Request(url, data=body, method="POST",
                                     headers={"Content-Type": content_type})
    with urllib.request.urlopen(request, timeout=20) as answer:
        return json.loads(answer.read())


def status(request):
    """The status a request is answered with, also a refusal."""
    try:
        with urllib.request.urlopen(request, timeout=20) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


def submit(public, subject, message, reason=1, frequency=1, version="2.4.1", build=310,
           name="Ann Example", email="ann@example.com", files=()):
    local = str(uuid.uuid4()).upper()
    attachments = []
    for file_id, extension, content in files:
        query = urllib.parse.urlencode({"fileId": file_id, "localId": local, "extension": extension})
        answer = post(public + "/attachments?" + query, content)
        attachments.append({"id": answer["attachmentId"], "name": answer["name"]})
    report = {"localId": local, "reasonId": reason, "frequencyId": frequency, "subject": subject,
              "messages": [{"body": message + SUMMARY.format(v=version, b=build)}], "name": name,
              "email": email, "attachments": attachments}
    return post(public + "/reports", json.dumps(report).encode(), "application/json")["id"]


def main():
    if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
        print("chromium or chromedriver is missing (scripts/setup --test installs them)")
        sys.exit(77)
    work = tempfile.mkdtemp(prefix="dashboard-test-")
    service, public, admin = start_service(os.path.join(work, "data"))
    driver = None
    try:
        added = subprocess.run([SERVICE, "user", "add", "admin", "--data", os.path.join(work, "data")],
                               input=PASSWORD + "\n", text=True, capture_output=True, timeout=60)
        assert added.returncode == 0, added.stderr
        full = submit(public, "Audio drops after sleep", "The sound stops after the Mac wakes.",
                      files=[("notes", "txt", b"line one\nline two\n"),
                             ("SystemProfile", "json", b'{"SPHardwareDataType":[{"model":"Mac14,2"}]}'),
                             ("AppLogs", "txt", archive()),
                             ("CrashReports", "json", crash_reports()),
                             ("screenshot", "png", PNG),
                             ("fake", "png", b"<html><script>alert(4)</script></html>"),
                             ("page", "html", b"<script>alert(5)</script>"),
                             ("drawing", "svg", b'<svg xmlns="http://www.w3.org/2000/svg" onload="alert(6)"><script>alert(7)</script></svg>')])
        hostile = submit(public, HOSTILE, HOSTILE + "\n=HYPERLINK(\"http://x\")", name=HOSTILE,
                         email="=cmd|' /C calc'!A0", files=[("x", "html", HOSTILE.encode())])
        submit(public, "Feature wish: dark mode", "Please add a dark mode to the mixer.", reason=3,
               frequency=3, version="2.5.0", build=320)
        submit(public, "Crash on export", "Exporting a long project crashes every time.", reason=1,
               frequency=2, version="2.5.0", build=321)

        options = webdriver.ChromeOptions()
        for flag in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--window-size=1400,1000",
                     "--user-data-dir=" + os.path.join(work, "profile")]:
            options.add_argument(flag)
        options.binary_location = "/usr/bin/chromium"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(30)
        downloads = os.path.join(work, "downloads")
        os.makedirs(downloads)
        driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})

        def no_script_ran(refused=()):
            try:
                raise AssertionError("a dialog opened: " + driver.switch_to.alert.text)
            except NoAlertPresentException:
                pass
            errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"
                      and not any("status of %d" % code in entry["message"] for code in refused)]
            assert not errors, errors

        def visit(path):
            driver.get(admin + path)
            no_script_ran()

        def gone(element):
            # Chromium may answer a detached node with an inspector error instead of "stale".
            try:
                return expected_conditions.staleness_of(element)(driver)
            except WebDriverException:
                return True

        def click(css, check=True):
            # Waits for the page the click leads to.
            page = driver.find_element(By.TAG_NAME, "html")
            driver.find_element(By.CSS_SELECTOR, css).click()
            WebDriverWait(driver, 20).until(lambda _: gone(page))
            if check:
                no_script_ran()

        def text(css):
            return driver.find_element(By.CSS_SELECTOR, css).text

        def subjects():
            return [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#reports a.subject")]

        def log_in(password):
            driver.find_element(By.ID, "name").send_keys("admin")
            driver.find_element(By.ID, "password").send_keys(password)
            click("#login", check=False)

        visit("/")
        assert "/login" in driver.current_url
        log_in(PASSWORD)
        no_script_ran()
        assert text("#count") == "4 reports", text("#count")
        assert subjects()[0] == "Crash on export" and HOSTILE in subjects()
        driver.save_screenshot(os.path.join(SHOTS, "dashboard-list.png"))

        # A filter of each kind of field, then the search (the store's tests cover the rest).
        for field, value, expected in [("reason", "Feature request", ["Feature wish: dark mode"]),
                                       ("version", "2.5.0", ["Crash on export", "Feature wish: dark mode"]),
                                       ("q", "ann@example.com dark", ["Feature wish: dark mode"])]:
            visit("/")
            element = driver.find_element(By.ID, field)
            if element.tag_name == "select":
                Select(element).select_by_visible_text(value)
            else:
                element.send_keys(value)
            click("#apply")
            assert subjects() == expected, (field, subjects())

        # The hostile report shows its text as text.
        visit("/reports/" + hostile)
        assert text("#subject") == HOSTILE
        assert driver.find_elements(By.CSS_SELECTOR, "main img") == []
        assert HOSTILE in text("article.message pre")

        # The full report, its environment table and every attachment.
        visit("/reports/" + full)
        assert "Version 14.2 (Build 23C64)" in text("table.summary")
        driver.save_screenshot(os.path.join(SHOTS, "dashboard-report.png"))
        links = {e.text: e.get_attribute("href") for e in driver.find_elements(By.CSS_SELECTOR, "#attachments a.view")}
        for name, kind, check in [
                ("notes.txt", "text", lambda: text("#lines") == "line one\nline two"),
                ("SystemProfile.json", "JSON", lambda: '"model": "Mac14,2"' in text("#lines")),
                ("CrashReports.json", "crash reports", lambda: "EXC_BAD_ACCESS" in text("section.part") and len(driver.find_elements(By.CSS_SELECTOR, "section.part")) == 2),
                ("AppLogs.txt", "archive", lambda: text("#entries") == "app.log\n[weird]*name.log"),
                ("screenshot.png", "image", lambda: driver.execute_script("return document.getElementById('image').naturalWidth") == 8),
                ("fake.png", "download only", lambda: not driver.find_elements(By.ID, "image")),
                ("page.html", "download only", lambda: not driver.find_elements(By.ID, "lines")),
                ("drawing.svg", "download only", lambda: not driver.find_elements(By.ID, "lines"))]:
            driver.get(links[name])
            no_script_ran()
            assert text("#kind") == kind and check(), name
        for index, expected in [(0, "<script>alert(3)</script>"), (1, "escaped name")]:
            visit(links["AppLogs.txt"].replace(admin, "") + "/entry?index=%d" % index)
            assert expected in text("#lines")

        # Triage: status, a known issue, a note.
        visit("/reports/" + full)
        Select(driver.find_element(By.ID, "status-value")).select_by_visible_text("triaged")
        click("#set-status")
        Select(driver.find_element(By.ID, "issue-value")).select_by_value("bt-dropouts")
        click("#set-issue")
        driver.find_element(By.ID, "note").send_keys("Seen on " + HOSTILE)
        click("#add-note")
        assert text("#status") == "triaged" and text("#known-issue") == "bt-dropouts"
        assert "admin" in text("#notes") and HOSTILE in text("#notes")
        visit("/?status=triaged")
        assert subjects() == ["Audio drops after sleep"]

        # Export the hostile report as CSV: no cell starts a formula.
        visit("/")
        driver.find_element(By.CSS_SELECTOR, "input[value='%s']" % hostile).click()
        driver.find_element(By.ID, "export-csv").click()
        target = os.path.join(downloads, "reports.csv")
        WebDriverWait(driver, 20).until(lambda _: os.path.exists(target))
        csv = open(target, encoding="utf-8").read()
        assert "\"'=cmd|' /C calc'!A0\"" in csv and ",\"=" not in csv, csv

        # A form without its token changes nothing.
        cookie = {"Cookie": "tessaline_session=" + driver.get_cookie("tessaline_session")["value"]}
        forged = urllib.request.Request(admin + "/reports/%s/status" % full, data=b"value=closed",
                                        method="POST", headers=dict(cookie, **{"Content-Type": "application/x-www-form-urlencoded"}))
        assert status(forged) == 403, "a form without its token was not refused"
        # A name rebound to loopback reaches nothing, even with the cookie.
        for host in ("rebound.example", "127.0.0.1.rebound.example:80"):
            assert status(urllib.request.Request(admin + "/api/reports", headers=dict(cookie, Host=host))) == 421, host
        api = urllib.request.Request(admin + "/api/reports/" + full, headers=cookie)
        assert json.loads(urllib.request.urlopen(api, timeout=20).read())[0]["status"] == "triaged"
        # Uploads are downloads, and every answer forbids script, framing and sniffing.
        download = urllib.request.Request(links["page.html"] + "/download", headers=cookie)
        with urllib.request.urlopen(download, timeout=20) as answer:
            assert answer.read() == b"<script>alert(5)</script>"
            assert answer.headers["Content-Disposition"].startswith("attachment;")
            assert answer.headers["Content-Type"] == "application/octet-stream"
            assert answer.headers["X-Content-Type-Options"] == "nosniff"
            policy = answer.headers["Content-Security-Policy"]
            assert "default-src 'none'" in policy and "frame-ancestors 'none'" in policy

        # Log out; five wrong passwords, then even the right one is refused for a while.
        click("form.logout button")
        for attempt in range(6):
            log_in("wrong" if attempt < 5 else PASSWORD)
        assert "/login" in driver.current_url and "Too many" in text("#problem"), text("#problem")
        no_script_ran(refused=(401, 429))
    finally:
        if driver:
            driver.quit()
        # A clean exit: no sanitizer report, nothing left running.
        service.terminate()
        exited = service.wait(timeout=20)
        shutil.rmtree(work, ignore_errors=True)
        if exited != 0:
            service.log.seek(0)
            raise AssertionError("the service ended with %d:\n%s" % (service.returncode, service.log.read()))
    print("dashboard browser test passed")


if __name__ == "__main__":
    main()
