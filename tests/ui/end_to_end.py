#!/usr/bin/python3
"""The desktop program as a person uses it, through what a screen reader
finds: run inside scripts/gui-session.sh.

    end_to_end.py TESSA_LOFT TESSA_LOFT_CLI SOURCE_DIR WORK_DIR

Starts tessa-loft on a FAT image made by mkfs.fat and mtools, starts the
analysis from the tool bar, waits for "Ready" and reads the log's summary
(the command-line program must count the same), checks two deleted files
of a deleted folder and a live one, recovers them through the Recover and
progress dialogs and compares them with icat's output, sets the retry attempts on
the settings sheet's Drive Access page and hides the log pane, exits through
the confirmation, starts again and finds both kept. Then, on an NTFS image
made by mkntfs and ntfs-3g, recovers deleted and live files the same way,
filters to deleted files, searches by name and reads a file's offset in the
information dialog against istat. Last, on an image of lost pictures, runs
the sector scan from the Analyze drop-down and recovers a picture whose end
is unknown by answering the probable-size question.
"""
import os
import re
import shutil
import subprocess
import sys
import time

import pyatspi

from dogtail.config import config
from dogtail.rawinput import click, pressKey, typeText
from dogtail.tree import root

config.searchCutoffCount = 40
config.defaultDelay = 0.2

program, cli, source, work = sys.argv[1:5]
# Every run starts from the defaults: the test itself changes the settings it keeps.
config_dir = os.path.join(work, "config")
shutil.rmtree(config_dir, ignore_errors=True)
shutil.rmtree(os.path.join(work, "cli"), ignore_errors=True)
os.makedirs(config_dir)
env = dict(os.environ, TESSALOFT_CONFIG_DIR=config_dir)

fixtures = os.path.join(work, "fat")
subprocess.run(["bash", os.path.join(source, "tests/fixtures/fixture.sh"), "make_fat_images.sh", fixtures],
               check=True)
image = os.path.join(fixtures, "fat32.img")


def fail(message):
    subprocess.run(["import", "-window", "root", os.path.join(work, "failure.png")])
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(condition, what, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        try:
            if condition():
                return
        except Exception:
            pass
        time.sleep(0.25)
    fail("waited %d s for %s" % (seconds, what))


def start(*arguments):
    process = subprocess.Popen([program, *arguments], env=env)
    found = []

    def reachable():
        found[:] = [a for a in root.applications() if a.name == "tessa-loft"]
        return bool(found)

    wait_for(reachable, "the program on the accessibility bus")
    return process, found[0]


def command(app, menu, item):
    """Chooses `item` of the menu bar's `menu`, as a person clicks them."""
    top = app.child(name=menu, roleName="menu item")
    top.click()
    top.child(name=item, roleName="menu item").click()


def dialog(app, title, what):
    """The open dialog called `title`: its buttons are looked for in it alone,
    as the main window has buttons of the same names (the find bar's Cancel)."""
    found = []
    wait_for(lambda: found.append(app.child(name=title, roleName="dialog", retry=False)) or True, what)
    return found[0]


def open_drive_access(app):
    """The settings sheet from the tool bar, at its Drive Access page: the sheet and its retry field."""
    app.child(name="Settings", roleName="push button").click()
    sheet = dialog(app, "Program Settings", "the settings sheet")
    sheet.child(name="Drive Access", roleName="page tab").click()
    return sheet, sheet.child(name="Retry attempts", roleName="spin button")


def exit_through_menu(app, process):
    command(app, "File", "Exit")
    yes = []
    wait_for(lambda: yes.append(app.child(name="Yes", roleName="push button", retry=False)) or True,
             "the exit confirmation")
    yes[0].click()
    try:
        code = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        fail("the program did not end after Yes")
    if code != 0:
        fail("exit code %d" % code)


# The summary the command-line program logs for the same image.
expected = re.search(r"Analysis completed\. Found \d+ folder\(s\) and \d+ file\(s\)\.",
                     subprocess.run([cli, "--config-dir", os.path.join(work, "cli"), "analyze", image],
                                    capture_output=True, text=True, check=True).stderr)
if not expected:
    fail("the command-line program logs no summary")

def analyse(app):
    """Starts the analysis from the tool bar and waits for its summary and Ready; returns the log."""
    app.child(name="Analyze", roleName="push button").click()
    return analyse_ends(app)


def analyse_ends(app):
    """Waits for the analysis's summary in the log and for Ready; returns the log."""
    status = app.child(name="Status", roleName="label")
    state = app.child(name="Analysis state", roleName="label")
    log = app.child(name="Log", roleName="text")
    wait_for(lambda: "Analysis completed" in log.text, "the analysis's summary in the log")
    wait_for(lambda: state.description == "Idle" and status.description == "Ready", "Ready")
    return log


def inside(cell, view):
    (x, y), (w, h) = cell.position, cell.size
    (vx, vy), (vw, vh) = view.position, view.size
    return vx <= x and vy <= y and x + w <= vx + vw and y + h <= vy + vh


def check(files, name):
    """Clicks the file's row and checks it with the space bar, as a keyboard
    user does; a row below the visible ones is reached by typing its first
    letter until the list has moved to it."""
    wait_for(lambda: files.child(name=name, roleName="table cell", retry=False), name + " in the list")
    cell = files.child(name=name, roleName="table cell")
    if not inside(cell, files):
        visible = [c for c in files.findChildren(lambda n: n.roleName == "table cell") if inside(c, files)]
        visible[0].click()
        for _ in range(40):
            typeText(name[0])
            if cell.getState().contains(pyatspi.STATE_SELECTED):
                break
        else:
            fail("typing %r never reached %s" % (name[0], name))
    else:
        cell.click()
    pressKey("space")
    wait_for(lambda: cell.checked, name + " checked")


def recover(app, recovered, source_image, expected_files, answer=None):
    """Recovers the checked files through the Recover and progress dialogs
    (`answer` answers what the recovery asks) and compares each with its
    expected bytes: icat's output of the inode given, or the bytes given."""
    shutil.rmtree(recovered, ignore_errors=True)
    app.child(name="Recover", roleName="push button").click()
    destination = []
    wait_for(lambda: destination.append(app.child(name="Destination folder", roleName="text", retry=False)) or True,
             "the Recover dialog")
    destination[0].text = recovered
    dialog(app, "Recover", "the Recover dialog").child(name="OK", roleName="push button").click()
    if answer:
        answer()
    progress = []
    wait_for(lambda: progress.append(app.child(name="Recovering files...", roleName="dialog", retry=False)) or True,
             "the progress dialog")
    wait_for(lambda: progress[0].child(name="Go to Recovered...", roleName="push button", retry=False).showing,
             "the end of the recovery")
    progress[0].child(name="OK", roleName="push button").click()
    wait_for(lambda: not progress[0].showing, "the progress dialog to close")
    for name, inode in expected_files:
        path = os.path.join(recovered, name)
        if not os.path.exists(path):
            fail("%s was not recovered: %s" % (name, os.listdir(recovered) if os.path.isdir(recovered) else "no folder"))
        wanted = inode if isinstance(inode, bytes) else \
            subprocess.run(["icat", source_image, inode], capture_output=True, check=True).stdout
        with open(path, "rb") as copy:
            if copy.read() != wanted:
                fail("%s differs from what it should hold" % name)
    if len(os.listdir(recovered)) != len(expected_files):
        fail("more than the checked files came back: %s" % os.listdir(recovered))


def recover_old_projects(app, source_image, recovered, inodes):
    """Checks Plan.txt and Budget Sheet.csv of the deleted folder "Old
    Projects" and README.TXT of the root, recovers them and compares them
    with icat's output of `inodes` (in that order); returns the folder tree
    and the file list."""
    folders = app.child(name="Folders")
    files = app.child(name="Found files")
    folders.child(name="Old Projects", roleName="table cell").click()
    check(files, "Plan.txt")
    check(files, "Budget Sheet.csv")
    folders.child(name="Filesystem", roleName="table cell").click()
    check(files, "README.TXT")
    recover(app, recovered, source_image, tuple(zip(("Plan.txt", "Budget Sheet.csv", "README.TXT"), inodes)))
    return folders, files


process, app = start(image)
try:
    log = analyse(app)
    if expected.group(0) not in log.text:
        fail("the log holds no '%s':\n%s" % (expected.group(0), log.text))

    # Two deleted files of a deleted folder and a live file of the root,
    # checked in two folders, come back byte for byte as icat reads them.
    recover_old_projects(app, image, os.path.join(work, "recovered"), ("1048", "1051", "4"))

    command(app, "View", "Log")
    wait_for(lambda: not log.showing, "the log pane to hide")
    sheet, retries = open_drive_access(app)
    retries.text = "7"
    sheet.child(name="OK", roleName="push button").click()
    exit_through_menu(app, process)

    process, app = start()
    wait_for(lambda: not app.child(name="Log", roleName="text").showing, "the log pane hidden after a restart")
    sheet, retries = open_drive_access(app)
    if retries.text != "7":
        fail("the retry attempts read %r after a restart" % retries.text)
    sheet.child(name="Cancel", roleName="push button").click()
    exit_through_menu(app, process)

    # An NTFS volume made by mkntfs and filled through ntfs-3g: two deleted
    # files of the deleted folder "Old Projects" and the live README.TXT come
    # back as icat reads them; the filter shows deleted files only; a search
    # by name finds the deleted budget with its folder; the information dialog
    # gives the offset istat lists for the file's first cluster.
    ntfs_fixtures = os.path.join(work, "ntfs")
    subprocess.run(["bash", os.path.join(source, "tests/fixtures/fixture.sh"), "make_ntfs_images.sh", ntfs_fixtures],
                   check=True)
    ntfs = os.path.join(ntfs_fixtures, "ntfs4k.img")
    process, app = start(ntfs)
    analyse(app)
    folders, files = recover_old_projects(app, ntfs, os.path.join(work, "recovered-ntfs"), ("82", "83", "64"))

    command(app, "View", "Filters...")
    filters = dialog(app, "Filters", "the filter sheet")
    box = filters.child(name="Show deleted files only", roleName="check box")
    if not box.checked:
        box.click()
    filters.child(name="OK", roleName="push button").click()
    folders.child(name="Filesystem", roleName="table cell").click()
    wait_for(lambda: files.child(name="Old Notes.txt", roleName="table cell", retry=False), "the deleted Old Notes.txt")
    if files.findChildren(lambda n: n.roleName == "table cell" and n.name == "README.TXT"):
        fail("the live README.TXT is listed with deleted files only")

    app.child(name="Find", roleName="check box").click()
    bar = app.child(name="Find bar")
    bar.child(name="Name to find", roleName="text").text = "Budget*"
    bar.child(name="Search", roleName="push button").click()
    wait_for(lambda: files.child(name="/Old Projects/", roleName="table cell", retry=False), "the search's result")
    files.child(name="Budget Sheet.csv", roleName="table cell").click()
    command(app, "File", "Information...")
    information = dialog(app, "File Information", "the information dialog")
    offset = information.child(name="Offset", roleName="label").description.replace(" ", "")
    istat = subprocess.run(["istat", ntfs, "83"], capture_output=True, text=True, check=True).stdout
    first_cluster = re.search(r"Type: \$DATA \(128-\d+\).*\n\s*(\d+)", istat).group(1)
    if offset != str(int(first_cluster) * 4096):
        fail("the information dialog gives offset %s, istat cluster %s" % (offset, first_cluster))
    information.child(name="OK", roleName="push button").click()
    exit_through_menu(app, process)

    # Lost files found by their signature: a picture whose end the sector
    # scan could not tell is recovered after the probable-size question,
    # answered with a custom size of 3072 bytes.
    lost = os.path.join(work, "lost.img")
    jpeg = b"\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + b"x" * 3000
    with open(lost, "wb") as out:
        for offset in (65536, 131072):
            out.seek(offset)
            out.write(jpeg)
        out.truncate(1 << 20)
    process, app = start(lost)
    analyze = app.child(name="Analyze", roleName="push button")
    (x, y), (w, h) = analyze.position, analyze.size
    click(x + w - 5, y + h // 2)  # the drop-down's arrow
    app.child(name="Sectors only", roleName="menu item").click()
    analyse_ends(app)
    folders = app.child(name="Folders")
    files = app.child(name="Found files")
    folders.child(name="Lost files", roleName="table cell").doubleClick()
    folders.child(name="Images", roleName="table cell").click()
    check(files, "image_65536.jpg")

    def custom_size():
        question = dialog(app, "Enter probable file size", "the probable-size question")
        question.child(name="Custom size:", roleName="radio button").click()
        question.child(name="Custom size", roleName="text").text = "3072"
        unit = question.findChild(lambda n: n.roleName == "combo box")
        unit.grabFocus()
        pressKey("Home")  # the first unit: bytes
        question.child(name="OK", roleName="push button").click()

    with open(lost, "rb") as source_bytes:
        source_bytes.seek(65536)
        first = source_bytes.read(3072)
    recover(app, os.path.join(work, "recovered-lost"), lost, (("image_65536.jpg", first),), answer=custom_size)
    exit_through_menu(app, process)
finally:
    if process.poll() is None:
        process.kill()
print("the desktop program analysed, kept its setting and closed")
