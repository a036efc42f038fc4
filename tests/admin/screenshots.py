"""make dashboard-screenshots: docs/images/dashboard-*.png from a demo
database (a product, thirty licenses in every state, three days of fetch
history), served by parambridge-server and shown in headless Chromium at
1280x800.

/usr/bin/python3 screenshots.py --server BIN --work-dir DIR --out docs/images
"""

import argparse
import datetime
import os
import random
import sqlite3
import sys

sys.dont_write_bytecode = True   # nothing written into the source tree
import dashboard  # noqa: E402
from dashboard import By, EC, harness  # noqa: E402

DAYS_OF_HISTORY = 3


def demo_licenses(today):
    """(id, accounts, extra args) rows: mostly active, a few expiring soon,
    expired, suspended or revoked."""
    rows = []
    for i in range(30):
        order = "order-%d" % (2001 + i)
        accounts = "55%05d" % (1001 + i) + (",55%05d" % (5001 + i) if i % 5 == 0 else "")
        expires = today + datetime.timedelta(days=[400, 200, 9, 90, -5, 365][i % 6])
        args = ["--set", "aggressive" if i % 4 == 0 else "standard", "--expires", expires.isoformat()]
        if i % 5 == 0:
            args += ["--max-accounts", "2"]
        if i % 7 == 3:
            args += ["--note", "paid by invoice %d" % (9000 + i)]
        rows.append((order, accounts) + tuple(args))
    return rows


def status_of(license_state, expired):
    if license_state == "revoked":
        return 205
    if license_state == "suspended":
        return 204
    return 203 if expired else 100


def write_history(db, product, licenses, states, today, now_us):
    """Fetches of every license's accounts (and of unknown ones) over the
    last days: more by day than by night, each told what its license says."""
    rng = random.Random(7)
    rows = []
    hours = DAYS_OF_HISTORY * 24
    for back in range(hours, 0, -1):
        hour_us = now_us - back * 3600 * 1000000
        hour_of_day = (hour_us // 3600000000) % 24
        count = rng.randint(25, 45) if 6 <= hour_of_day <= 21 else rng.randint(5, 15)
        for _ in range(count):
            t = hour_us + rng.randint(0, 3599 * 1000000)
            if rng.random() < 0.06:
                account, status = str(rng.randint(1000000, 9999999)), 201
            else:
                lic = rng.choice(licenses)
                account = rng.choice(lic[1].split(","))
                expires = datetime.date.fromisoformat(lic[lic.index("--expires") + 1])
                status = status_of(states[lic[0]], expires < today)
            rows.append((t, product, account, rng.choice([0, 0, 0, 2]), "198.51.100.%d" % rng.randint(2, 250),
                         1, status, rng.randint(600, 2400), "vps-1"))
    with sqlite3.connect(db) as conn:
        conn.executemany("INSERT INTO fetch_log (time_us, product, account, account_type, peer, https, status,"
                         " micros, instance) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    today = now.date()
    licenses = demo_licenses(today)
    states = {lic[0]: "active" for lic in licenses}

    with harness.PortLock():
        server = harness.ProductServer(args.server, args.work_dir, product=dashboard.PRODUCT,
                                       base_path=dashboard.BASE_PATH)
        dashboard.seed(server, args.work_dir, licenses)
        for order, state in (("order-2008", "suspend"), ("order-2013", "revoke"), ("order-2022", "revoke")):
            server.cli("license", state, dashboard.PRODUCT, order)
            states[order] = "suspended" if state == "suspend" else "revoked"
        write_history(server.db, dashboard.PRODUCT, licenses, states, today, int(now.timestamp() * 1000000))
        driver = None
        try:
            base = dashboard.serve(server)
            for account in ("5501001", "5501013", "5501002"):
                dashboard.fetch(account)
            driver = dashboard.browser()
            dashboard.sign_in(driver, base)
            dashboard.wait(driver).until(EC.presence_of_element_located((By.ID, "licenses-table")))

            def shot(name):
                path = os.path.join(args.out, "dashboard-%s.png" % name)
                driver.save_screenshot(path)
                print("wrote " + path)

            shot("licenses")
            # A change through the dashboard, so that the audit log holds one.
            dashboard.show(driver, base, "#/p/%s/license/order-2005" % dashboard.PRODUCT, "#license-fetches")
            driver.find_element(By.CSS_SELECTOR, "button[data-action=extend]").click()
            dashboard.wait(driver).until(EC.visibility_of_element_located((By.ID, "confirm-ok"))).click()
            dashboard.wait(driver).until(EC.invisibility_of_element_located((By.ID, "confirm")))
            dashboard.show(driver, base, "#/p/%s/license/order-2001" % dashboard.PRODUCT,
                           "#license-fetches tbody tr")
            shot("license")
            dashboard.show(driver, base, "#/p/%s/sets/standard" % dashboard.PRODUCT, ".pair-name")
            driver.find_element(By.ID, "set-add-row").click()
            driver.find_elements(By.CSS_SELECTOR, ".pair-name")[-1].send_keys("maxSpread")
            driver.find_elements(By.CSS_SELECTOR, ".pair-value")[-1].send_keys("2.5&3")
            shot("sets")
            dashboard.show(driver, base, "#/p/%s/charts" % dashboard.PRODUCT, "#chart-reasons svg")
            shot("charts")
            dashboard.show(driver, base, "#/audit", "#audit-table tbody tr")
            shot("audit")
        finally:
            if driver is not None:
                driver.quit()
            server.stop()


if __name__ == "__main__":
    main()
