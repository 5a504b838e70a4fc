#!/usr/bin/python3
"""Two tessaline-service instances on one PostgreSQL behind nginx, loaded with the shipped
deploy/nginx/tessaline.conf: tessaline-demo submits through nginx while one instance is killed
with SIGKILL as an upload waits for it; every answered report is stored exactly once with its
attachments; a dashboard session made on one instance works on the other and through nginx; the
login throttle is shared and counts the client's address behind nginx (dashboards on "::", nginx
on IPv4); without the database the dashboard answers 503. The shipped systemd units pass systemd-analyze verify.

usage: scale_out_test.py SERVICE DEMO SOURCE_DIR CERT_DIR
"""
import concurrent.futures, http.client, http.cookiejar, json, os, re, shutil, signal, socket, ssl
import subprocess, sys, tempfile, threading, time, urllib.error, urllib.parse, urllib.request

NGINX = "/usr/sbin/nginx"
PASSWORD = "correct horse battery"
RUNS, PARALLEL, KILL_AFTER = 12, 3, 4
SERVICE = DEMO = SOURCE = CERTS = TLS = None  # set by configure(); bench/run-scale uses this file


def configure(service, demo, source, certs):
    global SERVICE, DEMO, SOURCE, CERTS, TLS
    SERVICE, DEMO, SOURCE, CERTS = service, demo, source, certs
    TLS = ssl.create_default_context(cafile=os.path.join(CERTS, "ca.pem"))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Instance:
    def __init__(self, database, work, name):
        self.log = open(os.path.join(work, name + ".log"), "w")
        self.proc = subprocess.Popen(
            [SERVICE, "--port", "0", "--admin-port", "0", "--database", database,
             "--config", os.path.join(SOURCE, "server/sample-service-config.json"),
             "--cert", os.path.join(CERTS, "server.pem"), "--key", os.path.join(CERTS, "server-key.pem"),
             "--trusted-proxy", "127.0.0.1", "--admin-bind", "::"],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        ports, deadline = {}, time.monotonic() + 30
        while len(ports) < 2 and time.monotonic() < deadline:
            match = re.match(r"(dashboard on|listening on) (\d+)", self.proc.stdout.readline())
            if not match:
                break
            ports[match.group(1)] = int(match.group(2))
        assert len(ports) == 2, name + " did not start; see " + self.log.name
        self.public, self.admin = ports["listening on"], ports["dashboard on"]

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        self.proc.wait(timeout=30)


def nginx_configuration(work, a, b, public, dashboard, tls=True):
    """The shipped file with loopback ports and the test's certificates in place of its examples;
    without tls the public side is plain HTTP (the upstream side stays TLS)."""
    with open(os.path.join(SOURCE, "deploy/nginx/tessaline.conf")) as shipped:
        text = shipped.read()
    server, key = os.path.join(CERTS, "server.pem"), os.path.join(CERTS, "server-key.pem")
    for old, new in [("10.0.0.11:8443", "127.0.0.1:%d" % a.public), ("10.0.0.12:8443", "127.0.0.1:%d" % b.public),
                     ("10.0.0.11:8444", "127.0.0.1:%d" % a.admin), ("10.0.0.12:8444", "127.0.0.1:%d" % b.admin),
                     ("listen 443 ssl", "listen 127.0.0.1:%d%s" % (public, " ssl" if tls else "")),
                     ("listen 10.0.0.10:8444 ssl", "listen 127.0.0.1:%d ssl" % dashboard),
                     ("/etc/tessaline/tls/internal-ca.pem", os.path.join(CERTS, "ca.pem")),
                     ("proxy_ssl_name tessaline-service.internal", "proxy_ssl_name localhost"),
                     ("/etc/tessaline/tls/feedback.example.com.pem", server),
                     ("/etc/tessaline/tls/feedback.example.com-key.pem", key),
                     ("/etc/tessaline/tls/triage.example.internal.pem", server),
                     ("/etc/tessaline/tls/triage.example.internal-key.pem", key)]:
        assert old in text, "deploy/nginx/tessaline.conf no longer has " + old
        text = text.replace(old, new)
    with open(os.path.join(work, "tessaline.conf"), "w") as site:
        site.write(text)
    with open(os.path.join(work, "nginx.conf"), "w") as main:
        main.write("daemon off;\nworker_processes 1;\npid %(w)s/nginx.pid;\nerror_log %(w)s/error.log;\n%(user)s"
                   "events { worker_connections 256; }\nhttp {\n"
                   "  log_format upstreams '$request $status $upstream_addr $upstream_status';\n"
                   "  access_log %(w)s/access.log upstreams;\n"
                   "  client_body_temp_path %(w)s/body;\n  proxy_temp_path %(w)s/proxy;\n  fastcgi_temp_path %(w)s/fastcgi;\n"
                   "  uwsgi_temp_path %(w)s/uwsgi;\n  scgi_temp_path %(w)s/scgi;\n"
                   "  include %(w)s/tessaline.conf;\n}\n" % {"w": work, "user": "user root;\n" if os.geteuid() == 0 else ""})


def start_nginx(work, *ports, tls=True):
    nginx_configuration(work, *ports, tls=tls)
    proc = subprocess.Popen([NGINX, "-p", work, "-c", os.path.join(work, "nginx.conf"),
                             "-e", os.path.join(work, "error.log")])
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", ports[2]), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.1)
    stop_nginx(proc)
    raise AssertionError("nginx did not start")


def stop_nginx(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGQUIT)  # graceful: the requests under way are answered
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=20)


def start_postgres(work):
    """A throw-away PostgreSQL server in work/pg; its URL, or exit 77 where it is not installed."""
    os.chmod(work, 0o755)  # the server runs as its own user under root
    started = subprocess.run([os.path.join(SOURCE, "tests/support/postgres-server"), "start",
                              os.path.join(work, "pg")], capture_output=True, text=True, timeout=120)
    if started.returncode == 77:
        print(started.stderr)
        sys.exit(77)
    assert started.returncode == 0, started.stderr
    return started.stdout.strip()


def stop_postgres(work):
    subprocess.run([os.path.join(SOURCE, "tests/support/postgres-server"), "stop",
                    os.path.join(work, "pg")], timeout=120)


def pending_bytes(port):
    """Bytes sent to a loopback port that its process has not read."""
    rows = [line.split() for table in ("/proc/net/tcp", "/proc/net/tcp6") for line in open(table).readlines()[1:]]
    return sum(int(row[4].split(":")[1], 16) for row in rows
               if int(row[1].rsplit(":", 1)[1], 16) == port and row[3] == "01")  # established


def demo(work, url, run):
    home = os.path.join(work, "home%d" % run)
    os.makedirs(os.path.join(home, "tmp"))
    attachments = [os.path.join(home, name) for name in ("steps.bin", "trace.bin")]
    for size, attachment in zip((200 << 10, 1536 << 10), attachments):
        with open(attachment, "wb") as out:
            out.write(os.urandom(size))
    result = subprocess.run(
        [DEMO, "--reason", "3", "--subject", "Scale run %d" % run, "--message", "Export stalls on a big project.",
         "--email", "user@example.com", "--attach", attachments[0], "--attach", attachments[1], "--no-diagnostics"],
        env={"PATH": os.environ.get("PATH", ""), "HOME": home, "TMPDIR": os.path.join(home, "tmp"),
             "TESSALINE_SERVICE_URL": url, "SSL_CERT_FILE": os.path.join(CERTS, "ca.pem")},
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    found = re.search(r"^Report ID: (\S+)$", result.stdout, re.M)
    assert result.returncode == 0 and found, "run %d: %s%s" % (run, result.stdout, result.stderr)
    return found.group(1), attachments


def dashboard(port, path, form=None, jar=http.cookiejar.CookieJar()):
    """The dashboard on a port, with one cookie jar for all: an API answer decoded, a page's form
    token, or else the bytes answered."""
    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=TLS),
                                         urllib.request.HTTPCookieProcessor(jar))
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    with opener.open("https://127.0.0.1:%d%s" % (port, path), data=data, timeout=30) as answer:
        text = answer.read()
    token = re.search(rb'name="csrf" value="([0-9a-f]{64})"', text)
    return json.loads(text) if path.startswith("/api/") else token and token.group(1).decode() or text


def refused(port, path, form=None):
    """The status and body of an answer the dashboard refuses."""
    try:
        dashboard(port, path, form)
    except urllib.error.HTTPError as error:
        return error.code, error.read()
    raise AssertionError(path + " was not refused")


def verify_units(work):
    """The shipped systemd units load without a complaint, with this build's binary."""
    if not shutil.which("systemd-analyze"):
        return
    units = os.path.join(work, "units")
    os.makedirs(units)
    for name in ("tessaline-service.service", "tessaline-service@.service"):
        with open(os.path.join(SOURCE, "deploy/systemd", name)) as shipped, open(os.path.join(units, name), "w") as out:
            out.write(shipped.read().replace("/usr/local/bin/tessaline-service ", SERVICE + " "))
    checked = subprocess.run(["systemd-analyze", "verify", "./tessaline-service.service", "./tessaline-service@a.service"],
                             cwd=units, capture_output=True, text=True, timeout=60)
    assert checked.returncode == 0 and not checked.stderr.strip(), checked.stderr


def main():
    configure(*sys.argv[1:5])
    if not os.access(NGINX, os.X_OK):
        print("nginx is missing (scripts/setup --test installs nginx-light)")
        sys.exit(77)
    work = tempfile.mkdtemp(prefix="scale-out-test-")
    instances, nginx = [], None
    try:
        verify_units(work)
        database = start_postgres(work)
        a, b = Instance(database, work, "a"), Instance(database, work, "b")
        instances += [a, b]
        added = subprocess.run([SERVICE, "user", "add", "admin", "--database", database],
                               input=PASSWORD + "\n", text=True, capture_output=True, timeout=60)
        assert added.returncode == 0, added.stderr
        public, proxy = free_port(), free_port()
        nginx = start_nginx(work, a, b, public, proxy)

        # A run of submissions; instance a stops, and once an upload waits for it (or after 10 s),
        # dies with SIGKILL.
        answered, lock = [], threading.Lock()

        def kill():
            a.proc.send_signal(signal.SIGSTOP)
            deadline = time.monotonic() + 10
            while pending_bytes(a.public) < (64 << 10) and time.monotonic() < deadline:
                time.sleep(0.05)
            a.proc.kill()

        killer = threading.Thread(target=kill)

        def one(run):
            result = demo(work, "https://127.0.0.1:%d/v1" % public, run)
            with lock:
                answered.append(result)
                if len(answered) == KILL_AFTER:
                    killer.start()
            return result

        with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
            results = [future.result() for future in [pool.submit(one, run) for run in range(RUNS)]]
        killer.join(timeout=30)
        assert a.proc.wait(timeout=30) == -signal.SIGKILL

        # A session made on a restarted a works on b and through nginx.
        a = Instance(database, work, "a2")
        instances.append(a)
        dashboard(a.admin, "/login", {"csrf": dashboard(a.admin, "/login"), "name": "admin", "password": PASSWORD})
        listed = dashboard(b.admin, "/api/reports")
        assert sorted(row["id"] for row in listed["reports"]) == sorted(r[0] for r in results), listed
        for run, (report_id, attachments) in enumerate(results):
            stored = dashboard(proxy, "/api/reports/" + report_id)[0]
            assert stored["subject"] == "Scale run %d" % run and len(stored["attachments"]) == 2, stored
            for attachment, record in zip(attachments, sorted(stored["attachments"], key=lambda r: r["size"])):
                with open(attachment, "rb") as sent:
                    assert dashboard(b.admin, "/reports/%s/attachments/%s/download" % (report_id, record["id"])) == sent.read()
        # A form on b with the token of the session made on a.
        report_id = results[0][0]
        dashboard(b.admin, "/reports/%s/status" % report_id, {"csrf": dashboard(b.admin, "/reports/" + report_id), "value": "triaged"})
        assert dashboard(a.admin, "/api/reports/" + report_id)[0]["status"] == "triaged"
        # The login throttle is shared: five failures on a refuse the right password on b. Through
        # nginx a login counts against the client's address (127.0.0.2), not nginx's (blocked now).
        for attempt in range(6):
            login = {"csrf": dashboard(a.admin, "/login"), "name": "admin", "password": PASSWORD if attempt == 5 else "wrong"}
            assert refused(b.admin if attempt == 5 else a.admin, "/login", login)[0] == (429 if attempt == 5 else 401)
        via_nginx = http.client.HTTPSConnection("127.0.0.1", proxy, context=TLS, timeout=30, source_address=("127.0.0.2", 0))
        via_nginx.request("POST", "/login", "csrf=%s&name=bob&password=x" % ("0" * 64), {
            "Cookie": "tessaline_login=" + "0" * 64, "Content-Type": "application/x-www-form-urlencoded"})
        assert via_nginx.getresponse().status == 401
        # Without its database the dashboard answers 503, as the API does.
        stop_postgres(work)
        assert refused(b.admin, "/api/reports") == (503, b'{"error":"the dashboard cannot reach its database now"}\n')
        assert refused(a.admin, "/login", {"csrf": dashboard(a.admin, "/login"), "name": "admin", "password": PASSWORD})[0] == 503
        for instance in (a, b):  # a clean exit: no sanitizer report
            instance.stop()
            assert instance.proc.returncode == 0, open(instance.log.name).read()[-4000:]
        with open(os.path.join(work, "access.log")) as log:
            resent = [line for line in log if ", " in line]  # passed to a second instance
        assert resent, "no request was under way at the killed instance"
        print("scale-out: %d reports answered, each stored once; %d requests resent after the kill:\n%s"
              % (RUNS, len(resent), "".join(resent)))
    finally:
        stop_nginx(nginx)
        for instance in instances:
            try:
                instance.stop()
            except subprocess.TimeoutExpired:
                instance.stop(signal.SIGKILL)
        stop_postgres(work)
        if not os.environ.get("KEEP_SCALE_OUT_WORK"):
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
