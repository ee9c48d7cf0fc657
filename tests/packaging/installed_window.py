#!/usr/bin/python3
"""The installed desktop program shows its first window: run inside
scripts/gui-session.sh.

    installed_window.py USR IMAGE WORK_DIR

Starts USR/bin/tessa-loft on IMAGE with a fresh settings folder, waits until
a screen reader finds the four-step wizard's first page with the image
selected, checks that the window carries an icon and the desktop entry's
class, and leaves a screenshot in WORK_DIR/installed-window.png.
"""
import os
import subprocess
import sys
import time

from dogtail.config import config
from dogtail.tree import root

config.searchCutoffCount = 40
usr, image, work = sys.argv[1:4]
config_dir = os.path.join(work, "gui-config")
os.makedirs(config_dir, exist_ok=True)
# The scratch root's data folder first, as an installed system's own would be.
env = dict(os.environ, TESSALOFT_CONFIG_DIR=config_dir,
           XDG_DATA_DIRS=os.path.join(usr, "share") + ":/usr/share")
process = subprocess.Popen([os.path.join(usr, "bin", "tessa-loft"), image], env=env)


def fail(message):
    subprocess.run(["import", "-window", "root", os.path.join(work, "installed-failure.png")])
    process.kill()
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(condition, what, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        if process.poll() is not None:
            fail("the program ended (%d) while waiting for %s" % (process.returncode, what))
        try:
            if condition():
                return
        except Exception:
            pass
        time.sleep(0.25)
    fail("waited %d s for %s" % (seconds, what))


def showing(app, name, role):
    return bool(app.findChildren(lambda n: n.roleName == role and n.name == name and n.showing))


apps = []
wait_for(lambda: apps.extend(a for a in root.applications() if a.name == "tessa-loft") or apps,
         "the program on the accessibility bus")
app = apps[0]
wait_for(lambda: showing(app, "Step 1 of 4: Select drive", "label"), "the wizard's first page")
wait_for(lambda: showing(app, os.path.basename(image), "table cell"), "the image in the drive list")

# The top-level window: its X properties name the desktop entry and carry an icon.
tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
windows = [line.split()[0] for line in tree.splitlines() if "Documents Tessa-Loft" in line]
if not windows:
    fail("no top-level window is called Documents Tessa-Loft:\n" + tree)
properties = "".join(subprocess.run(["xprop", "-id", w], capture_output=True, text=True).stdout for w in windows)
if "_NET_WM_ICON(CARDINAL)" not in properties:
    fail("the window carries no icon")
# The desktop ties an X11 window to its menu entry (and icon) by its class,
# which the entry names as StartupWMClass.
entry = open(os.path.join(usr, "share/applications/org.tessaloft.TessaLoft.desktop")).read()
if 'WM_CLASS(STRING) = "tessa-loft", "tessa-loft"' not in properties or "StartupWMClass=tessa-loft\n" not in entry:
    fail("the window's class is not the one its desktop entry names:\n" + properties)
subprocess.run(["import", "-window", "root", os.path.join(work, "installed-window.png")], check=True)
process.terminate()
process.wait(30)
print("the installed program showed its first window")
