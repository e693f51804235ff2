#!/usr/bin/python3
# Walks the accessibility tree the running program publishes (AT-SPI) as a screen reader sees
# it, and counts what a screen reader user would miss: focusable objects without a name, and
# menu entries without a key of their own among their siblings. Run by scripts/atspi-check.sh.
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
    return 0 if not nameless and not clashes else 1


sys.exit(main())
