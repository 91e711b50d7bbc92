#!/usr/bin/env python3
"""Writes the soak run's task file (bench/soak.sh): 200 scheduled tasks against local servers.

    make_tasks.py OUT.cvn WEB_PORT HOOK_PORT

The mix, every task due every 11 to 60 s:
- 158 page checks that succeed, half of them also looking for a text;
- 30 that fail (a closed port, a 500, a 404, a text that is not on the page), alerting the
  hook at http://127.0.0.1:HOOK_PORT/alert/... on every failure, or on every third one in a row;
- 8 pings of 127.0.0.1, which succeed;
- 4 crawls of the generated site served at the web server's root: over 1, 4 and the default
  8 connections, which succeed, and one from a page that adds a broken link, which fails.
The program starts at most one task a second, so 200 tasks due every 11 to 60 s keep it busy
all the time: each task then runs about every 200 s, and the schedule never idles.
Each task gets a fixed key (a name-based UUID), so two runs of the soak write the same file.
"""
import argparse
import sys
import uuid

# The 21 keys every task file holds, in the order the program writes them; the stable key
# follows, then the newer keys a task uses (the program writes those only when they differ
# from what a file without them means, and so does this script).
BASE_KEYS = (
    "m_AlertMethods", "m_AlertEmailAddresses", "m_AlertHttpUrl", "m_AlertApplicationName",
    "m_bUseDefaultAlertMethods", "m_Name", "m_Description", "m_PingHost", "m_TimeoutSec",
    "m_PingInterval", "m_HttpGetURL", "m_ExpectedPattern", "m_CheckAction", "m_MaxFailCount",
    "m_bTaskScheduled", "m_SpiderUrl", "m_bSpiderLimitPageNumber", "m_bSpiderLimitDepth",
    "m_SpiderMaxPageNumber", "m_SpiderMaxDepth", "m_bAlertAboutFailuresOnly",
)
CHECK_PING, CHECK_GET, CHECK_GET_PATTERN, CHECK_CRAWL = 1, 2, 3, 4
ALERT_HTTP = 4
KEY_NAMESPACE = uuid.UUID("6b0d0c56-3c1e-4a8e-9a57-3f1f6c2e9d41")

# Interval lengths in seconds, primes so that tasks seldom fall due in the same second. The
# program is saturated either way; short intervals keep it so from the first minute.
OK_INTERVALS = (17, 23, 29, 31, 37, 41, 43, 47, 53, 59)
FAIL_INTERVALS = (11, 13, 19, 23, 29)


def task(name, action, interval, **keys):
    values = {
        "m_AlertMethods": 0, "m_AlertEmailAddresses": "", "m_AlertHttpUrl": "",
        "m_AlertApplicationName": "", "m_bUseDefaultAlertMethods": 0, "m_Name": name,
        "m_Description": "Soak run", "m_PingHost": "", "m_TimeoutSec": 5,
        "m_PingInterval": interval, "m_HttpGetURL": "", "m_ExpectedPattern": "",
        "m_CheckAction": action, "m_MaxFailCount": 0, "m_bTaskScheduled": 1, "m_SpiderUrl": "",
        "m_bSpiderLimitPageNumber": 0, "m_bSpiderLimitDepth": 0, "m_SpiderMaxPageNumber": 5,
        "m_SpiderMaxDepth": 2, "m_bAlertAboutFailuresOnly": 1,
    }
    values.update(keys)
    values["m_TaskGuid"] = str(uuid.uuid5(KEY_NAMESPACE, name))
    return values


def build(web, hook):
    base = f"http://127.0.0.1:{web}"
    # The hook's path names the state and the task, so its counts can be told apart by hand.
    alert = {"m_AlertMethods": ALERT_HTTP, "m_AlertHttpUrl": f"http://127.0.0.1:{hook}/alert/%S/%N"}
    tasks = []
    for i in range(158):
        interval = OK_INTERVALS[i % len(OK_INTERVALS)]
        if i % 2:
            tasks.append(task(f"Page {i} text", CHECK_GET_PATTERN, interval, m_HttpGetURL=f"{base}/soak/page/{i}.html",
                              m_ExpectedPattern="all systems nominal", **alert))
        else:
            tasks.append(task(f"Page {i}", CHECK_GET, interval, m_HttpGetURL=f"{base}/soak/page/{i}.html", **alert))
    # Port 1 (tcpmux) is privileged and served by nothing on a test machine: refused at once.
    failing = (
        [("Closed port", CHECK_GET, {"m_HttpGetURL": "http://127.0.0.1:1/"})] * 8
        + [("Server error", CHECK_GET, {"m_HttpGetURL": f"{base}/soak/status/500"})] * 8
        + [("Not found", CHECK_GET, {"m_HttpGetURL": f"{base}/soak/status/404"})] * 6
        + [("Text missing", CHECK_GET_PATTERN,
            {"m_HttpGetURL": f"{base}/soak/page/missing.html", "m_ExpectedPattern": "this text is never served"})] * 8
    )
    for i, (label, action, keys) in enumerate(failing):
        # Every fourth one alerts only on the third failure in a row, so the count of failures
        # in a row is exercised too; the others alert on every failure.
        max_fail = 2 if i % 4 == 3 else 0
        tasks.append(task(f"{label} {i}", action, FAIL_INTERVALS[i % len(FAIL_INTERVALS)],
                          m_MaxFailCount=max_fail, **keys, **alert))
    for i in range(8):
        tasks.append(task(f"Ping {i}", CHECK_PING, 15 + i, m_PingHost="127.0.0.1", m_TimeoutSec=2, **alert))
    crawls = (
        ("Crawl one connection", "/index.html", {"m_SpiderConnections": 1}),
        ("Crawl four connections", "/index.html", {"m_SpiderConnections": 4}),
        ("Crawl two levels", "/index.html", {"m_bSpiderLimitDepth": 1, "m_SpiderMaxDepth": 2}),
        ("Crawl with a broken link", "/soak/links.html", {}),
    )
    for i, (name, path, keys) in enumerate(crawls):
        tasks.append(task(name, CHECK_CRAWL, 45 + 5 * i, m_SpiderUrl=f"{base}{path}", m_TimeoutSec=10,
                          **keys, **alert))
    return tasks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("web_port", type=int)
    parser.add_argument("hook_port", type=int)
    args = parser.parse_args()

    tasks = build(args.web_port, args.hook_port)
    lines = ["[Global]", f"EntryCount={len(tasks)}"]
    for number, values in enumerate(tasks):
        lines.append(f"[Task {number}]")
        for key in BASE_KEYS:
            lines.append(f"{key}={values.pop(key)}")
        lines.append(f"m_TaskGuid={values.pop('m_TaskGuid')}")
        lines.extend(f"{key}={value}" for key, value in values.items())
    with open(args.out, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(lines) + "\n")
    print(len(tasks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
