"""The dashboard in a real browser against the real parambridge-server:
sign-in refused and accepted, a license found by an account number and
revoked through the page's confirmation, the audit row, and the next fetch
of that account answered 205; a form on another origin that posts to the
admin listener is refused with 403 and changes nothing; the set rules and
the CSV export checked in the page as tables.

Screenshots of each step go to --work-dir/screenshots.

/usr/bin/python3 dashboard_test.py --server BIN --work-dir DIR [unittest args]
"""

import argparse
import csv
import http.server
import json
import os
import sys
import threading
import unittest

sys.dont_write_bytecode = True   # nothing written into the source tree
import dashboard  # noqa: E402
from dashboard import By, EC, harness  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

ARGS = None

# (id, accounts, extra license add args)
LICENSES = [
    ("order-1001", "4711001", "--set", "standard", "--expires", "2030-12-31", "--note", "first customer"),
    ("order-1002", "4711002", "--set", "standard", "--expires", "2030-06-30"),
    ("order-1003", "4711003,4711013", "--set", "aggressive", "--max-accounts", "2"),
    ("order-1004", "4711004", "--set", "standard", "--note", "reseller, do not extend"),
]


class CrossSitePage:
    """A page on another loopback address (127.0.0.2) whose form POSTs to
    `action` as soon as it loads: what a foreign site could make a signed-in
    vendor's browser send."""

    def __init__(self, action):
        page = ("<!doctype html><html><body><form id=f method=post action=\"%s\">"
                "<input name=reason value=x></form>"
                "<script>document.getElementById('f').submit()</script></body></html>" % action).encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.httpd = http.server.HTTPServer(("127.0.0.2", 0), Handler)
        self.url = "http://127.0.0.2:%d/" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


class DashboardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.shots = os.path.join(ARGS.work_dir, "screenshots")
        os.makedirs(cls.shots, exist_ok=True)
        cls.lock = harness.PortLock().__enter__()
        cls.driver = None
        try:
            cls.server = harness.ProductServer(ARGS.server, os.path.join(ARGS.work_dir, "server"),
                                               product=dashboard.PRODUCT, base_path=dashboard.BASE_PATH)
            dashboard.seed(cls.server, ARGS.work_dir, LICENSES)
            cls.base = dashboard.serve(cls.server)
            cls.downloads = os.path.join(ARGS.work_dir, "downloads")
            os.makedirs(cls.downloads, exist_ok=True)
            for name in os.listdir(cls.downloads):
                os.unlink(os.path.join(cls.downloads, name))
            cls.driver = dashboard.browser(download_dir=cls.downloads)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.quit()
        if getattr(cls, "server", None) is not None:
            cls.server.stop()
        cls.lock.__exit__(None, None, None)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))

    def license_state(self, license_id):
        return json.loads(self.server.cli("license", "show", dashboard.PRODUCT, license_id, "--json"))["state"]

    def signed_in(self):
        """Shows the licenses table, signing in first unless the browser's
        session is still valid."""
        self.driver.get(self.base + "/#/")
        first = dashboard.wait(self.driver).until(EC.any_of(
            EC.presence_of_element_located((By.ID, "licenses-table")),
            EC.visibility_of_element_located((By.ID, "signin-name"))))
        if first.get_attribute("id") == "signin-name":
            dashboard.sign_in(self.driver, self.base)
            dashboard.wait(self.driver).until(EC.presence_of_element_located((By.ID, "licenses-table")))

    def test_a_wrong_password_is_refused(self):
        dashboard.sign_in(self.driver, self.base, password="not the password")
        error = dashboard.wait(self.driver).until(
            lambda d: d.find_element(By.ID, "signin-error").text or None)
        self.shot("01-wrong-password")
        self.assertEqual(error, "Wrong name or password.")
        self.assertEqual(self.driver.find_elements(By.ID, "licenses-table"), [])

    def test_a_too_many_attempts_say_how_long(self):
        """Attempt by attempt for one name, what the sign-in page says: the
        sixth failure within 15 minutes is refused with how long to wait.
        (Another name than the admin's, who signs in below.)"""
        table = [(n, "Wrong name or password.") for n in range(1, 6)] + [(6, "Too many attempts. Try again in ")]
        for attempt, said in table:
            with self.subTest(attempt=attempt):
                dashboard.sign_in(self.driver, self.base, password="not the password", name="intruder")
                error = dashboard.wait(self.driver).until(
                    lambda d: d.find_element(By.ID, "signin-error").text or None, "the sign-in page's answer")
                self.assertTrue(error.startswith(said), error)
        self.shot("01b-too-many-attempts")

    def test_b_revoke_through_the_dialog_reaches_the_fetch(self):
        d = self.driver
        self.assertEqual(dashboard.fetch("4711002"), 100)
        self.signed_in()
        self.shot("02-licenses")
        d.find_element(By.ID, "search").send_keys("4711002")
        dashboard.wait(d).until(lambda d: [r.get_attribute("data-id") for r in dashboard.rows(d, "licenses-table")]
                                == ["order-1002"])
        self.shot("03-found-by-account")
        d.find_element(By.CSS_SELECTOR, "#licenses-table tbody a").click()
        dashboard.wait(d).until(EC.text_to_be_present_in_element((By.ID, "license-id"), "order-1002"))
        # The fetch above is in its history (the log is written in batches).
        self.server.fetch_log("4711002", 1)
        d.refresh()
        dashboard.wait(d).until(EC.text_to_be_present_in_element((By.ID, "license-fetches"), "granted"))
        d.find_element(By.CSS_SELECTOR, "button[data-action=revoke]").click()
        ok = dashboard.wait(d).until(EC.visibility_of_element_located((By.ID, "confirm-ok")))
        self.shot("04-confirm-revoke")
        self.assertEqual(self.license_state("order-1002"), "active")   # nothing before the confirmation
        ok.click()
        dashboard.wait(d).until(EC.text_to_be_present_in_element((By.ID, "license-state"), "revoked"),
                                "the license page to show revoked")
        dashboard.wait(d).until(EC.invisibility_of_element_located((By.ID, "confirm")))
        self.shot("05-revoked")
        self.assertEqual(self.license_state("order-1002"), "revoked")

        d.find_element(By.CSS_SELECTOR, "#nav a[data-view=audit]").click()
        row = dashboard.wait(d).until(lambda d: next(
            (r for r in dashboard.rows(d, "audit-table") if "order-1002" in r.text and "revoke" in r.text), None))
        self.assertIn(dashboard.ADMIN, row.text)
        self.assertIn("session", row.text)
        self.shot("06-audit")

        self.assertEqual(dashboard.fetch("4711002"), 205)
        self.assertEqual(dashboard.fetch("4711001"), 100)

    def test_c_a_cross_site_form_is_refused(self):
        d = self.driver
        self.signed_in()
        target = "%s/api/v1/products/%s/licenses/order-1003/revoke" % (self.base, dashboard.PRODUCT)
        page = CrossSitePage(target)
        try:
            d.get_log("performance")   # drop what came before
            d.get(page.url)
            dashboard.wait(d).until(lambda d: d.current_url == target, "the cross-site form's answer")
            status = self.response_status(target)
            self.shot("07-cross-site-refused")
        finally:
            page.close()
        self.assertEqual(status, 403)
        # Chromium shows a JSON answer as text in a <pre>.
        self.assertEqual(json.loads(d.find_element(By.TAG_NAME, "pre").text)["error"], "foreign_origin")
        self.assertEqual(self.license_state("order-1003"), "active")
        self.assertEqual(dashboard.fetch("4711003"), 100)

    def response_status(self, url):
        """The HTTP status of the document the browser got from `url`."""
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.responseReceived":
                response = message["params"]["response"]
                if response["url"] == url:
                    return response["status"]
        return None

    def test_d_set_rules_as_typed(self):
        """The page's rule checks, row by row: (name, value, expected problem
        or None). Sizes are UTF-8 bytes."""
        self.signed_in()
        table = [
            ("lotStep", "0.01", None),
            ("", "1", "the name must not be empty"),
            ("a=b", "1", "'=', '&' or NUL"),
            ("a&b", "1", "'=', '&' or NUL"),
            ("n", "x=1", "'=', '&' or NUL"),
            ("n", "x&1", "'=', '&' or NUL"),
            ("n", "a\u0000b", "'=', '&' or NUL"),
            ("n", "", "the value is empty"),
            ("error", "1", "the server's own"),
            ("errorD", "1", "the server's own"),
            ("Error", "1", None),
            ("x" * 255, "1", None),
            ("x" * 256, "1", "longer than 255 bytes"),
            ("\u00e9" * 128, "1", "longer than 255 bytes"),   # 256 bytes in 128 characters
            ("v", "y" * 4096, None),
            ("v", "\u20ac" * 1366, "longer than 4096 bytes"),   # 4098 bytes
            ("func101", "1e2", None),
        ]
        for name, value, expected in table:
            with self.subTest(name=name[:20], value=value[:20]):
                got = self.driver.execute_script(
                    "return PB.rules.checkPairs([{name: arguments[0], value: arguments[1]}]).rows[0];",
                    name, value)
                if expected is None:
                    self.assertIsNone(got)
                else:
                    self.assertIsNotNone(got)
                    self.assertIn(expected, got)

        # Whole sets: (pairs, problem of each row, problem of the set).
        sets = [
            ([("a", "1"), ("a", "2")], [None, "given twice"], None),
            ([("a", "1"), ("b", "2"), ("a", "3")], [None, None, "given twice"], None),
            ([("p%d" % i, "1") for i in range(1000)], [None] * 1000, None),
            ([("p%d" % i, "1") for i in range(1001)], [None] * 1001, "at most 1000 parameters"),
            # 17 pairs of 4000-byte values: 17 * (3 + 4000 + 2) = 68085 bytes > 65536.
            ([("n%02d" % i, "v" * 4000) for i in range(17)], [None] * 17, "reply of 68085 bytes"),
        ]
        for pairs, row_problems, set_problem in sets:
            with self.subTest(pairs=len(pairs), first=pairs[0][0]):
                got = self.driver.execute_script(
                    "return PB.rules.checkPairs(arguments[0].map(function (p) {"
                    " return {name: p[0], value: p[1]}; }));", pairs)
                for want, have in zip(row_problems, got["rows"]):
                    if want is None:
                        self.assertIsNone(have)
                    else:
                        self.assertIn(want, have)
                if set_problem is None:
                    self.assertIsNone(got["set"])
                else:
                    self.assertIn(set_problem, got["set"])

    def test_d_audit_details_as_text(self):
        """An audit row's detail as the page shows it: (detail, text)."""
        self.signed_in()
        table = [
            ('{"from":"active","to":"revoked","reason":""}', "from: active, to: revoked"),
            ('{"from":"active","to":"suspended","reason":"refund 77"}',
             "from: active, to: suspended, reason: refund 77"),
            ({"pairs": 3}, "pairs: 3"),
            ('{"accounts":["1","2"],"overrides":{},"expires":null}', "accounts: 1,2"),
            ('{"overrides":[{"name":"a","value":"1"}]}', 'overrides: {"name":"a","value":"1"}'),
            ("{}", ""),
            ("{not json", "{not json"),
            ("plain text", "plain text"),
            (None, ""),
        ]
        for detail, text in table:
            with self.subTest(detail=detail):
                self.assertEqual(self.driver.execute_script("return PB.detailText(arguments[0]);", detail), text)

    def test_e_sets_editor_marks_rows_and_saves(self):
        d = self.driver
        self.signed_in()
        dashboard.show(d, self.base, "#/p/%s/sets/standard" % dashboard.PRODUCT, ".pair-name")
        d.find_element(By.ID, "set-add-row").click()
        d.find_elements(By.CSS_SELECTOR, ".pair-name")[-1].send_keys("errorD")
        d.find_elements(By.CSS_SELECTOR, ".pair-value")[-1].send_keys("a=b")
        problem = d.find_elements(By.CSS_SELECTOR, ".pair-error")[-1].text
        self.assertIn("the server's own", problem)
        self.assertFalse(d.find_element(By.ID, "set-save").is_enabled())
        self.shot("08-set-rule-broken")
        name = d.find_elements(By.CSS_SELECTOR, ".pair-name")[-1]
        name.clear()
        name.send_keys("maxSpread")
        value = d.find_elements(By.CSS_SELECTOR, ".pair-value")[-1]
        value.clear()
        value.send_keys("2.5")
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, ".pair-error")[-1].text, "")
        d.find_element(By.ID, "set-save").click()
        dashboard.wait(d).until(EC.text_to_be_present_in_element((By.ID, "set-saved"), "Saved"), "the set saved")
        shown = json.loads(self.server.cli("set", "show", dashboard.PRODUCT, "standard", "--json"))
        self.assertIn("maxSpread", json.dumps(shown))

    def test_g_live_view_polls_and_charts_draw(self):
        """A refusal made while the live view is open shows up there without
        a reload; the charts count it under its reason."""
        d = self.driver
        self.signed_in()
        dashboard.show(d, self.base, "#/p/%s/live" % dashboard.PRODUCT, "#live-refusals")
        self.assertNotIn("9990001", d.find_element(By.ID, "live-refusals").text)
        self.assertEqual(dashboard.fetch("9990001"), 201)
        dashboard.wait(d).until(EC.text_to_be_present_in_element((By.ID, "live-refusals"), "9990001"),
                                "the refusal of 9990001 in the live view")
        row = next(r for r in dashboard.rows(d, "live-refusals") if "9990001" in r.text)
        self.assertIn("201 unknown account", row.text)
        self.shot("09-live")
        dashboard.show(d, self.base, "#/p/%s/charts" % dashboard.PRODUCT, "#chart-reasons svg")
        reasons = d.find_element(By.ID, "chart-reasons").text
        self.assertIn("201 unknown account", reasons)
        self.assertTrue(d.find_elements(By.CSS_SELECTOR, "#chart-hourly svg rect.bar-refused"))
        self.shot("10-charts")

    def test_f_csv_export_of_every_page(self):
        """CSV fields as a spreadsheet must read them: (value, field)."""
        self.signed_in()
        table = [
            ("order-1", "order-1"),
            ("a,b", '"a,b"'),
            ('say "hi"', '"say ""hi"""'),
            ("two\nlines", '"two\nlines"'),
            ("=HYPERLINK(1)", "'=HYPERLINK(1)"),
            ("+1", "'+1"),
            ("@x", "'@x"),
            ("-5", "-5"),
            ("-1.5", "-1.5"),
            ("-x", "'-x"),
            ("", ""),
        ]
        for value, field in table:
            with self.subTest(value=value):
                self.assertEqual(self.driver.execute_script("return PB.csvField(arguments[0]);", value), field)
        # Every license of the product, fetched page by page (2 a page here).
        text = self.driver.execute_async_script(
            "var done = arguments[arguments.length - 1];"
            "PB.fetchAll(PB.productPath('%s', 'licenses'), {limit: 2}, 'licenses', 'after', 50)"
            ".then(function (all) { done(PB.licensesCsv(all)); }, function (e) { done('failed: ' + e.message); });"
            % dashboard.PRODUCT)
        ids = [line.split(",")[0] for line in text.strip().split("\r\n")[1:]]
        self.assertEqual(sorted(ids), sorted(["12345"] + [row[0] for row in LICENSES]))
        self.assertIn('"4711003,4711013"', text)

        # The button: the licenses the filter shows, as a file.
        d = self.driver
        Select(d.find_element(By.ID, "state-filter")).select_by_value("active")
        d.find_element(By.ID, "search").send_keys("47110")
        dashboard.wait(d).until(lambda d: all(
            "active" in r.text and "47110" in r.text for r in dashboard.rows(d, "licenses-table")))
        d.find_element(By.ID, "export-csv").click()
        path = os.path.join(self.downloads, "%s-licenses.csv" % dashboard.PRODUCT)
        dashboard.wait(d).until(lambda d: os.path.exists(path), "the CSV file " + path)
        with open(path, newline="") as f:
            exported = sorted(row["id"] for row in csv.DictReader(f))
        listed = json.loads(self.server.cli("license", "list", dashboard.PRODUCT, "--json"))
        self.assertEqual(exported, sorted(l["id"] for l in listed if l["state"] == "active"
                                          and any("47110" in a for a in l["accounts"])))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--work-dir", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.work_dir = os.path.abspath(ARGS.work_dir)   # Chromium's download folder must be absolute
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
