"""What the dashboard's browser test and `make dashboard-screenshots` share:
a seeded parambridge-server with its admin listener, headless Chromium
through Selenium, the fetch form posted as the DLL posts it, and the
conditions they wait for.

The server is tests/fetch/harness.py's ProductServer; its fetch port is 80
on 127.0.0.1 (so the caller holds harness.PortLock), its admin listener an
ephemeral port on 127.0.0.1, read from the ready file.
"""

import base64
import os
import sys
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fetch"))
import harness  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.common.exceptions import TimeoutException  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PRODUCT = "parambridge"
BASE_PATH = "/parambridge/"
ADMIN = "vendor"
PASSWORD = "correct horse battery staple"
WAIT_SECONDS = 20

_opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def seed(server, work_dir, licenses):
    """The product (server/params.json imported: license 12345), a set,
    `licenses` ((id, accounts, extra args...) rows) and the admin with
    its password, from the command line."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    server.cli("import", PRODUCT, os.path.join(source, "server", "params.json"))
    server.cli("set", "put", PRODUCT, "standard", "func101=1.5", "func102=0.00025", "func103=12345.678",
               "lotStep=0.01")
    server.cli("set", "put", PRODUCT, "aggressive", "func101=3", "func102=0.001", "func103=2500",
               "lotStep=0.1")
    for row in licenses:
        server.cli("license", "add", PRODUCT, row[0], "--accounts", row[1], *row[2:])
    password_file = os.path.join(work_dir, "admin-password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    os.chmod(password_file, 0o600)
    server.cli("admin", "add", ADMIN, "--password-file", password_file)


def serve(server):
    """Starts it (fetch: http on 127.0.0.1:80; admin: an ephemeral port) and
    returns the admin listener's base URL."""
    server.serve(extra=["--admin-listen", "127.0.0.1:0"])
    with open(server.ready) as f:
        lines = dict(line.strip().split("=", 1) for line in f if "=" in line)
    if "admin" not in lines:
        raise RuntimeError("the ready file names no admin listener: %r" % lines)
    return "http://" + lines["admin"]


def fetch(account, account_type=0):
    """The status a fetch of `account` is answered with: the DLL's POST."""
    body = urllib.parse.urlencode({"account": account, "accountType": account_type}).encode()
    req = urllib.request.Request("http://127.0.0.1" + BASE_PATH + "run/", data=body, method="POST",
                                 headers={"Content-Type": "application/x-www-form-urlencoded",
                                          "User-Agent": "PostSample/1.0"})
    with _opener.open(req, timeout=30) as r:
        text = base64.b64decode(r.read()).decode("latin-1")
    pairs = text.split("&")
    values = dict(p.split("=", 1) for p in pairs if "=" in p)
    return int(values["error"])


def browser(download_dir=None):
    """Headless Chromium at 1280x800 with the browser and network logs."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--window-size=1280,800", "--disable-gpu", "--no-proxy-server",
                "--disable-dev-shm-usage", "--hide-scrollbars"):
        options.add_argument(arg)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    if download_dir:
        options.add_experimental_option("prefs", {"download.default_directory": os.path.abspath(download_dir)})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # The page itself 1280x800, whatever the window's frame takes.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
    return driver


# The page's own error texts, for a failed wait's message.
ERROR_ELEMENTS = ("banner", "signin-error", "confirm-error", "set-error")


class PageWait(WebDriverWait):
    """WebDriverWait whose timeout fails the test with what was awaited, the
    page's address and the errors it shows."""

    def until(self, method, message=""):
        try:
            return super().until(method, message)
        except TimeoutException:
            shown = []
            for element_id in ERROR_ELEMENTS:
                for el in self._driver.find_elements(By.ID, element_id):
                    if el.text:
                        shown.append("%s: %s" % (element_id, el.text))
            raise AssertionError("waited %d s in vain%s at %s; the page shows %s"
                                 % (WAIT_SECONDS, " for " + message if message else "",
                                    self._driver.current_url, "; ".join(shown) or "no error")) from None


def wait(driver):
    return PageWait(driver, WAIT_SECONDS)


def sign_in(driver, base, password=PASSWORD, name=ADMIN):
    """Fills in the sign-in page, freshly loaded (no answer of an earlier
    attempt left on it), and sends it."""
    if driver.current_url == base + "/#/signin":
        driver.refresh()
    else:
        driver.get(base + "/#/signin")
    field = wait(driver).until(EC.visibility_of_element_located((By.ID, "signin-name")))
    field.clear()
    field.send_keys(name)
    field = driver.find_element(By.ID, "signin-password")
    field.clear()
    field.send_keys(password)
    driver.find_element(By.ID, "signin-submit").click()


def rows(driver, table_id):
    return driver.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table_id)


def show(driver, base, hash_route, ready_css):
    """Opens a route and waits until `ready_css` is on the page."""
    driver.get(base + "/" + hash_route)
    return wait(driver).until(EC.presence_of_element_located((By.CSS_SELECTOR, ready_css)))
