#!/usr/bin/env python3
"""How soon the page of `serve --http` shows a change, in a real headless Chromium.

    web_latency.py TAMBROOK_CLI [SAMPLES]

Two figures, each over SAMPLES changes of relay 1 on a simulated board (the target is 100 ms):
- another hand: a request on the board's socket, until the page's switch shows it (the event
  stream); timed on the wall clock both processes share, in milliseconds;
- the page's own click: until its switch shows the change (the request, the write, the event);
- the same click while a request to another board waits out that board's wedged call (300 ms):
  boards are served apart, so this should be no slower than the click alone.
"""

import json
import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'web'))
import test_page  # noqa: E402  (the tests' rig: serve on simulated boards, the browser)

# Notes in window.changedAt the wall-clock time at which relay 1's switch next changes.
NEXT_CHANGE = '''
window.changedAt = null;
const button = document.querySelector('button[data-board="sim1"][data-relay="1"]');
new MutationObserver((_, observer) => { observer.disconnect(); window.changedAt = Date.now(); })
    .observe(button, {attributes: true, attributeFilter: ['aria-checked']});
'''

# Clicks relay 1's switch and resolves with how long its switch took to change.
CLICK = '''
const done = arguments[arguments.length - 1];
const button = document.querySelector('button[data-board="sim1"][data-relay="1"]');
let clicked = 0;
new MutationObserver((_, observer) => {
    observer.disconnect(); done(performance.now() - clicked);
}).observe(button, {attributes: true, attributeFilter: ['aria-checked']});
clicked = performance.now();
if (arguments[0])
    fetch('/api/v1/boards/sim2/relays/1', {method: 'PUT', body: '{"on":true}',
                                           headers: {'Content-Type': 'application/json'}});
button.click();
'''


def ask(path, request):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(path)
        s.sendall((json.dumps(request) + '\n').encode())
        s.recv(65536)


def figures(samples):
    return (f'median {statistics.median(samples):6.1f}  p95 '
            f'{sorted(samples)[int(len(samples) * 0.95) - 1]:6.1f}  max {max(samples):6.1f} ms')


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    test_page.CLI = os.path.abspath(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    serve = test_page.Serve(boards=2)
    browser = test_page.headless_chromium()
    try:
        browser.get(serve.url)
        button = lambda: browser.find_element(
            'css selector', 'button[data-board="sim1"][data-relay="1"]')
        test_page.wait_until(lambda: button().is_enabled(), 5, 'the card')
        browser.set_script_timeout(5)
        sock = serve.path('run/tambrook/sim1.sock')
        others, clicks = [], []
        for _ in range(count):
            browser.execute_script(NEXT_CHANGE)
            sent = time.time() * 1000
            ask(sock, {'request': 'toggle', 'relays': [1]})
            others.append(test_page.wait_until(
                lambda: browser.execute_script('return window.changedAt'), 2, 'the change')
                - sent)
            time.sleep(0.1)  # a quiet spell, as a hand's changes come
            clicks.append(browser.execute_async_script(CLICK, False))
            time.sleep(0.1)
        beside = []
        present = lambda: browser.find_element(
            'css selector', 'section[data-board="sim2"] .presence').text == 'present'
        for _ in range(max(count // 5, 3)):
            test_page.wait_until(present, 5, 'sim2 back')
            with open(serve.path('wedged'), 'w') as f:
                f.write('2\n')
            beside.append(browser.execute_async_script(CLICK, True))
            os.remove(serve.path('wedged'))
        print(f'another hand -> page:  {figures(others)}  ({count} changes)')
        print(f'click -> page shows:   {figures(clicks)}  ({count} changes)')
        print(f'  beside a wedged one: {figures(beside)}  ({len(beside)} changes)')
        print('(a shared two-core machine: figures vary with its load)')
    finally:
        browser.quit()
        serve.stop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
