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
information dialog against istat. On an exFAT card, recovers deleted and
live files and reads a deleted file's verdict. With the FAT image's scan
interrupted halfway, Analyze asks whether to go on, and Yes goes on from
the sector where it stopped. On an image of lost pictures, runs
the sector scan from the Analyze drop-down and recovers a picture whose end
is unknown by answering the probable-size question. Last, on a card whose
documents were deleted, goes through the four-step wizard the program opens
on (both stages, the deleted documents' folders checked and recovered) and
the nine-step wizard with free space only and auto pilot, and compares
what came back with the documents the fixture script planted. With the
card's scan then interrupted halfway, the four-step wizard asks whether to
go on, and Yes goes on from that sector.
"""
import os
import re
import shutil
import sqlite3
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


def start(*arguments, explorer=True):
    """Starts the program, which opens on the four-step wizard; with
    `explorer` it is switched to the explorer from the wizard's menu."""
    process = subprocess.Popen([program, *arguments], env=env)
    found = []

    def reachable():
        found[:] = [a for a in root.applications() if a.name == "tessa-loft"]
        return bool(found)

    wait_for(reachable, "the program on the accessibility bus")
    app = found[0]
    page(app, "Step 1 of 4: Select drive")
    if explorer:
        wizard_menu(app, "Explorer Mode")
        wait_for(lambda: app.child(name="Analyze", roleName="push button", retry=False), "the explorer")
    return process, app


def shown(app, name, role, what=None, seconds=60):
    """The control called `name` that shows: the wizards keep the controls of
    every page, shown one page at a time."""
    found = []

    def showing():
        found[:] = app.findChildren(lambda n: n.roleName == role and n.name == name and n.showing)
        return bool(found)

    wait_for(showing, what or name, seconds)
    return found[0]


def page(app, title, seconds=60):
    """Waits for the wizard page called `title`."""
    shown(app, title, "label", "the page " + title, seconds)


def next_page(app):
    shown(app, "Next >", "push button").click()


WIZARD_MENU = ("Explorer Mode", "the other wizard", "Settings...", "Help Topics", "About...", "Exit")


def wizard_menu(app, entry):
    """Chooses `entry` of the wizard's menu button: its menu is walked with
    the keyboard, as popup menus are not on the accessibility bus."""
    shown(app, "Menu", "push button").click()
    time.sleep(0.5)
    for _ in range(WIZARD_MENU.index(entry) + 1):
        pressKey("Down")
    pressKey("Return")


def same_bytes(originals, folder):
    """Fails unless every file of `originals` (a folder) has a copy with the
    same bytes somewhere below `folder`; returns the copies' count."""
    copies = {}
    for base, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(base, name), "rb") as f:
                copies.setdefault(f.read(), name)
    for name in sorted(os.listdir(originals)):
        with open(os.path.join(originals, name), "rb") as f:
            if f.read() not in copies:
                fail("%s did not come back byte for byte: %s" % (name, sorted(copies.values())))
    return sum(len(names) for _, _, names in os.walk(folder))


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

    # An exFAT card made by mkfs.exfat and filled through exfat-fuse: the
    # deleted folder's files and the live README.TXT come back as icat reads
    # them, and a deleted file's information says how it comes back.
    exfat_fixtures = os.path.join(work, "exfat")
    subprocess.run(["bash", os.path.join(source, "tests/fixtures/fixture.sh"), "make_exfat_images.sh", exfat_fixtures],
                   check=True)
    exfat = os.path.join(exfat_fixtures, "exfat4k.img")
    with open(exfat + ".fls") as listing:
        inode_of = {line.split("\t")[1].rstrip("\n"): line.split(":")[0].split()[-1] for line in listing}
    process, app = start(exfat)
    analyse(app)
    folders, files = recover_old_projects(app, exfat, os.path.join(work, "recovered-exfat"),
                                          [inode_of[p] for p in ("Old Projects/Plan.txt", "Old Projects/Budget Sheet.csv",
                                                                 "README.TXT")])
    files.child(name="Old Notes.txt", roleName="table cell").click()
    command(app, "File", "Information...")
    information = dialog(app, "File Information", "the information dialog")
    status = information.child(name="Status", roleName="label").description
    if "follow each other" not in status:
        fail("the information on the deleted Old Notes.txt says %r" % status)
    information.child(name="OK", roleName="push button").click()
    exit_through_menu(app, process)

    # A scan of the FAT image interrupted halfway (the scan file the
    # command-line program kept, marked as the interrupted run leaves it):
    # Analyze asks whether to go on, and Yes goes on from where it stopped.
    subprocess.run([cli, "--config-dir", config_dir, "--quiet", "analyze", image, "--sectors"], check=True,
                   capture_output=True)
    scans = [f for f in os.listdir(os.path.join(config_dir, "scans")) if f.startswith("fat32.img-") and f.endswith(".tlscan")]
    if len(scans) != 1:
        fail("the command-line program kept no scan file of fat32.img: %s" % scans)
    kept = sqlite3.connect(os.path.join(config_dir, "scans", scans[0]))
    half = os.path.getsize(image) // 512 // 2
    kept.execute("UPDATE facts SET value = 'running' WHERE name = 'state'")
    kept.execute("UPDATE volumes SET sector_state = 1, sector_done = ? WHERE number = 0", (half,))
    kept.commit()
    kept.close()  # a connection left open holds the file as a running analysis would
    process, app = start(image)
    app.child(name="Analyze", roleName="push button").click()
    shown(app, "Yes", "push button", "the question whether to go on with the interrupted scan").click()
    log = analyse_ends(app)
    if "the sector scan goes on from sector %d" % half not in log.text:
        fail("the interrupted scan did not go on where it stopped:\n" + log.text)
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
    # The four-step wizard as a first-time user meets it: the program opens
    # on it with the card named on the command line; the defaults kept, the
    # analysis runs through both stages by itself; the deleted documents'
    # folders are checked on the result page and recovered, and the Finish
    # page counts what came back.
    cards = os.environ.get("TL_FIXTURE_DIR") or os.path.join(work, "fixtures")
    documents = os.path.join(cards, "deleted_documents")
    subprocess.run(["bash", os.path.join(source, "tests/fixtures/fixture.sh"), "make_deleted_documents.sh", documents],
                   check=True, env=dict(os.environ, TL_FIXTURE_DIR=cards))
    card = os.path.join(documents, "card.img")
    deleted = os.path.join(documents, "deleted")
    process, app = start(card, explorer=False)
    next_page(app)
    page(app, "Step 2 of 4: Select path to recovery and Search file types")
    next_page(app)
    # The analysing page moves on by itself when both stages are done.
    page(app, "Step 4 of 4: View and recover", seconds=180)
    files = shown(app, "Found files", "table")
    check(files, "Photos")
    check(files, "Reports")
    shown(app, "Recover...", "push button").click()
    recovered = os.path.join(work, "recovered-wizard4")
    shutil.rmtree(recovered, ignore_errors=True)
    shown(app, "Destination folder", "text", "the Recover dialog").text = recovered
    dialog(app, "Recover", "the Recover dialog").child(name="OK", roleName="push button").click()
    progress = dialog(app, "Recovering files...", "the progress dialog")
    wait_for(lambda: progress.child(name="Go to Recovered...", roleName="push button", retry=False).showing,
             "the end of the recovery")
    progress.child(name="OK", roleName="push button").click()
    came_back = same_bytes(deleted, recovered)
    next_page(app)
    page(app, "Finish: Recovery completed")
    told = shown(app, "Files Recovered", "label").description
    if told != str(came_back):
        fail("the Finish page counts %s recovered files, the folder holds %d" % (told, came_back))

    # The nine-step wizard, switched to from the menu: free space only and
    # auto pilot bring every deleted document back without a question.
    wizard_menu(app, "the other wizard")
    page(app, "Welcome!")
    next_page(app)
    page(app, "Step 1 of 9: Select drive")
    shown(app, "card.img", "table cell").click()
    next_page(app)
    page(app, "Step 2 of 9: Select File Types")
    next_page(app)
    page(app, "Step 3 of 9: Choose sector-by-sector scanning mode")
    shown(app, "Scan free drive space only", "radio button").click()
    next_page(app)
    page(app, "Step 4 of 9: Let the computer do all the work for you!")
    shown(app, "Recover every file found, without asking", "check box").click()
    automatic = os.path.join(work, "recovered-autopilot")
    shutil.rmtree(automatic, ignore_errors=True)
    shown(app, "The target folder where the recovered files will be saved", "text").text = automatic
    next_page(app)
    page(app, "Step 5 of 9: Scanning the file system...")
    shown(app, "Start", "push button").click()
    page(app, "Step 6 of 9: View and recover after file system scan", seconds=180)
    next_page(app)
    shown(app, "Yes", "push button", "the question about going on without a recovery").click()
    page(app, "Step 7 of 9: Scanning drive sectors...")
    shown(app, "Start", "push button").click()
    progress = dialog(app, "Recovering files...", "the auto pilot's recovery")
    wait_for(lambda: progress.child(name="Go to Recovered...", roleName="push button", retry=False).showing,
             "the end of the auto pilot's recovery", seconds=180)
    progress.child(name="OK", roleName="push button").click()
    came_back = same_bytes(deleted, automatic)
    if came_back != len(os.listdir(deleted)):
        fail("the auto pilot recovered %d files, not the %d deleted ones" % (came_back, len(os.listdir(deleted))))
    page(app, "Step 8 of 9: View and recover after sectors scan")
    next_page(app)
    page(app, "Step 9 of 9: Recovery completed")
    told = shown(app, "Files Recovered", "label").description
    if told != str(came_back):
        fail("the summary counts %s recovered files, the auto pilot %d" % (told, came_back))
    shown(app, "Finish", "push button").click()
    shown(app, "Yes", "push button", "the exit confirmation").click()
    if process.wait(timeout=30) != 0:
        fail("the program did not end cleanly after the wizard")

    # The card's scan, which the wizards kept, interrupted halfway: the
    # wizard the program opens on asks whether to go on as its analysis
    # starts, and Yes loads the file system and goes on from that sector.
    scans = [f for f in os.listdir(os.path.join(config_dir, "scans")) if f.startswith("card.img-") and f.endswith(".tlscan")]
    if len(scans) != 1:
        fail("the wizards kept no scan file of card.img: %s" % scans)
    kept = sqlite3.connect(os.path.join(config_dir, "scans", scans[0]))
    if kept.execute("SELECT value FROM facts WHERE name = 'state'").fetchone() != ("ended",):
        fail("the wizards' scan of card.img did not record its end")
    half = os.path.getsize(card) // 512 // 2
    kept.execute("UPDATE facts SET value = 'running' WHERE name = 'state'")
    kept.execute("UPDATE volumes SET sector_state = 1, sector_done = ?, free_space_only = 0 WHERE number = 0", (half,))
    kept.commit()
    kept.close()
    process, app = start(card, explorer=False)
    next_page(app)
    page(app, "Step 2 of 4: Select path to recovery and Search file types")
    next_page(app)
    shown(app, "Yes", "push button", "the question whether to go on with the interrupted scan").click()
    page(app, "Step 4 of 4: View and recover", seconds=180)
    files = shown(app, "Found files", "table")
    wait_for(lambda: files.child(name="Reports", roleName="table cell", retry=False), "Reports in the list")
    log = app.child(name="Progress Log", roleName="text").text
    if "the sector scan goes on from sector %d" % half not in log or "Beginning file system analysis" in log:
        fail("the wizard did not go on with the interrupted scan:\n" + log)
    wizard_menu(app, "Exit")
    shown(app, "Yes", "push button", "the exit confirmation").click()
    if process.wait(timeout=30) != 0:
        fail("the program did not end cleanly after the wizard went on with a scan")
finally:
    if process.poll() is None:
        process.kill()
print("the desktop program analysed, kept its setting, led through both wizards and closed")
