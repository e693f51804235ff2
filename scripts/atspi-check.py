#!/usr/bin/python3
# Walks the accessibility tree the running program publishes (AT-SPI) as a screen reader sees
# it, and counts what a screen reader user would miss: focusable objects without a name, and
# menu entries without a key of their own among their siblings; then, where xdotool is
# installed, checks an Options entry from the keyboard alone. Run by scripts/atspi-check.sh.
import shutil
import subprocess
import sys
import time

import pyatspi


def find_application(name, seconds=60):
    # The tree registers late on a loaded machine: poll for it.
    end = time.time() + seconds
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name.lower() == name:
                return app
        time.sleep(0.5)
    return None


def key_of(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return ''
    for i in range(action.nActions):
        binding = action.getKeyBinding(i)
        if binding:
            return binding.split(';')[0].lower()
    return ''


def walk(node, path, nameless, clashes, entries):
    role = node.getRoleName()
    here = path + '/' + role
    state = node.getState()
    if state.contains(pyatspi.STATE_FOCUSABLE) and not (node.name or '').strip():
        nameless.append(here)
    if role in ('menu bar', 'popup menu'):
        keys = {}
        for child in node:
            if child is None or child.getRoleName() == 'separator':
                continue
            entries[0] += 1
            key = key_of(child)
            if key and key in keys:
                clashes.append('%s: "%s" and "%s" share %s' % (here, keys[key], child.name, key))
            keys[key] = child.name
    for child in node:
        if child is not None:
            walk(child, here, nameless, clashes, entries)


def until(test, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        found = test()
        if found:
            return found
        time.sleep(0.1)
    return None


def find(node, roles, name):
    if node is None:
        return None
    if node.getRoleName() in roles and node.name == name:
        return node
    for child in node:
        found = find(child, roles, name)
        if found is not None:
            return found
    return None


def has(node, state):
    # States are cached from the events the program sends: ask it afresh.
    node.clearCache()
    return node.getState().contains(state)


def keyboard(app):
    # Alt+O opens Options, G checks "Ne pas agrandir les petites images" and closes the menu.
    entry_name = 'Ne pas agrandir les petites images'
    options = find(app, ('menu item', 'menu'), 'Options')
    menu = options[0] if options is not None and options.childCount else None
    # Qt 5 gives a checkable entry the plain menu item's role.
    entry = find(menu, ('menu item', 'check menu item'), entry_name)
    if menu is None or entry is None:
        print('keyboard: no Options menu with "%s"' % entry_name)
        return False
    before = has(entry, pyatspi.STATE_CHECKED)
    subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', '^Parvimage$',
                    'windowfocus', '--sync'], stdout=subprocess.DEVNULL, timeout=30, check=True)
    subprocess.run(['xdotool', 'key', 'alt+o'], timeout=30, check=True)
    if not until(lambda: has(menu, pyatspi.STATE_SHOWING)):
        print('keyboard: Alt+O did not open Options')
        return False
    subprocess.run(['xdotool', 'key', 'g'], timeout=30, check=True)
    if not until(lambda: has(entry, pyatspi.STATE_CHECKED) != before):
        print('keyboard: G did not change "%s"' % entry_name)
        return False
    print('keyboard: Alt+O then G %s "%s"' % ('unchecked' if before else 'checked', entry_name))
    return True


def main():
    app = find_application('parvimage', float(sys.argv[1]) if len(sys.argv) > 1 else 60)
    if app is None:
        print('the program never appeared in the accessibility tree')
        return 2
    nameless, clashes, entries = [], [], [0]
    for window in app:
        walk(window, app.name, nameless, clashes, entries)
    print('%d focusable objects without a name' % len(nameless))
    for each in nameless:
        print('  ' + each)
    print('%d menu entries sharing a key with a sibling (of %d entries)' % (len(clashes), entries[0]))
    for each in clashes:
        print('  ' + each)
    if nameless or clashes:
        return 1
    if not shutil.which('xdotool'):
        print('keyboard: skipped, no xdotool')
        return 0
    try:
        return 0 if keyboard(app) else 1
    except (subprocess.SubprocessError, OSError) as error:
        # The keyboard could not be driven: nothing said of the program.
        print('keyboard: %s' % error)
        return 2


sys.exit(main())
